// The band-energy outline: how loud each of 32 log-spaced bands is, over
// time. A second kind of evidence beside the peaks.
//
// Under noise or voices most single peaks are lost, but the music's
// loudness still rises and falls, band by band, where it did in the
// reference: the noise adds a floor to each band and the voices come and
// go, while the music's own changes of level stay correlated with the
// reference's. An outline frame is the mean power of two analysis frames
// (64 ms) in each of kOutlineBands bands between kMinPeakFrequencyHz and
// kMaxPeakFrequencyHz, in half-decibel steps (the catalog keeps it coarser:
// catalog/peak_blocks.h).

#ifndef PLIM_PLATFORM_FINGERPRINT_BAND_OUTLINE_H_
#define PLIM_PLATFORM_FINGERPRINT_BAND_OUTLINE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/fingerprint/fingerprint_params.h"

namespace plim::fingerprint {

inline constexpr int kOutlineBands = 32;
// Analysis frames per outline frame.
inline constexpr int kOutlineFrameSpan = 2;
inline constexpr double kOutlineFrameDurationS = kOutlineFrameSpan * kFrameDurationS;
// A level is round((dB - kOutlineFloorDb) / kOutlineStepDb), clamped to
// 0..255: the floor lies below 16-bit quantisation noise, the top above a
// full-scale tone.
inline constexpr float kOutlineStepDb = 0.5f;
inline constexpr float kOutlineFloorDb = -72.0f;

// The levels of a stretch of audio: frame f, band b at
// levels[f * kOutlineBands + b]; frame f covers analysis frames
// [f * kOutlineFrameSpan, (f + 1) * kOutlineFrameSpan). A plain value.
struct BandOutline {
  std::vector<std::uint8_t> levels;

  std::size_t frames() const { return levels.size() / kOutlineBands; }
  bool operator==(const BandOutline&) const = default;
};

// The outline frame holding analysis frame `frame`.
constexpr std::size_t OutlineFrameOf(std::size_t analysis_frame) {
  return analysis_frame / kOutlineFrameSpan;
}

// Turns power spectra, one analysis frame at a time, into an outline.
// Copyable, so that an outline can be taken while more audio follows. Not
// thread-safe.
class OutlineBuilder {
 public:
  OutlineBuilder();

  // Adds one frame's power spectrum (kBinCount values).
  void AddFrame(const float* power);
  // The outline of every frame added so far; a last incomplete outline
  // frame is the mean of the analysis frames it has. Leaves the builder
  // empty (its outline is moved out, not copied).
  BandOutline Finish() &&;

 private:
  // Bins [first_bin_[b], first_bin_[b + 1]) make band b.
  std::array<int, kOutlineBands + 1> first_bin_{};
  std::array<double, kOutlineBands> pending_{};
  int pending_frames_ = 0;
  BandOutline outline_;
};

// The level of a mean band power, as an outline keeps it. Pure.
std::uint8_t OutlineLevel(double mean_power);

}  // namespace plim::fingerprint

#endif  // PLIM_PLATFORM_FINGERPRINT_BAND_OUTLINE_H_
