"""The catalog's side of the fault campaign: what the audio mutants never
reach. Three classes, each run against a scratch catalog of generated music:

  flips     one byte of data.mdb flipped (in a page's header and node
            offsets half the time, anywhere in the page otherwise, every
            page type alike), then every reader: plim-shazamkit, list, show,
            stats, match and verify;
  special   data.mdb a named pipe, a link to /dev/zero, a link to nothing,
            or emptied beside the artwork folder, before list, verify, add
            and plim-shazamkit;
  artwork   --artwork a named pipe, /dev/zero, a text, a sparse 17 MB
            file; a link to a secret planted in the artwork folder, then
            copy.
  tags      files whose tags are too many or too long, or hold terminal
            escapes (hostile_tags.py), through plim-shazamkit, add and the
            readers.

A run is a fault when it dies by a signal, a sanitizer reports, it runs past
--timeout, a failure is not one clean line, a reader answers otherwise than
on the sound catalog while verify calls the damaged one intact, or a secret
is copied. Prints one summary line per class; exit status 1 on any fault.
  catalog_faults.py --shazamkit BIN --catalog-tool BIN [--flips N] [--seed S]
"""

import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile

import checks
import hostile_tags
import process

PAGE_BYTES = 4096


def make_song(path, frequency_hz, seconds=8):
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    f"sine=f={frequency_hz}:d={seconds}", "-f", "lavfi", "-i",
                    f"anoisesrc=d={seconds}:a=0.2:seed={frequency_hz}", "-filter_complex",
                    "amix=inputs=2", "-ar", "22050", path], check=True)


