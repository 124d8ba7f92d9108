// Spectral peaks: what a signature holds.

#ifndef PLIM_PLATFORM_FINGERPRINT_CONSTELLATION_H_
#define PLIM_PLATFORM_FINGERPRINT_CONSTELLATION_H_

#include <cstdint>
#include <vector>

#include "platform/fingerprint/band_outline.h"
#include "platform/fingerprint/fingerprint_params.h"

namespace plim::fingerprint {

// The density band (0 to kBandCount - 1, split at kBandEdgesHz) that a
// frequency falls in; below the first edge counts as band 0. Pure.
inline int BandOfFrequency(double frequency_hz) {
  int band = 0;
  while (band + 1 < kBandCount && frequency_hz >= kBandEdgesHz[band + 1]) ++band;
  return band;
}

// One spectral peak, in fixed point so that the same audio always gives the
// same bytes: time in 1/kTimeSubdivisions analysis frames from the start of
// the audio, frequency in 1/kBinSubdivisions FFT bins, and prominence above
// its surroundings in dB (rounded, capped at 255).
struct Peak {
  std::uint32_t time_q = 0;
  std::uint16_t bin_q = 0;
  std::uint8_t prominence_db = 0;

  double TimeFrames() const { return static_cast<double>(time_q) / kTimeSubdivisions; }
  double FrequencyHz() const { return static_cast<double>(bin_q) / kBinSubdivisions * kBinWidthHz; }
  bool operator==(const Peak&) const = default;
};

// The peaks of a stretch of audio, ordered by (time_q, bin_q), the
// audio's duration, and its band-energy outline (empty where none was
// taken). A plain value.
struct Constellation {
  std::vector<Peak> peaks;
  double duration_s = 0;
  BandOutline outline;

  bool operator==(const Constellation&) const = default;
};

}  // namespace plim::fingerprint

#endif  // PLIM_PLATFORM_FINGERPRINT_CONSTELLATION_H_
