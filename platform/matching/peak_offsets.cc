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
  // query before its end, one frame a slot.
  const double first_offset = std::floor(-speed * query_frames / 2);
  const auto slots = static_cast<std::size_t>(last_frame_ - first_offset + 2);
  std::vector<int> votes(slots + 2, 0);
  for (const fingerprint::Peak& peak : query) {
    const double bin = static_cast<double>(peak.bin_q) / fingerprint::kBinSubdivisions / speed;
    const double at = speed * peak.TimeFrames();
    const auto low = static_cast<std::size_t>(std::clamp(bin - kBinTolerance, 0.0, kLastBin));
    const auto high = static_cast<std::size_t>(std::clamp(bin + kBinTolerance, 0.0, kLastBin));
    for (std::uint32_t i = bin_start_[low]; i < bin_start_[high + 1]; ++i) {
      const Entry& e = by_bin_[i];
      if (std::abs(e.bin - bin) > kBinTolerance) continue;
      const double slot = std::round(e.time_frames - at - first_offset);
      if (slot >= 0 && slot < static_cast<double>(slots)) {
        ++votes[static_cast<std::size_t>(slot) + 1];
      }
    }
  }
  // A peak's time moves by up to a frame under noise: each slot counts the
  // votes of its neighbours too.
  std::vector<int> smoothed(slots, 0);
  for (std::size_t s = 0; s < slots; ++s) smoothed[s] = votes[s] + votes[s + 1] + votes[s + 2];
  std::vector<std::size_t> order(slots);
  for (std::size_t s = 0; s < slots; ++s) order[s] = s;
  const auto take = std::min<std::size_t>(slots, static_cast<std::size_t>(count) * 8);
  std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(take), order.end(),
                    [&](std::size_t a, std::size_t b) {
                      return smoothed[a] != smoothed[b] ? smoothed[a] > smoothed[b] : a < b;
                    });
  for (std::size_t i = 0; i < take && static_cast<int>(best.size()) < count; ++i) {
    const double offset = first_offset + static_cast<double>(order[i]);
    const bool near_taken = std::any_of(best.begin(), best.end(), [&](const PeakOffset& o) {
      return std::abs(o.offset_frames - offset) < kMinOffsetSeparationFrames;
    });
    if (!near_taken && smoothed[order[i]] > 0) best.push_back({offset, smoothed[order[i]]});
  }
  return best;
}

}  // namespace plim::matching
