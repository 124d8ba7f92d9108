"""Turns results into bench/RESULTS.md, bench/plots/recognition.png and
bench/plots/snr.png."""

import collections
import os
import platform
import statistics
import subprocess
import time

import conditions
import runner


def machine():
    """A one-line description of this machine: cores, CPU, memory."""
    cpu = platform.processor() or "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
        with open("/proc/meminfo") as f:
            mem_kib = int(f.readline().split()[1])
    except OSError:
        mem_kib = 0
    return "%d cores (nproc), %s, %.1f GiB memory, %s" % (
        os.cpu_count(), cpu, mem_kib / 2**20, platform.platform())


def git_revision(tree):
    out = subprocess.run(["git", "-C", str(tree), "describe", "--always",
                          "--dirty"], capture_output=True, text=True)
    return out.stdout.strip() or "unknown"


Row = collections.namedtuple(
    "Row", "name positives correct wrong no_match errors negatives neg_matched "
           "neg_errors median_ms p95_ms snr_db")


def summarise(results, names):
    """One Row per condition name, in the order given, skipping absent ones."""
    by = collections.defaultdict(list)
    for r in results:
        by[r.query.condition].append(r)
    rows = []
    for name in names:
        rs = by.get(name)
        if not rs:
            continue
        pos = [r for r in rs if r.query.expected is not None]
        neg = [r for r in rs if r.query.expected is None]
        count = collections.Counter(r.outcome for r in pos)
        neg_count = collections.Counter(r.outcome for r in neg)
        walls = [r.wall_s * 1000 for r in rs if r.outcome != runner.ERROR] \
            or [r.wall_s * 1000 for r in rs]
        snrs = [r.query.snr_db for r in rs if r.query.snr_db is not None]
        rows.append(Row(name, len(pos), count[runner.CORRECT],
                        count[runner.WRONG], count[runner.NO_MATCH],
                        count[runner.ERROR], len(neg),
                        neg_count[runner.WRONG], neg_count[runner.ERROR],
                        statistics.median(walls), runner.percentile(walls, 0.95),
                        statistics.mean(snrs) if snrs else None))
    return rows


def package_of(result):
    """The package a query's recording comes from (None for a non-music
    clip): recording ids are "<package>/<song>"."""
    source = result.query.source
    return source.split("/", 1)[0] if "/" in source else None


def by_package(results, names, packages):
    """{package: {condition: Row}} for the given packages, plus "all"."""
    groups = {p: [] for p in packages}
    for r in results:
        if package_of(r) in groups:
            groups[package_of(r)].append(r)
    groups["all"] = [r for r in results if package_of(r) in packages]
    return {p: {row.name: row for row in summarise(rs, names)}
            for p, rs in groups.items()}


def _rate(row):
    return 100.0 * row.correct / row.positives if row and row.positives \
        else None


def _package_table(results, names, packages):
    table = by_package(results, names, packages)
    counts = {p: max((r.positives for r in rows.values()), default=0)
              for p, rows in table.items()}
    columns = [p for p in packages if counts[p]] + ["all"]
    lines = ["| condition | " + " | ".join(
                 "%s (%d)" % (p, counts[p]) for p in columns) + " |",
             "|---" * (len(columns) + 1) + "|"]
    for name in names:
        cells = [_rate(table[p].get(name)) for p in columns]
        if all(c is None for c in cells):
            continue
        lines.append("| %s | %s |" % (name, " | ".join(
            "-" if c is None else "%.0f%%" % c for c in cells)))
    totals = []
    for p in columns:
        rows = table[p].values()
        pos = sum(r.positives for r in rows)
        totals.append("%.1f%%" % (100.0 * sum(r.correct for r in rows) / pos)
                      if pos else "-")
    lines.append("| all conditions | %s |" % " | ".join(totals))
    fp = [sum(r.wrong + r.neg_matched for r in table[p].values())
          for p in columns]
    lines.append("| false positives | %s |" % " | ".join(str(f) for f in fp))
    return lines


def _pct(k, n):
    return "%d/%d (%.1f%%)" % (k, n, 100.0 * k / n) if n else "-"


