// The exact length of a decoded stream, found as cheaply as the file allows.
// Private to the audio layer.

#ifndef PLIM_PLATFORM_AVFAUDIO_FFMPEG_FRAME_COUNT_H_
#define PLIM_PLATFORM_AVFAUDIO_FFMPEG_FRAME_COUNT_H_

#include <cstdint>

#include "platform/avfaudio/ffmpeg/stream_decoder.h"
#include "platform/avfaudio/file_input.h"

namespace plim::avfaudio {

// The number of frames `reader` (a StreamDecoder over `input`) delivers from
// the start, counted without disturbing it: for PCM in WAV from the header
// and the file size; for the pairs PacketFrameModel knows, from a second pass
// over the packets alone; otherwise by decoding the file once more. Throws
// foundation::NSError (kAVAudioFileErrorUnreadable) when the file can't be
// read.
std::int64_t CountFrames(const FileInput& input, const StreamDecoder& reader);

}  // namespace plim::avfaudio

#endif  // PLIM_PLATFORM_AVFAUDIO_FFMPEG_FRAME_COUNT_H_
