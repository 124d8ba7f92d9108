"""The timeline benchmark: hour-long mixes (see mixes.py) followed by
`plim-catalog match --timeline`, scored per second and per recording.

  /usr/bin/python3 bench/accuracy/timeline_bench.py --catalog-tool BIN
      [--catalog DIR] [--mixes N] [--cache DIR] [--plot PNG]
      [--crossfade-s MIN MAX] [--noise-snr-db DB]

The catalog defaults to the one scripts/benchmark.sh builds in the cache
(work/catalog-j1: the corpus's catalog members, titled by corpus id).
Prints a Markdown section of results on standard output and draws mix 0,
truth against found, in the plot.
"""

import argparse
import json
import math
import os
import pathlib
import statistics
import sys

import cache
import corpus
import mixes
import runner
import timeline_score

HERE = pathlib.Path(__file__).resolve().parent


def follow(tool, catalog, mix_path, out_path):
    """Runs the timeline on one mix: (stretches, wall s, CPU s, RSS KiB)."""
    wall, cpu, rss, rc, err = runner.timed_command(
        ["sh", "-c", 'exec "$0" "$@" > "%s"' % out_path, tool, "--catalog", catalog,
         "--json", "match", "--timeline", mix_path])
    if rc != 0:
        raise RuntimeError("plim-catalog failed on %s: %s" % (mix_path, err.strip()))
    with open(out_path) as f:
        return [json.loads(line) for line in f if line.strip()], wall, cpu, rss


def plot(path, pieces, found, title):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    titles = sorted({p.title for p in pieces if p.member} | {f["title"] for f in found})
    colour = {t: plt.cm.tab20(i % 20) for i, t in enumerate(titles)}
    fig, ax = plt.subplots(figsize=(12, 2.8))
    for p in pieces:
        ax.broken_barh([(p.truth_start_s / 60, (p.truth_end_s - p.truth_start_s) / 60)], (1.1, 0.8),
                       facecolors=colour[p.title] if p.member else "lightgrey",
                       edgecolor="black", linewidth=0.4)
    for f in found:
        ax.broken_barh([(f["start_s"] / 60, (f["end_s"] - f["start_s"]) / 60)], (0.1, 0.8),
                       facecolors=colour[f["title"]], edgecolor="black", linewidth=0.4)
    ax.set_yticks([0.5, 1.5], ["found", "truth"])
    ax.set_xlabel("minutes into the mix (grey: recordings outside the catalog)")
    ax.set_title(title)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--catalog-tool", required=True)
    p.add_argument("--catalog", default=None)
    p.add_argument("--mixes", type=int, default=3)
    p.add_argument("--cache", default=str(cache.default_root()))
    p.add_argument("--plot", default=str(HERE.parent / "plots" / "timeline.png"))
    p.add_argument("--crossfade-s", type=float, nargs=2, default=mixes.CROSSFADE_S,
                   metavar=("MIN", "MAX"), help="crossfade lengths (default 5 10)")
    p.add_argument("--noise-snr-db", type=float, default=mixes.NOISE_SNR_DB,
                   help="pink noise this far under the music (default 10)")
    args = p.parse_args(argv)
    store = cache.Cache(args.cache)
    catalog = args.catalog or os.path.join(args.cache, "work", "catalog-j1")
    recordings, _ = corpus.discover(args.cache)
    members, negatives = corpus.split(recordings)

    rows, pieces_all, seconds = [], [], dict(member_s=0, member_right_s=0, none_s=0,
                                             none_clear_s=0)
    for index in range(args.mixes):
        mix_path, pieces = mixes.build(store, index, members, negatives,
                                       crossfade_s=tuple(args.crossfade_s),
                                       noise_snr_db=args.noise_snr_db)
        out_path = str(mix_path) + ".timeline.json"
        found, wall, cpu, rss = follow(args.catalog_tool, catalog, str(mix_path), out_path)
        duration_s = max(pc.end_s for pc in pieces)
        sec = timeline_score.per_second(pieces, found, duration_s)
        judged = timeline_score.per_piece(pieces, found)
        for k in seconds:
            seconds[k] += sec[k]
        pieces_all += judged
        rows.append((index, duration_s, sec, judged, cpu, wall, rss, len(found)))
        print("mix %d: %.0f s, %d stretches, CPU %.1f s" % (index, duration_s, len(found), cpu),
              file=sys.stderr)
        if index == 0:
            plot(args.plot, pieces, found, "Mix 0: the true recordings against those found")

    def share(a, b):
        return "%d/%d (%.1f%%)" % (a, b, 100.0 * a / b) if b else "-"

    def errors(judged, key, bound):
        errs = [abs(j[key]) for j in judged if j["found"]]
        if not errs:
            return "-"
        return "median %.1f s, max %.1f s, %d/%d within %g s" % (
            statistics.median(errs), max(errs), sum(e <= bound for e in errs), len(errs), bound)

    print("| mix | length | stretches | recordings found | right recording per second "
          "(where one plays) | nothing named per second (where none does) | start error | "
          "end error | CPU | × real time | peak RSS |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for index, duration_s, sec, judged, cpu, wall, rss, n in rows:
        print("| %d | %.1f min | %d | %s | %s | %s | %s | %s | %.1f s | %.0f | %.0f MB |" % (
            index, duration_s / 60, n, share(sum(j["found"] for j in judged), len(judged)),
            share(sec["member_right_s"], sec["member_s"]),
            share(sec["none_clear_s"], sec["none_s"]),
            errors(judged, "start_error_s", 1.5), errors(judged, "end_error_s", 3),
            cpu, duration_s / cpu, (rss or 0) / 1024))
    print()
    print("| speed | recordings found | start error | end error |")
    print("|---|---|---|---|")
    for speed in sorted({j["speed"] for j in pieces_all}):
        judged = [j for j in pieces_all if j["speed"] == speed]
        print("| %+.0f%% | %s | %s | %s |" % (
            (speed - 1) * 100, share(sum(j["found"] for j in judged), len(judged)),
            errors(judged, "start_error_s", 1.5), errors(judged, "end_error_s", 3)))
    print()
    print("All mixes: right recording %s of the seconds where one plays; nothing named %s of "
          "the seconds where none does." % (share(seconds["member_right_s"], seconds["member_s"]),
                                             share(seconds["none_clear_s"], seconds["none_s"])))
    missed = [j["title"] for j in pieces_all if not j["found"]]
    if missed:
        print("\nNot found: " + ", ".join(missed))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
