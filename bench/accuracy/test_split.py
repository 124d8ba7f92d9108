"""The catalog/negative split and the excerpt plan are fixed by their seeds."""

import random
import unittest

import corpus


def fake_recordings(n):
    return [corpus.Recording("pkg%d/song %02d" % (i % 3, i), "pkg%d" % (i % 3),
                             "/x/%d.ogg" % i, "%064x" % i, 60.0 + i)
            for i in range(n)]


class SplitTest(unittest.TestCase):
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


if __name__ == "__main__":
    unittest.main()
