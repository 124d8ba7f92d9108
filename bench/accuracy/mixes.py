"""Hour-long mixes of corpus recordings, as a DJ or a radio would play them.

Each mix joins about 15 catalog members and 5 held-out recordings, in a
seeded random order, each cut to three minutes or so from a random place,
some played 3% fast or slow (pitch and tempo together, as a turntable
does), with 5-10 s linear crossfades, and pink noise 10 dB under the whole.
Mixes are mono 16 kHz FLAC, kept in the cache with their truth (a JSON list
of the pieces) beside them.

The truth of a piece runs from the middle of the crossfade before it to the
middle of the one after it: in a crossfade both recordings play, and the
middle is where one takes over from the other.
"""

import dataclasses
import json
import random

import numpy as np

import cache
import media

SAMPLE_RATE_HZ = 16000
MEMBERS_PER_MIX = 15
NEGATIVES_PER_MIX = 5
PIECE_S = (170.0, 200.0)
CROSSFADE_S = (5.0, 10.0)
SPEEDS = (1.0, 1.0, 1.03, 0.97)
NOISE_SNR_DB = 10.0
RECIPE_VERSION = 1


@dataclasses.dataclass
class Piece:
    title: str           # the recording's corpus id, its title in the catalog
    member: bool         # in the catalog
    start_s: float       # where its audio starts in the mix (fade-in included)
    end_s: float         # where it ends (fade-out included)
    truth_start_s: float  # middle of the crossfade before it
    truth_end_s: float   # middle of the crossfade after it
    offset_s: float      # where in the recording the piece was cut
    speed: float         # 1.03: played 3% fast


def plan(index, members, negatives, piece_s=PIECE_S, crossfade_s=CROSSFADE_S):
    """The pieces of mix `index` before assembly: (recording, member,
    offset_s, cut_s, speed, crossfade_after_s) in playing order; each cut
    to a length drawn from the range piece_s, each crossfade from the
    range crossfade_s."""
    rng = random.Random("plim-mix-%d-%d" % (RECIPE_VERSION, index))
    picks = ([(r, True) for r in rng.sample(members, MEMBERS_PER_MIX)] +
             [(r, False) for r in rng.sample(negatives, NEGATIVES_PER_MIX)])
    rng.shuffle(picks)
    out = []
    for rec, member in picks:
        cut_s = min(rec.duration_s - 0.5, rng.uniform(*piece_s))
        offset_s = rng.uniform(0, rec.duration_s - 0.5 - cut_s)
        out.append((rec, member, round(offset_s, 2), round(cut_s, 2),
                    rng.choice(SPEEDS), round(rng.uniform(*crossfade_s), 2)))
    return out


def _piece_audio(store, rec, offset_s, cut_s, speed):
    key = cache.recipe_key("mix-piece", RECIPE_VERSION, rec.digest, offset_s,
                           cut_s, speed)

    def make(tmp):
        media.run_tool(media.SOX + [rec.path, "-r", SAMPLE_RATE_HZ, "-c", 1,
                                    "-b", 16, tmp, "trim", offset_s, cut_s,
                                    "speed", "%.4f" % speed])
    path = store.produce(store.path("mix-pieces", key, ".wav"), make)
    return media.read_wav(path)[2].astype(np.float32)


def build(store, index, members, negatives, piece_s=PIECE_S, crossfade_s=CROSSFADE_S,
          noise_snr_db=NOISE_SNR_DB):
    """(path of mix `index`'s FLAC, its pieces); made once, then cached.
    A shorter piece_s gives a shorter mix of as many pieces; crossfade_s
    and noise_snr_db (the noise's level below the music's) other
    crossfades and noise, the same recordings cut at the same places."""
    steps = plan(index, members, negatives, piece_s, crossfade_s)
    noise = () if noise_snr_db == NOISE_SNR_DB else (("noise_snr_db", noise_snr_db),)
    key = cache.recipe_key("mix", RECIPE_VERSION, index,
                           *[(r.digest, o, c, s, x) for r, _, o, c, s, x in steps], *noise)
    flac = store.path("mixes", key, ".flac")
    truth_path = store.path("mixes", key, ".json")
    if flac.exists() and truth_path.exists():
        return flac, [Piece(**p) for p in json.loads(truth_path.read_text())]

    pieces, audio = [], []
    at_s = 0.0
    for i, (rec, member, offset_s, cut_s, speed, _) in enumerate(steps):
        samples = _piece_audio(store, rec, offset_s, cut_s, speed)
        fade_in_s = steps[i - 1][5] if i > 0 else 0.0
        fade_out_s = steps[i][5] if i + 1 < len(steps) else 0.0
        for fade_s, reverse in ((fade_in_s, False), (fade_out_s, True)):
            n = min(len(samples), int(fade_s * SAMPLE_RATE_HZ))
            if n:
                ramp = np.linspace(0, 1, n, dtype=np.float32)
                if reverse:
                    samples[-n:] *= ramp[::-1]
                else:
                    samples[:n] *= ramp
        start_s = at_s - fade_in_s
        end_s = start_s + len(samples) / SAMPLE_RATE_HZ
        pieces.append(Piece(rec.id, member, start_s, end_s,
                            start_s + fade_in_s / 2, end_s - fade_out_s / 2,
                            offset_s, speed))
        audio.append(samples)
        at_s = end_s
    total = int(round(at_s * SAMPLE_RATE_HZ)) + 1
    mix = np.zeros(total, dtype=np.float32)
    for piece, samples in zip(pieces, audio):
        first = int(round(piece.start_s * SAMPLE_RATE_HZ))
        mix[first:first + len(samples)] += samples[:total - first]
    del audio
    noise = _pink_noise(store, total / SAMPLE_RATE_HZ)[:total]
    gain = (float(np.sqrt(np.mean(mix.astype(np.float64) ** 2))) /
            float(np.sqrt(np.mean(noise.astype(np.float64) ** 2))) /
            10 ** (noise_snr_db / 20))
    mix += gain * noise
    mix *= min(1.0, media.INT16_MAX / float(np.max(np.abs(mix))))

    def make(tmp):
        with media.scratch(tmp, ".wav") as wav:
            media.write_wav(wav, SAMPLE_RATE_HZ, 1, np.rint(mix).astype(np.int16))
            media.run_tool(media.SOX + [wav, tmp])
    store.produce(flac, make)
    truth_path.write_text(json.dumps([dataclasses.asdict(p) for p in pieces]))
    return flac, pieces


def _pink_noise(store, seconds):
    """Pink noise from sox, long enough for any mix of this length."""
    minutes = int(seconds // 60) + 1
    key = cache.recipe_key("mix-noise", RECIPE_VERSION, minutes)

    def make(tmp):
        media.run_tool(media.SOX + ["-n", "-r", SAMPLE_RATE_HZ, "-c", 1, "-b", 16,
                                    tmp, "synth", minutes * 60, "pinknoise"])
    path = store.produce(store.path("mix-noise", key, ".wav"), make)
    return media.read_wav(path)[2].astype(np.float32)
