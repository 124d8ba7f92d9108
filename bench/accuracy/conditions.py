"""The query conditions, and the making of each query file.

A condition is a recipe applied to an excerpt of a recording: cut, then sox
effects, then optionally added noise, music or a crowd's babble, sox effects
on the mixture, and a codec round trip; or a phone line. Every file is
cached under a key made of the recipe and the source's digest and offsets,
so reruns reuse it.
"""

import dataclasses
import json
import math
import os

import cache
import crowd
import media

NOISE_TRACK_S = 120.0  # the shared pink-noise track excerpts take noise from


@dataclasses.dataclass(frozen=True)
class Condition:
    name: str
    group: str
    recipe: str                  # what is done, exactly, for the report
    duration_s: float = 10.0     # length of the query file
    effects: tuple = ()          # sox effects after the cut
    cut_factor: float = 1.0      # audio cut = duration_s * cut_factor
    codec: tuple = ()            # (suffix, ffmpeg encoder arguments...)
    noise_snr_db: float = None   # pink noise at this measured SNR
    music_snr_db: float = None   # a negative's music at this measured SNR
    phone: bool = False
    axis: tuple = ()             # (plot panel, x value) for the figure
    # Fields added later; a cache key includes them only when they are set,
    # so the conditions that do not use them keep their cached files.
    babble_snr_db: float = None  # a crowd's babble at this measured SNR
    after: tuple = ()            # sox effects on the mixture, before the codec


_LATER_FIELDS = {"babble_snr_db": None, "after": ()}


def recipe_fields(cond):
    """The condition's fields as they go into cache keys."""
    fields = dataclasses.asdict(cond)
    for name, default in _LATER_FIELDS.items():
        if fields[name] == default:
            del fields[name]
    return fields


def _speed(sign, percent):
    f = 1 + sign * percent / 100.0
    label = "%+d%%" % (sign * percent)
    return Condition(
        "speed%s" % label.rstrip("%"), "speed",
        "sox speed %.2f (pitch and tempo together); %.1f s cut so the query "
        "lasts 10 s" % (f, 10 * f),
        effects=("speed", "%.4f" % f), cut_factor=f,
        axis=("speed", sign * percent))


def _tempo(sign):
    f = 1 + sign * 0.05
    return Condition(
        "tempo%+d" % (sign * 5), "speed",
        "sox tempo %.2f (tempo only, pitch kept); %.1f s cut" % (f, 10 * f),
        effects=("tempo", "%.4f" % f), cut_factor=f,
        axis=("tempo", sign * 5))


def _pitch(sign):
    cents = 1200 * math.log2(1 + sign * 0.05)
    return Condition(
        "pitch%+d" % (sign * 5), "speed",
        "sox pitch %+.1f cents (frequencies x%.2f, tempo kept)" %
        (cents, 1 + sign * 0.05),
        effects=("pitch", "%.2f" % cents), axis=("pitch", sign * 5))


def _noise(snr):
    return Condition(
        "pink%+ddB" % snr, "noise",
        "pink noise (seeded, independent per query) added at %+d dB SNR, "
        "both levels measured over the excerpt" % snr,
        noise_snr_db=float(snr), axis=("snr", snr))


ROOM_REVERB = ("reverb", "40", "50", "60")
PHONE_MIC_BAND = "200-7000"

