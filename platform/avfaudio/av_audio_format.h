// The PCM format in which audio is delivered.

#ifndef PLIM_PLATFORM_AVFAUDIO_AV_AUDIO_FORMAT_H_
#define PLIM_PLATFORM_AVFAUDIO_AV_AUDIO_FORMAT_H_

#include <cstdint>

namespace plim::avfaudio {

using AVAudioFrameCount = std::uint32_t;    // frames in a buffer
using AVAudioFramePosition = std::int64_t;  // frames into a file
using AVAudioChannelCount = std::uint32_t;

enum class AVAudioCommonFormat { pcmFormatFloat32 };

// 32-bit float samples, deinterleaved (one plane per channel), at a sample
// rate and channel count. A plain value.
class AVAudioFormat {
 public:
  AVAudioFormat(double sample_rate_hz, AVAudioChannelCount channel_count)
      : sample_rate_hz_(sample_rate_hz), channel_count_(channel_count) {}

  double sampleRate() const { return sample_rate_hz_; }
  AVAudioChannelCount channelCount() const { return channel_count_; }
  AVAudioCommonFormat commonFormat() const { return AVAudioCommonFormat::pcmFormatFloat32; }
  bool isInterleaved() const { return false; }

  bool operator==(const AVAudioFormat&) const = default;

 private:
  double sample_rate_hz_;
  AVAudioChannelCount channel_count_;
};

}  // namespace plim::avfaudio

#endif  // PLIM_PLATFORM_AVFAUDIO_AV_AUDIO_FORMAT_H_
