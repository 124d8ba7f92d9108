"""The corpus is fixed: music extracted from archives, the catalog/negative
split and the excerpt plan."""

import os
import pathlib
import random
import tempfile
import unittest
import zipfile

import corpus


def fake_recordings(n):
    return [corpus.Recording("pkg%d/song %02d" % (i % 3, i), "pkg%d" % (i % 3),
                             "/x/%d.ogg" % i, "%064x" % i, 60.0 + i)
            for i in range(n)]


def write_pk3(path, members, stamp):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in members:
            z.writestr(zipfile.ZipInfo(name, stamp), data)


class CorpusTest(unittest.TestCase):
    def test_pk3_music_is_extracted_once_and_whole(self):
        noise = random.Random(1).randbytes
        members = [("music/b.ogg", noise(4000)), ("music/a.ogg", noise(3000)),
                   ("music/deeper/c.ogg", b"x"), ("music/readme.txt", b"x"),
                   ("sound/d.ogg", b"x")]
        with tempfile.TemporaryDirectory() as d:
            root = pathlib.Path(d)
            write_pk3(root / "one.pk3", members, (2020, 1, 1, 0, 0, 0))
            write_pk3(root / "two.pk3", members[::-1], (2023, 5, 5, 5, 5, 4))
            got = [corpus.extract_pk3(root, "pkg", root / name, "music/")
                   for name in ("one.pk3", "two.pk3", "one.pk3")]
            for paths in got:
                self.assertEqual([os.path.basename(p) for p in paths],
                                 ["a.ogg", "b.ogg"])
                self.assertEqual(pathlib.Path(paths[1]).read_bytes(),
                                 members[0][1])
            self.assertEqual(got[0], got[2], "the same archive, the same files")
            self.assertNotEqual(got[0], got[1], "keyed by the archive's digest")
            # An archive broken in its last member leaves no folder behind,
            # not even a temporary one holding the first.
            data = bytearray((root / "one.pk3").read_bytes())
            with zipfile.ZipFile(root / "one.pk3") as z:
                last = z.getinfo("music/a.ogg").header_offset
            data[last + 30 + len("music/a.ogg") + 1000] ^= 0xFF
            (root / "bad.pk3").write_bytes(data)
            with self.assertRaises(Exception):
                corpus.extract_pk3(root, "bad", root / "bad.pk3", "music/")
            self.assertEqual(list((root / "corpus" / "bad").iterdir()), [])

    def test_split_is_fixed_and_eighty_twenty(self):
        recs = fake_recordings(61)
        members, negatives = corpus.split(recs)
        ids = lambda rs: [r.id for r in rs]
        for seed in range(3):
            shuffled = recs[:]
            random.Random(seed).shuffle(shuffled)
            again = corpus.split(shuffled)
            self.assertEqual(ids(again[0]), ids(members))
            self.assertEqual(ids(again[1]), ids(negatives))
        self.assertEqual(len(members), 49)
        self.assertEqual(len(negatives), 12)
        self.assertFalse(set(ids(members)) & set(ids(negatives)))
        other = corpus.split(recs, seed="another seed")
        self.assertNotEqual(ids(other[1]), ids(negatives))

    def test_excerpt_plan_is_fixed_and_in_bounds(self):
        recs = fake_recordings(20)
        members, negatives = corpus.split(recs)
        plan = corpus.plan_excerpts(recs, 3, negatives, 10.5, 120.0)
        again = corpus.plan_excerpts(list(reversed(recs)), 3, negatives,
                                     10.5, 120.0)
        key = lambda e: (e.recording.id, e.index)
        self.assertEqual(sorted(plan, key=key), sorted(again, key=key))
        self.assertEqual(len(plan), 60)
        negative_ids = {n.id for n in negatives}
        for e in plan:
            self.assertLessEqual(e.offset_s + 10.5, e.recording.duration_s)
            self.assertLessEqual(e.noise_offset_s + 10.5, 120.0)
            self.assertIn(e.interferer.id, negative_ids)
            self.assertNotEqual(e.interferer.id, e.recording.id)
            self.assertLessEqual(e.interferer_offset_s + 10.5,
                                 e.interferer.duration_s)
        offsets = {e.offset_s for e in plan if e.recording.id == recs[0].id}
        self.assertEqual(len(offsets), 3, "excerpts of one recording differ")
        # Planning a subset (a partial run) gives the same excerpts.
        part = corpus.plan_excerpts(recs[:2], 3, negatives, 10.5, 120.0)
        self.assertEqual(part, [e for e in plan if e.recording in recs[:2]])


if __name__ == "__main__":
    unittest.main()
