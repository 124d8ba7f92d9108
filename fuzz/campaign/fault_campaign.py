"""The fault-finding campaign: mutants of synthetic audio in eight format
families through plim-shazamkit (one process a file) and plim-catalog (add
into a scratch catalog holding the seeds, then match, many files a call),
built with AddressSanitizer+UBSan. Run it through scripts/fault-campaign.sh,
which builds the programs; see bench/README.md, "Fault campaign"."""

import argparse
import collections
import concurrent.futures
import os
import shutil
import signal
import sys
import tempfile
import threading
import time

import checks
import mutations
import process
import seeds

PROGRAMS = ["plim-shazamkit", "plim-catalog add", "plim-catalog match"]
ANSWERS = ["matched", "no match", "added", "refused"]


class Tally:
    """Counts per (family, program), failure log lines and kept mutants.
    Guarded by its own lock: batches finish on any worker thread."""

    def __init__(self, out_dir):
        self.lock = threading.Lock()
        self.counts = collections.defaultdict(collections.Counter)  # guarded by lock
        self.out_dir = out_dir
        self.log = open(os.path.join(out_dir, "failures.log"), "a", encoding="utf-8")

    def count(self, family, program, key, n=1):
        with self.lock:
            self.counts[(family, program)][key] += n

    def highest(self, family, program, key, value):
        with self.lock:
            counts = self.counts[(family, program)]
            counts[key] = max(counts[key], value)

    def fail(self, family, program, mutant, kind, detail):
        """Counts a fault, logs it in one line and keeps the mutant."""
        name = os.path.basename(mutant.path)
        kept = os.path.join(self.out_dir, "failures", name)
        with self.lock:
            self.counts[(family, program)][kind] += 1
            os.makedirs(os.path.dirname(kept), exist_ok=True)
            if not os.path.exists(kept):
                shutil.copyfile(mutant.path, kept)
            line = f"{family}:{mutant.number}\t{program}\t{kind}\t{detail}\t{mutant.steps}"
            self.log.write(line + "\n")
            self.log.flush()
            print("FAULT " + line, flush=True)


class Mutant:
    def __init__(self, family, number, path, steps):
        self.family, self.number, self.path, self.steps = family, number, path, steps


