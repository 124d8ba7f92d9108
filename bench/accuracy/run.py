"""The accuracy and speed benchmark of plim-shazamkit, end to end.

  python3 bench/accuracy/run.py --shazamkit BIN --catalog-tool BIN
      [--smoke | --quick | --generate-only] [--jobs N] [--scale 1000,10000]
      [--conditions NAME,...] [--packages NAME,...] [--cache DIR]

Normally started by scripts/benchmark.sh, which installs the corpus and
tools and builds the programs first. Writes bench/RESULTS.md and
bench/plots/recognition.png (not in --smoke mode), and the raw per-query
results under the cache directory. Exit status 1 in --smoke mode when a
clean 10-s clip of a catalog member is not recognised, anything is matched
wrongly, or a query fails. --generate-only makes the query clips and writes
their list (queries.tsv) without running any program.
"""

import argparse
import concurrent.futures
import csv
import fnmatch
import os
import pathlib
import shutil
import sys
import time

import cache
import conditions
import corpus
import report
import runner
import scale

HERE = pathlib.Path(__file__).resolve().parent
SMOKE_CONDITIONS = ["clean-10s", "clean-3s", "mp3-64k", "pink-3dB", "speed+5",
                    "crowd"]
SMOKE_EXTRAS = ["silence", "pink-loud", "speech-en-us"]
SCALE_CONDITIONS = ["clean-10s", "clean-3s", "pink-6dB", "speed+5"]


def log(message):
    print("[bench %s] %s" % (time.strftime("%H:%M:%S"), message),
          file=sys.stderr, flush=True)


class Phases:
    """Wall time of each step of the run, for the report."""

    def __init__(self):
        self.done = []

    def __call__(self, name, fn, *args):
        log(name + " ...")
        start = time.monotonic()
        value = fn(*args)
        self.done.append((name, time.monotonic() - start))
        log("%s: %.1f s" % (name, self.done[-1][1]))
        return value


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--shazamkit", help="plim-shazamkit binary")
    p.add_argument("--catalog-tool", help="plim-catalog binary")
    mode = p.add_mutually_exclusive_group()
    mode.add_argument("--smoke", action="store_true",
                      help="a few recordings and conditions; self-checking")
    mode.add_argument("--quick", action="store_true",
                      help="one excerpt per recording and condition")
    p.add_argument("--generate-only", action="store_true",
                   help="make the query clips and list them in queries.tsv; "
                        "run nothing")
    p.add_argument("--conditions", default=None,
                   help="conditions to query, comma-separated names or "
                        "patterns (pink*); default all")
    p.add_argument("--packages", default=None,
                   help="query only recordings of these packages, "
                        "comma-separated; the catalog still holds all members")
    p.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    p.add_argument("--scale", default=None,
                   help="catalog sizes in fillers, comma-separated, or 0 for "
                        "none (default 1000,10000; --quick 1000; --smoke 0)")
    p.add_argument("--per-recording", type=int, default=None,
                   help="excerpts per recording and condition (default 3; "
                        "--quick and --smoke 1)")
    p.add_argument("--cache", default=str(cache.default_root()))
    p.add_argument("--out", default=str(HERE.parent),
                   help="where RESULTS.md and plots/ go (default bench/)")
    args = p.parse_args(argv)
    if not args.generate_only and not (args.shazamkit and args.catalog_tool):
        p.error("--shazamkit and --catalog-tool are needed to run queries")
    args.condition_names = _pick(
        "condition", [c.name for c in conditions.CONDITIONS],
        args.conditions.split(",") if args.conditions else
        SMOKE_CONDITIONS if args.smoke else ["*"], p)
    args.package_names = _pick(
        "package", corpus.PACKAGES,
        args.packages.split(",") if args.packages else ["*"], p)
    if args.scale is None:
        args.scale = "0" if args.smoke else "1000" if args.quick else "1000,10000"
    args.scale_sizes = [int(s) for s in args.scale.split(",") if int(s) > 0]
    if args.per_recording is None:
        args.per_recording = 1 if (args.smoke or args.quick) else 3
    return args


def _pick(kind, known, patterns, parser):
    """The known names matching any of the patterns, in known order."""
    for pattern in patterns:
        if not fnmatch.filter(known, pattern):
            parser.error("no %s matches %r (known: %s)" % (
                kind, pattern, ", ".join(known)))
    return [k for k in known if any(fnmatch.fnmatchcase(k, p)
                                    for p in patterns)]


