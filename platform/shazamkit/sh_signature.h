// The acoustic signature of a stretch of audio.

#ifndef PLIM_PLATFORM_SHAZAMKIT_SH_SIGNATURE_H_
#define PLIM_PLATFORM_SHAZAMKIT_SH_SIGNATURE_H_

#include <cstdint>
#include <span>
#include <vector>

#include "platform/fingerprint/constellation.h"
#include "platform/fingerprint/landmark.h"

namespace plim::shazamkit {

// A signature: the duration of the audio it was made from and its
// constellation of spectral peaks. An immutable value; copy it freely and
// share it read-only between threads.
class SHSignature {
 public:
  explicit SHSignature(fingerprint::Constellation constellation)
      : constellation_(std::move(constellation)) {}

  // Rebuilds a signature from dataRepresentation() bytes. Throws
  // foundation::NSError (kShazamKitErrorDomain, kSignatureInvalid) when the
  // data is damaged, truncated, not a signature, or of another version.
  explicit SHSignature(std::span<const std::uint8_t> data_representation);

  // Seconds of audio the signature was made from.
  double duration() const { return constellation_.duration_s; }

  // A versioned binary form: magic, format and fingerprint versions, the
  // analysis parameters, the peaks, and a CRC-32 of all that. The same audio
  // always gives the same bytes.
  std::vector<std::uint8_t> dataRepresentation() const;

  const fingerprint::Constellation& constellation() const { return constellation_; }

  // The landmarks a catalog indexes for this audio.
  std::vector<fingerprint::Landmark> ReferenceLandmarks() const;
  // The landmarks looked up when this audio is a query.
  std::vector<fingerprint::Landmark> QueryLandmarks() const;
  // The peaks a catalog keeps for this audio, to check candidates with.
  std::vector<fingerprint::Peak> ReferencePeaks() const;

  bool operator==(const SHSignature&) const = default;

 private:
  fingerprint::Constellation constellation_;
};

}  // namespace plim::shazamkit

#endif  // PLIM_PLATFORM_SHAZAMKIT_SH_SIGNATURE_H_
