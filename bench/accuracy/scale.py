"""Large catalogs for the scale measurements, made of unrecognisable music.

A filler is real music made into a different recording: filler n takes
corpus recording n mod R (all R kept recordings, catalog members and
negatives alike), cuts 30 s at a seeded random offset, changes its speed
(pitch and tempo together, sox speed) by a seeded random factor in
0.60-0.92 or 1.08-1.50 (outside the engine's +-6% search), reverses it in
time, and mixes in a seeded random stretch of a pink-noise track of its
own (generated in Python, unrelated to the queries' noise) at a fixed
level of -32 dBFS RMS, about 12 dB below typical music. Output is mono
16 kHz FLAC, 1000 files a folder, titled "filler fNNNNNN <- source xF"
through a metadata CSV so that a wrong answer shows where it came from. It keeps music's density of spectral
peaks, so index size and lookup cost are those of real music, while no
query of the benchmark should find it.

The catalog of size N holds the catalog members plus N fillers and is built
through plim-catalog add like any other. Sizes are built in increasing
order, each from a copy of the one before, so its build time is the sum of
the steps.
"""

import concurrent.futures
import json
import random
import shutil
import time

import cache
import media
import runner

PIECE_S = 30.0
BATCH = 1000
KEPT_BATCHES = 10      # batches past the first 10 000 fillers are deleted once added
NOISE_TRACK_S = 600.0
NOISE_GAIN = 0.1     # on a -12 dBFS track: about 12 dB below typical music


def filler_recipe(n, recordings):
    """(recording, offset_s, speed factor, noise offset_s) of filler n."""
    rec = recordings[n % len(recordings)]
    rng = random.Random("plim-filler-1:%d" % n)
    offset = round(rng.uniform(0, rec.duration_s - PIECE_S), 3)
    slow, fast = rng.uniform(0.60, 0.92), rng.uniform(1.08, 1.50)
    factor = round(slow if rng.random() < 0.5 else fast, 4)
    noise_offset = round(rng.uniform(0, NOISE_TRACK_S - PIECE_S / 0.6), 3)
    return rec, offset, factor, noise_offset


def _noise_track(store):
    out = store.path("noise", cache.recipe_key("filler-noise", NOISE_TRACK_S),
                     ".wav")
    return store.produce(out, lambda tmp: media.write_wav(
        tmp, 16000, 1, media.noise("pink", NOISE_TRACK_S, 16000, 1,
                                   "plim-filler-noise", -12.0)))


def _source_wav(store, rec):
    """The whole recording as mono 16 kHz WAV: far quicker to cut than Ogg."""
    out = store.path("src16k", cache.recipe_key("src16k", rec.digest), ".wav")
    return store.produce(out, lambda tmp: media.run_tool(
        media.SOX + [rec.path, "-r", "16000", "-c", "1", "-b", "16", tmp]))


def filler_root(store, recordings):
    key = cache.recipe_key("fillers-2", [r.digest for r in recordings],
                           PIECE_S, NOISE_GAIN)
    return store.root / "fillers" / key


def _make_filler(path, recipe, source, noise_track):
    _, offset, factor, noise_offset = recipe
    length = PIECE_S / factor

    def make(tmp):
        music = "|%s %s -p trim %.3f %.3f speed %.4f reverse" % (
            " ".join(media.SOX), _quote(str(source)), offset, PIECE_S, factor)
        noise = "|%s %s -p trim %.3f %.3f" % (
            " ".join(media.SOX), _quote(str(noise_track)), noise_offset, length)
        media.run_tool(media.SOX + ["-m", "-v", "1", music, "-v",
                                    str(NOISE_GAIN), noise, "-b", "16", tmp])
    cache.Cache(path.parent).produce(path, make)


def _quote(path):
    return "'%s'" % path.replace("'", "'\\''")


def make_batch(store, recordings, batch, jobs):
    """(folder, seconds it took to make, reused?) of fillers batch*1000 ..
    batch*1000+999.

    A batch made by an earlier run is reused, with the time it took then,
    so that extrapolations stay honest on a warm cache.
    """
    folder = filler_root(store, recordings) / ("b%03d" % batch)
    done = folder / ".complete"
    if done.exists():
        return folder, _making_time(folder, done), True
    start = time.monotonic()
    folder.mkdir(parents=True, exist_ok=True)
    noise = _noise_track(store)
    tasks = [(folder / ("f%06d.flac" % n), filler_recipe(n, recordings))
             for n in range(batch * BATCH, (batch + 1) * BATCH)]
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        sources = dict(zip((r.id for r in recordings), pool.map(
            lambda r: _source_wav(store, r), recordings)))
        for fut in [pool.submit(_make_filler, p, r, sources[r[0].id], noise)
                    for p, r in tasks]:
            fut.result()
    with open(folder / "titles.csv", "w", encoding="utf-8") as f:
        f.write("path,artist,title\n")
        for path, (rec, _, factor, _) in tasks:
            f.write('"%s","plim-bench filler","filler %s <- %s x%.4f"\n' % (
                path.name, path.stem, rec.id.replace('"', '""'), factor))
    made_s = time.monotonic() - start
    done.write_text(json.dumps({"generate_s": made_s}))
    return folder, made_s, False


