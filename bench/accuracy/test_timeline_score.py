"""python3 -m unittest test_timeline_score (from bench/accuracy)."""

import math
import unittest

import mixes
import timeline_score


def piece(title, member, start, end):
    return mixes.Piece(title, member, start - 3, end + 3, start, end, 0.0, 1.0)


class TimelineScoreTest(unittest.TestCase):
    pieces = [piece("a", True, 0, 100), piece("x", False, 100, 150),
              piece("b", True, 150, 200)]

    def test_per_second(self):
        found = [dict(title="a", start_s=2, end_s=101),    # 2 s late, 1 s over
                 dict(title="c", start_s=120, end_s=130),  # a wrong name
                 dict(title="b", start_s=150, end_s=200)]
        got = timeline_score.per_second(self.pieces, found, 200)
        self.assertEqual(got, dict(member_s=150, member_right_s=148, none_s=50,
                                   none_clear_s=39))

    def test_per_piece(self):
        found = [dict(title="a", start_s=2, end_s=60), dict(title="a", start_s=61, end_s=98)]
        got = timeline_score.per_piece(self.pieces, found)
        self.assertEqual([g["title"] for g in got], ["a", "b"])
        self.assertEqual((got[0]["start_error_s"], got[0]["end_error_s"]), (2, -40))
        self.assertFalse(got[1]["found"])
        self.assertTrue(math.isnan(got[1]["start_error_s"]))


if __name__ == "__main__":
    unittest.main()
