"""Noise is added at the SNR asked for, as measured in the written file."""

import math
import os
import random
import tempfile
import unittest

import media


def tone(n, amplitude, channels=1):
    return [round(amplitude * math.sin(2 * math.pi * 440 * (i // channels) /
                                       44100)) for i in range(n)]


def noise(n, amplitude, seed, loud_tail=0):
    rng = random.Random(seed)
    body = [round(rng.gauss(0, amplitude)) for _ in range(n)]
    return body + [30000 if i % 2 else -30000 for i in range(loud_tail)]


def fitted_snr_db(mixture, signal, noise_part):
    """SNR from a least-squares fit mixture ~ a*signal + b*noise."""
    ss = sum(s * s for s in signal)
    nn = sum(x * x for x in noise_part)
    sn = sum(s * x for s, x in zip(signal, noise_part))
    ms = sum(m * s for m, s in zip(mixture, signal))
    mn = sum(m * x for m, x in zip(mixture, noise_part))
    det = ss * nn - sn * sn
    a = (ms * nn - mn * sn) / det
    b = (mn * ss - ms * sn) / det
    return 20 * math.log10(abs(a) * media.rms(signal) /
                           (abs(b) * media.rms(noise_part)))


class MixAtSnrTest(unittest.TestCase):
    def test_measured_snr_matches_the_target(self):
        n = 44100
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
                    media.write_wav(path, 44100, 1, mixed)
                    _, _, back = media.read_wav(path)
                self.assertEqual(len(back), len(sig))
                self.assertLessEqual(max(abs(x) for x in back), 32767)
                clipped = sum(abs(x) >= 32767 for x in back)
                self.assertLess(clipped, 3, "mixture clipped instead of scaled")
                measured = fitted_snr_db(back, sig, nz[:len(sig)])
                self.assertAlmostEqual(measured, target, delta=0.05)
                self.assertAlmostEqual(reported, target, delta=0.05)

    def test_refuses_what_cannot_be_mixed(self):
        with self.assertRaises(ValueError):
            media.mix_at_snr(tone(100, 1000), noise(50, 100, 1), 0)
        with self.assertRaises(ValueError):
            media.mix_at_snr([0] * 100, noise(100, 100, 1), 0)


if __name__ == "__main__":
    unittest.main()