def _condition_table(rows):
    lines = ["| condition | correct | wrong recording | no match | errors "
             "| negatives matched | median ms | p95 ms |",
             "|---|---|---|---|---|---|---|---|"]
    for r in rows:
        lines.append("| %s | %s | %d | %d | %d | %s | %.0f | %.0f |" % (
            r.name, _pct(r.correct, r.positives), r.wrong, r.no_match,
            r.errors + r.neg_errors, _pct(r.neg_matched, r.negatives),
            r.median_ms, r.p95_ms))
    return lines


def _totals(rows):
    pos = sum(r.positives for r in rows)
    neg = sum(r.negatives for r in rows)
    return {"positives": pos, "negatives": neg,
            "correct": sum(r.correct for r in rows),
            "wrong": sum(r.wrong for r in rows),
            "neg_matched": sum(r.neg_matched for r in rows),
            "errors": sum(r.errors + r.neg_errors for r in rows)}


def _h(seconds):
    return "%.0f s" % seconds if seconds < 120 else "%.1f min" % (seconds / 60)


def write_results(path, run):
    """Writes the Markdown report; `run` is the dict run.py assembles."""
    results = run["results"]
    cond_rows = summarise(results, [c.name for c in conditions.CONDITIONS])
    extra_rows = summarise(results, [n.name for n in conditions.EXTRA_NEGATIVES])
    t = _totals(cond_rows + extra_rows)
    c = run["corpus"]
    out = ["# Accuracy and speed benchmark: results", "",
           "Generated by `%s` on %s." % (
               " ".join(["bash scripts/benchmark.sh"] + run["argv"]),
               run["date"]),
           "", "- Machine: %s" % run["machine"],
           "- Load average (1 min) at the start and the end: %.1f, %.1f "
           "(other work on the machine slows the timings)" % (
               run["load"][0], os.getloadavg()[0]),
           "- Tree: %s; programs built in Release" % run["revision"],
           "- Corpus: %d recordings (%.2f h) from %s; %d in the catalog "
           "(%.2f h), %d held out as negatives; left out: %s" % (
               c["kept"], c["hours"], ", ".join(c["packages"]), c["members"],
               c["member_hours"], c["negatives"],
               "; ".join("%s (%s)" % e for e in c["excluded"]) or "none"),
           "- Queries: %d excerpt(s) per recording per condition at seeded "
           "random offsets, %d conditions, plus %d non-music clips: %d "
           "queries, run %d at a time" % (
               run["per_recording"], len(cond_rows), len(extra_rows),
               len(results), run["jobs"]),
           "", "## Headline", "",
           "- Recognition, all conditions: %s of queries from catalog "
           "members named the right recording." % _pct(t["correct"],
                                                         t["positives"]),
           "- Wrong answers: %d false positives in %d queries (%d wrong "
           "recordings for members, %d matches for negatives of %d)." % (
               t["wrong"] + t["neg_matched"], t["positives"] + t["negatives"],
               t["wrong"], t["neg_matched"], t["negatives"]),
           "- Errors (exit status 1 or no JSON line): %d." % t["errors"]]
    clean = [r for r in cond_rows if r.name == "clean-10s"]
    if clean:
        out.append("- Clean 10-s clips: %s correct." % _pct(clean[0].correct,
                                                              clean[0].positives))
    out += ["", "## Per condition", "",
            "Correct, wrong recording and no match count queries of catalog "
            "members; \"negatives matched\" counts queries of held-out "
            "recordings under the same condition that matched anything. "
            "Times are each plim-shazamkit process's wall clock.", ""]
    out += _condition_table(cond_rows)
    names = [c.name for c in conditions.CONDITIONS]
    out += ["", "## Per package", "",
            "Share of the catalog members' queries named right, by the "
            "package the recording comes from (the number of member queries "
            "per condition in brackets); \"false positives\" counts wrong "
            "recordings and matched negatives over all conditions.", ""]
    out += _package_table(results, names, run["corpus"]["packages"])
    snr_rows = [r for r in cond_rows if r.snr_db is not None]
    if snr_rows:
        out += ["", "SNR measured after mixing (mean over queries): " +
                ", ".join("%s %.2f dB" % (r.name, r.snr_db) for r in snr_rows)
                + "."]
    out += ["", "## Non-music negatives (10 s each)", "",
            "| clip | matched | errors | median ms |", "|---|---|---|---|"]
    for r in extra_rows:
        out.append("| %s | %s | %d | %.0f |" % (
            r.name, _pct(r.neg_matched, r.negatives), r.neg_errors, r.median_ms))
    wrong = [r for r in results if r.outcome == runner.WRONG]
    out += ["", "## Every wrong answer", ""]
    if not wrong:
        out.append("None.")
    for r in wrong[:60]:
        out.append("- %s, %s -> \"%s\"" % (r.query.condition, r.query.source,
                                           r.matched_title))
    if len(wrong) > 60:
        out.append("- ... and %d more" % (len(wrong) - 60))
    errors = [r for r in results if r.outcome == runner.ERROR]
    if errors:
        out += ["", "## Errors (first 10)", ""]
        out += ["- %s, %s: exit %d: %s" % (r.query.condition, r.query.source,
                                            r.returncode, r.stderr[-160:])
                for r in errors[:10]]
    out += _speed_section(run)
    out += _scale_section(run)
    out += ["", "## Where the benchmark's time went", "",
            "| step | wall |", "|---|---|"]
    out += ["| %s | %s |" % (k, _h(v)) for k, v in run["phases"]]
    out.append("| whole run (after the build) | %s |" % _h(run["total_s"]))
    out += ["", "![Recognition rate against SNR and speed change]"
            "(plots/recognition.png)", "",
            "![Recognition against pink noise, per package](plots/snr.png)",
            ""]
    with open(path, "w") as f:
        f.write("\n".join(out))


