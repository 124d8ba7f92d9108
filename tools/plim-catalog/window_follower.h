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
// alignment, so the edges are looked for there too: a window's matches are
// handed out as soon as it is matched, and a match heard further on in the
// window after it is handed out again, amended, when that window is
// followed. Not thread-safe.
class WindowFollower {
 public:
  // Receives each window's start (seconds of the stream) and matches, in
  // time order, every window included, on the thread of Follow.
  using MatchSink = std::function<void(double window_start_s, std::vector<WindowMatch>)>;
  // Receives a match of the window before the one being followed, heard
  // later than said (heard_s's end), and otherwise the same as handed out.
  using AmendSink = std::function<void(const WindowMatch&)>;

  // `reader` must stay valid until the next SetReader or the follower's end.
  WindowFollower(const catalog::CatalogReader& reader, MatchSink on_window, AmendSink on_amend);

  // Reads the catalog through `reader` from the next window on (a newer
  // snapshot of the catalog).
  void SetReader(const catalog::CatalogReader& reader) { reader_ = &reader; }

  // Matches `window`, which starts kWindowHopS after the one before. Throws
  // what the catalog reader throws.
  void Follow(AudioWindow window);

  // Ends the stream; the next Follow starts a new one.
  void Finish();

 private:
  struct Accepted {
    std::size_t index;  // into previous_matches_
    matching::MatchCandidate candidate;
  };

  std::optional<std::pair<double, double>> Heard(const matching::QueryPeaks& window,
                                                 double window_start_s,
                                                 const matching::MatchCandidate& c);

  const catalog::CatalogReader* reader_;
  MatchSink on_window_;
  AmendSink on_amend_;
  std::vector<WindowMatch> previous_matches_;  // of the window before, as handed out
  std::vector<Accepted> previous_;             // of the window before
  std::unique_ptr<matching::QueryPeaks> previous_peaks_;
  double previous_start_s_ = 0;
  std::vector<fingerprint::Peak> reference_;  // scratch
};

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_WINDOW_FOLLOWER_H_
