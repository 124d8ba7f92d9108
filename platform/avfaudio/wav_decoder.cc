#include "platform/avfaudio/wav_decoder.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace plim::avfaudio {
namespace {

// Reads go through a buffer of about this size: few system calls, and it
// stays in the cache while it is converted.
constexpr std::int64_t kScratchBytes = 256 * 1024;

// The little-endian integer at `bytes`. A copy rather than byte by byte, so
// that the conversion loops vectorise.
template <typename Unsigned>
Unsigned LoadLe(const unsigned char* bytes) {
  Unsigned value;
  std::memcpy(&value, bytes, sizeof value);
  if constexpr (std::endian::native == std::endian::big) {
    if constexpr (sizeof value == 2) value = __builtin_bswap16(value);
    if constexpr (sizeof value == 4) value = __builtin_bswap32(value);
    if constexpr (sizeof value == 8) value = __builtin_bswap64(value);
  }
  return value;
}

std::uint32_t Le24(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16;
}

// One sample to float, with swresample's expressions: the integer is
// converted to float (rounding to nearest for 32 bits) and then scaled.
struct FromUnsigned8 {
  static constexpr int kBytes = 1;
  float operator()(const unsigned char* bytes) const {
    return static_cast<float>(static_cast<int>(bytes[0]) - 0x80) * (1.0f / (1 << 7));
  }
};
struct FromSigned16 {
  static constexpr int kBytes = 2;
  float operator()(const unsigned char* bytes) const {
    return static_cast<float>(static_cast<std::int16_t>(LoadLe<std::uint16_t>(bytes))) *
           (1.0f / (1 << 15));
  }
};
// FFmpeg decodes 24-bit samples into the top of 32-bit ones.
struct FromSigned24 {
  static constexpr int kBytes = 3;
  float operator()(const unsigned char* bytes) const {
    return static_cast<float>(static_cast<std::int32_t>(Le24(bytes) << 8)) * (1.0f / (1U << 31));
  }
};
struct FromSigned32 {
  static constexpr int kBytes = 4;
  float operator()(const unsigned char* bytes) const {
    return static_cast<float>(static_cast<std::int32_t>(LoadLe<std::uint32_t>(bytes))) *
           (1.0f / (1U << 31));
  }
};
struct FromFloat32 {
  static constexpr int kBytes = 4;
  float operator()(const unsigned char* bytes) const {
    return std::bit_cast<float>(LoadLe<std::uint32_t>(bytes));
  }
};
struct FromFloat64 {
  static constexpr int kBytes = 8;
  float operator()(const unsigned char* bytes) const {
    return static_cast<float>(std::bit_cast<double>(LoadLe<std::uint64_t>(bytes)));
  }
};

// Channel by channel, so that each plane is written in order.
template <typename Sample>
void Deinterleave(const unsigned char* bytes, std::int64_t frames, int channels,
                  float* const* planes, std::int64_t offset) {
  const Sample sample;
  const std::int64_t stride = static_cast<std::int64_t>(channels) * Sample::kBytes;
  for (int c = 0; c < channels; ++c) {
    const unsigned char* in = bytes + c * Sample::kBytes;
    float* out = planes[c] + offset;
    for (std::int64_t f = 0; f < frames; ++f) out[f] = sample(in + f * stride);
  }
}

}  // namespace

std::unique_ptr<WavDecoder> WavDecoder::Open(const FileInput& input) {
  std::optional<WavLayout> layout = ReadWavLayout(input);
  if (!layout) return nullptr;
  return std::unique_ptr<WavDecoder>(new WavDecoder(input, *layout));
}

WavDecoder::WavDecoder(const FileInput& input, const WavLayout& layout)
    : input_(input),
      layout_(layout),
      format_(layout.sample_rate_hz, static_cast<AVAudioChannelCount>(layout.channel_count)) {}

std::int64_t WavDecoder::Read(float* const* planes, std::int64_t capacity_frames) {
  const std::int64_t frame_bytes = layout_.bytes_per_frame();
  const std::int64_t wanted =
      std::clamp<std::int64_t>(layout_.frame_count - position_frames_, 0, capacity_frames);
  const std::int64_t chunk_frames = std::max<std::int64_t>(1, kScratchBytes / frame_bytes);
  std::int64_t written = 0;
  while (written < wanted) {
    const std::int64_t frames = std::min(chunk_frames, wanted - written);
    scratch_.resize(static_cast<std::size_t>(frames * frame_bytes));
    const std::size_t read_bytes =
        input_.ReadAt(layout_.data_offset_bytes + position_frames_ * frame_bytes, scratch_.data(),
                      scratch_.size());
    std::int64_t got = static_cast<std::int64_t>(read_bytes) / frame_bytes;
    Convert(scratch_.data(), got, planes, written);
    if (got < frames) {
      for (int c = 0; c < layout_.channel_count; ++c) {
        std::fill(planes[c] + written + got, planes[c] + written + frames, 0.0f);
      }
      got = frames;
    }
    written += got;
    position_frames_ += got;
  }
  return written;
}

void WavDecoder::Convert(const unsigned char* bytes, std::int64_t frames, float* const* planes,
                         std::int64_t offset) const {
  const int channels = layout_.channel_count;
  switch (layout_.encoding) {
    case WavSampleEncoding::kUnsigned8:
      return Deinterleave<FromUnsigned8>(bytes, frames, channels, planes, offset);
    case WavSampleEncoding::kSigned16:
      return Deinterleave<FromSigned16>(bytes, frames, channels, planes, offset);
    case WavSampleEncoding::kSigned24:
      return Deinterleave<FromSigned24>(bytes, frames, channels, planes, offset);
    case WavSampleEncoding::kSigned32:
      return Deinterleave<FromSigned32>(bytes, frames, channels, planes, offset);
    case WavSampleEncoding::kFloat32:
      return Deinterleave<FromFloat32>(bytes, frames, channels, planes, offset);
    case WavSampleEncoding::kFloat64:
      return Deinterleave<FromFloat64>(bytes, frames, channels, planes, offset);
  }
}

}  // namespace plim::avfaudio
