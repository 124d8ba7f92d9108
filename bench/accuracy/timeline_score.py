"""Scores a timeline (the stretches plim-catalog found in a mix) against
the mix's truth (mixes.Piece list): per second of audio, and per piece.
"""

import math


def _at(intervals, t):
    """The titles of the (title, start_s, end_s) intervals covering time t."""
    return {title for title, start, end in intervals if start <= t < end}


def per_second(pieces, found, duration_s):
    """Counts over each whole second of the mix, judged at its middle:
    member_s (a catalog recording plays), member_right_s (and the timeline
    names it there), none_s (none plays: a held-out recording),
    none_clear_s (and the timeline names nothing there)."""
    truth = [(p.title if p.member else None, p.truth_start_s, p.truth_end_s)
             for p in pieces]
    named = [(f["title"], f["start_s"], f["end_s"]) for f in found]
    out = dict(member_s=0, member_right_s=0, none_s=0, none_clear_s=0)
    for second in range(int(duration_s)):
        t = second + 0.5
        playing = _at(truth, t)
        if not playing:
            continue  # past the last piece
        names = _at(named, t)
        if playing == {None}:
            out["none_s"] += 1
            out["none_clear_s"] += not names
        else:
            out["member_s"] += 1
            out["member_right_s"] += bool(playing & names)
    return out


def per_piece(pieces, found):
    """For each member piece, the stretch of its recording overlapping it
    most: dict(title, speed, found, stretch (that stretch, or None),
    start_error_s, end_error_s) (errors found minus true; NaN when not
    found)."""
    out = []
    for p in pieces:
        if not p.member:
            continue
        best, best_overlap = None, 0.0
        for f in found:
            if f["title"] != p.title:
                continue
            overlap = min(f["end_s"], p.truth_end_s) - max(f["start_s"], p.truth_start_s)
            if overlap > best_overlap:
                best, best_overlap = f, overlap
        out.append(dict(
            title=p.title, speed=p.speed, found=best is not None, stretch=best,
            start_error_s=best["start_s"] - p.truth_start_s if best else math.nan,
            end_error_s=best["end_s"] - p.truth_end_s if best else math.nan))
    return out
