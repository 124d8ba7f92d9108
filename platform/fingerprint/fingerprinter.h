// From mono audio at the analysis rate to its constellation of peaks.

#ifndef PLIM_PLATFORM_FINGERPRINT_FINGERPRINTER_H_
#define PLIM_PLATFORM_FINGERPRINT_FINGERPRINTER_H_

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/fingerprint/band_outline.h"
#include "platform/fingerprint/constellation.h"
#include "platform/fingerprint/peak_picker.h"
#include "platform/fingerprint/real_fft.h"

namespace plim::fingerprint {

// Streams mono samples at kAnalysisSampleRateHz through a Hann-windowed
// short-time Fourier transform into a PeakPicker and an OutlineBuilder.
// Memory stays bounded by one frame of samples plus the peaks and band
// levels found. Not thread-safe; separate instances are independent.
class Fingerprinter {
 public:
  Fingerprinter();

  // Appends `samples` (mono, kAnalysisSampleRateHz, nominally in [-1, 1]).
  void AppendSamples(std::span<const float> samples);

  // The constellation of everything appended so far, as if the audio ended
  // here (the last partial frame padded with silence). Leaves this
  // fingerprinter as it was, so more audio may follow. `duration_s` is put in
  // the result as given.
  Constellation Finish(double duration_s) const;

 private:
  void EmitFrame(const float* frame_samples, PeakPicker& picker, OutlineBuilder& outline) const;

  std::vector<float> window_;
  std::vector<float> pending_;  // samples not yet consumed by a whole frame
  std::unique_ptr<RealFft> fft_;
  mutable std::vector<float> power_;  // scratch for EmitFrame, kBinCount
  PeakPicker picker_;
  OutlineBuilder outline_;
};

}  // namespace plim::fingerprint

#endif  // PLIM_PLATFORM_FINGERPRINT_FINGERPRINTER_H_
