"""Noise is added at the SNR asked for, as measured in the written file."""

import math
import os
import pathlib
import random
import shutil
import tempfile
import unittest

import numpy as np

import cache
import conditions
import corpus
import crowd
import media

RATE = 44100


def tone(n, amplitude, channels=1):
    return [round(amplitude * math.sin(2 * math.pi * 440 * (i // channels) /
                                       RATE)) for i in range(n)]


def noise(n, amplitude, seed, loud_tail=0):
    rng = random.Random(seed)
    body = [round(rng.gauss(0, amplitude)) for _ in range(n)]
    return body + [30000 if i % 2 else -30000 for i in range(loud_tail)]


def fitted_snr_db(mixture, signal, noise_part):
    """SNR from a least-squares fit mixture ~ a*signal + b*noise."""
    signal = np.asarray(signal, dtype=np.float64)
    noise_part = np.asarray(noise_part, dtype=np.float64)
    (a, b), *_ = np.linalg.lstsq(np.stack([signal, noise_part], axis=1),
                                 np.asarray(mixture, dtype=np.float64),
                                 rcond=None)
    return 20 * math.log10(abs(a) * media.rms(signal) /
                           (abs(b) * media.rms(noise_part)))


def melody_recording(folder, rate, seconds=25.0):
    """A mono WAV of tones changing every 0.25 s, as a corpus Recording."""
    rng = random.Random("melody")
    freq = np.repeat([rng.uniform(200, 2000) for _ in range(int(seconds * 4))],
                     rate // 4)
    path = os.path.join(folder, "melody.wav")
    media.write_wav(path, rate, 1, np.rint(8000 * np.sin(
        2 * np.pi * np.cumsum(freq) / rate)).astype(np.int16))
    return corpus.Recording("test/melody", "test", path,
                            cache.file_digest(path), seconds)


class MixAtSnrTest(unittest.TestCase):
    def test_measured_snr_matches_the_target(self):
        n = RATE
        cases = [
            # name, signal, noise, target dB
            ("quiet tone, pink-ish noise", tone(n, 1000), noise(n, 300, 1), -9),
            ("loud tone would clip", tone(n, 30000), noise(n, 8000, 2), 0),
            ("stereo, high SNR", tone(n, 12000, 2), noise(n, 50, 3), 10),
            # RMS must come from the part of the noise actually used.
            ("long noise, loud tail unused", tone(n, 5000),
             noise(n, 1000, 4, loud_tail=n), -6),
            ("-3 dB", tone(n, 8000), noise(n, 4000, 5), -3),
        ]
        for name, sig, nz, target in cases:
            with self.subTest(name):
                mixed, _, reported = media.mix_at_snr(sig, nz, target)
                with tempfile.TemporaryDirectory() as d:
                    path = os.path.join(d, "mix.wav")
                    media.write_wav(path, RATE, 1, mixed)
                    _, _, back = media.read_wav(path)
                self.assertEqual(len(back), len(sig))
                clipped = np.sum(np.abs(back.astype(np.int32)) >= 32767)
                self.assertLess(clipped, 3, "mixture clipped instead of scaled")
                measured = fitted_snr_db(back, sig, nz[:len(sig)])
                self.assertAlmostEqual(measured, target, delta=0.05)
                self.assertAlmostEqual(reported, target, delta=0.05)

    @unittest.skipUnless(shutil.which("espeak-ng") and shutil.which("sox"),
                         "needs espeak-ng and sox")
    def test_query_files_hold_music_and_noise_at_the_target(self):
        """The whole recipe of the mixing conditions, on a made-up recording:
        the noise part is made again from the same seeds and fitted."""
        rate = 16000  # keeps the pink-noise track quick to make
        with tempfile.TemporaryDirectory() as d:
            rec = melody_recording(d, rate)
            store = cache.Cache(pathlib.Path(d) / "cache")
            excerpt = corpus.plan_excerpts([rec], 1, [], 10.5, 120.0)[0]
            _, _, signal = media.read_wav(conditions._cut(
                store, rec, excerpt.offset_s, 10.0))
            voices = crowd.talkers(excerpt)
            self.assertEqual(len({v.voice.split("+")[0] for v in voices}), 4)
            babble = crowd.babble(voices, rate, 1, 10.0, pathlib.Path(d))
            self.assertEqual(babble.size, signal.size)
            pink = media.read_wav(conditions._cut_plain(
                store, conditions._pink_track(store, (rate, 1)),
                excerpt.noise_offset_s, 10.0))[2]
            for name, noise_part in [("crowd", babble), ("pink-9dB", pink)]:
                with self.subTest(name):
                    path, reported = conditions.make_query(
                        store, conditions.BY_NAME[name], excerpt)
                    _, _, back = media.read_wav(path)
                    target = conditions._mixing_target(
                        conditions.BY_NAME[name])
                    self.assertAlmostEqual(
                        fitted_snr_db(back, signal, noise_part), target,
                        delta=0.05)
                    self.assertAlmostEqual(reported, target, delta=0.05)

    def test_refuses_what_cannot_be_mixed(self):
        with self.assertRaises(ValueError):
            media.mix_at_snr(tone(100, 1000), noise(50, 100, 1), 0)
        with self.assertRaises(ValueError):
            media.mix_at_snr([0] * 100, noise(100, 100, 1), 0)


if __name__ == "__main__":
    unittest.main()