def choose_corpus(args):
    """(all recordings, excluded, catalog members, negatives, recordings
    to query). The split is always made over the whole corpus."""
    recordings, excluded = corpus.discover(args.cache)
    members, negatives = corpus.split(recordings)
    if args.smoke:
        members = members[::max(1, len(members) // 4)][:4]
        negatives = negatives[:2]
    queried = [r for r in members + negatives
               if r.package in args.package_names]
    return recordings, excluded, members, negatives, queried


def plan_queries(args, members, negatives, queried):
    """[(condition name, excerpt, expected title or None)] and extra clips.

    Excerpts and interferers do not depend on which recordings or
    conditions are chosen, so a partial run makes the same clips.
    """
    extras = [n for n in conditions.EXTRA_NEGATIVES
              if not args.smoke or n.name in SMOKE_EXTRAS]
    plan = corpus.plan_excerpts(queried, args.per_recording,
                                negatives, conditions.LONGEST_CUT_S,
                                conditions.NOISE_TRACK_S)
    member_ids = {m.id for m in members}
    jobs = [(name, e, e.recording.id if e.recording.id in member_ids else None)
            for e in plan for name in args.condition_names
            if conditions.applies(conditions.BY_NAME[name], e)]
    return jobs, extras


def timing_clip(args, members):
    """A clean 10-s clip of the first member, for the timed single runs."""
    excerpt = corpus.plan_excerpts(members[:1], 1, [], conditions.LONGEST_CUT_S,
                                   conditions.NOISE_TRACK_S)[0]
    return str(conditions.make_query(cache.Cache(args.cache),
                                     conditions.BY_NAME["clean-10s"],
                                     excerpt)[0])


def generate(args, planned, extras):
    store = cache.Cache(args.cache)
    queries = []
    report_progress = progress("clips")
    with concurrent.futures.ProcessPoolExecutor(max_workers=args.jobs) as pool:
        tasks = [(args.cache, name, e) for name, e, _ in planned]
        for (name, e, expected), (path, snr) in zip(
                planned, pool.map(conditions.generate_one, tasks, chunksize=4)):
            queries.append(runner.Query(name, e.recording.id, expected, path,
                                        snr))
            report_progress(len(queries), len(planned))
    for neg in extras:
        queries.append(runner.Query(neg.name, neg.name, None,
                                    str(conditions.make_extra_negative(store,
                                                                       neg))))
    return queries


def progress(label):
    step = [0]

    def report_progress(done, total):
        if done * 10 // total > step[0] or done == total:
            step[0] = done * 10 // total
            log("%s: %d/%d" % (label, done, total))
    return report_progress


def build_main_catalogs(args, work, csv_path, member_hours):
    """Builds the catalog with --jobs 1 and with --jobs N; returns builds."""
    builds = []
    for jobs in sorted({1, args.jobs}) if not args.smoke else [args.jobs]:
        folder = work / ("catalog-j%d" % jobs)
        if folder.exists():
            shutil.rmtree(folder)
        b = runner.build_catalog(args.catalog_tool, folder,
                                 ["--metadata", str(csv_path)], jobs)
        b.update(jobs=jobs, audio_h=member_hours, catalog=str(folder))
        log("catalog --jobs %d: %.1f s, exit %d %s" % (
            jobs, b["wall_s"], b["returncode"], b["stderr"].splitlines()[-1:]))
        builds.append(b)
    return builds


def run_scale(args, store, recordings, members, csv_path, queries, run_dir,
              base):
    """Builds the scale catalogs and queries them, and the base catalog."""
    binary_key = cache.file_digest(args.catalog_tool)
    members_args = ["--metadata", str(csv_path)]
    sizes = scale.build_scale_catalogs(
        store, args.catalog_tool, binary_key, recordings, members_args,
        args.scale_sizes, args.jobs, log)
    sizes[0] = base
    first = {}
    for q in queries:  # the first excerpt of each recording, in plan order
        if q.condition in SCALE_CONDITIONS:
            first.setdefault((q.condition, q.source), q)
    picked = list(first.values()) + [
        q for q in queries if q.condition in {n.name for n in
                                              conditions.EXTRA_NEGATIVES}]
    clip = timing_clip(args, members)
    for size, info in sorted(sizes.items()):
        catalog = info["catalog"]
        log("scale %d: %d queries, one at a time" % (size, len(picked)))
        res = runner.run_queries(args.shazamkit, catalog, picked, 1)
        write_raw(run_dir / ("queries-scale-%d.csv" % size), res)
        pos = [r for r in res if r.query.expected]
        clean = [r for r in pos if r.query.condition == "clean-10s"]
        info.update(
            positives=len(pos),
            correct=sum(r.outcome == runner.CORRECT for r in pos),
            clean_total=len(clean),
            clean_correct=sum(r.outcome == runner.CORRECT for r in clean),
            wrong=sum(r.outcome == runner.WRONG for r in res),
            wrong_list=["%s, %s -> \"%s\"" % (r.query.condition, r.query.source,
                                              r.matched_title)
                        for r in res if r.outcome == runner.WRONG],
            errors=sum(r.outcome == runner.ERROR for r in res),
            process=runner.measure_process(args.shazamkit, catalog, clip, 11))
    method = (
        "Each catalog holds the %d catalog members plus N fillers, added with "
        "plim-catalog add --jobs %d; sizes are built in increasing order, each "
        "from a copy of the one before, and the build time is the sum of the "
        "steps. A filler is real music made unrecognisable: filler n takes "
        "corpus recording n mod %d, cuts 30 s at a seeded random offset, "
        "changes its speed (sox speed, pitch and tempo together) by a seeded "
        "random factor in 0.60-0.92 or 1.08-1.50 (outside the engine's +-6%% "
        "search), reverses it in time, and mixes in its own stretch of a "
        "seeded pink-noise track at -32 dBFS RMS; mono 16 kHz FLAC. Queries "
        "at each size: the first excerpt of every recording (members and "
        "negatives) under %s, and the non-music clips, run one at a time." % (
            len(members), args.jobs, len(recordings),
            ", ".join(SCALE_CONDITIONS)))
    return {"sizes": sizes, "method": method, "note": scale_note(args, sizes)}


def scale_note(args, sizes):
    largest = max(sizes)
    if not largest or 100000 in sizes:
        return ""
    info = sizes[largest]
    hours_per_filler = info["filler_h"] / largest
    rate = sum(s["wall_s"] for s in info["steps"] if "audio_h" in s) / \
        max(1e-9, info["filler_h"])
    make_s = sum(s.get("generate_s", 0) for s in info["steps"]) / largest
    return ("100 000 fillers were not built (opt in with --scale 100000). "
            "Extrapolating linearly from the %d-filler build: %.0f h of audio, "
            "about %.1f h of plim-catalog add on this machine plus %.1f h "
            "making the filler audio, and about %.0f GiB of catalog on disk."
            % (largest, hours_per_filler * 100000,
               rate * hours_per_filler * 100000 / 3600, make_s * 100000 / 3600,
               info["bytes"] / largest * 100000 / 2**30))


def write_raw(path, results):
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["condition", "source", "expected", "outcome", "matched",
                    "wall_ms", "exit", "snr_db", "path", "stderr"])
        for r in results:
            q = r.query
            w.writerow([q.condition, q.source, q.expected or "", r.outcome,
                        r.matched_title or "", "%.1f" % (r.wall_s * 1000),
                        r.returncode, "" if q.snr_db is None else
                        "%.3f" % q.snr_db, q.path, r.stderr])


def write_query_list(path, queries):
    """One line per query: clip path, tab, condition|source|expected, the
    input recognition_sweep reads."""
    with open(path, "w") as f:
        for q in queries:
            f.write("%s\t%s|%s|%s\n" % (q.path, q.condition, q.source,
                                        q.expected or ""))


def smoke_failures(results, builds):
    problems = ["catalog build exited %d: %s" % (b["returncode"], b["stderr"])
                for b in builds if b["returncode"] != 0]
    for r in results:
        q = r.query
        if r.outcome == runner.ERROR:
            problems.append("%s %s: error (exit %d): %s" % (
                q.condition, q.source, r.returncode, r.stderr))
        elif r.outcome == runner.WRONG:
            problems.append("%s %s: matched %r" % (q.condition, q.source,
                                                   r.matched_title))
        elif q.condition == "clean-10s" and q.expected and \
                r.outcome != runner.CORRECT:
            problems.append("clean-10s %s: not recognised" % q.source)
    return problems


def main(argv):
    args = parse_args(argv)
    load_at_start = os.getloadavg()[0]
    started = time.monotonic()
    phases = Phases()
    store = cache.Cache(args.cache)
    work = store.root / "work"
    work.mkdir(parents=True, exist_ok=True)

    recordings, excluded, members, negatives, queried = phases(
        "find the corpus", choose_corpus, args)
    planned, extras = plan_queries(args, members, negatives, queried)
    log("%d members, %d negatives, %d queries" % (
        len(members), len(negatives), len(planned) + len(extras)))
    queries = phases("make the query clips", generate, args, planned, extras)
    run_dir = store.root / "runs" / time.strftime("%Y%m%d-%H%M%S")
    run_dir.mkdir(parents=True, exist_ok=True)
    write_query_list(run_dir / "queries.tsv", queries)
    csv_path = work / "members.csv"
    corpus.write_metadata_csv(csv_path, members)
    log("query list: %s; catalog members: %s" % (run_dir / "queries.tsv",
                                                  csv_path))
    if args.generate_only:
        return 0

    member_hours = sum(m.duration_s for m in members) / 3600
    builds = phases("build the catalog", build_main_catalogs, args, work,
                    csv_path, member_hours)
    catalog = builds[-1]["catalog"]
    stats_text, used = runner.catalog_stats(args.catalog_tool, catalog)

    results = phases("run the queries", runner.run_queries, args.shazamkit,
                     catalog, queries, args.jobs, progress("queries"))
    process = phases("time single runs", runner.measure_process,
                     args.shazamkit, catalog, timing_clip(args, members),
                     5 if args.smoke else 21)
    write_raw(run_dir / "queries.csv", results)
    log("per-query results: %s" % (run_dir / "queries.csv"))

    if args.smoke:
        problems = smoke_failures(results, builds)
        for p in problems:
            log("FAIL " + p)
        rows = report.summarise(results, args.condition_names + SMOKE_EXTRAS)
        for r in rows:
            log("%-10s correct %d/%d, no match %d, negatives matched %d/%d" % (
                r.name, r.correct, r.positives, r.no_match, r.neg_matched,
                r.negatives))
        log("smoke: %s" % ("FAILED" if problems else "passed"))
        return 1 if problems else 0

    scale_info = None
    if args.scale_sizes:
        base = {"catalog": catalog, "build_s": builds[-1]["wall_s"],
                "filler_h": 0.0, "bytes": used, "reused": False, "steps": [],
                "own_steps": 0}
        scale_info = phases("scale catalogs and queries", run_scale, args,
                            store, recordings, members, csv_path, queries,
                            run_dir, base)
        steps = [s for e in scale_info["sizes"].values() if not e["reused"]
                 for s in e["steps"][len(e["steps"]) - e["own_steps"]:]]
        phases.done.append(("- of which: make filler audio",
                             sum(s.get("generate_s", 0) for s in steps
                                 if not s.get("audio_reused"))))
        phases.done.append(("- of which: plim-catalog add (all sizes)",
                             sum(s["wall_s"] for s in steps)))
    run = {
        "argv": argv_for_report(argv), "date": time.strftime("%Y-%m-%d %H:%M"),
        "machine": report.machine(), "revision": report.git_revision(HERE),
        "jobs": args.jobs, "per_recording": args.per_recording,
        "load": (load_at_start,), "total_s": time.monotonic() - started,
        "results": results, "phases": phases.done, "scale": scale_info,
        "corpus": {"kept": len(recordings), "members": len(members),
                   "negatives": len(negatives), "excluded": excluded,
                   "packages": corpus.PACKAGES,
                   "hours": sum(r.duration_s for r in recordings) / 3600,
                   "member_hours": member_hours},
        "speed": {"builds": builds, "bytes": used, "stats": stats_text,
                  "member_hours": member_hours, "process": process},
    }
    out = pathlib.Path(args.out)
    report.plot(out / "plots" / "recognition.png", results)
    report.plot_snr(out / "plots" / "snr.png", results, corpus.PACKAGES)
    report.write_results(out / "RESULTS.md", run)
    log("wrote %s and %s" % (out / "RESULTS.md", out / "plots"))
    return 0


def argv_for_report(argv):
    skip = {"--shazamkit", "--catalog-tool", "--cache", "--out"}
    out, it = [], iter(argv)
    for a in it:
        if a in skip:
            next(it, None)
        elif a.split("=")[0] not in skip:
            out.append(a)
    return out


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
