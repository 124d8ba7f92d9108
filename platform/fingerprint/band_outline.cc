#include "platform/fingerprint/band_outline.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace plim::fingerprint {

OutlineBuilder::OutlineBuilder() {
  // Log-spaced edges, each band at least one bin wide.
  const double ratio = kMaxPeakFrequencyHz / kMinPeakFrequencyHz;
  int previous = 0;
  for (int b = 0; b <= kOutlineBands; ++b) {
    const double edge_hz =
        kMinPeakFrequencyHz * std::pow(ratio, static_cast<double>(b) / kOutlineBands);
    int bin = static_cast<int>(std::lround(edge_hz / kBinWidthHz));
    if (b > 0) bin = std::max(bin, previous + 1);
    first_bin_[static_cast<std::size_t>(b)] = std::min(bin, kBinCount);
    previous = bin;
  }
}

void OutlineBuilder::AddFrame(const float* power) {
  for (int b = 0; b < kOutlineBands; ++b) {
    double sum = 0;
    for (int k = first_bin_[static_cast<std::size_t>(b)];
         k < first_bin_[static_cast<std::size_t>(b) + 1]; ++k) {
      sum += power[k];
    }
    pending_[static_cast<std::size_t>(b)] += sum;
  }
  if (++pending_frames_ < kOutlineFrameSpan) return;
  for (double& sum : pending_) {
    outline_.levels.push_back(OutlineLevel(sum / kOutlineFrameSpan));
    sum = 0;
  }
  pending_frames_ = 0;
}

BandOutline OutlineBuilder::Finish() && {
  if (pending_frames_ > 0) {
    for (double sum : pending_) outline_.levels.push_back(OutlineLevel(sum / pending_frames_));
  }
  return std::move(outline_);
}

std::uint8_t OutlineLevel(double mean_power) {
  if (!(mean_power > 0)) return 0;
  const double steps = (10 * std::log10(mean_power) - kOutlineFloorDb) / kOutlineStepDb;
  return static_cast<std::uint8_t>(std::clamp(std::lround(steps), 0L, 255L));
}

}  // namespace plim::fingerprint
