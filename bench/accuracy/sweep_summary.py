"""Summarises a recognition_sweep output: recognition per condition.

  python3 bench/accuracy/sweep_summary.py sweep.tsv [--by-package]
  python3 bench/accuracy/sweep_summary.py after.tsv --snr-plot OUT.png [--before before.tsv]

For the plot either file may instead be a RESULTS.md of the benchmark (its
per-package table), so that two runs, or a run and an earlier commit's
RESULTS.md, can be compared.

Each sweep line's label is "condition|source|expected" (see bench/README.md,
"Tuning the fingerprint and the matcher"). Prints, per condition, member
queries named right, wrong, and missed; negatives matched; and the lowest
false-match probability any wrong candidate reached (how close chance came
to the bound). With --by-package, one column per package of the source. With --snr-plot,
draws the share named right against the pink-noise SNR, one curve per
package and a bold one for all, solid for this sweep and dashed for the
one --before names.
"""

import collections
import math
import re
import sys

# After the title: hits, aligned, matched peaks, compared peaks, speed,
# scale, outline correlation, outline standing, p, accepted.
FIELDS = 10


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
                          "p": float(c[9]), "accepted": c[10] == "1"})
        yield condition, source, expected, cands


def snr_rates(path):
    """{package or "all": {snr_db: share of members named right}}."""
    if path.endswith(".md"):
        return results_snr_rates(path)
    counts = collections.defaultdict(collections.Counter)
    for condition, source, expected, cands in parse(path):
        if not condition.startswith("pink") or not condition.endswith("dB") or not expected:
            continue
        snr = float(condition[len("pink"):-len("dB")])
        named = bool(cands) and cands[0]["accepted"] and cands[0]["title"] == expected
        for key in (source.split("/")[0], "all"):
            counts[key][(snr, "n")] += 1
            counts[key][(snr, "right")] += named
    return {key: {snr: c[(snr, "right")] / c[(snr, "n")] for snr, kind in c if kind == "n"}
            for key, c in counts.items()}


def results_snr_rates(path):
    """snr_rates from the per-package table of a benchmark's RESULTS.md."""
    rates, columns = collections.defaultdict(dict), None
    for line in open(path, encoding="utf-8"):
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if columns is None:
            if line.startswith("| condition |") and cells[-1].startswith("all ("):
                columns = [c.split(" (")[0] for c in cells[1:]]
            continue
        if not line.startswith("|"):
            break
        m = re.fullmatch(r"pink([+-]\d+)dB", cells[0])
        if m:
            for package, cell in zip(columns, cells[1:]):
                rates[package][float(m.group(1))] = float(cell.rstrip("%")) / 100
    return rates


def plot_snr(after_path, out_path, before_path=None):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(7.5, 4.5))
    after = snr_rates(after_path)
    before = snr_rates(before_path) if before_path else {}
    packages = sorted(k for k in after if k != "all") + ["all"]
    colors = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    for i, package in enumerate(packages):
        style = dict(color="black", linewidth=2.5) if package == "all" \
            else dict(color=colors[i % len(colors)], linewidth=1.2)
        for rates, line, label in ((after.get(package), "o-", package),
                                   (before.get(package), "x--", None)):
            if rates:
                xs = sorted(rates)
                ax.plot(xs, [100 * rates[x] for x in xs], line, label=label, markersize=4,
                        **style)
    ax.invert_xaxis()
    ax.set_xlabel("SNR with pink noise (dB); 10-s clips")
    ax.set_ylabel("% of member queries named right")
    ax.set_ylim(-3, 103)
    ax.grid(alpha=0.3)
    ax.legend(loc="lower left", fontsize=8)
    ax.set_title("Against pink noise, per package" +
                 (" (dashed: before)" if before_path else ""))
    fig.tight_layout()
    fig.savefig(out_path, dpi=110)
    plt.close(fig)


def main(argv):
    if "--snr-plot" in argv:
        before = argv[argv.index("--before") + 1] if "--before" in argv else None
        plot_snr(argv[0], argv[argv.index("--snr-plot") + 1], before)
        return
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
