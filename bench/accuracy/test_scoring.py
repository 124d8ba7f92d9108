"""Answers are scored as correct, wrong recording, no match or error."""

import os
import stat
import tempfile
import unittest

import report
import runner

C, W, N, E = runner.CORRECT, runner.WRONG, runner.NO_MATCH, runner.ERROR


class ScoreTest(unittest.TestCase):
    def test_every_kind_of_answer(self):
        cases = [
            # expected title, exit status, stdout, outcome, matched title
            ("pkg/a b", 0, '{"matched":true,"artist":"p","title":"pkg\\/a b"}\n',
             C, "pkg/a b"),
            ("pkg/a", 0, '{"matched":true,"title":"pkg/b"}\n', W, "pkg/b"),
            ("pkg/a", 0, '{"matched":true}\n', W, "None"),
            ("pkg/a", 0, '{"matched":false}\n', N, None),
            ("pkg/a", 0, '{"matched":false,"message":"too short"}\n', N, None),
            ("pkg/a", 1, '{"matched":true,"title":"pkg/a"}\n', E, None),
            ("pkg/a", 0, "", E, None),
            ("pkg/a", 0, "not json\n", E, None),
            ("pkg/a", 0, '{"matched":"true","title":"pkg/a"}\n', E, None),
            ("pkg/a", 0, '{"matched":false}\n{"matched":false}\n', E, None),
            ("pkg/a", 0, '["matched"]\n', E, None),
            (None, 0, '{"matched":true,"title":"pkg/a"}\n', W, "pkg/a"),
            (None, 0, '{"matched":false}\n', N, None),
            (None, 1, "", E, None),
        ]
        for expected, rc, out, outcome, title in cases:
            with self.subTest(expected=expected, rc=rc, out=out):
                self.assertEqual(runner.score(expected, rc, out),
                                 (outcome, title))

    def test_a_real_process_is_scored_and_timed(self):
        with tempfile.TemporaryDirectory() as d:
            fake = os.path.join(d, "fake")
            with open(fake, "w") as f:
                f.write('#!/bin/sh\ncase "$1" in\n'
                        '*hit) echo "{\\"matched\\":true,\\"title\\":\\"$PLIM_CATALOG\\"}";;\n'
                        '*fail) echo "cannot read" >&2; exit 1;;\n'
                        '*) echo "{\\"matched\\":false}";;\nesac\n')
            os.chmod(fake, os.stat(fake).st_mode | stat.S_IEXEC)
            queries = [runner.Query("c", "s", "cat", "x-hit"),
                       runner.Query("c", "s", "other", "x-hit"),
                       runner.Query("c", "s", "cat", "x-fail"),
                       runner.Query("c", "s", None, "x-miss")]
            results = runner.run_queries(fake, "cat", queries, 2)
        self.assertEqual([r.outcome for r in results], [C, W, E, N])
        self.assertEqual(results[2].stderr, "cannot read")
        self.assertTrue(all(0 < r.wall_s < 5 for r in results))

    def test_summary_keeps_members_negatives_and_packages_apart(self):
        def res(cond, expected, outcome, source="p1/s"):
            return runner.Result(runner.Query(cond, source, expected, "p"),
                                 outcome, None, 0.1)
        results = [res("a", "t", C), res("a", "t", W), res("a", "t", N),
                   res("a", "t", E), res("a", None, N), res("a", None, W),
                   res("a", None, E), res("b", None, N),
                   res("a", "t", C, "p2/s"), res("b", "t", N, "p2/s"),
                   res("a", None, W, "silence")]
        rows = {r.name: r for r in report.summarise(results[:8],
                                                    ["a", "b", "z"])}
        self.assertEqual(sorted(rows), ["a", "b"])
        a = rows["a"]
        self.assertEqual((a.positives, a.correct, a.wrong, a.no_match, a.errors),
                         (4, 1, 1, 1, 1))
        self.assertEqual((a.negatives, a.neg_matched, a.neg_errors), (3, 1, 1))
        self.assertEqual((rows["b"].positives, rows["b"].neg_matched), (0, 0))
        # Per package, and "all" over the packages only (no non-music clips).
        table = report.by_package(results, ["a", "b"], ["p1", "p2", "p3"])
        self.assertEqual(table["p1"]["a"], a)
        self.assertEqual((table["p2"]["a"].correct, table["p2"]["b"].no_match),
                         (1, 1))
        self.assertEqual(table["p3"], {})
        self.assertEqual((table["all"]["a"].positives,
                          table["all"]["a"].neg_matched), (5, 1))


if __name__ == "__main__":
    unittest.main()
