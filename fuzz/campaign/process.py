"""One run of a program under test: its exit, output, wall time and peak
resident memory, with a deadline after which its process group is killed."""

import os
import signal
import tempfile
import threading
import time
from dataclasses import dataclass


@dataclass
class Run:
    argv: list
    exit_code: int  # None when killed by a signal
    signal: int  # None when it exited
    timed_out: bool
    wall_s: float
    peak_rss_kb: int  # ru_maxrss: resident, not the sanitizer's huge virtual reservation
    stdout: bytes
    stderr: bytes

    @property
    def crashed(self):
        return self.signal is not None and not self.timed_out


def run(argv, env, timeout_s, stdin_path=os.devnull):
    """Runs argv to its end or to timeout_s seconds of wall time. The program
    gets a session of its own, so the deadline kills it and anything it
    started; its output goes through files, so no pipe can fill up."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        actions = [
            (os.POSIX_SPAWN_OPEN, 0, stdin_path, os.O_RDONLY, 0),
            (os.POSIX_SPAWN_DUP2, out.fileno(), 1),
            (os.POSIX_SPAWN_DUP2, err.fileno(), 2),
        ]
        started = time.monotonic()
        pid = os.posix_spawn(argv[0], argv, env, file_actions=actions, setsid=True)
        expired = threading.Event()

        def kill():
            expired.set()
            try:
                os.killpg(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

        timer = threading.Timer(timeout_s, kill)
        timer.start()
        try:
            _, status, usage = os.wait4(pid, 0)
        finally:
            timer.cancel()
        wall_s = time.monotonic() - started
        out.seek(0)
        err.seek(0)
        return Run(
            argv=argv,
            exit_code=os.WEXITSTATUS(status) if os.WIFEXITED(status) else None,
            signal=os.WTERMSIG(status) if os.WIFSIGNALED(status) else None,
            timed_out=expired.is_set(),
            wall_s=wall_s,
            peak_rss_kb=usage.ru_maxrss,
            stdout=out.read(),
            stderr=err.read())
