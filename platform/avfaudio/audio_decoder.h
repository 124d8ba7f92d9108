// What AVAudioFile asks of a decoder, whichever reads the file. Private to
// the audio layer.

#ifndef PLIM_PLATFORM_AVFAUDIO_AUDIO_DECODER_H_
#define PLIM_PLATFORM_AVFAUDIO_AUDIO_DECODER_H_

#include <cstdint>
#include <optional>

#include "platform/avfaudio/av_audio_format.h"

namespace plim::avfaudio {

// A file's audio from its start, as deinterleaved 32-bit float frames in
// format(). Implementations read one FileInput, which must outlive them. The
// same file gives the same frames, length and errors whichever
// implementation reads it. Errors are foundation::NSError values of
// kAVFAudioErrorDomain. Not thread-safe; separate instances are independent.
class AudioDecoder {
 public:
  virtual ~AudioDecoder() = default;

  // The sample rate and channel count frames are delivered in.
  virtual const AVAudioFormat& format() const = 0;

  // Frames delivered so far.
  virtual std::int64_t position_frames() const = 0;

  // The exact number of frames Read delivers from the start, whatever has
  // been read so far. May scan the file on the first call; throws when the
  // file can't be read.
  virtual std::int64_t LengthFrames() = 0;

  // The number of frames the file's header says it holds, when it says so
  // reliably (a size or a count written by the encoder, not an estimate
  // from the file's size); nullopt otherwise. Less than LengthFrames() only
  // by encoders' padding; more when the file was cut short.
  virtual std::optional<std::int64_t> DeclaredLengthFrames() const { return std::nullopt; }

  // Writes up to `capacity_frames` frames from position_frames() on into
  // `planes`, one array per channel of format(), each with room for
  // `capacity_frames` floats. Returns the number written, which is less than
  // `capacity_frames` only at the end. Throws when the file can't be read.
  virtual std::int64_t Read(float* const* planes, std::int64_t capacity_frames) = 0;
};

}  // namespace plim::avfaudio

#endif  // PLIM_PLATFORM_AVFAUDIO_AUDIO_DECODER_H_
