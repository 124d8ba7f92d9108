// From what each window of a long recording matched to the stretches where
// each catalog recording plays.

#ifndef PLIM_TOOLS_PLIM_CATALOG_TIMELINE_H_
#define PLIM_TOOLS_PLIM_CATALOG_TIMELINE_H_

#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "platform/catalog/recording.h"
#include "platform/fingerprint/constellation.h"
#include "platform/matching/matcher.h"
#include "platform/matching/peak_verification.h"

namespace plim {

// A recording accepted in one window of the file. Times in seconds of the
// file unless said otherwise.
struct WindowMatch {
  double window_start_s = 0;
  catalog::RecordingId recording = 0;
  double recording_duration_s = 0;
  double offset_s = 0;  // where in the recording the window's start lies (may be < 0)
  double speed = 1;     // seconds of the recording per second of the file
  double confidence = 0;
  // Where in the window the recording's peaks are heard, when they are.
  std::optional<std::pair<double, double>> heard_s;
};

// Whether `a` and `b` are the one match of a window, perhaps amended to be
// heard further on. Pure function.
inline bool SameMatch(const WindowMatch& a, const WindowMatch& b) {
  return a.window_start_s == b.window_start_s && a.recording == b.recording &&
         a.offset_s == b.offset_s && a.speed == b.speed;
}

// Where one recording plays in the file.
struct Stretch {
  catalog::RecordingId recording = 0;
  double start_s = 0, end_s = 0;
  double recording_offset_s = 0;  // where in the recording the stretch begins; never negative
  double speed = 1;               // the median of its windows'
  double confidence = 0;          // the best of its windows'
  int windows = 0;                // windows that matched it
};

// Joins `matches` (any order) into stretches: matches of one recording
// whose windows follow each other (one window may be missed between two)
// and that agree on where the recording would start in the file, within
// kAnchorToleranceS, are one stretch. A stretch runs from where its first
// window hears the recording to where its last one does (the windows'
// bounds when not heard), within the recording's own start and end. Then
// stretches of one recording less than kMergeGapS apart (kQuietGapS when
// they agree on its start), with no other recording starting between, are
// one, with the first one's offset (a repeated passage aligns at another
// offset; a quiet one goes unmatched). Stretches shorter than kMinStretchS
// are left out. Ordered by start, then recording. It is what a
// StretchTracker (stretch_tracker.h) fed the windows in time order ends.
// Pure function.
// `window_hop_s`: how far apart windows start.
std::vector<Stretch> JoinWindowMatches(std::vector<WindowMatch> matches, double window_hop_s);

// Windows of one stretch agree on the recording's start to within this:
// a 10-s window's speed is known to a few parts in a thousand, which moves
// the start it implies by a second or so over a few minutes of recording.
inline constexpr double kAnchorToleranceS = 3.0;
// The longest silence between two parts of one stretch, in seconds: when
// they align differently (loops), and when they agree.
inline constexpr double kMergeGapS = 15.0;
inline constexpr double kQuietGapS = 60.0;
// The shortest stretch reported, in seconds.
inline constexpr double kMinStretchS = 5.0;

// A second hears a recording at its alignment when this share of the
// recording's peaks there are found in the stream's, each within this many
// analysis frames and bins of where the alignment puts it.
inline constexpr double kHeardShare = 0.25;
inline constexpr double kHeardToleranceFrames = 1.0;
inline constexpr double kHeardToleranceBins = 1.0;

// Where in a window (its peaks `window`, starting at `window_start_s` in
// the file) the recording whose peaks are `reference` (ordered by time,
// covering the alignment) is heard along `candidate`'s alignment: from the
// first to the last second of the window in which a fair share of the
// reference's peaks are found in the window's. None when no second is.
// Pure function.
std::optional<std::pair<double, double>> HeardSpan(const matching::QueryPeaks& window,
                                                   double window_start_s,
                                                   std::span<const fingerprint::Peak> reference,
                                                   const matching::MatchCandidate& candidate);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_TIMELINE_H_
