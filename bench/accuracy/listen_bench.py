"""The listen benchmark: `plim-catalog listen` on a live stream, and on a
day of standard input.

  /usr/bin/python3 bench/accuracy/listen_bench.py --catalog-tool BIN
      [--catalog DIR] [--packages NAME,...] [--minutes M] [--mixes N] [--first-mix I]
      [--hours H] [--sample-s S] [--skip-latency] [--skip-load] [--paced R]
      [--cache DIR]

Latency: each of --mixes mixes of corpus recordings, from number
--first-mix on (mixes.py, their 20 pieces cut shorter so that a mix lasts
about --minutes), is encoded by ffmpeg as Ogg Vorbis in real time (-re)
and served by this script over HTTP on 127.0.0.1, to `plim-catalog --json
listen http://...`. The stream starts when its first
byte is sent. For each catalog member, its latency is when its start line
arrived less when the audio at its true start was sent (stream start + true
start), so it holds the encoder's and the Ogg pages' delay too; its start
and end errors are those of the timeline benchmark. With --paced R, each
mix, decoded to WAV, is written to `listen -` at R times real time instead, and
latency is counted in stream time (the audio written when the line came,
less the true start): minutes rather than an hour, without the stream's own
delay, and with the matcher's CPU time stretched R times.

Load: mix 0 looped to --hours of stream, decoded by ffmpeg to WAV and
piped to `plim-catalog listen -` as fast as it reads, while the listening
process's RSS, open file descriptors, threads and CPU time are read from
/proc every --sample-s seconds of wall time.

The catalog defaults to one of the corpus's catalog members of --packages,
built once under work/ in the cache. Prints a Markdown section of results
on standard output.
"""

import argparse
import io
import json
import math
import os
import pathlib
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

import cache
import corpus
import media
import mixes
import runner
import timeline_score

PIECES_PER_MIX = mixes.MEMBERS_PER_MIX + mixes.NEGATIVES_PER_MIX
PIECE_SPREAD = 0.15  # pieces are cut to the mean length ±15%
WAV_BYTES_PER_S = mixes.SAMPLE_RATE_HZ * 2
TICKS_PER_S = os.sysconf("SC_CLK_TCK")


def log(message):
    print("[listen %s] %s" % (time.strftime("%H:%M:%S"), message), file=sys.stderr, flush=True)


def member_catalog(store, tool, members):
    """A catalog of `members` titled by corpus id, built once in the cache."""
    key = cache.recipe_key("listen-catalog", cache.file_digest(tool),
                           *[m.digest for m in members])
    folder = store.root / "work" / ("catalog-" + key)
    if folder.exists():
        return folder
    tmp = folder.with_name(".tmp-%d-%s" % (os.getpid(), folder.name))
    csv_path = store.root / "work" / ("members-%s.csv" % key)
    csv_path.parent.mkdir(parents=True, exist_ok=True)
    corpus.write_metadata_csv(csv_path, members)
    built = runner.build_catalog(tool, tmp, ["--metadata", str(csv_path)], os.cpu_count())
    if built["returncode"] != 0:
        raise RuntimeError("building the catalog failed: " + built["stderr"])
    log("catalog of %d recordings: %.1f s" % (len(members), built["wall_s"]))
    os.rename(tmp, folder)
    return folder


class LineReader:
    """Reads a process's output in a thread, noting when each line came."""

    def __init__(self, stream):
        self.lines = []  # (monotonic s, text)
        self._changed = threading.Condition()
        self._thread = threading.Thread(target=self._run, args=(stream,), daemon=True)
        self._thread.start()

    def _run(self, stream):
        for line in stream:
            with self._changed:
                self.lines.append((time.monotonic(), line.rstrip("\n")))
                self._changed.notify_all()

    def wait_for(self, text, timeout_s):
        """Whether a line holding `text` came within timeout_s."""
        with self._changed:
            return self._changed.wait_for(
                lambda: any(text in line for _, line in self.lines), timeout_s)

    def join(self):
        self._thread.join()
        return self.lines


