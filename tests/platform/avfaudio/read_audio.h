// Helpers for the audio layer's tests: reading a whole file through
// AVAudioFile, and comparing decoded audio with what was generated.

#ifndef PLIM_TESTS_PLATFORM_AVFAUDIO_READ_AUDIO_H_
#define PLIM_TESTS_PLATFORM_AVFAUDIO_READ_AUDIO_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/avfaudio/av_audio_file.h"
#include "tests/support/audio_fixtures.h"

namespace plim::testing {

// Frames [first_frame, first_frame + frame_count) of `audio`, planar in a
// buffer of exactly that capacity and length, as AVAudioFile delivers them.
std::unique_ptr<avfaudio::AVAudioPCMBuffer> bufferOf(const Audio& audio, std::int64_t first_frame,
                                                     std::int64_t frame_count);

// Decoded audio: one vector per channel.
struct DecodedAudio {
  double sample_rate_hz = 0;
  std::uint32_t channel_count = 0;
  std::vector<std::vector<float>> planes;

  std::int64_t frameCount() const {
    return planes.empty() ? 0 : static_cast<std::int64_t>(planes[0].size());
  }
};

// Reads `file` from its current position to the end in reads of
// `chunk_frames`, checking on the way that each read but the last fills its
// buffer and that framePosition() follows. Fails the test on violations.
DecodedAudio readToEnd(avfaudio::AVAudioFile& file, std::uint32_t chunk_frames);

// Opens `path` and reads it in chunks without asking for length() first, as
// a streaming reader does; then checks that length() agrees.
DecodedAudio readNaturally(const std::string& path, std::uint32_t chunk_frames);

// Opens `path`, asks length() first, then reads everything into one buffer
// of exactly that capacity; checks that it fills and that a further read
// delivers nothing.
DecodedAudio readWholeAfterLength(const std::string& path);

// The normalised correlation of `decoded` channel `channel` with the same
// channel of `source`, where decoded frame i + lag_frames lines up with
// source frame i, over the frames both have.
double correlation(const DecodedAudio& decoded, const Audio& source, int channel,
                   std::int64_t lag_frames);

// The largest absolute difference between the two, frame by frame, over the
// frames of `source` (which `decoded` must have as many of).
double maxDifference(const DecodedAudio& decoded, const Audio& source);

}  // namespace plim::testing

#endif  // PLIM_TESTS_PLATFORM_AVFAUDIO_READ_AUDIO_H_
