// Joins window matches into stretches as the windows come: a stretch is
// announced once it is sure to be kept and closed once nothing later can
// extend it. The timeline of a whole file is this, fed every window, then
// finished.

#ifndef PLIM_TOOLS_PLIM_CATALOG_STRETCH_TRACKER_H_
#define PLIM_TOOLS_PLIM_CATALOG_STRETCH_TRACKER_H_

#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <span>
#include <utility>
#include <vector>

#include "tools/plim-catalog/timeline.h"

namespace plim {

// Follows the rules of JoinWindowMatches (timeline.h) window by window.
// Memory holds only the stretches still open and what they may still join:
// it does not grow with the stream's length. Not thread-safe.
class StretchTracker {
 public:
  // A stretch with its values as known when the event happens. `on_start`
  // is called once a stretch lasts kMinStretchS (its start, recording and
  // offset are final then; speed, confidence and end may still change);
  // `on_end` once nothing later can join it, with its final values, for
  // every stretch started and for no other. Both are called on the thread
  // of AddWindow and Finish. `window_hop_s`: how far apart windows start.
  using StretchSink = std::function<void(const Stretch&)>;
  StretchTracker(double window_hop_s, StretchSink on_start, StretchSink on_end);

  // Adds the matches of the window starting at `window_start_s` (possibly
  // none). Windows come in time order, each window_hop_s after the one
  // before; each match's window_start_s is `window_start_s`. The latest
  // window may be added again with more matches (of a live stream's
  // window, previewed before its audio was all in: window_follower.h).
  void AddWindow(double window_start_s, std::span<const WindowMatch> matches);

  // Replaces the match of the latest window that is SameMatch as
  // `amended` (timeline.h) with it: that window's recording found to be
  // heard further on. Nothing when there is none.
  void AmendMatch(const WindowMatch& amended) { AmendMatch(amended, amended); }

  // Replaces `before` (SameMatch), the latest match of a stretch still
  // open, with `after`, of the same window and recording: heard to another
  // end or from another start, or accepted again on more of a previewed
  // window. A stretch already announced keeps the start it was announced
  // with. Nothing when there is none.
  void AmendMatch(const WindowMatch& before, const WindowMatch& after);

  // Ends the stream: every stretch still open is ended (or dropped, if it
  // never lasted kMinStretchS). The tracker is then empty and may start
  // over.
  void Finish();

 private:
  struct Merged;
  // Windows of one recording that follow each other at one alignment.
  struct Group {
    WindowMatch first, last;
    std::vector<double> speeds;
    double confidence = 0;
    Merged* merged = nullptr;  // once its stretch is not empty
    std::size_t part = 0;      // its index among merged->parts
  };
  // Stretches of one recording joined across a gap.
  struct Merged {
    catalog::RecordingId recording = 0;
    std::vector<Stretch> parts;  // in the order they joined
    double last_part_start_s = 0;
    int open_groups = 0;
    bool latest = true;  // the last of its recording: later parts may join it
    bool announced = false;
    Stretch Value() const;
  };

  Stretch GroupStretch(const Group& g) const;
  // Makes the group's stretch a part of a merged stretch, when not empty.
  void Place(Group& g);
  bool OtherStarted(catalog::RecordingId recording, double from_s, double to_s) const;
  // Whether a part of `m`'s recording starting at `from_s` or later may still join it.
  bool MayGrow(const Merged& m, double from_s) const;
  // Calls on_start_ once `m` lasts kMinStretchS.
  void Announce(Merged& m);
  void Close(std::list<Merged>::iterator m);

  double window_hop_s_;
  StretchSink on_start_, on_end_;
  std::list<Group> groups_;   // open: may still be extended; oldest first
  std::list<Merged> merged_;  // not yet ended; oldest first
  // Where parts begin, of every recording, as long as a merged stretch may need them.
  std::deque<std::pair<catalog::RecordingId, double>> part_starts_;
};

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_STRETCH_TRACKER_H_