def _making_time(folder, done):
    try:
        return json.loads(done.read_text())["generate_s"]
    except (ValueError, KeyError):
        # Batches from before the time was recorded: first to last file.
        times = [p.stat().st_mtime for p in folder.glob("f*.flac")]
        return max(times) - min(times) if times else 0.0


def batch_hours(recordings, batch):
    """Hours of audio in one batch: each filler lasts 30 s / its factor."""
    return sum(PIECE_S / filler_recipe(n, recordings)[2]
               for n in range(batch * BATCH, (batch + 1) * BATCH)) / 3600.0


def build_scale_catalogs(store, catalog_bin, binary_key, recordings,
                         members_args, sizes, jobs, log):
    """Builds (or reuses) one catalog per size; returns {size: info dict}.

    members_args are the plim-catalog add arguments that add the catalog
    members. A catalog is reused only if the same plim-catalog binary built
    it from the same inputs; info then says so.
    """
    infos, previous = {}, None
    for size in sorted(sizes):
        if size % BATCH:
            raise ValueError("scale sizes are multiples of %d" % BATCH)
        key = cache.recipe_key("scale", binary_key,
                               str(filler_root(store, recordings)),
                               members_args, size)
        folder = store.root / "scale" / key
        info_path = folder / "info.json"
        if info_path.exists():
            info = json.loads(info_path.read_text())
            info["reused"] = True
            log("scale %d: reusing the catalog built %s" % (size, info["built"]))
        else:
            info = _build(store, catalog_bin, recordings, members_args, size,
                          previous, folder, jobs, log)
            info_path.write_text(json.dumps(info))
            info["reused"] = False
        infos[size] = info
        previous = (size, folder, info)
    return infos


def _build(store, catalog_bin, recordings, members_args, size, previous,
           folder, jobs, log):
    if folder.exists():
        shutil.rmtree(folder)
    catalog = folder / "catalog"
    steps, first_batch = [], 0
    if previous:
        prev_size, prev_folder, prev_info = previous
        shutil.copytree(prev_folder / "catalog", catalog)
        steps = list(prev_info["steps"])
        first_batch = prev_size // BATCH
    else:
        log("scale %d: adding the catalog members" % size)
        step = runner.build_catalog(catalog_bin, catalog, members_args, jobs)
        if step["returncode"] != 0:
            raise RuntimeError("plim-catalog add failed on the members: %s" %
                               step["stderr"])
        steps.append(dict(step, what="members"))
    inherited = len(steps) if previous else 0
    for batch in range(first_batch, size // BATCH):
        fillers, made_s, reused = make_batch(store, recordings, batch, jobs)
        hours = batch_hours(recordings, batch)
        step = runner.build_catalog(catalog_bin, catalog,
                                    ["--metadata", str(fillers / "titles.csv")],
                                    jobs)
        step.update(what="fillers batch %d" % batch, audio_h=hours,
                    generate_s=made_s, audio_reused=reused)
        log("scale %d: batch %d: %.1f h of audio added in %.0f s (%s)" % (
            size, batch, hours, step["wall_s"],
            "ok" if step["returncode"] == 0 else step["stderr"]))
        if step["returncode"] != 0:
            raise RuntimeError("plim-catalog add failed on %s: %s" %
                               (fillers, step["stderr"]))
        steps.append(step)
        if batch >= KEPT_BATCHES:
            shutil.rmtree(fillers)
    text, used = runner.catalog_stats(catalog_bin, catalog)
    return {"size": size, "steps": steps, "own_steps": len(steps) - inherited, "stats": text, "bytes": used,
            "built": time.strftime("%Y-%m-%d %H:%M"),
            "build_s": sum(s["wall_s"] for s in steps),
            "filler_h": sum(s.get("audio_h", 0) for s in steps),
            "catalog": str(catalog)}
