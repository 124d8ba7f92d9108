"""Audio plumbing: sox and ffmpeg calls, 16-bit WAV I/O, level and mixing.

Everything here works on interleaved 16-bit PCM: read_wav gives a numpy
int16 array, and the mixing takes any sequence of numbers. Levels are RMS
over all samples of all channels. Mixing and levels use numpy, with the
same arithmetic the plain-Python version had (exact sums of squares, round
half to even), so they write the same bytes; the seeded noise stays plain
Python because its sample sequence is part of the cached recipes.
"""

import array
import contextlib
import math
import os
import random
import subprocess
import wave

import numpy as np

SOX = ["sox", "-R", "-V1"]  # -R: dither and noise are repeatable run to run
FFMPEG = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"]
INT16_MAX = 32767


class ToolError(RuntimeError):
    """A sox, ffmpeg or espeak-ng command failed; the message holds its stderr."""


def run_tool(cmd):
    """Runs one external command; raises ToolError with its stderr if it fails."""
    proc = subprocess.run([str(c) for c in cmd], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True)
    if proc.returncode != 0:
        raise ToolError("%s failed (%d): %s" % (
            " ".join(str(c) for c in cmd), proc.returncode, proc.stderr.strip()))


@contextlib.contextmanager
def scratch(beside, suffix):
    """A temporary file path next to `beside`, removed afterwards."""
    path = beside.with_name(beside.name + suffix)
    try:
        yield path
    finally:
        if os.path.exists(path):
            os.unlink(path)


def read_wav(path):
    """(sample_rate_hz, channels, samples as a numpy int16 array) of a
    16-bit PCM WAV file."""
    with wave.open(str(path), "rb") as w:
        if w.getsampwidth() != 2:
            raise ValueError("%s: not 16-bit PCM" % path)
        samples = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")
        return w.getframerate(), w.getnchannels(), samples.astype(np.int16)


def write_wav(path, sample_rate_hz, channels, samples):
    """Writes interleaved 16-bit samples (integers in int16's range) as a
    PCM WAV file; raises ValueError for anything else."""
    data = np.asarray(samples)
    if data.size and (data.dtype.kind not in "iu" or data.min() < -32768
                      or data.max() > INT16_MAX):
        raise ValueError("%s: samples are not 16-bit integers" % path)
    with wave.open(str(path), "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(sample_rate_hz)
        w.writeframes(data.astype("<i2").tobytes())


def rms(samples):
    """Root mean square of a sequence of numbers (0 for an empty one)."""
    a = np.asarray(samples).ravel()
    if not a.size:
        return 0.0
    # Correctly rounded sums (exact in int64 for integers, fsum otherwise),
    # so a level does not depend on the order of summation and matches what
    # the plain-Python version computed.
    if a.dtype.kind in "iu":
        wide = a.astype(np.int64)
        total = float(int(np.dot(wide, wide)))
    else:
        a = a.astype(np.float64)
        total = math.fsum(a * a)
    return math.sqrt(total / a.size)


def level_db(ratio):
    return 20.0 * math.log10(ratio) if ratio > 0 else float("-inf")


def measured_snr_db(signal, mixture):
    """SNR of `mixture` taking `signal` as its wanted part, measured.

    Whatever is in the mixture and not in the signal counts as noise,
    including any clipping or rounding the mixing did.
    """
    signal = np.asarray(signal, dtype=np.float64)
    residual = np.asarray(mixture, dtype=np.float64) - signal
    noise_rms = rms(residual)
    return level_db(rms(signal) / noise_rms) if noise_rms else float("inf")


def mix_at_snr(signal, noise, snr_db):
    """Adds `noise` to `signal` so that their level ratio is snr_db.

    Both are sequences of samples of the same layout (int16 values, or any
    numbers for the noise); noise must be at least as long as signal (it is
    cut to length). The noise gain comes from the
    RMS of this signal and this noise, not from assumed levels. If the sum
    would clip, the whole mixture is scaled down instead, which keeps the
    ratio. Returns (mixture, wanted part as scaled, measured SNR in dB).
    """
    if len(noise) < len(signal):
        raise ValueError("noise (%d samples) shorter than signal (%d)" %
                         (len(noise), len(signal)))
    noise = np.asarray(noise)[:len(signal)]
    signal_rms, noise_rms = rms(signal), rms(noise)
    signal = np.asarray(signal, dtype=np.float64)
    if signal_rms == 0 or noise_rms == 0:
        raise ValueError("cannot set an SNR against silence")
    gain = signal_rms / (noise_rms * 10.0 ** (snr_db / 20.0))
    mixed = signal + gain * noise
    peak = float(np.max(np.abs(mixed)))
    scale = min(1.0, INT16_MAX / peak) if peak else 1.0
    out = np.rint(mixed * scale).astype(np.int16)  # half to even, as round()
    wanted = signal * scale
    return out, wanted, measured_snr_db(wanted, out)


def noise(kind, seconds, sample_rate_hz, channels, seed, rms_dbfs=-18.0):
    """Seeded white or pink noise as interleaved int16, at rms_dbfs.

    Every seed gives an independent sequence (sox's repeatable mode would
    give every noise file the same one, and the engine can recognise that).
    Pink is white noise through Paul Kellet's 1/f filter; channels are
    independent.
    """
    frames = int(round(seconds * sample_rate_hz))
    out = array.array("d", bytes(8 * frames * channels))
    for ch in range(channels):
        rng = random.Random("%s:%d" % (seed, ch))
        gauss = rng.gauss
        if kind == "white":
            for i in range(frames):
                out[i * channels + ch] = gauss(0.0, 1.0)
            continue
        if kind != "pink":
            raise ValueError("no such noise: %s" % kind)
        b0 = b1 = b2 = b3 = b4 = b5 = b6 = 0.0
        for i in range(frames):
            w = gauss(0.0, 1.0)
            b0 = 0.99886 * b0 + w * 0.0555179
            b1 = 0.99332 * b1 + w * 0.0750759
            b2 = 0.96900 * b2 + w * 0.1538520
            b3 = 0.86650 * b3 + w * 0.3104856
            b4 = 0.55000 * b4 + w * 0.5329522
            b5 = -0.7616 * b5 - w * 0.0168980
            out[i * channels + ch] = b0 + b1 + b2 + b3 + b4 + b5 + b6 + w * 0.5362
            b6 = w * 0.115926
    gain = INT16_MAX * 10.0 ** (rms_dbfs / 20.0) / rms(out)
    return array.array("h", (max(-INT16_MAX, min(INT16_MAX, round(x * gain)))
                             for x in out))


def duration_s(path):
    """Duration of any audio file sox can read, in seconds."""
    out = subprocess.run(["soxi", "-D", str(path)], capture_output=True,
                         text=True)
    if out.returncode != 0:
        raise ToolError("soxi %s: %s" % (path, out.stderr.strip()))
    return float(out.stdout)


def wav_format(path):
    """(sample_rate_hz, channels) of a WAV file."""
    with wave.open(str(path), "rb") as w:
        return w.getframerate(), w.getnchannels()