class Campaign:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
        self.faults = []

    def run(self, argv, catalog):
        env = dict(self.env, PLIM_CATALOG=catalog)
        return process.run(argv, env, self.args.timeout)

    def tool(self, catalog, *verb):
        return self.run([self.args.catalog_tool, "--catalog", catalog, *verb], catalog)

    def fault(self, cls, what, run=None, detail=""):
        if run is not None:
            for kind, text in checks.process_faults(run, self.args.timeout, 0):
                self.faults.append(f"{cls}: {what}: {kind}: {text}")
            if detail:
                self.faults.append(f"{cls}: {what}: {detail}")
        else:
            self.faults.append(f"{cls}: {what}: {detail}")

    def readers(self, catalog, song):
        """[(name, run)] of every reader on `catalog`."""
        return [("shazamkit", self.run([self.args.shazamkit, song], catalog)),
                ("list", self.tool(catalog, "list")),
                ("show", self.tool(catalog, "show", "1")),
                ("stats", self.tool(catalog, "stats")),
                ("match", self.tool(catalog, "match", song))]

    def check_run(self, cls, what, name, run):
        """Faults of one reader's run: a failure is one clean line."""
        before = len(self.faults)
        self.fault(cls, what + " " + name, run)
        if len(self.faults) > before or run.exit_code == 0:
            return
        problem = checks._one_clean_line(run.stderr)
        if problem:
            self.fault(cls, what + " " + name, detail=f"failure: {problem}")

    def copy_with(self, base, data):
        """A copy of catalog `base` whose data.mdb holds `data`."""
        catalog = os.path.join(self.work, "flipped")
        shutil.rmtree(catalog, ignore_errors=True)
        shutil.copytree(base, catalog, symlinks=True)
        os.remove(os.path.join(catalog, "lock.mdb"))
        with open(os.path.join(catalog, "data.mdb"), "wb") as f:
            f.write(data)
        return catalog

    def flips(self, base, song):
        rng = random.Random(self.args.seed)
        data = open(os.path.join(base, "data.mdb"), "rb").read()
        sound = [(run.exit_code, run.stdout)
                 for _, run in self.readers(self.copy_with(base, data), song)]
        pages = len(data) // PAGE_BYTES
        changed = unsaid = 0
        for n in range(self.args.flips):
            page = rng.randrange(2, pages)
            offset = rng.randrange(8, 80) if n % 2 == 0 else rng.randrange(PAGE_BYTES)
            at = page * PAGE_BYTES + offset
            damaged = bytearray(data)
            damaged[at] ^= 1 << rng.randrange(8)
            catalog = self.copy_with(base, damaged)
            what = f"byte {at} (page {page})"
            runs = self.readers(catalog, song)
            for name, run in runs:
                self.check_run("flips", what, name, run)
            answers = [(run.exit_code, run.stdout) for _, run in runs]
            if answers == sound:
                continue
            changed += 1
            verify = self.tool(catalog, "verify")
            self.fault("flips", what + " verify", verify)
            # What a reader can't check on its way (a posting's frame, a
            # lost peak block) is for verify to find.
            # (plim-shazamkit says an error in its result line's message.)
            if any(run.exit_code == 0 and (0, run.stdout) != good and b'"message"' not in run.stdout
                   for (_, run), good in zip(runs, sound)):
                unsaid += 1
                if verify.exit_code == 0:
                    self.fault("flips", what, detail="a different answer, and verify says intact")
        return (f"flips: {self.args.flips} runs of 6 programs, {changed} changed what a reader "
                f"sees, {unsaid} of them an answer without an error, for verify to find")

    def special(self, base, song):
        makers = {
            "a named pipe": lambda path: os.mkfifo(path),
            "a link to /dev/zero": lambda path: os.symlink("/dev/zero", path),
            "a link to nothing": lambda path: os.symlink(path + ".gone", path),
            "emptied": lambda path: open(path, "wb").close(),
        }
        runs = 0
        for kind, make in makers.items():
            for verb in (["list"], ["verify"], ["--quiet", "add", song], None):
                catalog = os.path.join(self.work, "special")
                shutil.rmtree(catalog, ignore_errors=True)
                shutil.copytree(base, catalog, symlinks=True)
                os.remove(os.path.join(catalog, "data.mdb"))
                make(os.path.join(catalog, "data.mdb"))
                if verb is None:
                    run = self.run([self.args.shazamkit, song], catalog)
                    answer, faults = checks.check_shazamkit(run, self.args.timeout, 0)
                    for fault in faults:
                        self.fault("special", f"{kind} shazamkit", detail=" ".join(fault))
                    if answer == "matched":
                        self.fault("special", f"{kind} shazamkit", detail="matched")
                else:
                    run = self.tool(catalog, *verb)
                    name = next(word for word in verb if not word.startswith("--"))
                    self.check_run("special", kind, name, run)
                    if run.exit_code != 1:
                        self.fault("special", f"{kind} {name}", detail=f"exit {run.exit_code}")
                runs += 1
        return f"special: {runs} runs"

    def artwork(self, base, song):
        secret = os.path.join(self.work, "secret.png")
        with open(secret, "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\nthe secret")
        os.chmod(secret, 0o600)
        text = os.path.join(self.work, "notes.txt")
        with open(text, "w") as f:
            f.write("root:x:0:0:root:/root:/bin/bash\n")
        pipe = os.path.join(self.work, "pipe.png")
        os.mkfifo(pipe)
        big = os.path.join(self.work, "big.png")
        with open(big, "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n")
            f.truncate(17 << 20)
        runs = 0
        for artwork in (pipe, "/dev/zero", text, big):
            catalog = os.path.join(self.work, "art")
            shutil.rmtree(catalog, ignore_errors=True)
            run = self.tool(catalog, "--quiet", "add", "--artwork", artwork, song)
            self.check_run("artwork", artwork, "add", run)
            if run.exit_code != 1:
                self.fault("artwork", artwork, detail=f"add exit {run.exit_code}")
            runs += 1
        # A link to the secret in place of every picture, then copy.
        catalog = os.path.join(self.work, "art")
        shutil.rmtree(catalog, ignore_errors=True)
        shutil.copytree(base, catalog, symlinks=True)
        folder = os.path.join(catalog, "artwork")
        for name in os.listdir(folder):
            if not name.startswith("."):
                os.remove(os.path.join(folder, name))
                os.symlink(secret, os.path.join(folder, name))
        copied = os.path.join(self.work, "copied")
        shutil.rmtree(copied, ignore_errors=True)
        run = self.tool(catalog, "copy", catalog, copied)
        self.fault("artwork", "copy", run)
        for root, _, files in os.walk(copied):
            for name in files:
                with open(os.path.join(root, name), "rb") as f:
                    if b"the secret" in f.read():
                        self.fault("artwork", "copy", detail=f"the secret copied into {name}")
        return f"artwork: {runs + 1} runs"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--shazamkit", required=True)
    parser.add_argument("--catalog-tool", required=True)
    parser.add_argument("--flips", type=int, default=200)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--timeout", type=float, default=30)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="plim-catalog-faults-") as work:
        campaign = Campaign(args, work)
        # The third is not in the scratch catalog: hostile tags are added as it.
        songs = [os.path.join(work, name) for name in ("a.wav", "b.wav", "c.wav")]
        for song, frequency_hz in zip(songs, (330, 550, 770)):
            make_song(song, frequency_hz)
        cover = os.path.join(work, "cover.png")
        subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                        "color=c=red:s=32x32", "-frames:v", "1", cover], check=True)
        base = os.path.join(work, "base")
        added = campaign.tool(base, "add", "--artwork", cover, *songs[:2])
        if added.exit_code != 0:
            sys.exit("could not make the scratch catalog: " + added.stderr.decode())
        lines = [campaign.flips(base, songs[0]), campaign.special(base, songs[0]),
                 campaign.artwork(base, songs[0]), hostile_tags.run(campaign, base, songs[2])]
    for line in lines:
        print(line)
    for fault in campaign.faults:
        print("fault: " + fault)
    print(f"{len(campaign.faults)} faults")
    sys.exit(1 if campaign.faults else 0)


if __name__ == "__main__":
    main()
