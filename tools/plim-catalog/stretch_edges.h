// Where a recording, once found at an alignment, starts and stops being
// heard, to the second.
//
// A window is accepted only when it holds enough of a recording, so the
// first window that names one starts seconds after it is first heard (a
// quiet opening, a crossfade whose window names only the recording before)
// and the last one ends seconds before it fades. Once a recording's
// alignment is known, its peaks can be looked for second by second at that
// alignment alone, which needs far less of them than finding the alignment
// did. The edge moves out from where the windows heard the recording while
// its seconds hear it, and stops where they fail to, or where a recording
// heard beside it (the other side of a crossfade) is heard better.

#ifndef PLIM_TOOLS_PLIM_CATALOG_STRETCH_EDGES_H_
#define PLIM_TOOLS_PLIM_CATALOG_STRETCH_EDGES_H_

#include <span>
#include <vector>

#include "platform/catalog/catalog_store.h"
#include "platform/fingerprint/constellation.h"
#include "platform/matching/peak_verification.h"

namespace plim {

// A window of the stream's peaks: `peaks` (not owned) timed from
// `start_s`, seconds of the stream.
struct PeakWindow {
  double start_s = 0;
  const matching::QueryPeaks* peaks = nullptr;
};

// Where a recording plays in the stream: its time 0 at `anchor_s` (seconds
// of the stream; may be before the stream's start), `speed` seconds of it
// per second of the stream, its frequencies scaled by `frequency_scale` in
// the stream, and `duration_s` long (its own seconds).
struct StreamAlignment {
  catalog::RecordingId recording = 0;
  double anchor_s = 0;
  double speed = 1;
  double frequency_scale = 1;
  double duration_s = 0;

  double EndS() const { return anchor_s + duration_s / speed; }
};

// Which way an edge moves out: before a stretch's start, after its end.
enum class EdgeSide { kStart, kEnd };

// The edge of `own` on `side`, found second by second from `edge_s` (where
// the windows heard it begin or end) outward, at most as far as `limit_s`
// and as far as `windows` (any order) hold whole seconds of the stream,
// and never past the recording's own start or end. Each second weighs the
// evidence that `own` is heard there, its peaks found or missing where
// its alignment puts them (nothing where it has no peaks: it may be
// silent); the edge lies where that evidence, less the best of `rivals'`
// (recordings heard beside it), summed outward from `edge_s`, is greatest,
// looked for until the sum falls well below it. Returns `edge_s` when no
// second beyond does better. Reads peaks through `reader`; throws what it
// throws.
double FindEdge(const catalog::CatalogReader& reader, std::span<const PeakWindow> windows,
                const StreamAlignment& own, std::span<const StreamAlignment> rivals, EdgeSide side,
                double edge_s, double limit_s);

// How many of the seconds weighed `own` (the nearest to the edge first)
// the edge moves out over, with the best of the rivals' evidence at each
// second in `rival` (same length): FindEdge's rule. Pure function.
std::size_t EdgeReachSeconds(std::span<const double> own, std::span<const double> rival);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_STRETCH_EDGES_H_