CONDITIONS = [
    Condition("clean-10s", "length", "10 s excerpt, original format and rate",
              axis=("snr", None)),
    Condition("clean-3s", "length", "3 s excerpt", duration_s=3.0),
    Condition("clean-1s", "length", "1 s excerpt", duration_s=1.0),
    Condition("mp3-64k", "codec", "MP3, libmp3lame 64 kbit/s",
              codec=(".mp3", "-c:a", "libmp3lame", "-b:a", "64k")),
    Condition("aac-96k", "codec", "AAC in M4A, ffmpeg aac 96 kbit/s",
              codec=(".m4a", "-c:a", "aac", "-b:a", "96k")),
    Condition("opus-24k", "codec", "Opus in Ogg, libopus 24 kbit/s",
              codec=(".opus", "-c:a", "libopus", "-b:a", "24k")),
    _noise(12), _noise(9), _noise(6), _noise(3),
    _noise(0), _noise(-3), _noise(-6), _noise(-9), _noise(-12),
    Condition("music+0dB", "noise",
              "another recording (a negative) mixed in at 0 dB SNR, measured",
              music_snr_db=0.0),
    Condition("crowd", "noise",
              "%d voices talking at once (espeak-ng; seeded languages, "
              "variants, texts, speeds, pitches, start points and levels) "
              "mixed in at 0 dB SNR, measured" % crowd.TALKERS,
              babble_snr_db=0.0),
    Condition("room", "noise",
              "a phone recording in a room: sox %s, pink noise at +5 dB SNR "
              "(measured against the reverberant music), mono, 48 kHz, sox "
              "sinc %s (a phone microphone's band), AAC in M4A, ffmpeg aac "
              "32 kbit/s" % (" ".join(ROOM_REVERB), PHONE_MIC_BAND),
              effects=ROOM_REVERB, noise_snr_db=5.0,
              after=("remix", "-", "rate", "48000", "sinc", PHONE_MIC_BAND),
              codec=(".m4a", "-c:a", "aac", "-b:a", "32k")),
    Condition("phone-gsm", "filter",
              "mono, 8 kHz, sox sinc 300-3400 Hz, GSM 06.10 round trip "
              "(ffmpeg libgsm), back to 16-bit WAV", phone=True),
    Condition("bandpass-2k", "filter",
              "sox sinc 1414-2828 (one octave around 2 kHz)",
              effects=("sinc", "1414-2828")),
    Condition("reverb", "effect",
              "sox reverb 70 50 100 (70% reverberance, large room, wet+dry)",
              effects=("reverb", "70", "50", "100")),
    Condition("echo", "effect", "sox echo 0.8 0.9 250 0.5 (one echo, 250 ms)",
              effects=("echo", "0.8", "0.9", "250", "0.5")),
    Condition("chorus", "effect",
              "sox chorus 0.6 0.9 50 0.4 0.25 2 -t 60 0.32 0.4 2.3 -t "
              "40 0.3 0.3 1.3 -s (three voices)",
              effects=("chorus", "0.6", "0.9", "50", "0.4", "0.25", "2", "-t",
                       "60", "0.32", "0.4", "2.3", "-t", "40", "0.3", "0.3",
                       "1.3", "-s")),
    Condition("flanger", "effect", "sox flanger (defaults: 2 ms depth, 0.5 Hz)",
              effects=("flanger",)),
    Condition("tremolo", "effect", "sox tremolo 6 60 (6 Hz, 60% depth)",
              effects=("tremolo", "6", "60")),
    _speed(-1, 5), _speed(-1, 2), _speed(+1, 2), _speed(+1, 5),
    _tempo(-1), _tempo(+1), _pitch(-1), _pitch(+1),
    Condition("gain+20dB", "level",
              "sox gain 20, clipped to 16 bits", effects=("gain", "20")),
    Condition("gain-40dB", "level", "sox gain -40, 16 bits",
              effects=("gain", "-40")),
]
BY_NAME = {c.name: c for c in CONDITIONS}
LONGEST_CUT_S = max(c.duration_s * c.cut_factor for c in CONDITIONS)


@dataclasses.dataclass(frozen=True)
class ExtraNegative:
    """A 10-s clip that is not music at all."""
    name: str
    recipe: str
    noise: tuple = ()         # (kind, rate Hz, channels, RMS dBFS), seeded by name
    speech: tuple = ()        # (espeak-ng voice, text)


