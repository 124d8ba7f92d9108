#include "platform/shazamkit/sh_signature_generator.h"

#include <algorithm>
#include <cmath>
#include <string>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include "platform/foundation/ns_error.h"
#include "platform/shazamkit/shazamkit_error.h"

namespace plim::shazamkit {
namespace {

constexpr std::size_t kChunkFrames = 8192;
constexpr int kResamplerFilterTaps = 8;

[[noreturn]] void RefuseFormat(const std::string& why) {
  throw foundation::NSError(kShazamKitErrorDomain, kInvalidAudioFormat,
                            "The audio can't be used for a signature: " + why);
}

std::string FormatRate(double hz) {
  std::string text = std::to_string(static_cast<long long>(std::llround(hz)));
  return text + " Hz";
}

}  // namespace

// Mono float at the input rate to mono float at the analysis rate. Mono
// samples lie alike packed or planar; declared planar, the resampler's own
// layout, they are read and written in place instead of being copied one
// by one into and out of its buffers.
struct SHSignatureGenerator::Resampler {
  struct Free {
    void operator()(SwrContext* context) const { swr_free(&context); }
  };
  std::unique_ptr<SwrContext, Free> context;
  avfaudio::AVAudioFormat format;

  explicit Resampler(const avfaudio::AVAudioFormat& input) : format(input) {
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    SwrContext* raw = nullptr;
    int rate = static_cast<int>(std::lround(input.sampleRate()));
    if (swr_alloc_set_opts2(&raw, &mono, AV_SAMPLE_FMT_FLTP, fingerprint::kAnalysisSampleRateHz,
                            &mono, AV_SAMPLE_FMT_FLTP, rate, 0, nullptr) < 0 ||
        raw == nullptr) {
      throw std::bad_alloc();
    }
    context.reset(raw);
    // The analysis needs the band below 3.8 kHz clean, not a mastering-grade
    // filter: a short one is several times faster, and the peaks it yields
    // are the same.
    av_opt_set_int(raw, "filter_size", kResamplerFilterTaps, 0);
    av_opt_set_int(raw, "phase_shift", 8, 0);
    av_opt_set_double(raw, "cutoff", 0.95, 0);
    if (swr_init(raw) < 0)
      RefuseFormat("the resampler could not be set up for " + FormatRate(rate));
  }
};

SHSignatureGenerator::SHSignatureGenerator() = default;
SHSignatureGenerator::~SHSignatureGenerator() = default;

void SHSignatureGenerator::appendBuffer(const avfaudio::AVAudioPCMBuffer& buffer,
                                        std::optional<double> time_s) {
  (void)time_s;  // buffers are contiguous; a time stamp adds nothing
  const avfaudio::AVAudioFormat& format = buffer.format();
  if (!resampler_) {
    if (format.channelCount() == 0) RefuseFormat("it has no channels");
    if (!(format.sampleRate() >= fingerprint::kMinInputSampleRateHz) || format.sampleRate() > 1e6) {
      RefuseFormat("its sample rate of " + FormatRate(format.sampleRate()) +
                   " is outside the usable range (" +
                   FormatRate(fingerprint::kMinInputSampleRateHz) + " to 1000000 Hz)");
    }
    resampler_ = std::make_unique<Resampler>(format);
    sample_rate_hz_ = format.sampleRate();
  } else if (!(format == resampler_->format)) {
    RefuseFormat("its format changed from one buffer to the next");
  }

  const std::uint32_t channels = format.channelCount();
  const float* const* planes = buffer.floatChannelData();
  const double ratio = fingerprint::kAnalysisSampleRateHz / format.sampleRate();
  for (std::uint32_t start = 0; start < buffer.frameLength(); start += kChunkFrames) {
    std::uint32_t count = std::min<std::uint32_t>(kChunkFrames, buffer.frameLength() - start);
    const float* mono = MixToMono(planes, channels, start, count);
    int capacity = static_cast<int>(std::ceil(count * ratio)) + 64;
    resampled_.resize(static_cast<std::size_t>(capacity));
    auto* out = reinterpret_cast<std::uint8_t*>(resampled_.data());
    const auto* in = reinterpret_cast<const std::uint8_t*>(mono);
    int produced =
        swr_convert(resampler_->context.get(), &out, capacity, &in, static_cast<int>(count));
    if (produced < 0) RefuseFormat("the resampler failed");
    fingerprinter_.AppendSamples(
        std::span<const float>(resampled_.data(), static_cast<std::size_t>(produced)));
  }
  frames_appended_ += buffer.frameLength();
}

const float* SHSignatureGenerator::MixToMono(const float* const* planes, std::uint32_t channels,
                                             std::uint32_t start, std::uint32_t count) {
  if (channels == 1) return planes[0] + start;
  // The channels are summed in order and then scaled, the same arithmetic
  // whatever the channel count; stereo, the common case, in one pass.
  mono_.resize(count);
  float* mono = mono_.data();
  const float gain = 1.0f / static_cast<float>(channels);
  const float* first = planes[0] + start;
  const float* second = planes[1] + start;
  if (channels == 2) {
    for (std::uint32_t i = 0; i < count; ++i) mono[i] = (first[i] + second[i]) * gain;
    return mono;
  }
  for (std::uint32_t i = 0; i < count; ++i) mono[i] = first[i] + second[i];
  for (std::uint32_t c = 2; c < channels; ++c) {
    const float* plane = planes[c] + start;
    for (std::uint32_t i = 0; i < count; ++i) mono[i] += plane[i];
  }
  for (std::uint32_t i = 0; i < count; ++i) mono[i] *= gain;
  return mono;
}

SHSignature SHSignatureGenerator::signature() const {
  // The resampler's few buffered samples (its filter delay, about a
  // millisecond) are left out rather than flushed, so that more audio can
  // still follow; the duration counts every frame appended.
  double duration_s =
      sample_rate_hz_ > 0 ? static_cast<double>(frames_appended_) / sample_rate_hz_ : 0;
  return SHSignature(fingerprinter_.Finish(duration_s));
}

}  // namespace plim::shazamkit
