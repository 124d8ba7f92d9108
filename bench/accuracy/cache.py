"""A content-keyed file cache for everything the benchmark generates.

Every generated file lives at a path derived from a hash of the recipe that
made it (the generator's version, the digests of its inputs, its
parameters), so a changed recipe gets a new path and an unchanged one is
never remade. Files appear atomically: a generator writes a temporary file
beside the final one and it is renamed into place only when complete, so an
interrupted run leaves no half-written entry behind.
"""

import hashlib
import json
import os
import pathlib

# Bump when any generator changes what it writes for the same recipe.
GENERATOR_VERSION = 4


def default_root():
    """~/.cache/plim-bench, or $XDG_CACHE_HOME/plim-bench when that is set."""
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(
        os.path.expanduser("~"), ".cache")
    return pathlib.Path(base) / "plim-bench"


def recipe_key(*parts):
    """A short stable hex key for any JSON-serialisable recipe."""
    text = json.dumps([GENERATOR_VERSION, parts], sort_keys=True,
                      separators=(",", ":"))
    return hashlib.sha256(text.encode("utf-8")).hexdigest()[:24]


_digests = {}


def file_digest(path):
    """SHA-256 of a file's content (memoised per path, size and mtime)."""
    st = os.stat(path)
    memo = (str(path), st.st_size, st.st_mtime_ns)
    if memo not in _digests:
        h = hashlib.sha256()
        with open(path, "rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                h.update(block)
        _digests[memo] = h.hexdigest()
    return _digests[memo]


class Cache:
    """Paths under one root directory; safe to share between processes."""

    def __init__(self, root):
        self.root = pathlib.Path(root)

    def path(self, kind, key, suffix):
        """Where the entry `key` of the given kind lives (may not exist)."""
        return self.root / kind / key[:2] / (key + suffix)

    def produce(self, path, make):
        """Returns `path`, first calling make(tmp_path) if it is missing.

        make() must write a complete file at tmp_path, which has the same
        suffix as path so that tools choosing a format by name still do.
        """
        path = pathlib.Path(path)
        if path.exists():
            return path
        path.parent.mkdir(parents=True, exist_ok=True)
        tmp = path.with_name(".tmp-%d-%s" % (os.getpid(), path.name))
        try:
            make(tmp)
            os.replace(tmp, path)
        finally:
            if tmp.exists():
                tmp.unlink()
        return path
