"""The corpus: real music from Debian packages, its split, and excerpts.

Recordings are the song.ogg of each Frets on Fire song folder, every .ogg
of the Wesnoth and Endgame: Singularity music packages, and the music .ogg
files inside the game archives (.pk3, a zip) of UFO: Alien Invasion and
Nexuiz, which are extracted into the cache. Each is named
"<package>/<song>", which is also the title written to the catalog, so a
result can be scored by title alone. A fixed-seed split puts 80% of them in
the catalog; the rest are never added and serve as negatives.
"""

import dataclasses
import hashlib
import os
import pathlib
import random
import shutil
import subprocess
import zipfile

import cache
import media

PACKAGES = [
    "fretsonfire-songs-muldjord",
    "fretsonfire-songs-sectoid",
    "nexuiz-music",
    "singularity-music",
    "ufoai-music",
    "wesnoth-1.16-music",
]
# Packages whose music is inside a .pk3: the folder in the archive holding it.
PK3_FOLDERS = {
    "nexuiz-music": "sound/cdtracks/",
    "ufoai-music": "music/",
}
# Shorter recordings (jingles, and one 10-s file of silence) cannot give a
# 10-s excerpt with room to move, so they are left out.
MIN_DURATION_S = 20.0
CATALOG_FRACTION = 0.8
SPLIT_SEED = "plim-split-1"


@dataclasses.dataclass(frozen=True)
class Recording:
    id: str           # "<package>/<song>", unique; also the catalog title
    package: str
    path: str
    digest: str       # SHA-256 of the file
    duration_s: float


@dataclasses.dataclass(frozen=True)
class Excerpt:
    """Where one query is cut from; the same for every condition."""
    recording: Recording
    index: int
    offset_s: float
    noise_offset_s: float            # into the shared pink-noise track
    interferer: Recording = None     # music mixed in by the "music" condition
    interferer_offset_s: float = 0.0


def _package_files(package):
    out = subprocess.run(["dpkg-query", "-L", package], capture_output=True,
                         text=True)
    if out.returncode != 0:
        raise RuntimeError("package %s is not installed: %s" %
                           (package, out.stderr.strip()))
    return out.stdout.splitlines()


def _song_name(package, path):
    if package.startswith("fretsonfire-songs"):
        return os.path.basename(os.path.dirname(path)) \
            if os.path.basename(path) == "song.ogg" else None
    return os.path.splitext(os.path.basename(path))[0]


def extract_pk3(root, package, pk3_path, folder):
    """Paths of the .ogg files directly inside `folder` of a .pk3 archive,
    extracted once under <root>/corpus/<package>/<archive digest>/.

    The directory appears complete or not at all (it is filled under a
    temporary name and renamed), so an interrupted run leaves nothing
    half-written, and the same archive always gives the same files.
    """
    target = root / "corpus" / package / cache.file_digest(pk3_path)[:24]
    if not target.exists():
        tmp = target.with_name(".tmp-%d-%s" % (os.getpid(), target.name))
        shutil.rmtree(tmp, ignore_errors=True)
        tmp.mkdir(parents=True)
        try:
            with zipfile.ZipFile(pk3_path) as archive:
                for info in archive.infolist():
                    rest = info.filename[len(folder):]
                    if not info.filename.startswith(folder) or "/" in rest \
                            or not rest.endswith(".ogg"):
                        continue
                    with archive.open(info) as src, \
                            open(tmp / rest, "wb") as dst:
                        shutil.copyfileobj(src, dst, 1 << 20)
            try:
                os.rename(tmp, target)
            except OSError:
                if not target.is_dir():  # else another process was first
                    raise
        finally:
            shutil.rmtree(tmp, ignore_errors=True)
    return sorted(str(p) for p in target.glob("*.ogg"))


def _music_files(package, root):
    files = _package_files(package)
    if package not in PK3_FOLDERS:
        return sorted(files)
    archives = [f for f in files if f.endswith(".pk3") and os.path.isfile(f)]
    if len(archives) != 1:
        raise RuntimeError("package %s: expected one .pk3, found %s" %
                           (package, archives))
    return extract_pk3(root, package, archives[0], PK3_FOLDERS[package])


def discover(root, packages=PACKAGES):
    """(kept recordings sorted by id, excluded [(id, reason)]); music kept
    inside archives is extracted under the cache directory `root`."""
    kept, excluded = [], []
    for package in packages:
        for path in _music_files(package, pathlib.Path(root)):
            if not path.endswith(".ogg") or not os.path.isfile(path):
                continue
            song = _song_name(package, path)
            if song is None:
                continue  # a Frets on Fire guitar or rhythm stem
            rec_id = "%s/%s" % (package, song)
            seconds = media.duration_s(path)
            if seconds < MIN_DURATION_S:
                excluded.append((rec_id, "%.1f s long" % seconds))
                continue
            kept.append(Recording(rec_id, package, path,
                                  cache.file_digest(path), seconds))
    ids = [r.id for r in kept]
    if len(set(ids)) != len(ids):
        raise RuntimeError("two recordings share a name")
    if len({r.digest for r in kept}) != len(kept):
        raise RuntimeError("two recordings are the same file")
    return sorted(kept, key=lambda r: r.id), excluded


def split(recordings, seed=SPLIT_SEED, fraction=CATALOG_FRACTION):
    """(catalog members, negatives), each sorted by id.

    Recordings are ranked by a hash of the seed and their id, so the split
    depends on neither input order nor the Python version.
    """
    def rank(r):
        return hashlib.sha256(("%s:%s" % (seed, r.id)).encode()).hexdigest()

    ranked = sorted(recordings, key=rank)
    cut = round(fraction * len(ranked))
    return (sorted(ranked[:cut], key=lambda r: r.id),
            sorted(ranked[cut:], key=lambda r: r.id))


def write_metadata_csv(path, recordings):
    """The plim-catalog --metadata file: artist = package, title = id."""
    def cell(text):
        return '"%s"' % text.replace('"', '""')

    with open(path, "w", encoding="utf-8") as f:
        f.write("path,artist,title\n")
        for r in recordings:
            f.write("%s,%s,%s\n" % (cell(r.path), cell(r.package), cell(r.id)))


def plan_excerpts(recordings, per_recording, negatives, longest_cut_s,
                  noise_track_s, seed="plim-excerpts-1"):
    """per_recording excerpts of each recording, at seeded random offsets.

    longest_cut_s is the most audio any condition cuts from one offset.
    The interferer for the music condition is a negative (never in the
    catalog), so that naming it would be a plain error, not a judgement call.
    """
    plan = []
    for r in recordings:
        for k in range(per_recording):
            rng = random.Random("%s:%s:%d" % (seed, r.id, k))
            offset = round(rng.uniform(0, r.duration_s - longest_cut_s), 3)
            noise_offset = round(rng.uniform(0, noise_track_s - longest_cut_s), 3)
            others = [n for n in negatives if n.id != r.id]
            other = rng.choice(others) if others else None
            other_offset = round(rng.uniform(
                0, other.duration_s - longest_cut_s), 3) if other else 0.0
            plan.append(Excerpt(r, k, offset, noise_offset, other, other_offset))
    return plan