_SPEECH = [
    ("en-us", "Good evening. Here is the news at nine o'clock. Heavy rain is "
     "expected across the north tonight, clearing by the morning."),
    ("en-gb", "Thank you for calling. All our operators are busy. Please hold "
     "the line and your call will be answered shortly."),
    ("de", "Guten Abend, meine Damen und Herren. Der Zug nach Hamburg hat "
     "heute leider etwa zwanzig Minuten Verspaetung."),
    ("fr", "Bonjour a tous, et bienvenue dans cette emission consacree a la "
     "musique et a ceux qui la font vivre chaque jour."),
]
EXTRA_NEGATIVES = [
    ExtraNegative("silence", "digital silence, 44.1 kHz stereo",
                  ("silence", 44100, 2, None)),
    ExtraNegative("white-loud", "white noise at -10 dBFS RMS, 44.1 kHz stereo",
                  ("white", 44100, 2, -10.0)),
    ExtraNegative("white-quiet", "white noise at -40 dBFS RMS, 16 kHz mono",
                  ("white", 16000, 1, -40.0)),
    ExtraNegative("pink-loud", "pink noise at -12 dBFS RMS, 44.1 kHz stereo",
                  ("pink", 44100, 2, -12.0)),
    ExtraNegative("pink-quiet", "pink noise at -40 dBFS RMS, 48 kHz mono",
                  ("pink", 48000, 1, -40.0)),
] + [ExtraNegative("speech-" + v, "espeak-ng -v %s, looped to 10 s" % v,
                   speech=(v, t)) for v, t in _SPEECH]


def _cut_args(excerpt, seconds):
    return ["trim", "%.3f" % excerpt.offset_s, "%.3f" % seconds]


def _cut(store, rec, offset_s, seconds, fmt=None):
    """A cached 16-bit WAV cut of a recording, optionally converted to fmt."""
    key = cache.recipe_key("cut", rec.digest, offset_s, seconds, fmt)
    out = store.path("cut", key, ".wav")

    def make(tmp):
        conv = ["-r", str(fmt[0]), "-c", str(fmt[1])] if fmt else []
        media.run_tool(media.SOX + [rec.path, "-b", "16"] + conv + [
            tmp, "trim", "%.3f" % offset_s, "%.3f" % seconds])
    return store.produce(out, make)


def _pink_track(store, fmt):
    key = cache.recipe_key("pink-track", fmt, NOISE_TRACK_S)
    out = store.path("noise", key, ".wav")
    return store.produce(out, lambda tmp: media.write_wav(
        tmp, fmt[0], fmt[1], media.noise("pink", NOISE_TRACK_S, fmt[0], fmt[1],
                                         "plim-query-noise")))


def _mix(store, cond, excerpt, target, snr_db):
    """Writes the excerpt (after cond.effects) plus pink noise, music or a
    crowd at snr_db to target as WAV; returns the measured SNR."""
    with media.scratch(target, ".fx.wav") as fx:
        if cond.effects:
            media.run_tool(media.SOX + [excerpt.recording.path, "-b", "16", fx]
                           + _cut_args(excerpt, cond.duration_s) +
                           list(cond.effects) +
                           ["trim", "0", "%.3f" % cond.duration_s])
            base = fx
        else:
            base = _cut(store, excerpt.recording, excerpt.offset_s,
                        cond.duration_s)
        rate, channels, signal = media.read_wav(base)
    fmt = (rate, channels)
    if cond.noise_snr_db is not None:
        track = _pink_track(store, fmt)
        other = _cut_plain(store, track, excerpt.noise_offset_s, cond.duration_s)
        noise = media.read_wav(other)[2]
    elif cond.music_snr_db is not None:
        other = _cut(store, excerpt.interferer, excerpt.interferer_offset_s,
                     cond.duration_s, fmt)
        noise = media.read_wav(other)[2]
    else:
        noise = crowd.babble(crowd.talkers(excerpt), rate, channels,
                             cond.duration_s, target.parent)
    mixed, _, snr = media.mix_at_snr(signal, noise, snr_db)
    if abs(snr - snr_db) > 0.05:
        raise RuntimeError("%s: SNR came out %.2f dB, not %.2f" %
                           (target, snr, snr_db))
    media.write_wav(target, rate, channels, mixed)
    return snr


def _mixing_target(cond):
    for snr in (cond.noise_snr_db, cond.music_snr_db, cond.babble_snr_db):
        if snr is not None:
            return snr
    return None


def _cut_plain(store, path, offset_s, seconds):
    key = cache.recipe_key("cut-file", str(path), offset_s, seconds)
    out = store.path("cut", key, ".wav")
    return store.produce(out, lambda tmp: media.run_tool(
        media.SOX + [path, tmp, "trim", "%.3f" % offset_s, "%.3f" % seconds]))


