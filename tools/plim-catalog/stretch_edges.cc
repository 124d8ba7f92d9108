#include "tools/plim-catalog/stretch_edges.h"

#include <algorithm>
#include <cmath>

#include "tools/plim-catalog/timeline.h"

namespace plim {
namespace {

// The edge stops once the evidence summed outward from it has fallen this
// far (in nats) below its best: two seconds where the recording's peaks are
// all missing.
constexpr double kGiveUpNats = 10.0;
// Windows are whole multiples of analysis frames: allow for rounding.
constexpr double kSlackS = 1e-6;

// One second (or the last part of one) of the walk out from the edge.
struct Second {
  double from_s = 0, to_s = 0;
  const PeakWindow* window = nullptr;  // holds it wholly
};

// The evidence of each of `seconds` that `alignment` is heard there: the
// log-likelihood ratio of its peaks found and missing, heard against not.
// Each of the recording's peaks there is found where the alignment puts
// it, as a recording heard through noise keeps kHeardShare of them, or
// missing, as by chance, where a stream peak lies near any point with the
// chance the stream's peak density gives.
std::vector<double> Scores(const catalog::CatalogReader& reader, std::span<const Second> seconds,
                           const StreamAlignment& alignment,
                           std::vector<fingerprint::Peak>& reference) {
  std::vector<double> scores(seconds.size(), 0.0);
  double from_s = seconds.front().from_s, to_s = seconds.front().to_s;
  for (const Second& s : seconds) {
    from_s = std::min(from_s, s.from_s);
    to_s = std::max(to_s, s.to_s);
  }
  const auto frames_at = [&](double stream_s) {
    return (stream_s - alignment.anchor_s) * alignment.speed / fingerprint::kFrameDurationS;
  };
  reference.clear();
  reader.ReadPeaks(alignment.recording, std::max(0.0, frames_at(from_s) - 1), frames_at(to_s) + 1,
                   reference);
  std::vector<float> bins, times;
  for (const fingerprint::Peak& p : reference) {
    const double at_s =
        alignment.anchor_s + p.TimeFrames() * fingerprint::kFrameDurationS / alignment.speed;
    // Seconds run outward from the edge, each a whole second but the last.
    std::size_t i = 0;
    while (i < seconds.size() && (at_s < seconds[i].from_s || at_s >= seconds[i].to_s)) ++i;
    if (i == seconds.size()) continue;
    const PeakWindow& w = *seconds[i].window;
    const double at = (at_s - w.start_s) / fingerprint::kFrameDurationS;
    const double bin = p.FrequencyHz() / fingerprint::kBinWidthHz * alignment.frequency_scale;
    bins.clear();
    times.clear();
    w.peaks->Collect(at - kHeardToleranceFrames, at + kHeardToleranceFrames,
                     bin - kHeardToleranceBins, bin + kHeardToleranceBins, bins, times);
    const double density = w.peaks->DensityPerFrameBin(
        fingerprint::BandOfFrequency(p.FrequencyHz() * alignment.frequency_scale));
    const double chance = std::clamp(
        1 - std::exp(-density * 4 * kHeardToleranceFrames * kHeardToleranceBins), 0.005, 0.2);
    scores[i] +=
        bins.empty() ? std::log((1 - kHeardShare) / (1 - chance)) : std::log(kHeardShare / chance);
  }
  return scores;
}

}  // namespace

std::size_t EdgeReachSeconds(std::span<const double> own, std::span<const double> rival) {
  // A quiet second (0 against 0) is no reason to stop short.
  std::size_t best = 0;
  double sum = 0, best_sum = 0;
  for (std::size_t i = 0; i < own.size(); ++i) {
    sum += own[i] - std::max(0.0, rival[i]);
    if (sum >= best_sum) {
      best_sum = sum;
      best = i + 1;
    }
    if (sum < best_sum - kGiveUpNats) break;
  }
  return best;
}

double FindEdge(const catalog::CatalogReader& reader, std::span<const PeakWindow> windows,
                const StreamAlignment& own, std::span<const StreamAlignment> rivals, EdgeSide side,
                double edge_s, double limit_s) {
  const bool start = side == EdgeSide::kStart;
  limit_s = start ? std::max(limit_s, own.anchor_s) : std::min(limit_s, own.EndS());
  std::vector<Second> seconds;
  for (double near_s = edge_s; start ? near_s > limit_s + kSlackS : near_s < limit_s - kSlackS;) {
    const double far_s = start ? std::max(limit_s, near_s - 1) : std::min(limit_s, near_s + 1);
    Second s{std::min(near_s, far_s), std::max(near_s, far_s), nullptr};
    for (const PeakWindow& w : windows) {
      const double end_s = w.start_s + w.peaks->duration_frames() * fingerprint::kFrameDurationS;
      if (w.start_s <= s.from_s + kSlackS && end_s >= s.to_s - kSlackS) s.window = &w;
    }
    if (s.window == nullptr) break;
    seconds.push_back(s);
    near_s = far_s;
  }
  if (seconds.empty()) return edge_s;
  std::vector<fingerprint::Peak> reference;
  const std::vector<double> own_scores = Scores(reader, seconds, own, reference);
  std::vector<double> rival_scores(seconds.size(), 0.0);
  for (const StreamAlignment& r : rivals) {
    const std::vector<double> scores = Scores(reader, seconds, r, reference);
    for (std::size_t i = 0; i < seconds.size(); ++i) {
      rival_scores[i] = std::max(rival_scores[i], scores[i]);
    }
  }
  const std::size_t reach = EdgeReachSeconds(own_scores, rival_scores);
  if (reach == 0) return edge_s;
  return start ? seconds[reach - 1].from_s : seconds[reach - 1].to_s;
}

}  // namespace plim
