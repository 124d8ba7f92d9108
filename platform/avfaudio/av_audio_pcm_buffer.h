// A buffer of deinterleaved 32-bit float PCM audio.

#ifndef PLIM_PLATFORM_AVFAUDIO_AV_AUDIO_PCM_BUFFER_H_
#define PLIM_PLATFORM_AVFAUDIO_AV_AUDIO_PCM_BUFFER_H_

#include <memory>
#include <vector>

#include "platform/avfaudio/av_audio_format.h"

namespace plim::avfaudio {

// Holds up to frameCapacity() frames in format(), one float plane per
// channel; frameLength() of them are valid. Owns its memory. Not thread-safe.
class AVAudioPCMBuffer {
 public:
  // A buffer for `frame_capacity` frames (0 is allowed), or nullptr when the
  // memory can't be had, is more than the process can get by
  // MemoryHeadroomBytes(), or its size would overflow. Never throws.
  static std::unique_ptr<AVAudioPCMBuffer> initWithPCMFormat(
      const AVAudioFormat& format, AVAudioFrameCount frame_capacity) noexcept;

  ~AVAudioPCMBuffer();
  AVAudioPCMBuffer(const AVAudioPCMBuffer&) = delete;
  AVAudioPCMBuffer& operator=(const AVAudioPCMBuffer&) = delete;

  const AVAudioFormat& format() const { return format_; }
  AVAudioFrameCount frameCapacity() const { return frame_capacity_; }
  AVAudioFrameCount frameLength() const { return frame_length_; }
  // Sets how many frames are valid; clamped to frameCapacity().
  void setFrameLength(AVAudioFrameCount frames);

  // One pointer per channel, each to frameCapacity() floats.
  float* const* floatChannelData() { return channels_.data(); }
  const float* const* floatChannelData() const { return channels_.data(); }

 private:
  AVAudioPCMBuffer(const AVAudioFormat& format, AVAudioFrameCount frame_capacity);

  AVAudioFormat format_;
  AVAudioFrameCount frame_capacity_;
  AVAudioFrameCount frame_length_ = 0;
  float* samples_ = nullptr;      // all planes, one allocation
  std::vector<float*> channels_;  // into samples_
};

}  // namespace plim::avfaudio

#endif  // PLIM_PLATFORM_AVFAUDIO_AV_AUDIO_PCM_BUFFER_H_
