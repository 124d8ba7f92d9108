// Landmarks: the entries of the catalog's index.

#ifndef PLIM_PLATFORM_FINGERPRINT_LANDMARK_H_
#define PLIM_PLATFORM_FINGERPRINT_LANDMARK_H_

#include <cstdint>

namespace plim::fingerprint {

// A hash of a small constellation of spectral peaks, and the time of its
// anchor peak in analysis frames (FingerprintParams::frame_duration_s each).
// The same landmark, at a shifted frame, is found in any recording of the
// same audio, even when noisy, re-encoded, or played up to 5% faster or slower.
struct Landmark {
  std::uint32_t hash = 0;
  std::uint32_t anchor_frame = 0;

  bool operator==(const Landmark&) const = default;
};

}  // namespace plim::fingerprint

#endif  // PLIM_PLATFORM_FINGERPRINT_LANDMARK_H_
