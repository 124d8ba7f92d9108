#include "tests/support/wav_bytes.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "tests/support/audio_fixtures.h"

namespace plim::testing {
namespace {

void putLe(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

int bytesOf(SampleCoding coding) {
  switch (coding) {
    case SampleCoding::kUnsigned8:
      return 1;
    case SampleCoding::kSigned16:
      return 2;
    case SampleCoding::kSigned24:
      return 3;
    case SampleCoding::kSigned32:
    case SampleCoding::kFloat32:
      return 4;
    case SampleCoding::kFloat64:
      return 8;
  }
  return 0;
}

}  // namespace

std::vector<double> testSignal(int sample_rate_hz, int channel_count, double duration_s,
                               SampleCoding coding) {
  const Audio melody = makeMelody(13, duration_s, sample_rate_hz, channel_count);
  std::vector<double> values(melody.samples.begin(), melody.samples.end());
  std::vector<double> edges = {-1.0, 1.0, 0.999999, -0.999999, 1e-9, -1e-9, 0.0};
  const bool floating = coding == SampleCoding::kFloat32 || coding == SampleCoding::kFloat64;
  if (floating) {
    const double infinity = std::numeric_limits<double>::infinity();
    edges.insert(edges.end(), {std::nan(""), infinity, -infinity, -0.0, 1e-40, 3.5, -7.25});
  }
  if (coding == SampleCoding::kFloat64) edges.insert(edges.end(), {0.1, 1e300, 1e-50, 1.0 / 3});
  // Past the melody's first frames, so that the data does not start with
  // anything FFmpeg's probes look for.
  const std::size_t start = std::min<std::size_t>(values.size(), 64);
  for (std::size_t i = 0; i < edges.size() && start + i < values.size(); ++i) {
    values[start + i] = edges[i];
  }
  return values;
}

std::string encodeSamples(const std::vector<double>& values, SampleCoding coding) {
  std::string out;
  const int bytes = bytesOf(coding);
  out.reserve(values.size() * static_cast<std::size_t>(bytes));
  for (double value : values) {
    if (coding == SampleCoding::kFloat32) {
      putLe(out, std::bit_cast<std::uint32_t>(static_cast<float>(value)), 4);
    } else if (coding == SampleCoding::kFloat64) {
      putLe(out, std::bit_cast<std::uint64_t>(value), 8);
    } else {
      const double scale = std::ldexp(1.0, 8 * bytes - 1);
      const double clamped = std::clamp(std::round(value * scale), -scale, scale - 1);
      auto integer = static_cast<std::int64_t>(clamped);
      if (coding == SampleCoding::kUnsigned8) integer += 128;
      putLe(out, static_cast<std::uint64_t>(integer), bytes);
    }
  }
  return out;
}

std::string chunk(const std::string& tag, const std::string& body,
                  std::optional<std::uint32_t> size_field) {
  std::string out = tag;
  putLe(out, size_field.value_or(static_cast<std::uint32_t>(body.size())), 4);
  out += body;
  if (body.size() % 2 == 1) out.push_back('\0');
  return out;
}

std::string formatChunk(const FormatFields& fields) {
  const std::uint16_t block_align = fields.block_align.value_or(
      static_cast<std::uint16_t>(fields.channel_count * ((fields.bits + 7) / 8)));
  std::string body;
  putLe(body, fields.size == 40 ? 0xFFFE : fields.format_tag, 2);
  putLe(body, fields.channel_count, 2);
  putLe(body, fields.sample_rate_hz, 4);
  putLe(body, fields.byte_rate.value_or(fields.sample_rate_hz * block_align), 4);
  putLe(body, block_align, 2);
  if (fields.size >= 16) putLe(body, fields.bits, 2);
  if (fields.size >= 18) putLe(body, fields.size - 18, 2);
  if (fields.size >= 40) {
    putLe(body, fields.valid_bits, 2);
    putLe(body, fields.channel_mask, 4);
    putLe(body, fields.subformat_tag, 4);
    body += std::string("\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 12);
  }
  return chunk("fmt ", body);
}

std::string riffFile(const std::vector<std::string>& chunks, const std::string& riff_tag) {
  std::string body = "WAVE";
  for (const std::string& c : chunks) body += c;
  std::string out = riff_tag;
  putLe(out, riff_tag == "RIFF" ? body.size() : 0xFFFFFFFF, 4);
  return out + body;
}

}  // namespace plim::testing
