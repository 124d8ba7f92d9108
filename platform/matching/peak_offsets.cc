#include "platform/matching/peak_offsets.h"

#include <algorithm>
#include <cmath>

#include "platform/fingerprint/fingerprint_params.h"

namespace plim::matching {
namespace {

// A query peak votes for every reference peak this close in frequency (FFT
// bins, after the speed's scaling); noise moves interpolated peaks by a few
// tenths of a bin.
constexpr double kBinTolerance = 1.0;
constexpr double kLastBin = fingerprint::kBinCount - 1;

std::size_t WholeBin(const fingerprint::Peak& peak) {
  return std::min<std::size_t>(peak.bin_q / fingerprint::kBinSubdivisions,
                               fingerprint::kBinCount - 1);
}

}  // namespace

ReferencePeakIndex::ReferencePeakIndex(std::span<const fingerprint::Peak> peaks) {
  // Grouped by whole bin with a counting sort: a recording holds thousands
  // of peaks and is indexed once per query.
  bin_start_.assign(fingerprint::kBinCount + 1, 0);
  for (const fingerprint::Peak& peak : peaks) ++bin_start_[WholeBin(peak) + 1];
  for (std::size_t b = 1; b < bin_start_.size(); ++b) bin_start_[b] += bin_start_[b - 1];
  by_bin_.resize(peaks.size());
  std::vector<std::uint32_t> next(bin_start_.begin(), bin_start_.end() - 1);
  for (const fingerprint::Peak& peak : peaks) {
    by_bin_[next[WholeBin(peak)]++] = {
        static_cast<float>(peak.bin_q) / fingerprint::kBinSubdivisions,
        static_cast<float>(peak.TimeFrames())};
    last_frame_ = std::max(last_frame_, peak.TimeFrames());
  }
}

std::vector<PeakOffset> ReferencePeakIndex::BestOffsets(std::span<const fingerprint::Peak> query,
                                                        double speed, int count) const {
  std::vector<PeakOffset> best;
  if (query.empty() || by_bin_.empty() || count <= 0) return best;
  double query_frames = 0;
  for (const fingerprint::Peak& peak : query) {
    query_frames = std::max(query_frames, peak.TimeFrames());
  }
  // Offsets from half the query before the reference's start to half the
  // query before its end, one frame a slot. Slot s counts the votes for
  // offsets within half a frame of first_offset + s.
  const double first_offset = std::floor(-speed * query_frames / 2);
  const auto slots = static_cast<int>(last_frame_ - first_offset + 2);
  std::vector<int> votes(static_cast<std::size_t>(slots) + 2, 0);
  for (const fingerprint::Peak& peak : query) {
    const double bin = static_cast<double>(peak.bin_q) / fingerprint::kBinSubdivisions / speed;
    // The slot of a reference peak at time t is t - base, rounded; shifted
    // by one so that the smoothing below reads no slot before the first.
    const auto base = static_cast<float>(speed * peak.TimeFrames() + first_offset - 1.5);
    const auto low = static_cast<std::size_t>(std::clamp(bin - kBinTolerance, 0.0, kLastBin));
    const auto high = static_cast<std::size_t>(std::clamp(bin + kBinTolerance, 0.0, kLastBin));
    for (std::uint32_t i = bin_start_[low]; i < bin_start_[high + 1]; ++i) {
      const Entry& e = by_bin_[i];
      const float at = e.time_frames - base;
      if (std::abs(e.bin - static_cast<float>(bin)) <= kBinTolerance && at >= 1 &&
          at < static_cast<float>(slots) + 1) {
        ++votes[static_cast<std::size_t>(at)];
      }
    }
  }
  // A peak's time moves by up to a frame under noise: each slot counts the
  // votes of its neighbours too.
  std::vector<int> smoothed(static_cast<std::size_t>(slots), 0);
  for (std::size_t s = 0; s < smoothed.size(); ++s) {
    smoothed[s] = votes[s] + votes[s + 1] + votes[s + 2];
  }
  while (static_cast<int>(best.size()) < count) {
    int most = 0;
    double offset = 0;
    for (std::size_t s = 0; s < smoothed.size(); ++s) {
      const double at = first_offset + static_cast<double>(s);
      if (smoothed[s] <= most) continue;
      const bool near_taken = std::any_of(best.begin(), best.end(), [&](const PeakOffset& o) {
        return std::abs(o.offset_frames - at) < kMinOffsetSeparationFrames;
      });
      if (!near_taken) {
        most = smoothed[s];
        offset = at;
      }
    }
    if (most == 0) break;
    best.push_back({offset, most});
  }
  return best;
}

}  // namespace plim::matching
