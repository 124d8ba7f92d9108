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
  // A passage that repeats within a recording (a chorus, a loop) also
  // aligns a window at the other place it occurs: a short stretch mostly
  // inside a longer one of the same recording is that echo.
  std::vector<bool> echo(stretches.size(), false);
  for (std::size_t i = 0; i < stretches.size(); ++i) {
    for (std::size_t j = 0; j < stretches.size(); ++j) {
      const Stretch& a = stretches[i];
      const Stretch& b = stretches[j];
      if (i == j || a.recording != b.recording || a.windows > b.windows ||
          (a.windows == b.windows && i < j)) {
        continue;
      }
      const double overlap_s = std::min(a.end_s, b.end_s) - std::max(a.start_s, b.start_s);
      if (overlap_s >= 0.5 * (a.end_s - a.start_s)) echo[i] = true;
    }
  }
  for (std::size_t i = stretches.size(); i-- > 0;) {
    if (echo[i]) stretches.erase(stretches.begin() + static_cast<std::ptrdiff_t>(i));
  }
  std::sort(stretches.begin(), stretches.end(), [](const Stretch& a, const Stretch& b) {
    if (a.start_s != b.start_s) return a.start_s < b.start_s;
    return a.recording < b.recording;
  });
  return stretches;
}

}  // namespace plim
