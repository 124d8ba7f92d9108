"""Runs the real programs: builds catalogs, runs queries, scores answers.

Every query is one plim-shazamkit process, timed on its own from spawn to
exit (several may run at once, up to the jobs given). Catalog builds and
single timed runs also report CPU time and peak memory.
"""

import concurrent.futures
import dataclasses
import json
import os
import statistics
import subprocess
import tempfile
import time

CORRECT, WRONG, NO_MATCH, ERROR = "correct", "wrong", "no_match", "error"
QUERY_TIMEOUT_S = 60.0  # the program gives up by itself after 18 s


@dataclasses.dataclass
class Query:
    condition: str
    source: str            # recording id, or the extra negative's name
    expected: str = None   # the title that is right; None for a negative
    path: str = ""
    snr_db: float = None   # measured, for the mixing conditions


@dataclasses.dataclass
class Result:
    query: Query
    outcome: str
    matched_title: str = None
    wall_s: float = 0.0
    returncode: int = 0
    stderr: str = ""


def score(expected_title, returncode, stdout):
    """(outcome, matched title) of one plim-shazamkit run.

    Exit status 1, or anything but exactly one JSON object with a boolean
    "matched", is an error. A match is correct only if its title is the
    expected one; for a negative (expected None) every match is wrong.
    """
    if returncode != 0:
        return ERROR, None
    lines = [line for line in stdout.splitlines() if line.strip()]
    if len(lines) != 1:
        return ERROR, None
    try:
        answer = json.loads(lines[0])
    except ValueError:
        return ERROR, None
    if not isinstance(answer, dict) or not isinstance(answer.get("matched"),
                                                      bool):
        return ERROR, None
    if not answer["matched"]:
        return NO_MATCH, None
    title = answer.get("title")
    if expected_title is not None and title == expected_title:
        return CORRECT, title
    return WRONG, title if isinstance(title, str) else repr(title)


def run_one(binary, catalog_dir, query, timeout_s=QUERY_TIMEOUT_S):
    env = dict(os.environ, PLIM_CATALOG=str(catalog_dir))
    start = time.monotonic()
    try:
        proc = subprocess.run([str(binary), str(query.path)], env=env,
                              capture_output=True, text=True,
                              timeout=timeout_s, stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        return Result(query, ERROR, None, time.monotonic() - start, -1,
                      "killed after %.0f s" % timeout_s)
    wall = time.monotonic() - start
    outcome, title = score(query.expected, proc.returncode, proc.stdout)
    return Result(query, outcome, title, wall, proc.returncode,
                  proc.stderr.strip()[-300:])


def run_queries(binary, catalog_dir, queries, jobs, progress=None):
    """Results in the order of queries; up to `jobs` processes at once."""
    results = [None] * len(queries)
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        futures = {pool.submit(run_one, binary, catalog_dir, q): i
                   for i, q in enumerate(queries)}
        for done, fut in enumerate(concurrent.futures.as_completed(futures)):
            results[futures[fut]] = fut.result()
            if progress:
                progress(done + 1, len(queries))
    return results


def timed_command(cmd, env=None):
    """(wall s, CPU s, peak RSS KiB, returncode, stderr) of one command.

    CPU time (user + system) is reported beside wall time because it barely
    moves when other work shares the machine. The command runs under
    /usr/bin/time, which reports its peak RSS; the CPU time is the kernel's
    account of the two (wait4), to the microsecond, where /usr/bin/time
    rounds to 10 ms. Wall and CPU time include the ~1 ms /usr/bin/time adds.
    """
    with tempfile.NamedTemporaryFile("r", suffix=".time") as report, \
            tempfile.TemporaryFile("w+") as out, \
            tempfile.TemporaryFile("w+") as err:
        start = time.monotonic()
        proc = subprocess.Popen(
            ["/usr/bin/time", "-f", "%M", "-o", report.name]
            + [str(c) for c in cmd], env=env, stdout=out, stderr=err,
            stdin=subprocess.DEVNULL)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.monotonic() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        err.seek(0)
        stderr = err.read()
        fields = (report.read().splitlines() or [""])[-1].split()
    try:
        rss = int(fields[0])
    except (IndexError, ValueError):
        rss = None
    return (wall, usage.ru_utime + usage.ru_stime, rss, proc.returncode,
            stderr)


def build_catalog(catalog_bin, catalog_dir, add_args, jobs):
    """Runs plim-catalog add into catalog_dir (created if missing).

    add_args are the paths and options after "add". Returns a dict of
    wall_s, cpu_s, max_rss_kib, returncode and the last stderr lines.
    """
    os.makedirs(catalog_dir, exist_ok=True)
    wall, cpu, rss, rc, err = timed_command(
        [catalog_bin, "--catalog", catalog_dir, "add", "--jobs", str(jobs)]
        + list(add_args))
    return {"wall_s": wall, "cpu_s": cpu, "max_rss_kib": rss, "returncode": rc,
            "stderr": "\n".join(err.strip().splitlines()[-5:])}


def catalog_stats(catalog_bin, catalog_dir):
    """(stats text printed by plim-catalog, bytes the directory holds)."""
    proc = subprocess.run([str(catalog_bin), "--catalog", str(catalog_dir),
                           "stats"], capture_output=True, text=True)
    text = (proc.stdout + proc.stderr).strip()
    used = 0
    for root, _, files in os.walk(catalog_dir):
        for name in files:
            used += os.stat(os.path.join(root, name)).st_blocks * 512
    return text, used


def measure_process(binary, catalog_dir, clip, repeats):
    """Median and max wall time, median CPU time and peak RSS of whole
    plim-shazamkit runs on one clip, one after another.
    """
    env = dict(os.environ, PLIM_CATALOG=str(catalog_dir))
    timed_command([binary, clip], env)  # warm the page cache
    runs = [timed_command([binary, clip], env) for _ in range(repeats)]
    walls = [r[0] for r in runs]
    return {"median_s": statistics.median(walls), "max_s": max(walls),
            "cpu_s": statistics.median(r[1] or 0 for r in runs),
            "runs": repeats, "max_rss_kib": max(r[2] or 0 for r in runs)}


def percentile(values, fraction):
    """Nearest-rank percentile (fraction in 0..1) of a non-empty list."""
    ordered = sorted(values)
    rank = max(1, -(-len(ordered) * fraction // 1))
    return ordered[int(rank) - 1]
