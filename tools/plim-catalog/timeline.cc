#include "tools/plim-catalog/timeline.h"

#include <algorithm>
#include <cmath>

namespace plim {
namespace {

// A second of the window hears the recording when at least this share of
// the recording's peaks there are found in the window, and this many: by
// chance (the window's peak density times the tolerance box) some 3% are.
constexpr double kHeardShare = 0.25;
constexpr int kHeardPeaks = 3;
constexpr double kCellS = 1.0;
// How near a window's peak must be to a reference peak to be the same.
constexpr double kTimeToleranceFrames = 1.0;
constexpr double kBinTolerance = 1.0;

// Where the recording's start falls in the file, by this window's alignment.
double AnchorS(const WindowMatch& m) { return m.window_start_s - m.offset_s / m.speed; }

double StretchAnchorS(const Stretch& s) { return s.start_s - s.recording_offset_s / s.speed; }

}  // namespace

std::optional<std::pair<double, double>> HeardSpan(const matching::QueryPeaks& window,
                                                   double window_start_s,
                                                   std::span<const fingerprint::Peak> reference,
                                                   const matching::MatchCandidate& candidate) {
  const double frames_per_cell = kCellS / fingerprint::kFrameDurationS;
  const double window_frames = window.duration_frames();
  const auto cells = static_cast<std::size_t>(std::ceil(window_frames / frames_per_cell));
  std::vector<int> compared(cells), found(cells);
  const double offset_frames = candidate.offset_s / fingerprint::kFrameDurationS;
  std::vector<float> bins, times;
  for (const fingerprint::Peak& p : reference) {
    const double at = (p.TimeFrames() - offset_frames) / candidate.speed;
    if (at < 0 || at >= window_frames) continue;
    const double bin = p.FrequencyHz() / fingerprint::kBinWidthHz * candidate.frequency_scale;
    bins.clear();
    times.clear();
    window.Collect(at - kTimeToleranceFrames, at + kTimeToleranceFrames, bin - kBinTolerance,
                   bin + kBinTolerance, bins, times);
    const auto cell = std::min(cells - 1, static_cast<std::size_t>(at / frames_per_cell));
    ++compared[cell];
    if (!bins.empty()) ++found[cell];
  }
  std::optional<std::pair<double, double>> span;
  for (std::size_t c = 0; c < cells; ++c) {
    if (found[c] < kHeardPeaks || found[c] < kHeardShare * compared[c]) continue;
    const double from_s = window_start_s + static_cast<double>(c) * kCellS;
    const double to_s = window_start_s + std::min(static_cast<double>(c + 1) * kCellS,
                                                  window_frames * fingerprint::kFrameDurationS);
    if (!span) span.emplace(from_s, to_s);
    span->second = to_s;
  }
  return span;
}

std::vector<Stretch> JoinWindowMatches(std::vector<WindowMatch> matches, double window_hop_s) {
  std::sort(matches.begin(), matches.end(), [](const WindowMatch& a, const WindowMatch& b) {
    if (a.window_start_s != b.window_start_s) return a.window_start_s < b.window_start_s;
    return a.recording < b.recording;
  });
  // Each group: indices into `matches`, in time order.
  std::vector<std::vector<std::size_t>> groups;
  for (std::size_t i = 0; i < matches.size(); ++i) {
    const WindowMatch& m = matches[i];
    std::vector<std::size_t>* joined = nullptr;
    for (auto g = groups.rbegin(); g != groups.rend() && joined == nullptr; ++g) {
      const WindowMatch& last = matches[g->back()];
      const double gap_s = m.window_start_s - last.window_start_s;
      // A recording playing twice, or at two alignments in one window, is two stretches.
      if (last.recording == m.recording && gap_s > 0 && gap_s <= 2.5 * window_hop_s &&
          std::abs(AnchorS(m) - AnchorS(last)) <= kAnchorToleranceS) {
        joined = &*g;
      }
    }
    if (joined != nullptr) {
      joined->push_back(i);
    } else {
      groups.push_back({i});
    }
  }

  std::vector<Stretch> stretches;
  for (const std::vector<std::size_t>& group : groups) {
    const WindowMatch& first = matches[group.front()];
    const WindowMatch& last = matches[group.back()];
    Stretch s;
    s.recording = first.recording;
    s.windows = static_cast<int>(group.size());
    std::vector<double> speeds;
    for (std::size_t i : group) {
      speeds.push_back(matches[i].speed);
      s.confidence = std::max(s.confidence, matches[i].confidence);
    }
    std::nth_element(speeds.begin(),
                     speeds.begin() + static_cast<std::ptrdiff_t>(speeds.size() / 2), speeds.end());
    s.speed = speeds[speeds.size() / 2];
    s.start_s = first.heard_s ? first.heard_s->first : first.window_start_s;
    s.end_s = last.heard_s ? last.heard_s->second : last.window_start_s + 2 * window_hop_s;
    // Nothing of a recording plays before its start or after its end.
    s.start_s = std::max(s.start_s, AnchorS(first));
    s.end_s = std::min(s.end_s, AnchorS(last) + last.recording_duration_s / last.speed);
    if (s.end_s <= s.start_s) continue;
    s.recording_offset_s =
        std::max(0.0, first.offset_s + (s.start_s - first.window_start_s) * first.speed);
    stretches.push_back(s);
  }
  // A recording built of loops aligns each window with whichever repeat
  // fits it best, and a quiet passage leaves windows unmatched: one
  // recording heard again right after itself, or at the same alignment a
  // little later, is still the same playing.
  std::sort(stretches.begin(), stretches.end(), [](const Stretch& a, const Stretch& b) {
    if (a.recording != b.recording) return a.recording < b.recording;
    return a.start_s < b.start_s;
  });
  // Unless another recording started in between: then it played between.
  auto other_started = [&](catalog::RecordingId recording, double from_s, double to_s) {
    return std::any_of(stretches.begin(), stretches.end(), [&](const Stretch& o) {
      return o.recording != recording && o.start_s >= from_s && o.start_s < to_s;
    });
  };
  std::vector<Stretch> merged;
  double last_part_start_s = 0;
  for (const Stretch& s : stretches) {
    Stretch* last = merged.empty() ? nullptr : &merged.back();
    const bool same_start =
        last != nullptr && std::abs(StretchAnchorS(*last) - StretchAnchorS(s)) <= kAnchorToleranceS;
    if (last == nullptr || last->recording != s.recording ||
        s.start_s > last->end_s + (same_start ? kQuietGapS : kMergeGapS) ||
        other_started(s.recording, last_part_start_s, s.start_s)) {
      merged.push_back(s);
      last_part_start_s = s.start_s;
      continue;
    }
    last_part_start_s = s.start_s;
    if (s.windows > last->windows) last->speed = s.speed;
    last->end_s = std::max(last->end_s, s.end_s);
    last->windows += s.windows;
    last->confidence = std::max(last->confidence, s.confidence);
  }
  // A moment of likeness between two recordings (a shared loop, a sample)
  // can pass for a match in one window; a recording that plays is heard
  // longer.
  std::erase_if(merged, [](const Stretch& s) { return s.end_s - s.start_s < kMinStretchS; });
  stretches = std::move(merged);
  std::sort(stretches.begin(), stretches.end(), [](const Stretch& a, const Stretch& b) {
    if (a.start_s != b.start_s) return a.start_s < b.start_s;
    return a.recording < b.recording;
  });
  return stretches;
}

}  // namespace plim
