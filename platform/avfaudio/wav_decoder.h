// WAV files of integer or float PCM, read without FFmpeg. Private to the
// audio layer.

#ifndef PLIM_PLATFORM_AVFAUDIO_WAV_DECODER_H_
#define PLIM_PLATFORM_AVFAUDIO_WAV_DECODER_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/avfaudio/audio_decoder.h"
#include "platform/avfaudio/file_input.h"
#include "platform/avfaudio/wav_layout.h"

namespace plim::avfaudio {

// Samples are converted to float as FFmpeg's decoder and swresample convert
// them (integers scaled by a power of two, doubles rounded to the nearest
// float), so that the frames are bit for bit the ones FFmpeg delivers. Not
// thread-safe; separate instances are independent.
class WavDecoder : public AudioDecoder {
 public:
  // A decoder for `input` (which must outlive it), or nullptr when
  // ReadWavLayout leaves the file to FFmpeg. Throws foundation::NSError
  // (kAVAudioFileErrorUnreadable) when the file can't be read.
  static std::unique_ptr<WavDecoder> Open(const FileInput& input);

  const AVAudioFormat& format() const override { return format_; }
  std::int64_t position_frames() const override { return position_frames_; }
  // Known from the header; never scans.
  std::int64_t LengthFrames() override { return layout_.frame_count; }
  std::optional<std::int64_t> DeclaredLengthFrames() const override {
    if (layout_.declared_frame_count < 0) return std::nullopt;
    return layout_.declared_frame_count;
  }
  // Should the file shrink while it is read, the missing frames are silence,
  // so that LengthFrames() still holds.
  std::int64_t Read(float* const* planes, std::int64_t capacity_frames) override;

 private:
  WavDecoder(const FileInput& input, const WavLayout& layout);

  // Converts `frames` interleaved frames from `bytes` into planes[c][offset...].
  void Convert(const unsigned char* bytes, std::int64_t frames, float* const* planes,
               std::int64_t offset) const;

  const FileInput& input_;
  WavLayout layout_;
  AVAudioFormat format_;
  std::int64_t position_frames_ = 0;
  std::vector<unsigned char> scratch_;  // raw frames on their way to the planes
};

}  // namespace plim::avfaudio

#endif  // PLIM_PLATFORM_AVFAUDIO_WAV_DECODER_H_