def _speed_section(run):
    s = run["speed"]
    out = ["", "## Speed and size", "",
           "| figure | value |", "|---|---|"]
    for b in s["builds"]:
        out.append("| catalog build, --jobs %d | %.1f s for %.2f h: %.0fx real "
                   "time (CPU %.1f s), peak RSS %.0f MiB |" % (
                       b["jobs"], b["wall_s"], b["audio_h"],
                       b["audio_h"] * 3600 / b["wall_s"], b["cpu_s"] or 0,
                       (b["max_rss_kib"] or 0) / 1024))
    out.append("| catalog size | %.1f MiB on disk for %.2f h: %.1f MiB per "
               "hour of audio |" % (s["bytes"] / 2**20, s["member_hours"],
                                    s["bytes"] / 2**20 / s["member_hours"]))
    p = s["process"]
    out.append("| one plim-shazamkit run, 10-s WAV clip | median %.0f ms wall "
               "(CPU %.0f ms), max %.0f ms over %d runs, peak RSS %.0f MiB |" % (
                   p["median_s"] * 1000, p["cpu_s"] * 1000, p["max_s"] * 1000,
                   p["runs"], p["max_rss_kib"] / 1024))
    out += ["", "`plim-catalog stats` on this catalog:", "", "```",
            s["stats"], "```"]
    return out


def _scale_section(run):
    scale = run.get("scale")
    if not scale:
        return []
    out = ["", "## Scale", "", scale["method"], "",
           "| catalog | recordings' audio | build (--jobs %d) | on disk | "
           "MiB/h | one run, 10-s clip: median wall (CPU) | peak RSS | correct "
           "(clean 10 s / all) | wrong answers |" % run["jobs"],
           "|---|---|---|---|---|---|---|---|---|"]
    for size, e in sorted(scale["sizes"].items()):
        hours = e["filler_h"] + run["speed"]["member_hours"]
        out.append("| %s fillers + %d members | %.1f h | %s (%.0fx real "
                   "time)%s | %.0f MiB | %.1f | %.0f ms (%.0f ms) | %.0f MiB | %s / %s "
                   "| %d |" % (
                       "{:,}".format(size).replace(",", " "),
                       run["corpus"]["members"], hours, _h(e["build_s"]),
                       hours * 3600 / e["build_s"],
                       ", reused" if e["reused"] else "",
                       e["bytes"] / 2**20, e["bytes"] / 2**20 / hours,
                       e["process"]["median_s"] * 1000,
                       e["process"]["cpu_s"] * 1000,
                       e["process"]["max_rss_kib"] / 1024,
                       _pct(e["clean_correct"], e["clean_total"]),
                       _pct(e["correct"], e["positives"]), e["wrong"]))
    if scale.get("note"):
        out += ["", scale["note"]]
    for size, e in sorted(scale["sizes"].items()):
        if e["wrong_list"]:
            out += ["", "Wrong answers with %d fillers:" % size, ""]
            out += ["- " + w for w in e["wrong_list"][:30]]
            if len(e["wrong_list"]) > 30:
                out.append("- ... and %d more" % (len(e["wrong_list"]) - 30))
    return out


