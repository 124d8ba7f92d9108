"""Summarises a recognition_sweep output: recognition per condition.

  python3 bench/accuracy/sweep_summary.py sweep.tsv [--by-package]

Each sweep line's label is "condition|source|expected" (see bench/README.md,
"Tuning the fingerprint and the matcher"). Prints, per condition, member
queries named right, wrong, and missed; negatives matched; and the lowest
false-match probability any wrong candidate reached (how close chance came
to the bound). With --by-package, one column per package of the source.
"""

import collections
import math
import sys

FIELDS = 8  # title, hits, aligned, matched peaks, compared peaks, speed, scale, p, accepted


def parse(path):
    for line in open(path, encoding="utf-8"):
        cells = line.rstrip("\n").split("\t")
        condition, source, expected = (cells[0].split("|") + ["", ""])[:3]
        if len(cells) > 2 and cells[2] == "error":
            yield condition, source, expected, None
            continue
        cands = []
        for i in range(3, len(cells) - FIELDS, FIELDS + 1):
            c = cells[i:i + FIELDS + 1]
            cands.append({"title": c[0], "hits": int(c[1]), "aligned": int(c[2]),
                          "matched": int(c[3]), "compared": int(c[4]),
                          "p": float(c[7]), "accepted": c[8] == "1"})
        yield condition, source, expected, cands


def main(argv):
    by_package = "--by-package" in argv
    path = [a for a in argv if not a.startswith("--")][0]
    rows = collections.OrderedDict()
    worst_wrong = 1.0
    for condition, source, expected, cands in parse(path):
        key = (condition, source.split("/")[0] if by_package else "all")
        r = rows.setdefault(key, collections.Counter())
        if cands is None:
            r["error"] += 1
            continue
        for c in cands:
            if c["title"] != expected:
                worst_wrong = min(worst_wrong, c["p"])
        top = cands[0] if cands and cands[0]["accepted"] else None
        if expected:
            r["pos"] += 1
            if top is None:
                r["miss"] += 1
            elif top["title"] == expected:
                r["right"] += 1
            else:
                r["wrong"] += 1
        else:
            r["neg"] += 1
            r["fp"] += top is not None
    conditions = list(dict.fromkeys(k[0] for k in rows))
    packages = list(dict.fromkeys(k[1] for k in rows))
    print("%-14s" % "condition" + "".join("%22s" % p[:21] for p in packages))
    total = collections.Counter()
    for cond in conditions:
        cells = []
        for p in packages:
            r = rows.get((cond, p))
            if not r:
                cells.append("%22s" % "")
                continue
            total.update(r)
            if r["pos"]:
                cells.append("%22s" % ("%5.1f%% %d/%d w%d" % (
                    100.0 * r["right"] / r["pos"], r["right"], r["pos"], r["wrong"])))
            else:
                cells.append("%22s" % ("fp %d/%d" % (r["fp"], r["neg"])))
        print("%-14s" % cond + "".join(cells))
    print("members named right %.1f%% (%d/%d), wrong %d, negatives matched %d/%d, "
          "errors %d" % (100.0 * total["right"] / max(1, total["pos"]), total["right"],
                         total["pos"], total["wrong"], total["fp"], total["neg"],
                         total["error"]))
    print("lowest false-match probability of a wrong candidate: %.3g" % worst_wrong)


if __name__ == "__main__":
    main(sys.argv[1:])
