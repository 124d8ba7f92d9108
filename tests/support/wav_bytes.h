// Hand-made WAV files: any header, right or wrong, around samples in any of
// the encodings WAV files use (writeWav is built on these).

#ifndef PLIM_TESTS_SUPPORT_WAV_BYTES_H_
#define PLIM_TESTS_SUPPORT_WAV_BYTES_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace plim::testing {

enum class SampleCoding { kUnsigned8, kSigned16, kSigned24, kSigned32, kFloat32, kFloat64 };

// Interleaved samples for `channel_count` channels: a melody, then for
// integer codings full scale both ways and the smallest steps, and for float
// codings also NaN, infinities, negative zero, denormals, values beyond
// full scale and, for 64 bits, values that only round to a float.
std::vector<double> testSignal(int sample_rate_hz, int channel_count, double duration_s,
                               SampleCoding coding);

// `values` stored little-endian in `coding`; integers are scaled by
// 2^(bits-1), rounded and clamped, 8-bit ones offset to unsigned.
std::string encodeSamples(const std::vector<double>& values, SampleCoding coding);

// A RIFF chunk: the tag, the body's size (or `size_field`), the body, and a
// pad byte after an odd-sized body.
std::string chunk(const std::string& tag, const std::string& body,
                  std::optional<std::uint32_t> size_field = std::nullopt);

// The fields of a 'fmt ' chunk. Unset ones are derived from the others as
// a correct header has them.
struct FormatFields {
  std::uint16_t format_tag = 1;
  std::uint16_t channel_count = 2;
  std::uint32_t sample_rate_hz = 44100;
  std::uint16_t bits = 16;
  std::optional<std::uint32_t> byte_rate;
  std::optional<std::uint16_t> block_align;
  // 14 (WAVEFORMAT), 16, 18 (WAVEFORMATEX with no extension) or 40
  // (WAVE_FORMAT_EXTENSIBLE, with the fields below).
  std::uint32_t size = 16;
  std::uint16_t valid_bits = 0;
  std::uint32_t channel_mask = 0;
  std::uint16_t subformat_tag = 1;
};
std::string formatChunk(const FormatFields& fields);

// "RIFF" (or `riff_tag`), the size of what follows, "WAVE", the chunks.
std::string riffFile(const std::vector<std::string>& chunks, const std::string& riff_tag = "RIFF");

}  // namespace plim::testing

#endif  // PLIM_TESTS_SUPPORT_WAV_BYTES_H_
