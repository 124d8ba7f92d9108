#include "tools/plim-catalog/timeline.h"

#include <algorithm>
#include <cmath>

#include "tools/plim-catalog/stretch_tracker.h"

namespace plim {
namespace {

// A second of the window hears the recording when at least kHeardShare of
// the recording's peaks there are found in the window, and this many: by
// chance (the window's peak density times the tolerance box) some 3% are.
constexpr int kHeardPeaks = 3;
constexpr double kCellS = 1.0;

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
    window.Collect(at - kHeardToleranceFrames, at + kHeardToleranceFrames,
                   bin - kHeardToleranceBins, bin + kHeardToleranceBins, bins, times);
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
  std::stable_sort(matches.begin(), matches.end(), [](const WindowMatch& a, const WindowMatch& b) {
    return a.window_start_s < b.window_start_s;
  });
  std::vector<Stretch> stretches;
  StretchTracker tracker(
      window_hop_s, [](const Stretch&) {}, [&](const Stretch& s) { stretches.push_back(s); });
  for (auto from = matches.begin(); from != matches.end();) {
    auto to = std::find_if(from, matches.end(), [&](const WindowMatch& m) {
      return m.window_start_s != from->window_start_s;
    });
    tracker.AddWindow(from->window_start_s, std::span<const WindowMatch>(from, to));
    from = to;
  }
  tracker.Finish();
  // A stretch announced may end a little shorter than when it was.
  std::erase_if(stretches, [](const Stretch& s) { return s.end_s - s.start_s < kMinStretchS; });
  std::sort(stretches.begin(), stretches.end(), [](const Stretch& a, const Stretch& b) {
    if (a.start_s != b.start_s) return a.start_s < b.start_s;
    return a.recording < b.recording;
  });
  return stretches;
}

}  // namespace plim
