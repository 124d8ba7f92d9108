#include "platform/fingerprint/fingerprinter.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

namespace plim::fingerprint {

Fingerprinter::Fingerprinter()
    : window_(kFftSize), fft_(std::make_unique<RealFft>()), power_(kBinCount) {
  for (int i = 0; i < kFftSize; ++i) {
    window_[i] = static_cast<float>(0.5 - 0.5 * std::cos(2 * std::numbers::pi * i / kFftSize));
  }
  pending_.reserve(2 * kFftSize);
}

void Fingerprinter::EmitFrame(const float* frame_samples, PeakPicker& picker,
                              OutlineBuilder& outline) const {
  float* in = fft_->input();
  for (int i = 0; i < kFftSize; ++i) in[i] = frame_samples[i] * window_[i];
  fft_->PowerSpectrum(power_.data());
  picker.AddFrame(power_.data());
  outline.AddFrame(power_.data());
}

void Fingerprinter::AppendSamples(std::span<const float> samples) {
  while (!samples.empty()) {
    std::size_t take =
        std::min(samples.size(), static_cast<std::size_t>(kFftSize) * 2 - pending_.size());
    pending_.insert(pending_.end(), samples.begin(),
                    samples.begin() + static_cast<std::ptrdiff_t>(take));
    samples = samples.subspan(take);
    std::size_t start = 0;
    while (pending_.size() - start >= static_cast<std::size_t>(kFftSize)) {
      EmitFrame(pending_.data() + start, picker_, outline_);
      start += kHopSize;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(start));
  }
}

Constellation Fingerprinter::Finish(double duration_s) const {
  PeakPicker picker = picker_;
  OutlineBuilder outline = outline_;
  // Frames start every hop; the ones that begin before the end of the audio
  // and reach past it are padded with silence.
  std::vector<float> tail(pending_);
  std::size_t start = 0;
  if (!tail.empty()) {
    tail.resize(tail.size() + kFftSize, 0.0f);
    std::size_t real_samples = pending_.size();
    while (start < real_samples) {
      EmitFrame(tail.data() + start, picker, outline);
      start += kHopSize;
    }
  }
  picker.Flush();
  Constellation constellation;
  constellation.peaks = picker.peaks();
  std::sort(constellation.peaks.begin(), constellation.peaks.end(),
            [](const Peak& a, const Peak& b) {
              return a.time_q != b.time_q ? a.time_q < b.time_q : a.bin_q < b.bin_q;
            });
  constellation.duration_s = duration_s;
  constellation.outline = std::move(outline).Finish();
  return constellation;
}

}  // namespace plim::fingerprint
