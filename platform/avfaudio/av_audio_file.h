// An audio file opened for reading. WAV files of integer or float PCM are
// read directly; everything else is decoded with FFmpeg's libraries, which
// are loaded the first time a file needs them.

#ifndef PLIM_PLATFORM_AVFAUDIO_AV_AUDIO_FILE_H_
#define PLIM_PLATFORM_AVFAUDIO_AV_AUDIO_FILE_H_

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/avfaudio/av_audio_format.h"
#include "platform/avfaudio/av_audio_pcm_buffer.h"
#include "platform/foundation/url.h"

namespace plim::avfaudio {

// Errors of this layer are foundation::NSError values in this domain; their
// descriptions name the file and say what is wrong.
inline constexpr char kAVFAudioErrorDomain[] = "AVFAudio";

// The codes of kAVFAudioErrorDomain errors. Above each, its description
// (PATH is the file's absolute path).
//
// The file "PATH" does not exist.
inline constexpr std::int64_t kAVAudioFileErrorFileNotFound = 1;
// The file "PATH" is a directory, not an audio file.
inline constexpr std::int64_t kAVAudioFileErrorIsDirectory = 2;
// The file "PATH" could not be read: permission denied.
inline constexpr std::int64_t kAVAudioFileErrorPermissionDenied = 3;
// The file "PATH" is not an audio file.
// (A format FFmpeg does not know, no audio stream, a text file.)
// The file "PATH" is empty.
// (This code or the next, for a file of no bytes.)
inline constexpr std::int64_t kAVAudioFileErrorNotAudioFile = 4;
// The file "PATH" could not be read: REASON.
// (Input/output failures, memory, the FFmpeg module that can't be loaded,
// and the like; REASON is lowercase.)
inline constexpr std::int64_t kAVAudioFileErrorUnreadable = 5;
// The file "PATH" holds no audio that can be decoded.
// (Audio streams without a decoder, or packets none of which decodes.)
inline constexpr std::int64_t kAVAudioFileErrorNoDecodableAudio = 6;
// Not raised here: for callers that read a whole file into one buffer and
// find its length() beyond AVAudioFrameCount (2^32 - 1 frames).
inline constexpr std::int64_t kAVFAudioErrorTooLong = 7;

// The first audio stream of a file (any container and codec FFmpeg reads,
// the audio of a video file included), delivered as processingFormat().
// A WAV file read directly gives the same frames, length and errors as
// FFmpeg would. Not thread-safe; separate instances are independent.
class AVAudioFile {
 public:
  // Opens the file that `url` names. Throws foundation::NSError when it does
  // not exist, is a directory, can't be read, or holds no decodable audio.
  static std::unique_ptr<AVAudioFile> initForReading(const foundation::URL& url);

  ~AVAudioFile();
  AVAudioFile(const AVAudioFile&) = delete;
  AVAudioFile& operator=(const AVAudioFile&) = delete;

  // The exact number of frames a read from the start delivers. Where the
  // container carries no exact count it is found by scanning the file once,
  // on the first call. Throws foundation::NSError when the file can't be read.
  AVAudioFramePosition length();

  // The number of frames the file's header declares, when it declares one
  // reliably (a WAV file's data size, a FLAC file's sample count, an MP3
  // file's frame count; not a length estimated from the file's size). A
  // file cut short declares more than length() finds; encoders' padding
  // makes a few hundred frames' difference either way. Never reads.
  std::optional<AVAudioFramePosition> declaredLength() const;

  // 32-bit float, deinterleaved, at the file's own sample rate and channels.
  const AVAudioFormat& processingFormat() const;

  // The frame the next read starts at; 0 after opening.
  AVAudioFramePosition framePosition() const;

  // Reads up to buffer.frameCapacity() frames from framePosition() straight
  // into `buffer` (which must be in processingFormat()), sets its frameLength
  // and advances framePosition(). At the end of the file it sets frameLength
  // 0. A damaged packet is skipped; throws foundation::NSError when nothing
  // can be decoded or the file can't be read.
  void readIntoBuffer(AVAudioPCMBuffer& buffer);

 private:
  struct Reader;
  explicit AVAudioFile(std::unique_ptr<Reader> reader);
  std::unique_ptr<Reader> reader_;
};

}  // namespace plim::avfaudio

#endif  // PLIM_PLATFORM_AVFAUDIO_AV_AUDIO_FILE_H_
