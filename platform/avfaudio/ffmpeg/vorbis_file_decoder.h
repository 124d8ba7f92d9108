// Ogg Vorbis read through libvorbisfile, for the streams FFmpeg's Ogg
// demuxer refuses. Private to the audio layer.

#ifndef PLIM_PLATFORM_AVFAUDIO_FFMPEG_VORBIS_FILE_DECODER_H_
#define PLIM_PLATFORM_AVFAUDIO_FFMPEG_VORBIS_FILE_DECODER_H_

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/avfaudio/audio_decoder.h"
#include "platform/avfaudio/file_input.h"

namespace plim::avfaudio {

// True when `input` starts as an Ogg Vorbis stream does: an Ogg page whose
// first packet is a Vorbis identification header. Throws foundation::NSError
// (kAVAudioFileErrorUnreadable) when the file can't be read.
bool LooksLikeOggVorbis(const FileInput& input);

// Some encoders repeat a stream's three header packets after the first set,
// in the same logical stream; FFmpeg then gives up on the whole file, while
// libvorbis, as players use it, passes over the repeats. Frames come at the
// first link's rate and channel count, trimmed as the granule positions say;
// a later link in another format ends the audio, and a gap in the data
// (a lost page) is passed over. LengthFrames() decodes the file once more,
// on a separate handle, so that it is exactly what Read delivers. Not
// thread-safe; separate instances are independent.
class VorbisFileDecoder : public AudioDecoder {
 public:
  // Opens `input`, which must outlive this object. Throws foundation::NSError:
  // kAVAudioFileErrorUnreadable when the file can't be read; returns through
  // TryOpen instead for a stream libvorbisfile refuses.
  static std::unique_ptr<VorbisFileDecoder> TryOpen(const FileInput& input);
  ~VorbisFileDecoder() override;

  const AVAudioFormat& format() const override { return format_; }
  std::int64_t position_frames() const override { return position_frames_; }
  std::int64_t LengthFrames() override;
  std::int64_t Read(float* const* planes, std::int64_t capacity_frames) override;

  // libvorbisfile's handle and the reading position its callbacks keep.
  struct Handle;

 private:
  VorbisFileDecoder(const FileInput& input, std::unique_ptr<Handle> handle);

  const FileInput& input_;
  std::unique_ptr<Handle> handle_;
  AVAudioFormat format_;
  std::int64_t position_frames_ = 0;
  std::optional<std::int64_t> length_frames_;  // once known
  bool finished_ = false;
};

}  // namespace plim::avfaudio

#endif  // PLIM_PLATFORM_AVFAUDIO_FFMPEG_VORBIS_FILE_DECODER_H_
