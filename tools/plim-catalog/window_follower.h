// Matches each window of a stream as it comes, for the timeline of a file
// and for listening to a live source alike.

#ifndef PLIM_TOOLS_PLIM_CATALOG_WINDOW_FOLLOWER_H_
#define PLIM_TOOLS_PLIM_CATALOG_WINDOW_FOLLOWER_H_

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/catalog/catalog_store.h"
#include "platform/matching/matcher.h"
#include "platform/matching/peak_verification.h"
#include "tools/plim-catalog/timeline.h"
#include "tools/plim-catalog/windowed_fingerprinter.h"

namespace plim {

// Matches each window and records the accepted recordings with where each
// is heard. A recording's first window may not hold enough of it to be
// accepted in the window before (a fade-in, a crossfade), nor its last in
// the window after; its peaks may still be heard there along the same
// alignment, so the edges are looked for there too. A window's matches are
// final once the window after it is followed: they are handed out then,
// or at Finish. Not thread-safe.
class WindowFollower {
 public:
  // Receives each window's start (seconds of the stream) and matches, in
  // time order, every window included, on the thread of Follow and Finish.
  using MatchSink = std::function<void(double window_start_s, std::vector<WindowMatch>)>;

  // `reader` must stay valid until the next SetReader or the follower's end.
  WindowFollower(const catalog::CatalogReader& reader, MatchSink sink);

  // Reads the catalog through `reader` from the next window on (a newer
  // snapshot of the catalog).
  void SetReader(const catalog::CatalogReader& reader) { reader_ = &reader; }

  // Matches `window`, which starts kWindowHopS after the one before. Throws
  // what the catalog reader throws.
  void Follow(AudioWindow window);

  // Hands out the last window's matches; the next Follow starts a new stream.
  void Finish();

 private:
  struct Accepted {
    std::size_t index;  // into pending_
    matching::MatchCandidate candidate;
  };

  std::optional<std::pair<double, double>> Heard(const matching::QueryPeaks& window,
                                                 double window_start_s,
                                                 const matching::MatchCandidate& c);

  const catalog::CatalogReader* reader_;
  MatchSink sink_;
  std::vector<WindowMatch> pending_;  // of the window before, not yet handed out
  std::vector<Accepted> previous_;    // of the window before
  std::unique_ptr<matching::QueryPeaks> previous_peaks_;
  double previous_start_s_ = 0;
  std::vector<fingerprint::Peak> reference_;  // scratch
};

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_WINDOW_FOLLOWER_H_
