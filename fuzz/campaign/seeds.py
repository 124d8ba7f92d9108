"""The fault campaign's seed files: a few seconds of generated music written in
eight format families by Debian's ffmpeg. Nothing here is committed audio; the
same command line gives the same bytes (bit-exact encoders, no metadata)."""

import os
import subprocess

# Family name -> [(file name, ffmpeg output options)]. Each family has seeds
# of different music, rates and layouts, so that splicing within a family
# joins unlike streams.
FAMILIES = {
    "wav16": [
        ("a.wav", ["-ar", "22050", "-ac", "1", "-c:a", "pcm_s16le"]),
        ("b.wav", ["-ar", "44100", "-ac", "2", "-c:a", "pcm_s16le"]),
    ],
    "wavx": [
        ("f32.wav", ["-ar", "22050", "-ac", "1", "-c:a", "pcm_f32le"]),
        ("u8.wav", ["-ar", "16000", "-ac", "1", "-c:a", "pcm_u8"]),
        # 24-bit samples make ffmpeg write WAVE_FORMAT_EXTENSIBLE.
        ("s24x.wav", ["-ar", "32000", "-ac", "2", "-c:a", "pcm_s24le"]),
    ],
    "aiff": [
        ("a.aiff", ["-ar", "22050", "-ac", "1", "-c:a", "pcm_s16be"]),
        ("b.aiff", ["-ar", "44100", "-ac", "2", "-c:a", "pcm_s24be"]),
    ],
    "flac": [
        ("a.flac", ["-ar", "22050", "-ac", "1", "-c:a", "flac"]),
        ("b.flac", ["-ar", "44100", "-ac", "2", "-c:a", "flac", "-compression_level", "0"]),
    ],
    "mp3": [
        ("a.mp3", ["-ar", "22050", "-ac", "1", "-c:a", "libmp3lame", "-b:a", "48k"]),
        ("b.mp3", ["-ar", "44100", "-ac", "2", "-c:a", "libmp3lame", "-q:a", "6"]),
    ],
    "vorbis": [
        ("a.ogg", ["-ar", "22050", "-ac", "1", "-c:a", "libvorbis", "-q:a", "0"]),
        ("b.ogg", ["-ar", "44100", "-ac", "2", "-c:a", "libvorbis", "-q:a", "2"]),
    ],
    "opus": [
        ("a.opus", ["-ar", "48000", "-ac", "1", "-c:a", "libopus", "-b:a", "24k"]),
        ("b.opus", ["-ar", "48000", "-ac", "2", "-c:a", "libopus", "-b:a", "48k"]),
    ],
    "m4a": [
        ("a.m4a", ["-ar", "22050", "-ac", "1", "-c:a", "aac", "-b:a", "48k"]),
        # moov first, as streaming files have it.
        ("b.m4a", ["-ar", "44100", "-ac", "2", "-c:a", "aac", "-b:a", "64k",
                   "-movflags", "+faststart"]),
    ],
}


def music_expression(index):
    """An ffmpeg aevalsrc expression: a melody of eighth notes over a held
    fifth and a little noise, different for each index."""
    base = 196.0 * 2 ** ((index * 5 % 12) / 12)
    step = 3 + index % 5  # semitones the melody walks by, mod 12
    rate = 4 + index % 3  # notes a second
    melody = (f"0.35*sin(2*PI*{base:.2f}*pow(2,mod(floor(t*{rate})*{step},12)/12)*t)"
              f"*(1-0.6*mod(t*{rate},1))")
    chord = f"0.12*sin(2*PI*{base / 2:.2f}*t)+0.1*sin(2*PI*{base * 0.75:.2f}*t)"
    noise = "0.04*(random(0)-0.5)"
    return f"{melody}+{chord}+{noise}"


def make_seeds(directory, seconds, families):
    """Writes every seed of the families named into directory (skipping
    those already there) and returns {family: [path, ...]}."""
    os.makedirs(directory, exist_ok=True)
    seeds = {}
    index = 0
    for family, entries in FAMILIES.items():
        for name, options in entries:
            index += 1
            if family not in families:
                continue
            path = os.path.join(directory, f"{family}-{name}")
            seeds.setdefault(family, []).append(path)
            if os.path.exists(path):
                continue
            source = f"aevalsrc=exprs='{music_expression(index)}':s=44100:d={seconds}"
            partial = path + ".part" + os.path.splitext(path)[1]
            subprocess.run(
                ["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i", source,
                 "-fflags", "+bitexact", "-flags:a", "+bitexact", "-map_metadata", "-1",
                 *options, partial],
                check=True)
            os.replace(partial, path)
    return seeds
