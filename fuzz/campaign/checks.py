"""What counts as a fault in one run of either program, and what each file's
answer was. A fault is (kind, detail); kinds are the summary's columns."""

import json
import re
import signal as signals

KINDS = ["crash", "sanitizer", "hang", "over_1gb", "lines"]
ONE_GB_KB = 1024 * 1024
SMALL_FILE_BYTES = 1 << 20
SANITIZER = re.compile(
    rb"ERROR: (Address|Leak|Memory|Thread)Sanitizer|runtime error:|UndefinedBehaviorSanitizer|"
    rb"AddressSanitizer:DEADLYSIGNAL")
# Bytes a terminal may act on, other than the line's own end.
CONTROL = re.compile(rb"[\x00-\x09\x0b-\x1f\x7f]")
CATALOG_PREFIX = b"plim-catalog: "


def _first_line(text, pattern=None):
    for line in text.splitlines():
        if pattern is None or pattern.search(line):
            return line.decode("utf-8", "replace")[:200]
    return ""


def process_faults(run, timeout_s, biggest_file_bytes):
    """Faults any run can show, whatever the program: a signal, a sanitizer's
    report, the deadline, more than 1 GB resident for files under 1 MB."""
    faults = []
    if run.timed_out:
        faults.append(("hang", f"still running after {timeout_s:.0f} s"))
    elif run.crashed:
        name = signals.Signals(run.signal).name if run.signal in signals.valid_signals() else ""
        faults.append(("crash", f"killed by signal {run.signal} {name}".strip()))
    if SANITIZER.search(run.stderr):
        faults.append(("sanitizer", _first_line(run.stderr, SANITIZER)))
    if run.peak_rss_kb > ONE_GB_KB and biggest_file_bytes < SMALL_FILE_BYTES:
        faults.append(("over_1gb", f"peak resident {run.peak_rss_kb // 1024} MB"))
    return faults


def _one_clean_line(text):
    """Why text is not exactly one line free of control characters, or None."""
    ends = text.count(b"\n")
    if ends != 1 or not text.endswith(b"\n"):
        return f"{ends} line ends"
    if CONTROL.search(text):
        return "raw control characters"
    return None


def check_shazamkit(run, timeout_s, size_bytes):
    """(answer, faults) of plim-shazamkit on one file: answer is "matched",
    "no match" or "refused". Exit 0 writes one JSON result line and nothing
    on standard error; a failure writes one line on standard error alone."""
    faults = process_faults(run, timeout_s, size_bytes)
    if faults:
        return "fault", faults
    if run.exit_code == 0:
        problem = _one_clean_line(run.stdout) or (run.stderr and "standard error not empty")
        if not problem:
            try:
                result = json.loads(run.stdout)
                answer = "matched" if result.get("matched") is True else "no match"
            except (ValueError, AttributeError):
                problem = "result line is not a JSON object"
        if problem:
            return "fault", [("lines", f"exit 0: {problem}")]
        return answer, []
    problem = _one_clean_line(run.stderr)
    if run.exit_code != 1:
        problem = f"exit status {run.exit_code}"
    elif run.stdout:
        problem = "failed yet wrote to standard output"
    if problem:
        return "fault", [("lines", f"failure: {problem}: {_first_line(run.stderr)}")]
    return "refused", []


def check_catalog_lines(run, names, timeout_s, biggest_file_bytes):
    """Faults of one plim-catalog run over the files named (base names) and
    {name: error line} of those it refused. Every standard error line starts
    with "plim-catalog: ", names exactly one of the files, and is its only
    error line; warnings ("is truncated") are not refusals."""
    faults = process_faults(run, timeout_s, biggest_file_bytes)
    if faults:
        return faults, {}
    refused = {}
    for line in run.stderr.splitlines():
        named = [n for n in names if n.encode() in line]
        if not line.startswith(CATALOG_PREFIX) or len(named) != 1:
            faults.append(("lines", f"a line naming {len(named)} files: "
                           f"{line.decode('utf-8', 'replace')[:200]}"))
            continue
        if CONTROL.search(line):
            faults.append(("lines", f"raw control characters about {named[0]}"))
        if b" is truncated: " in line:
            continue
        if named[0] in refused:
            faults.append(("lines", f"two error lines about {named[0]}"))
        refused[named[0]] = line
    if run.exit_code not in (0, 1):
        faults.append(("lines", f"exit status {run.exit_code}"))
    elif not faults and (run.exit_code == 1) != bool(refused):
        faults.append(("lines", f"exit status {run.exit_code} with {len(refused)} files refused"))
    return faults, refused


def match_answers(run, names):
    """{name: "matched" | "no match"} from plim-catalog match's table."""
    answers = {}
    for line in run.stdout.splitlines():
        for name in names:
            if name.encode() in line:
                answers[name] = "no match" if b"no match" in line else "matched"
    return answers