class LiveServer:
    """Serves the mix once, as Ogg Vorbis encoded in real time, to the first
    client on a port of 127.0.0.1; later clients are refused. first_byte_at
    is when the stream's first byte was sent, sent_all when it ended."""

    def __init__(self, mix_path):
        self._mix = str(mix_path)
        self._socket = socket.socket()
        self._socket.bind(("127.0.0.1", 0))
        self._socket.listen(4)
        self.url = "http://127.0.0.1:%d/live.ogg" % self._socket.getsockname()[1]
        self.first_byte_at = None
        self.sent_all = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        client, _ = self._socket.accept()
        request = b""
        while b"\r\n\r\n" not in request:
            more = client.recv(4096)
            if not more:
                break
            request += more
        client.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: audio/ogg\r\n\r\n")
        # -flush_packets: each packet is sent as it is muxed, not when
        # FFmpeg's output buffer fills.
        encoder = subprocess.Popen(
            media.FFMPEG + ["-re", "-i", self._mix, "-c:a", "libvorbis", "-q:a", "4",
                            "-flush_packets", "1", "-f", "ogg", "-"],
            stdout=subprocess.PIPE)
        try:
            while True:
                block = encoder.stdout.read1(65536)
                if not block:
                    break
                if self.first_byte_at is None:
                    self.first_byte_at = time.monotonic()
                client.sendall(block)
        finally:
            encoder.wait()
            client.close()
            self.sent_all.set()
        # Refuses reconnections: the stream was played once.
        self._socket.close()


def stretches(events):
    """Pairs start and end events into stretches, with the arrival time of
    each start: dicts of title, start_s, end_s, arrived_at."""
    open_, out = {}, []
    for arrived_at, e in events:
        key = (e["id"], e["start_s"])
        if e["event"] == "start":
            open_[key] = dict(title=e["title"], start_s=e["start_s"], end_s=math.inf,
                              arrived_at=arrived_at)
            out.append(open_[key])
        elif key in open_:
            open_.pop(key)["end_s"] = e["end_s"]
    return out