def query_key(cond, excerpt):
    i = excerpt.interferer
    return cache.recipe_key(
        "query", recipe_fields(cond), excerpt.recording.digest,
        excerpt.offset_s, excerpt.noise_offset_s,
        i.digest if i and cond.music_snr_db is not None else None,
        excerpt.interferer_offset_s if cond.music_snr_db is not None else None)


def applies(cond, excerpt):
    return cond.music_snr_db is None or excerpt.interferer is not None


def make_query(store, cond, excerpt):
    """Path of the query file for this condition and excerpt (made if new).

    Also returns the measured SNR for the mixing conditions, else None.
    """
    suffix = cond.codec[0] if cond.codec else ".wav"
    out = store.path("query", query_key(cond, excerpt), suffix)
    sidecar = out.with_suffix(".json")
    snr = [None]

    def make(tmp):
        rec = excerpt.recording
        target = _mixing_target(cond)
        if target is not None and not (cond.after or cond.codec):
            snr[0] = _mix(store, cond, excerpt, tmp, target)
        elif target is not None:
            with media.scratch(tmp, ".mix.wav") as mixed, \
                    media.scratch(tmp, ".after.wav") as after:
                snr[0] = _mix(store, cond, excerpt, mixed, target)
                if cond.after:
                    media.run_tool(media.SOX + [mixed, "-b", "16", after] +
                                   list(cond.after))
                    mixed = after
                if cond.codec:
                    media.run_tool(media.FFMPEG + ["-i", mixed] +
                                   list(cond.codec[1:]) + [tmp])
                else:
                    os.replace(mixed, tmp)
        elif cond.codec:
            base = _cut(store, rec, excerpt.offset_s, cond.duration_s)
            media.run_tool(media.FFMPEG + ["-i", base] + list(cond.codec[1:])
                           + [tmp])
        elif cond.phone:
            narrow = tmp.with_name(tmp.name + ".8k.wav")
            gsm = tmp.with_name(tmp.name + ".gsm")
            try:
                media.run_tool(media.SOX + [rec.path, "-b", "16", narrow] +
                               _cut_args(excerpt, cond.duration_s) +
                               ["rate", "8000", "channels", "1",
                                "sinc", "300-3400"])
                media.run_tool(media.FFMPEG + ["-i", narrow, "-c:a", "libgsm",
                                               "-ar", "8000", "-ac", "1",
                                               "-f", "gsm", gsm])
                media.run_tool(media.FFMPEG + ["-f", "gsm", "-i", gsm,
                                               "-c:a", "pcm_s16le", tmp])
            finally:
                for p in (narrow, gsm):
                    if os.path.exists(p):
                        os.unlink(p)
        else:
            cut_s = cond.duration_s * cond.cut_factor
            media.run_tool(media.SOX + [rec.path, "-b", "16", tmp] +
                           _cut_args(excerpt, cut_s) + list(cond.effects) +
                           ["trim", "0", "%.3f" % cond.duration_s])
        sidecar.write_text(json.dumps({"snr_db": snr[0]}))

    store.produce(out, make)
    if sidecar.exists():
        snr[0] = json.loads(sidecar.read_text())["snr_db"]
    return out, snr[0]


def make_extra_negative(store, neg):
    """Path of the 10-s non-music clip (made if new)."""
    out = store.path("extra", cache.recipe_key("extra", dataclasses.asdict(neg)),
                     ".wav")

    def make(tmp):
        if neg.speech:
            voice, text = neg.speech
            raw = tmp.with_name(tmp.name + ".raw.wav")
            try:
                media.run_tool(["espeak-ng", "-v", voice, "-w", raw, text])
                media.run_tool(media.SOX + [raw, "-b", "16", tmp, "pad", "0",
                                            "0.5", "repeat", "9", "trim", "0",
                                            "10"])
            finally:
                if os.path.exists(raw):
                    os.unlink(raw)
        else:
            kind, rate, channels, level = neg.noise
            samples = media.noise(kind, 10.0, rate, channels, neg.name, level) \
                if level is not None else [0] * (10 * rate * channels)
            media.write_wav(tmp, rate, channels, samples)
    return store.produce(out, make)


def generate_one(task):
    """Worker entry point: task = (cache root, condition name, excerpt)."""
    root, name, excerpt = task
    store = cache.Cache(root)
    path, snr = make_query(store, BY_NAME[name], excerpt)
    return str(path), snr
