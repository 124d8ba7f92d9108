// FFmpeg demuxers reading a FileInput through AVIOContexts of our own.
// Private to the audio layer's FFmpeg module.

#ifndef PLIM_PLATFORM_AVFAUDIO_FFMPEG_FFMPEG_IO_H_
#define PLIM_PLATFORM_AVFAUDIO_FFMPEG_FFMPEG_IO_H_

#include <memory>
#include <string>

#include "platform/avfaudio/file_input.h"

extern "C" {
#include <libavformat/avio.h>
}

namespace plim::avfaudio {

// Frees an AVIOContext made by NewIOContext, with its buffer and read cursor.
struct IOContextDeleter {
  void operator()(AVIOContext* context) const;
};
using IOContextPtr = std::unique_ptr<AVIOContext, IOContextDeleter>;

// A new reader of `input` positioned at the start of the file, with a
// position of its own, so that several demuxers can read the one file
// independently. `input` must outlive it. Throws foundation::NSError when
// memory runs out.
IOContextPtr NewIOContext(const FileInput& input);

// The errno value of the last read or seek through `context` (made by
// NewIOContext) that the operating system refused, or 0. It tells a file
// that can't be read from one FFmpeg does not understand.
int LastSystemError(const AVIOContext& context);

// FFmpeg's text for the AVERROR value `error`, ready to stand as the REASON
// of kAVAudioFileErrorUnreadable. Thread-safe.
std::string FfmpegErrorText(int error);

// FFmpeg answers a file whose sizes can't be right (a table of a billion
// entries in a small file) by failing to allocate them: that REASON, as a
// user should read it.
inline constexpr char kDamagedReason[] = "it is damaged";

// The most channels read: swresample, which converts the samples, takes no
// more.
inline constexpr int kMostChannels = 64;

// The REASON for a stream of `channels` channels, more than kMostChannels.
std::string TooManyChannelsReason(int channels);

}  // namespace plim::avfaudio

#endif  // PLIM_PLATFORM_AVFAUDIO_FFMPEG_FFMPEG_IO_H_
