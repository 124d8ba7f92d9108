// Builds a signature from PCM audio, streaming.

#ifndef PLIM_PLATFORM_SHAZAMKIT_SH_SIGNATURE_GENERATOR_H_
#define PLIM_PLATFORM_SHAZAMKIT_SH_SIGNATURE_GENERATOR_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/avfaudio/av_audio_pcm_buffer.h"
#include "platform/fingerprint/fingerprinter.h"
#include "platform/shazamkit/sh_signature.h"

namespace plim::shazamkit {

// Takes audio in any format the audio layer delivers (any channel count, any
// rate from fingerprint::kMinInputSampleRateHz up), mixes it to mono and
// resamples it itself, and fingerprints it as it streams through: memory
// beyond the caller's buffer stays small however long the audio. Not
// thread-safe; separate generators are independent.
class SHSignatureGenerator {
 public:
  SHSignatureGenerator();
  ~SHSignatureGenerator();
  SHSignatureGenerator(const SHSignatureGenerator&) = delete;
  SHSignatureGenerator& operator=(const SHSignatureGenerator&) = delete;

  // Appends the buffer's frameLength() frames after the audio appended so
  // far. `time_s` (where the buffer lies in the stream) may be left absent;
  // buffers are taken as contiguous either way. Every buffer must have the
  // format of the first. Throws foundation::NSError (kShazamKitErrorDomain,
  // kInvalidAudioFormat) for a format it can't use: no channels, a sample
  // rate too low for the analysed band, or a format change mid-stream.
  void appendBuffer(const avfaudio::AVAudioPCMBuffer& buffer,
                    std::optional<double> time_s = std::nullopt);

  // The signature of all audio appended so far. More may be appended after.
  SHSignature signature() const;

 private:
  struct Resampler;

  // Frames [start, start + count) of the planes, mixed to mono: the first
  // plane itself when there is one, else mono_. Valid until the next call.
  const float* MixToMono(const float* const* planes, std::uint32_t channels, std::uint32_t start,
                         std::uint32_t count);

  std::unique_ptr<Resampler> resampler_;  // made with the first buffer
  std::vector<float> mono_;               // scratch: one chunk mixed down
  std::vector<float> resampled_;          // scratch: one chunk at the analysis rate
  std::int64_t frames_appended_ = 0;
  double sample_rate_hz_ = 0;
  fingerprint::Fingerprinter fingerprinter_;
};

}  // namespace plim::shazamkit

#endif  // PLIM_PLATFORM_SHAZAMKIT_SH_SIGNATURE_GENERATOR_H_
