// Where a WAV file keeps its samples, read from its RIFF chunks. Private to
// the audio layer.

#ifndef PLIM_PLATFORM_AVFAUDIO_WAV_LAYOUT_H_
#define PLIM_PLATFORM_AVFAUDIO_WAV_LAYOUT_H_

#include <cstdint>
#include <optional>

#include "platform/avfaudio/file_input.h"

namespace plim::avfaudio {

// How each sample is stored: little-endian, unsigned for 8 bits, two's
// complement for 16 to 32, IEEE floating point for the float encodings.
enum class WavSampleEncoding { kUnsigned8, kSigned16, kSigned24, kSigned32, kFloat32, kFloat64 };

// Interleaved PCM frames of `channel_count` samples, `frame_count` of them
// from `data_offset_bytes` on.
struct WavLayout {
  WavSampleEncoding encoding;
  int bytes_per_sample;
  int sample_rate_hz;
  int channel_count;
  std::int64_t data_offset_bytes;
  std::int64_t frame_count;
  // The frames the data chunk's size declares, which a file cut short lacks
  // some of; -1 when the size is left open ("to the end of the file").
  std::int64_t declared_frame_count = -1;

  int bytes_per_frame() const { return bytes_per_sample * channel_count; }
};

// The layout of `input` when it is a RIFF/WAVE or RF64 file of integer PCM
// (8, 16, 24 or 32 bits) or float PCM (32 or 64 bits), plain or
// WAVE_FORMAT_EXTENSIBLE, that FFmpeg would read as exactly these frames;
// nullopt for everything else, which is left to FFmpeg: other codecs,
// headers it would reject or read otherwise, and data that its probes might
// take for a compressed stream. Throws foundation::NSError
// (kAVAudioFileErrorUnreadable) when the file can't be read.
std::optional<WavLayout> ReadWavLayout(const FileInput& input);

}  // namespace plim::avfaudio

#endif  // PLIM_PLATFORM_AVFAUDIO_WAV_LAYOUT_H_