def listen_live(tool, catalog, mix_path, pieces):
    """Plays the mix to listen in real time; one dict per catalog member:
    title, latency_s (NaN when not found), start and end errors."""
    server = LiveServer(mix_path)
    proc = subprocess.Popen([tool, "--catalog", str(catalog), "--json", "listen", server.url],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    out, err = LineReader(proc.stdout), LineReader(proc.stderr)
    server.sent_all.wait()
    # The end of the stream is a loss: once listen says so, all it heard is out.
    err.wait_for("Reconnecting", 30)
    proc.send_signal(signal.SIGTERM)
    proc.wait()
    found = stretches([(at, json.loads(line)) for at, line in out.join()])
    for line in [line for _, line in err.join()]:
        log("listen: " + line)
    judged = timeline_score.per_piece(pieces, found)
    for j, piece in zip(judged, [pc for pc in pieces if pc.member]):
        best = j["stretch"]
        j["latency_s"] = (best["arrived_at"] - server.first_byte_at - piece.truth_start_s
                          if best else math.nan)
    return judged, found


def listen_paced(tool, catalog, mix_path, pieces, rate):
    """Pipes the mix (WAV) to `listen -` at `rate` times real time; as
    listen_live, with latency counted in stream time: the audio written when
    the start line came, less the member's true start."""
    wav = subprocess.run(media.FFMPEG + ["-i", str(mix_path), "-bitexact", "-f", "wav", "-"],
                         stdout=subprocess.PIPE, check=True).stdout
    proc = subprocess.Popen([tool, "--catalog", str(catalog), "--json", "listen", "-"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    out = LineReader(io.TextIOWrapper(proc.stdout))
    began = time.monotonic()
    sent, step = 0, WAV_BYTES_PER_S // 20
    try:
        while sent < len(wav):
            due = int((time.monotonic() - began) * rate * WAV_BYTES_PER_S)
            if due <= sent:
                time.sleep(min(0.01, (sent + step - due) / (rate * WAV_BYTES_PER_S)))
                continue
            proc.stdin.write(wav[sent:due])
            proc.stdin.flush()
            sent = min(due, len(wav))
    finally:
        proc.stdin.close()
    proc.wait()
    found = stretches([((at - began) * rate, json.loads(line)) for at, line in out.join()])
    judged = timeline_score.per_piece(pieces, found)
    for j, piece in zip(judged, [pc for pc in pieces if pc.member]):
        best = j["stretch"]
        j["latency_s"] = best["arrived_at"] - piece.truth_start_s if best else math.nan
    return judged, found


def proc_sample(pid):
    """(RSS KiB, open fds, threads, CPU s) of a running process."""
    status = pathlib.Path("/proc/%d/status" % pid).read_text()
    fields = dict(line.split(":", 1) for line in status.splitlines() if ":" in line)
    stat = pathlib.Path("/proc/%d/stat" % pid).read_text()
    ticks = stat[stat.rindex(")") + 2:].split()
    return (int(fields["VmRSS"].split()[0]), len(os.listdir("/proc/%d/fd" % pid)),
            int(fields["Threads"]), (int(ticks[11]) + int(ticks[12])) / TICKS_PER_S)


def listen_load(tool, catalog, mix_path, mix_s, hours, sample_s, out_path):
    """Pipes `hours` of the looped mix through listen's standard input;
    (samples of (wall s, stream s, RSS KiB, fds, threads, CPU s), CPU s,
    wall s, start events, exit status)."""
    stream_s = hours * 3600
    decoder = subprocess.Popen(
        media.FFMPEG + ["-stream_loop", str(math.ceil(stream_s / mix_s) - 1), "-i",
                        str(mix_path), "-t", str(stream_s), "-bitexact", "-f", "wav", "-"],
        stdout=subprocess.PIPE)
    with open(out_path, "w") as out:
        proc = subprocess.Popen([tool, "--catalog", str(catalog), "--json", "listen", "-"],
                                stdin=subprocess.PIPE, stdout=out)
        began = time.monotonic()
        samples, sent, next_at = [], 0, began
        try:
            while True:
                block = decoder.stdout.read1(1 << 18)
                if not block:
                    break
                proc.stdin.write(block)
                sent += len(block)
                if time.monotonic() >= next_at:
                    now = time.monotonic()
                    samples.append((now - began, sent / WAV_BYTES_PER_S) + proc_sample(proc.pid))
                    next_at = now + sample_s
            samples.append((time.monotonic() - began, sent / WAV_BYTES_PER_S) +
                           proc_sample(proc.pid))
        finally:
            proc.stdin.close()
            decoder.wait()
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.monotonic() - began
    with open(out_path) as f:
        starts = [json.loads(line)["start_s"] for line in f if '"event":"start"' in line]
    return (samples, usage.ru_utime + usage.ru_stime, wall, starts,
            os.waitstatus_to_exitcode(status))


def report_latency(runs):
    """runs: (mix index, duration s, judged, stretches found) of each mix."""
    def spread(values):
        values = [v for v in values if not math.isnan(v)]
        if not values:
            return "-", "-"
        worst = max(values, key=abs)
        return "%+.1f s" % statistics.median(values), "%+.1f s" % worst

    print("| mix | length | catalog members found | stretches named |")
    print("|---|---|---|---|")
    for index, duration_s, judged, found in runs:
        print("| %d | %.1f min | %d/%d | %d |" % (
            index, duration_s / 60, sum(j["found"] for j in judged), len(judged), len(found)))
    print()
    hits = [j for _, _, judged, _ in runs for j in judged if j["found"]]
    print("| | median | worst |")
    print("|---|---|---|")
    for name, key in (("latency (start line after its true start was sent)", "latency_s"),
                      ("start error (start_s - true start)", "start_error_s"),
                      ("end error (end_s - true end)", "end_error_s")):
        print("| %s | %s | %s |" % ((name,) + spread([j[key] for j in hits])))
    print()
    print("| mix | recording | speed | latency | start error | end error |")
    print("|---|---|---|---|---|---|")
    for index, j in [(index, j) for index, _, judged, _ in runs for j in judged]:
        print("| %d | %s | %+.0f%% | %s |" % (index, j["title"], (j["speed"] - 1) * 100, " | ".join(
            "%+.1f s" % j[k] if j["found"] else "not found"
            for k in ("latency_s", "start_error_s", "end_error_s"))))
    print()


def report_load(samples, cpu_s, wall_s, starts, status, hours):
    def at(fraction):
        return min(samples, key=lambda s: abs(s[1] - fraction * hours * 3600))

    def mb(kib):
        return "%.0f MB" % (kib / 1024)

    stream_h = samples[-1][1] / 3600
    print("%.1f h of stream in %.0f s of wall time (%.0f × real time), exit status %d, %d "
          "samples." % (stream_h, wall_s, stream_h * 3600 / wall_s, status, len(samples)))
    print()
    print("| RSS at start | after 1 h | middle | end | max | open fds | threads | "
          "CPU per hour of stream |")
    print("|---|---|---|---|---|---|---|---|")
    fds, threads = [s[3] for s in samples], [s[4] for s in samples]
    print("| %s | %s | %s | %s | %s | %d-%d | %d-%d | %.1f s |" % (
        mb(samples[0][2]), mb(at(1 / hours)[2]), mb(at(0.5)[2]), mb(samples[-1][2]),
        mb(max(s[2] for s in samples)),
        min(fds), max(fds), min(threads), max(threads), cpu_s / stream_h))
    print()
    first = sum(1 for s in starts if s < 3600)
    last = sum(1 for s in starts if s >= (hours - 1) * 3600)
    hourly = [(b[5] - a[5]) / ((b[1] - a[1]) / 3600)
              for a, b in zip(samples, samples[1:]) if b[1] > a[1]]
    print("Start events: %d in all, %d in the first hour, %d in the last. CPU per hour of "
          "stream between samples: %.1f-%.1f s (the listening process: user + system)." % (
              len(starts), first, last, min(hourly), max(hourly)))
    print()


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--catalog-tool", required=True)
    p.add_argument("--catalog", default=None)
    p.add_argument("--packages", default=",".join(corpus.PACKAGES))
    p.add_argument("--minutes", type=float, default=20)
    p.add_argument("--mixes", type=int, default=1)
    p.add_argument("--first-mix", type=int, default=0)
    p.add_argument("--hours", type=float, default=24)
    p.add_argument("--sample-s", type=float, default=2)
    p.add_argument("--skip-latency", action="store_true")
    p.add_argument("--skip-load", action="store_true")
    p.add_argument("--paced", type=float, default=None,
                   help="stream each mix's WAV through standard input at this many times "
                   "real time instead of live over HTTP (latency in stream time)")
    p.add_argument("--cache", default=str(cache.default_root()))
    args = p.parse_args(argv)
    store = cache.Cache(args.cache)
    tool = os.path.abspath(args.catalog_tool)
    recordings, _ = corpus.discover(args.cache, args.packages.split(","))
    members, negatives = corpus.split(recordings)
    catalog = args.catalog or member_catalog(store, tool, members)
    piece_s = args.minutes * 60 / PIECES_PER_MIX
    played = []
    indices = range(args.first_mix, args.first_mix + args.mixes)
    for index in sorted(set(indices if not args.skip_latency else []) |
                        ({0} if not args.skip_load else set())):
        mix_path, pieces = mixes.build(store, index, members, negatives, (
            piece_s * (1 - PIECE_SPREAD), piece_s * (1 + PIECE_SPREAD)))
        played.append((index, mix_path, pieces, max(pc.end_s for pc in pieces)))
        log("mix %d: %s (%.1f min)" % (index, mix_path, played[-1][3] / 60))
    log("catalog %s (%d recordings)" % (catalog, len(members)))
    if not args.skip_load:
        _, mix_path, _, duration_s = played[0]  # mix 0
        log("load: %.1f h through standard input" % args.hours)
        load = listen_load(tool, catalog, mix_path, duration_s, args.hours, args.sample_s,
                           str(mix_path) + ".listen-load.json")
        print("### A day through standard input\n")
        report_load(*load, args.hours)
    if not args.skip_latency:
        runs = []
        for index, mix_path, pieces, duration_s in [m for m in played if m[0] in indices]:
            if args.paced:
                log("latency: mix %d through standard input at %g x" % (index, args.paced))
                runs.append((index, duration_s) +
                            listen_paced(tool, catalog, mix_path, pieces, args.paced))
                continue
            log("latency: mix %d, %.1f min in real time" % (index, duration_s / 60))
            runs.append((index, duration_s) + listen_live(tool, catalog, mix_path, pieces))
        print("### Latency on a live stream\n")
        report_latency(runs)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
