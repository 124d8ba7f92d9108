// Matches each window of a stream as it comes, for the timeline of a file
// and for listening to a live source alike.

#ifndef PLIM_TOOLS_PLIM_CATALOG_WINDOW_FOLLOWER_H_
#define PLIM_TOOLS_PLIM_CATALOG_WINDOW_FOLLOWER_H_

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "platform/catalog/catalog_store.h"
#include "platform/matching/matcher.h"
#include "platform/matching/peak_verification.h"
#include "tools/plim-catalog/stretch_edges.h"
#include "tools/plim-catalog/timeline.h"
#include "tools/plim-catalog/windowed_fingerprinter.h"

namespace plim {

// Matches each window and records the accepted recordings with where each
// is heard. A recording's first window may not hold enough of it to be
// accepted in the windows before (a fade-in, a crossfade), nor its last in
// the window after; its peaks may still be heard there along the same
// alignment, so its edges are looked for there second by second
// (stretch_edges.h), in the last kEdgeHistoryWindows windows followed and
// the one being matched: a window's matches are handed out as soon as it
// is matched, with the start found; a match heard further on in the window
// after it, or found to give way there to a recording starting, is handed
// out again, amended, when that window is followed. A recording the window
// before accepted that this one does not may still be heard by its
// band-energy outline at the same alignment (outline_heard.h), as in a
// quiet passage under noise: it is then a match of this window too, heard
// as far as its outline is.
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
  // now (`after`): of one of the last kEdgeHistoryWindows windows, the
  // last of its recording, heard to another end (heard_s's), or, if it
  // was heard for a moment only, from another start, and otherwise the
  // same; or of a previewed window, accepted again on more of its audio,
  // where `after` may differ in all but its window and recording.
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

  // Whole windows kept to look for a recording's start in (about 20 s):
  // memory does not grow with the stream.
  static constexpr std::size_t kEdgeHistoryWindows = 4;

 private:
  struct Accepted {
    std::size_t index;  // into its window's matches
    matching::MatchCandidate candidate;
    // Heard for a moment only: its start is looked for if the next window
    // accepts it too.
    bool start_pending = false;
    // Not accepted on its peaks but heard by its outline, at the alignment
    // of the window before: where that stops hearing it is its end.
    bool by_outline = false;
  };
  // A window followed, kept for the edges of what starts or ends after it.
  struct Followed {
    double start_s = 0;
    std::unique_ptr<matching::QueryPeaks> peaks;
    std::vector<WindowMatch> matches;  // as handed out
    std::vector<Accepted> accepted;
  };

  // Matches `window`; `whole`: the window itself rather than a preview.
  void Match(AudioWindow window, bool whole);
  std::optional<std::pair<double, double>> Heard(const matching::QueryPeaks& window,
                                                 double window_start_s,
                                                 const matching::MatchCandidate& c);
  // Moves the start of each of `fresh` (into `accepted`, new since the
  // window before), and of those pending in the window before that it
  // accepts again, to where its seconds first hear it. `windows`: the
  // history and this window.
  void FindStarts(std::span<const PeakWindow> windows, std::vector<WindowMatch>& matches,
                  std::vector<Accepted>& accepted, std::span<const std::size_t> fresh);
  // Moves the start of `m`, accepted as `c`, to where its seconds first
  // hear it, and ends what it takes over from there; `matches` and
  // `accepted`: the window being matched.
  void FindStart(std::span<const PeakWindow> windows, WindowMatch& m,
                 const matching::MatchCandidate& c, const std::vector<WindowMatch>& matches,
                 const std::vector<Accepted>& accepted);
  // Adds to `matches` and `accepted` (and `fresh`) each recording of the
  // window before, accepted there and playing for kMinStretchS by then,
  // that `window` does not accept but hears by its outline through its
  // first hop at least, at the same alignment: a quiet passage, under
  // noise, keeps its stretch open.
  void FollowOutlines(const AudioWindow& window, std::vector<WindowMatch>& matches,
                      std::vector<Accepted>& accepted, std::vector<std::size_t>& fresh);
  // Where the stretch of `m` (accepted as `c`) starts: as found, or where
  // `m` is heard from.
  double OwnStartS(const WindowMatch& m, const matching::MatchCandidate& c) const;
  // Moves the end of each match of the window before that this window
  // (`accepted`, ending at `end_s`) did not accept again to where its
  // seconds last hear it, or where a recording started after it (recent_
  // or in `matches`) starts, if sooner.
  void FindEnds(std::span<const PeakWindow> windows, const std::vector<Accepted>& accepted,
                const std::vector<WindowMatch>& matches, double end_s);
  // The recordings accepted lately (recent_) or in `accepted` (of
  // `matches`), but `recording`, where they play.
  std::vector<StreamAlignment> Rivals(catalog::RecordingId recording,
                                      const std::vector<WindowMatch>& matches,
                                      const std::vector<Accepted>& accepted) const;

  const catalog::CatalogReader* reader_;
  MatchSink on_window_;
  AmendSink on_amend_;
  std::deque<Followed> history_;  // the last windows followed, oldest first
  // A recording accepted lately: a rival at the edges of others.
  struct Recent {
    StreamAlignment alignment;
    double start_s = 0;        // where its stretch starts
    double last_window_s = 0;  // the start of the last window to accept it
  };
  std::vector<Recent> recent_;
  // The window being previewed: its start and matches as handed out.
  std::optional<double> previewed_start_s_;
  bool previewed_told_ = false;  // its start handed out to on_window_
  std::vector<WindowMatch> previewed_matches_;
  std::vector<Accepted> previewed_;
  std::vector<fingerprint::Peak> reference_;  // scratch
};

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_WINDOW_FOLLOWER_H_
