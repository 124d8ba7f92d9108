"""Audio plumbing: sox and ffmpeg calls, 16-bit WAV I/O, level and mixing.

Everything here works on interleaved 16-bit PCM held in array('h'); levels
are RMS over all samples of all channels. Only the standard library is used,
so the mixing is plain Python: fine for 10-s clips.
"""

import array
import math
import random
import subprocess
import sys
import wave

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


def read_wav(path):
    """(sample_rate_hz, channels, samples) of a 16-bit PCM WAV file."""
    with wave.open(str(path), "rb") as w:
        if w.getsampwidth() != 2:
            raise ValueError("%s: not 16-bit PCM" % path)
        samples = array.array("h")
        samples.frombytes(w.readframes(w.getnframes()))
        if sys.byteorder == "big":
            samples.byteswap()
        return w.getframerate(), w.getnchannels(), samples


def write_wav(path, sample_rate_hz, channels, samples):
    """Writes interleaved 16-bit samples as a PCM WAV file."""
    data = array.array("h", samples)
    if sys.byteorder == "big":
        data.byteswap()
    with wave.open(str(path), "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(sample_rate_hz)
        w.writeframes(data.tobytes())


def rms(samples):
    """Root mean square of a sequence of numbers (0 for an empty one)."""
    if not samples:
        return 0.0
    return math.sqrt(math.fsum(x * x for x in samples) / len(samples))


def level_db(ratio):
    return 20.0 * math.log10(ratio) if ratio > 0 else float("-inf")


def measured_snr_db(signal, mixture):
    """SNR of `mixture` taking `signal` as its wanted part, measured.

    Whatever is in the mixture and not in the signal counts as noise,
    including any clipping or rounding the mixing did.
    """
    residual = [m - s for m, s in zip(mixture, signal)]
    return level_db(rms(signal) / rms(residual)) if rms(residual) else float("inf")


def mix_at_snr(signal, noise, snr_db):
    """Adds `noise` to `signal` so that their level ratio is snr_db.

    Both are int16 sample arrays of the same layout; noise must be at least
    as long as signal (it is cut to length). The noise gain comes from the
    RMS of this signal and this noise, not from assumed levels. If the sum
    would clip, the whole mixture is scaled down instead, which keeps the
    ratio. Returns (mixture, wanted part as scaled, measured SNR in dB).
    """
    if len(noise) < len(signal):
        raise ValueError("noise (%d samples) shorter than signal (%d)" %
                         (len(noise), len(signal)))
    noise = noise[:len(signal)]
    signal_rms, noise_rms = rms(signal), rms(noise)
    if signal_rms == 0 or noise_rms == 0:
        raise ValueError("cannot set an SNR against silence")
    gain = signal_rms / (noise_rms * 10.0 ** (snr_db / 20.0))
    mixed = [s + gain * n for s, n in zip(signal, noise)]
    peak = max(abs(x) for x in mixed)
    scale = min(1.0, INT16_MAX / peak) if peak else 1.0
    out = array.array("h", (round(x * scale) for x in mixed))
    wanted = [s * scale for s in signal]
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
