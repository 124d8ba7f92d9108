// The sample rate written in an MPEG audio (layer I, II or III) frame
// header. Private to the audio layer.

#ifndef PLIM_PLATFORM_AVFAUDIO_FFMPEG_MPEG_AUDIO_HEADER_H_
#define PLIM_PLATFORM_AVFAUDIO_FFMPEG_MPEG_AUDIO_HEADER_H_

#include <cstdint>
#include <optional>

namespace plim::avfaudio {

// The sample rate in Hz of the MPEG-1, MPEG-2 or MPEG-2.5 audio frame that
// starts at `data` (`size` bytes), or nullopt when no valid header is there.
//
// FFmpeg's MPEG audio decoder stamps each frame with the rate of the frame
// before it, so where a stream changes rate the first frame at the new rate
// is mislabelled; the packet's own header tells the truth. Thread-safe.
std::optional<int> MpegAudioSampleRateHz(const std::uint8_t* data, int size);

}  // namespace plim::avfaudio

#endif  // PLIM_PLATFORM_AVFAUDIO_FFMPEG_MPEG_AUDIO_HEADER_H_
