#include "platform/fingerprint/peak_thinning.h"

#include <array>

namespace plim::fingerprint {
namespace {

bool Outranks(const Peak& a, const Peak& b) {
  if (a.prominence_db != b.prominence_db) return a.prominence_db > b.prominence_db;
  if (a.time_q != b.time_q) return a.time_q < b.time_q;
  return a.bin_q < b.bin_q;
}

}  // namespace

int BandOf(const Peak& peak) { return BandOfFrequency(peak.FrequencyHz()); }

std::vector<Peak> StrongestPeaks(const std::vector<Peak>& peaks, int per_band_window) {
  // 64 bits: a time near the end of the 32-bit range (signature data read
  // from outside) must not wrap the window round to the start.
  constexpr std::uint64_t kWindowQ = kDensityWindowFrames * kTimeSubdivisions;
  std::array<std::vector<std::size_t>, kBandCount> bands;
  for (std::size_t i = 0; i < peaks.size(); ++i) bands[BandOf(peaks[i])].push_back(i);
  std::vector<bool> keep(peaks.size(), false);
  for (const std::vector<std::size_t>& band : bands) {
    // The window of each peak slides along the band's peaks, in time order.
    std::size_t begin = 0, end = 0;
    for (std::size_t i : band) {
      const Peak& peak = peaks[i];
      while (peaks[band[begin]].time_q + kWindowQ < peak.time_q) ++begin;
      while (end < band.size() &&
             peaks[band[end]].time_q <= std::uint64_t{peak.time_q} + kWindowQ) {
        ++end;
      }
      int stronger = 0;
      for (std::size_t j = begin; j < end && stronger < per_band_window; ++j) {
        if (Outranks(peaks[band[j]], peak)) ++stronger;
      }
      keep[i] = stronger < per_band_window;
    }
  }
  std::vector<Peak> kept;
  for (std::size_t i = 0; i < peaks.size(); ++i) {
    if (keep[i]) kept.push_back(peaks[i]);
  }
  return kept;
}

std::vector<Peak> ReferencePeaks(const Constellation& constellation) {
  return StrongestPeaks(constellation.peaks, kReferencePeaksPerBandWindow);
}

}  // namespace plim::fingerprint
