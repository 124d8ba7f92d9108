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
// followed.
//
// A live stream's window may be previewed before it is followed, as far as
// its audio is in (WindowedFingerprinter's previews): recordings accepted in
// a preview are handed out then, as matches of that window, and each later
// preview or the window itself that accepts one again at the same alignment
// (within kAnchorToleranceS) amends it rather than handing it out twice; one
// accepted only in a preview stays a match of the window, heard as far as
// the whole window hears it. Not thread-safe.
class WindowFollower {
 public:
  // Receives a window's start (seconds of the stream) and matches, in time
  // order, every window included, on the thread of Follow and Preview. A
  // previewed window's start comes once for each preview or Follow of it
  // that accepts a recording not handed out for it before, and at least
  // once: its matches are those of all the calls.
  using MatchSink = std::function<void(double window_start_s, std::vector<WindowMatch>)>;
  // Receives a match handed out before (`before`, as it was) and what it is
  // now (`after`): of the window before the one being followed, heard
  // later than said (heard_s's end), and otherwise the same; or of a
  // previewed window, accepted again on more of its audio, where `after`
  // may differ in all but its window and recording.
  using AmendSink = std::function<void(const WindowMatch& before, const WindowMatch& after)>;

  // `reader` must stay valid until the next SetReader or the follower's end.
  WindowFollower(const catalog::CatalogReader& reader, MatchSink on_window, AmendSink on_amend);

  // Reads the catalog through `reader` from the next window on (a newer
  // snapshot of the catalog).
  void SetReader(const catalog::CatalogReader& reader) { reader_ = &reader; }

  // Matches `window`, which starts kWindowHopS after the one before. Throws
  // what the catalog reader throws.
  void Follow(AudioWindow window);

  // Matches the part of the next window heard so far (`partial`, starting
  // kWindowHopS after the one before, longer than the preview of it
  // before). Throws what the catalog reader throws.
  void Preview(AudioWindow partial);

  // Ends the stream; the next Follow starts a new one.
  void Finish();

 private:
  struct Accepted {
    std::size_t index;  // into previous_matches_
    matching::MatchCandidate candidate;
  };

  // Matches `window`; `whole`: the window itself rather than a preview.
  void Match(AudioWindow window, bool whole);
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
  // The window being previewed: its start and matches as handed out.
  std::optional<double> previewed_start_s_;
  bool previewed_told_ = false;  // its start handed out to on_window_
  std::vector<WindowMatch> previewed_matches_;
  std::vector<Accepted> previewed_;
  std::vector<fingerprint::Peak> reference_;  // scratch
};

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_WINDOW_FOLLOWER_H_