class Campaign:
    def __init__(self, args, seed_files, base_catalog, env):
        self.args, self.seed_files, self.base_catalog, self.env = args, seed_files, base_catalog, env
        self.tally = Tally(args.out)
        self.env_no_leaks = dict(env, ASAN_OPTIONS="detect_leaks=0")

    def run_shazamkit(self, mutant):
        # Leak checks take a fifth of a short run's time: --leak-every thins
        # them here; plim-catalog checks every file's decoding for leaks.
        env = self.env if mutant.number % self.args.leak_every == 0 else self.env_no_leaks
        run = process.run([self.args.shazamkit, mutant.path], env, self.args.timeout)
        answer, faults = checks.check_shazamkit(run, self.args.timeout,
                                                os.path.getsize(mutant.path))
        self.note("plim-shazamkit", [mutant], {mutant: answer}, faults, run)

    def run_catalog(self, batch, work):
        """add, then match, of the whole batch; a batch with a fault is run
        again file by file to name the culprit."""
        catalog = os.path.join(work, "catalog")
        shutil.copytree(self.base_catalog, catalog)
        results = self.catalog_verbs(batch, catalog)
        shutil.rmtree(catalog)
        if not any(faults for _, _, faults, _ in results):
            for program, answers, faults, run in results:
                self.note(program, batch, answers, faults, run)
            return
        named = 0
        for mutant in batch:
            shutil.copytree(self.base_catalog, catalog)
            for program, answers, faults, run in self.catalog_verbs([mutant], catalog):
                self.note(program, [mutant], answers, faults, run)
                named += len(faults)
            shutil.rmtree(catalog)
        if not named:  # a fault of the batch alone: kept under its first file
            for program, _, faults, _ in results:
                for kind, detail in faults:
                    self.tally.fail(batch[0].family, program, batch[0], kind,
                                    f"{len(batch)} files together, none alone: {detail}")

    def catalog_verbs(self, batch, catalog):
        """Runs add and match over batch: [(program, {mutant: answer}, faults, run)]."""
        names = {os.path.basename(m.path): m for m in batch}
        biggest = max(os.path.getsize(m.path) for m in batch)
        # match reads the paths from standard input, as a long list of files
        # would be given to it.
        listing = os.path.join(os.path.dirname(catalog), "paths")
        with open(listing, "w", encoding="utf-8") as f:
            f.writelines(m.path + "\n" for m in batch)
        timeout_s = self.args.timeout * (1 if len(batch) == 1 else 2) + 2 * len(batch)
        results = []
        for verb in ("add", "match"):
            operands = [m.path for m in batch] if verb == "add" else ["-"]
            argv = [self.args.catalog_tool, "--catalog", catalog, "--quiet", verb, "--jobs", "1",
                    *operands]
            run = process.run(argv, self.env, timeout_s, stdin_path=listing)
            faults, refused = checks.check_catalog_lines(run, list(names), timeout_s, biggest)
            answers = {}
            if verb == "match":
                answers = checks.match_answers(run, list(names))
                if not faults:
                    faults += [("lines", f"no answer line for {n}") for n in names
                               if n not in refused and n not in answers]
            answers = {m: "refused" if n in refused else answers.get(n, "added")
                       for n, m in names.items()}
            results.append((f"plim-catalog {verb}", answers, faults, run))
        return results

    def note(self, program, batch, answers, faults, run):
        family = batch[0].family
        self.tally.count(family, program, "runs", len(batch))
        self.tally.highest(family, program, "max_mb", run.peak_rss_kb // 1024)
        self.tally.highest(family, program, "max_s", round(run.wall_s, 1))
        if faults:
            for kind, detail in faults:
                self.tally.fail(family, program, batch[0], kind, detail)
            return
        for mutant in batch:
            self.tally.count(family, program, answers[mutant])

    def run_batch(self, family, first, count):
        work = os.path.join(self.args.scratch, f"{family}-{first}")
        os.makedirs(work, exist_ok=True)
        batch = []
        for number in range(first, first + count):
            data, steps = mutations.make_mutant(self.args.seed, family, number,
                                                self.seed_files[family])
            ext = os.path.splitext(self.seed_files[family][0][0])[1]
            path = os.path.join(work, f"{family}-{number:05d}{ext}")
            with open(path, "wb") as f:
                f.write(data)
            batch.append(Mutant(family, number, path, steps))
        if "shazamkit" in self.args.programs:
            for mutant in batch:
                self.run_shazamkit(mutant)
        if "catalog" in self.args.programs:
            self.run_catalog(batch, work)
        shutil.rmtree(work)
        return family, count


def make_base_catalog(args, seed_paths, env):
    """A scratch catalog holding every seed, so that mutants really match."""
    catalog = os.path.join(args.out, "base-catalog")
    if os.path.exists(catalog):
        shutil.rmtree(catalog)
    paths = [p for family in sorted(seed_paths) for p in seed_paths[family]]
    run = process.run([args.catalog_tool, "--catalog", catalog, "--quiet", "add", "--jobs", "1",
                       "--allow-duplicates", *paths], env, 600)
    if run.exit_code != 0:
        sys.exit("fault-campaign: the seeds could not be added to the scratch catalog: "
                 + run.stderr.decode("utf-8", "replace"))
    return catalog


def summary(tally, families, done, args, elapsed_s):
    columns = ["runs", *checks.KINDS, *ANSWERS, "max_mb", "max_s"]
    ran = ", ".join(f"{f} {done[f]}" for f in families if done[f] != args.mutants)
    lines = [f"fault campaign: {args.mutants} mutants per family from number {args.first}, "
             f"seed {args.seed}, {elapsed_s / 60:.1f} min"
             + (f"; stopped early, mutants run: {ran}" if ran else ""),
             "\t".join(["family", "program", *columns])]
    total = collections.Counter()
    for family in families:
        for program in PROGRAMS:
            c = tally.counts.get((family, program))
            if c is None:
                continue
            for k in columns:
                merge = max if k.startswith("max_") else sum
                total[(program, k)] = merge((total[(program, k)], c[k]))
            lines.append("\t".join([family, program, *(str(c[k]) for k in columns)]))
    for program in PROGRAMS:
        if any(total[(program, k)] for k in columns):
            lines.append("\t".join(["all", program, *(str(total[(program, k)]) for k in columns)]))
    faults = sum(total[(p, k)] for p in PROGRAMS for k in checks.KINDS)
    lines.append("max_mb: the highest peak resident memory of one process; max_s: the longest "
                 "run (plim-catalog's over a whole batch)")
    lines.append(f"faults: {faults}" + ("" if not faults else
                                        f" (see {os.path.join(args.out, 'failures.log')})"))
    return "\n".join(lines) + "\n", faults


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--shazamkit", required=True)
    parser.add_argument("--catalog-tool", required=True)
    parser.add_argument("--mutants", type=int, default=10000, help="mutants per family")
    parser.add_argument("--families", default=",".join(seeds.FAMILIES),
                        help="comma-separated subset of " + ",".join(seeds.FAMILIES))
    parser.add_argument("--first", type=int, default=0, help="number of the first mutant")
    parser.add_argument("--jobs", type=int, default=1, help="batches run at once")
    parser.add_argument("--batch", type=int, default=50, help="files per plim-catalog call")
    parser.add_argument("--programs", default="shazamkit,catalog")
    parser.add_argument("--seed", type=int, default=1, help="campaign seed number")
    parser.add_argument("--seconds", type=float, default=2, help="length of each seed file")
    parser.add_argument("--timeout", type=float, default=30, help="seconds before a run is a hang")
    parser.add_argument("--minutes", type=float, default=0,
                        help="start no batch after this many minutes (0: no limit)")
    parser.add_argument("--leak-every", type=int, default=1,
                        help="plim-shazamkit checks leaks on every Nth mutant")
    parser.add_argument("--out", default="build-campaign/campaign")
    parser.add_argument("--scratch-dir", default="/dev/shm" if os.path.isdir("/dev/shm") else None,
                        help="where mutants and scratch catalogs live while they run")
    parser.add_argument("--suppressions", default="", help="LeakSanitizer suppressions file")
    args = parser.parse_args()
    args.families = [f for f in args.families.split(",") if f]
    unknown = set(args.families) - set(seeds.FAMILIES)
    if unknown:
        parser.error(f"unknown families: {', '.join(sorted(unknown))}")
    return args


def main():
    args = parse_args()
    os.makedirs(args.out, exist_ok=True)
    args.scratch = tempfile.mkdtemp(prefix="plim-campaign-", dir=args.scratch_dir)
    env = dict(os.environ)
    env["ASAN_OPTIONS"] = "detect_leaks=1"
    env["UBSAN_OPTIONS"] = "print_stacktrace=1:halt_on_error=1"
    if args.suppressions:
        env["LSAN_OPTIONS"] = f"suppressions={os.path.abspath(args.suppressions)}"
    seed_paths = seeds.make_seeds(os.path.join(args.out, "seeds"), args.seconds,
                                  set(args.families))
    seed_files = {f: [(os.path.basename(p), open(p, "rb").read()) for p in paths]
                  for f, paths in seed_paths.items()}
    env["PLIM_CATALOG"] = make_base_catalog(args, seed_paths, env)
    campaign = Campaign(args, seed_files, env["PLIM_CATALOG"], env)

    started = time.monotonic()
    # Families take turns, so that a campaign stopped by --minutes has run
    # each family as far.
    work = [(f, first, min(args.batch, args.first + args.mutants - first))
            for first in range(args.first, args.first + args.mutants, args.batch)
            for f in args.families]
    deadline = started + args.minutes * 60 if args.minutes else None
    # Ctrl-C or SIGTERM: the batches running finish and the summary is written.
    stop = threading.Event()
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    done = collections.Counter()
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        pending = iter(work)
        running = set()
        while True:
            while (len(running) < args.jobs and not stop.is_set() and
                   (deadline is None or time.monotonic() < deadline)):
                item = next(pending, None)
                if item is None:
                    break
                running.add(pool.submit(campaign.run_batch, *item))
            if not running:
                break
            finished, running = concurrent.futures.wait(
                running, timeout=1, return_when=concurrent.futures.FIRST_COMPLETED)
            for future in finished:
                family, count = future.result()
                done[family] += count
                if sum(done.values()) % (10 * args.batch * len(args.families)) == 0:
                    print(f"fault-campaign: {sum(done.values())} mutants, "
                          f"{(time.monotonic() - started) / 60:.1f} min", flush=True)
    shutil.rmtree(args.scratch, ignore_errors=True)
    text, faults = summary(campaign.tally, args.families, done, args,
                           time.monotonic() - started)
    with open(os.path.join(args.out, "summary.tsv"), "w", encoding="utf-8") as f:
        f.write(text)
    print(text, end="")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
