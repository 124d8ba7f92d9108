#include "platform/avfaudio/ffmpeg/mpeg_audio_header.h"

namespace plim::avfaudio {

std::optional<int> MpegAudioSampleRateHz(const std::uint8_t* data, int size) {
  // 11 sync bits, 2 version bits, 2 layer bits, then in the third byte 4
  // bitrate bits and 2 sample-rate bits.
  if (data == nullptr || size < 4 || data[0] != 0xFF || (data[1] & 0xE0) != 0xE0) {
    return std::nullopt;
  }
  const int version = (data[1] >> 3) & 0x3;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
  const int layer = (data[1] >> 1) & 0x3;
  const int rate_index = (data[2] >> 2) & 0x3;
  if (version == 1 || layer == 0 || rate_index == 3) return std::nullopt;
  constexpr int kMpeg1RatesHz[3] = {44100, 48000, 32000};
  const int divisor = version == 3 ? 1 : version == 2 ? 2 : 4;
  return kMpeg1RatesHz[rate_index] / divisor;
}

}  // namespace plim::avfaudio