def plot(path, results):
    """recognition.png: % correct against SNR, and against speed change."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = {r.name: r for r in summarise(
        results, [c.name for c in conditions.CONDITIONS])}

    def rate(name, field="correct"):
        r = rows.get(name)
        if not r:
            return None
        if field == "fp":
            n = r.positives + r.negatives
            return 100.0 * (r.wrong + r.neg_matched) / n if n else None
        return 100.0 * r.correct / r.positives if r.positives else None

    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(11, 4.2))
    snr_points = [(c.axis[1], c.name) for c in conditions.CONDITIONS
                  if c.axis and c.axis[0] == "snr" and c.axis[1] is not None]
    snr_points.sort()
    clean_x = max(x for x, _ in snr_points) + 3 if snr_points else 3
    xs = [x for x, _ in snr_points] + [clean_x]
    names = [n for _, n in snr_points] + ["clean-10s"]
    for field, style, label in (("correct", "o-", "correct recording"),
                                ("fp", "x--", "wrong answers (all queries)")):
        pts = [(x, rate(n, field)) for x, n in zip(xs, names)
               if rate(n, field) is not None]
        if pts:
            ax1.plot(*zip(*pts), style, label=label)
    ax1.set_xticks(xs)
    ax1.set_xticklabels([str(x) for x in xs[:-1]] + ["clean"])
    ax1.set_xlabel("SNR with pink noise (dB), 10-s clips")
    ax1.set_ylabel("% of queries")
    ax1.set_ylim(-3, 103)
    ax1.grid(alpha=0.3)
    if ax1.lines:
        ax1.legend(loc="upper left")
    ax1.set_title("Recognition against noise")

    for panel, style, label in (("speed", "o-", "speed (pitch + tempo)"),
                                ("tempo", "s-", "tempo only"),
                                ("pitch", "^-", "pitch only")):
        pts = [(c.axis[1], rate(c.name)) for c in conditions.CONDITIONS
               if c.axis and c.axis[0] == panel and rate(c.name) is not None]
        if rate("clean-10s") is not None:
            pts.append((0, rate("clean-10s")))
        if len(pts) > 1:
            ax2.plot(*zip(*sorted(pts)), style, label=label)
    ax2.set_xticks([-5, -2, 0, 2, 5])
    ax2.set_xlabel("change (%)")
    ax2.set_ylabel("% of queries naming the right recording")
    ax2.set_ylim(-3, 103)
    ax2.grid(alpha=0.3)
    if ax2.lines:  # a partial run may have no speed conditions
        ax2.legend(loc="lower center")
    ax2.set_title("Recognition against speed change, 10-s clips")
    fig.suptitle("plim-shazamkit, %s" % time.strftime("%Y-%m-%d"))
    fig.tight_layout()
    os.makedirs(os.path.dirname(path), exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def plot_snr(path, results, packages):
    """snr.png: % correct against the SNR of pink noise, one curve per
    package and one for all."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    points = sorted((c.axis[1], c.name) for c in conditions.CONDITIONS
                    if c.axis and c.axis[0] == "snr" and c.axis[1] is not None)
    table = by_package(results, [n for _, n in points], packages)
    fig, ax = plt.subplots(figsize=(7.5, 4.5))
    for package in [p for p in packages if table[p]] + ["all"]:
        pts = [(x, _rate(table[package].get(n))) for x, n in points
               if _rate(table[package].get(n)) is not None]
        if not pts:
            continue
        members = max(r.positives for r in table[package].values())
        style = dict(color="black", linewidth=2.5) if package == "all" \
            else dict(linewidth=1.2)
        ax.plot(*zip(*pts), "o-", label="%s (%d)" % (package, members),
                markersize=4, **style)
    ax.set_xticks([x for x, _ in points])
    ax.invert_xaxis()
    ax.set_xlabel("SNR with pink noise (dB), measured; 10-s clips")
    ax.set_ylabel("% of member queries named right")
    ax.set_ylim(-3, 103)
    ax.grid(alpha=0.3)
    ax.legend(loc="lower left", fontsize=8)
    ax.set_title("plim-shazamkit against pink noise, per package, %s" %
                 time.strftime("%Y-%m-%d"))
    fig.tight_layout()
    os.makedirs(os.path.dirname(path), exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
