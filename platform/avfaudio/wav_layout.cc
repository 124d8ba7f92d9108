#include "platform/avfaudio/wav_layout.h"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstring>
#include <vector>

// Every rule below mirrors what FFmpeg 5.1's WAV demuxer, its probes and its
// PCM decoder do with the same bytes, so that a file read here gives what
// FFmpeg gives; where FFmpeg would do something else, or might, the file is
// declined and FFmpeg reads it.

namespace plim::avfaudio {
namespace {

constexpr std::uint32_t FourCc(const char (&text)[5]) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(text[0])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(text[1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(text[2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(text[3])) << 24;
}

std::uint32_t Le16(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8;
}

std::uint32_t Le32(const unsigned char* bytes) { return Le16(bytes) | Le16(bytes + 2) << 16; }

std::uint64_t Le64(const unsigned char* bytes) {
  return static_cast<std::uint64_t>(Le32(bytes)) | static_cast<std::uint64_t>(Le32(bytes + 4))
                                                       << 32;
}

bool ReadExactly(const FileInput& input, std::int64_t offset_bytes, unsigned char* data,
                 std::size_t size_bytes) {
  return input.ReadAt(offset_bytes, data, size_bytes) == size_bytes;
}

constexpr std::uint32_t kFormatTagPcm = 0x0001;
constexpr std::uint32_t kFormatTagFloat = 0x0003;
constexpr std::uint32_t kFormatTagExtensible = 0xFFFE;
// The subformat GUID of WAVE_FORMAT_EXTENSIBLE after its leading format tag.
constexpr std::array<unsigned char, 12> kSubformatGuidTail = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                                              0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
// Beyond this swresample, which FFmpeg's path converts samples with, fails.
constexpr std::uint32_t kMaxChannels = 64;

// What the 'fmt ' chunk says.
struct SampleFormat {
  WavSampleEncoding encoding;
  int bytes_per_sample;
  int channel_count;
  int sample_rate_hz;
  std::uint32_t byte_rate;
  bool integer_pcm;  // format tag 1, whose data FFmpeg checks for S/PDIF bursts
};

// The 'fmt ' chunk's body, `size_bytes` long, of which `body` holds the first
// min(size_bytes, 40); nullopt unless it is PCM read here.
std::optional<SampleFormat> ParseFormatChunk(const unsigned char* body, std::uint32_t size_bytes) {
  // FFmpeg reads a 14-byte chunk as 8-bit samples whatever block_align says,
  // and takes the size as a signed int.
  if (size_bytes < 16 || size_bytes > INT_MAX) return std::nullopt;
  const std::uint32_t tag = Le16(body);
  const std::uint32_t channels = Le16(body + 2);
  const std::uint32_t rate_hz = Le32(body + 4);
  const std::uint32_t byte_rate = Le32(body + 8);
  const std::uint32_t block_align = Le16(body + 12);
  std::uint32_t bits = Le16(body + 14);
  std::uint32_t codec_tag = tag;
  if (size_bytes >= 18) {
    std::uint32_t extra_bytes = std::min(size_bytes - 18, Le16(body + 16));
    if (tag == kFormatTagExtensible) {
      if (extra_bytes < 22) return std::nullopt;
      // The valid bits, when given, are what FFmpeg picks its codec by.
      if (Le16(body + 18) != 0) bits = Le16(body + 18);
      if (!std::equal(kSubformatGuidTail.begin(), kSubformatGuidTail.end(), body + 28)) {
        return std::nullopt;
      }
      codec_tag = Le32(body + 24);
      extra_bytes -= 22;
    }
    // FFmpeg keeps further bytes as codec data, which can turn 32-bit
    // integers into 16-bit floats.
    if (extra_bytes > 0) return std::nullopt;
  } else if (tag == kFormatTagExtensible) {
    return std::nullopt;
  }

  SampleFormat format{};
  format.integer_pcm = codec_tag == kFormatTagPcm;
  if (codec_tag == kFormatTagPcm && bits >= 1 && bits <= 32) {
    // FFmpeg rounds the bits up to whole bytes: 20 bits are read as 24.
    format.bytes_per_sample = static_cast<int>((bits + 7) / 8);
    constexpr WavSampleEncoding kByBytes[] = {
        WavSampleEncoding::kUnsigned8, WavSampleEncoding::kSigned16, WavSampleEncoding::kSigned24,
        WavSampleEncoding::kSigned32};
    format.encoding = kByBytes[format.bytes_per_sample - 1];
  } else if (codec_tag == kFormatTagFloat && (bits == 32 || bits == 64)) {
    format.bytes_per_sample = static_cast<int>(bits / 8);
    format.encoding = bits == 32 ? WavSampleEncoding::kFloat32 : WavSampleEncoding::kFloat64;
  } else {
    return std::nullopt;
  }
  // FFmpeg decodes samples of its codec's size whatever the block holds, so
  // a padded block (24 bits in 32) comes out garbled there; it keeps it.
  if (channels < 1 || channels > kMaxChannels || rate_hz < 1 || rate_hz > INT_MAX ||
      block_align != channels * static_cast<std::uint32_t>(format.bytes_per_sample)) {
    return std::nullopt;
  }
  format.channel_count = static_cast<int>(channels);
  format.sample_rate_hz = static_cast<int>(rate_hz);
  format.byte_rate = byte_rate;
  return format;
}

// FFmpeg's ACT demuxer claims RIFF files with this much silence in front of
// a marker byte.
bool LooksLikeAct(const unsigned char* head, std::size_t head_bytes) {
  return head_bytes >= 512 && Le32(head) == FourCc("RIFF") && Le32(head + 16) == 16 &&
         std::all_of(head + 44, head + 256, [](unsigned char byte) { return byte == 0; }) &&
         head[256] == 0x84;
}

// A valid MPEG audio frame header with a bit rate of its own.
bool IsMpegAudioHeader(const unsigned char* bytes) {
  const int version = (bytes[1] >> 3) & 0x3;
  const int layer = (bytes[1] >> 1) & 0x3;
  const int bitrate_index = bytes[2] >> 4;
  const int rate_index = (bytes[2] >> 2) & 0x3;
  return bytes[0] == 0xFF && (bytes[1] & 0xE0) == 0xE0 && version != 1 && layer != 0 &&
         bitrate_index != 0 && bitrate_index != 15 && rate_index != 3;
}

// The four bytes a, b, c, d as they lie in memory, read as one word.
constexpr std::uint32_t InMemoryOrder(unsigned char a, unsigned char b, unsigned char c,
                                      unsigned char d) {
  return std::bit_cast<std::uint32_t>(std::array<unsigned char, 4>{a, b, c, d});
}

// True when one of `words` (from InMemoryOrder) starts at an offset of
// bytes[0, size) that is a multiple of `step` (1 or 2). One pass per offset
// modulo 4 in whole words, which the compiler turns into vector compares.
template <std::size_t N>
bool ContainsAnyWord(const unsigned char* bytes, std::size_t size, std::size_t step,
                     const std::array<std::uint32_t, N>& words) {
  std::uint32_t hits = 0;
  for (std::size_t phase = 0; phase < 4; phase += step) {
    for (std::size_t i = phase; i + 4 <= size; i += 4) {
      std::uint32_t word;
      std::memcpy(&word, bytes + i, sizeof word);
      for (std::uint32_t candidate : words) hits |= word == candidate;
    }
  }
  return hits != 0;
}

// FFmpeg checks the first 64 KiB of PCM data for S/PDIF bursts, and the
// first 32 packets (128 KiB) of 16-bit PCM for compressed streams stored as
// PCM. True when the data holds anything those checks could take up: a
// burst preamble, or, for 16-bit data, an ID3v2 tag or a frame sync of MPEG
// audio, AAC, AC-3 or LATM where FFmpeg's probes need the first frame, or a
// DTS sync word (at an even offset, as FFmpeg looks) or a TrueHD one
// anywhere. Real PCM audio almost never does; when it does, FFmpeg decides.
bool MayHoldCompressedAudio(const FileInput& input, const SampleFormat& format,
                            std::int64_t data_offset_bytes, std::int64_t file_size_bytes) {
  if (!format.integer_pcm) return false;
  constexpr std::size_t kProbedBytes = 32 * 4096;
  constexpr std::size_t kSpdifProbedBytes = 64 * 1024;
  std::vector<unsigned char> data(static_cast<std::size_t>(std::clamp<std::int64_t>(
      file_size_bytes - data_offset_bytes, 0, static_cast<std::int64_t>(kProbedBytes))));
  data.resize(input.ReadAt(data_offset_bytes, data.data(), data.size()));
  const std::size_t size = data.size();
  const unsigned char* bytes = data.data();

  constexpr std::array<std::uint32_t, 1> kSpdifPreamble = {InMemoryOrder(0x72, 0xF8, 0x1F, 0x4E)};
  if (ContainsAnyWord(bytes, std::min(size, kSpdifProbedBytes + 3), 1, kSpdifPreamble)) return true;
  if (format.encoding != WavSampleEncoding::kSigned16) return false;
  constexpr std::array<std::uint32_t, 5> kDtsSyncWords = {
      InMemoryOrder(0x7F, 0xFE, 0x80, 0x01), InMemoryOrder(0xFE, 0x7F, 0x01, 0x80),
      InMemoryOrder(0x1F, 0xFF, 0xE8, 0x00), InMemoryOrder(0xFF, 0x1F, 0x00, 0xE8),
      InMemoryOrder(0x64, 0x58, 0x20, 0x25)};
  constexpr std::array<std::uint32_t, 1> kTrueHdSyncWord = {InMemoryOrder(0xF8, 0x72, 0x6F, 0xBA)};
  if (ContainsAnyWord(bytes, size, 2, kDtsSyncWords) ||
      ContainsAnyWord(bytes, size, 1, kTrueHdSyncWord)) {
    return true;
  }
  if (size < 4) return false;
  // FFmpeg's probing skips an ID3v2 tag in front of a stream.
  if (bytes[0] == 'I' && bytes[1] == 'D' && bytes[2] == '3') return true;
  // MPEG audio's probe starts after leading zero bytes, the others at the
  // first byte.
  const auto first = static_cast<std::size_t>(
      std::find_if(bytes, bytes + size, [](unsigned char byte) { return byte != 0; }) - bytes);
  if (first + 4 <= size && IsMpegAudioHeader(bytes + first)) return true;
  const bool adts = bytes[0] == 0xFF && (bytes[1] & 0xF6) == 0xF0;
  const bool ac3 = (bytes[0] == 0x0B && bytes[1] == 0x77) ||
                   (bytes[0] == 0x77 && bytes[1] == 0x0B) || (bytes[0] == 0x01 && bytes[1] == 0x10);
  const bool latm = bytes[0] == 0x56 && (bytes[1] & 0xE0) == 0xE0;
  return adts || ac3 || latm;
}

}  // namespace

std::optional<WavLayout> ReadWavLayout(const FileInput& input) {
  const std::int64_t file_size = input.SizeBytes();
  unsigned char head[512];
  const std::size_t head_bytes = input.ReadAt(0, head, sizeof head);
  // FFmpeg's probe needs more than 32 bytes to call a file WAV.
  if (head_bytes <= 32) return std::nullopt;
  const std::uint32_t riff = Le32(head);
  const bool rf64 = riff == FourCc("RF64");
  const bool bw64 = riff == FourCc("BW64");
  if ((riff != FourCc("RIFF") && !rf64 && !bw64) || Le32(head + 8) != FourCc("WAVE") ||
      LooksLikeAct(head, head_bytes)) {
    return std::nullopt;
  }

  std::int64_t position = 12;
  // RF64 and BW64 give the data size and the sample count 64 bits in 'ds64'.
  std::int64_t data_size = 0;
  std::int64_t sample_count = 0;
  if (rf64 || bw64) {
    if (head_bytes < 44 || Le32(head + 12) != FourCc("ds64") || Le32(head + 16) < 24) {
      return std::nullopt;
    }
    data_size = static_cast<std::int64_t>(Le64(head + 28));
    sample_count = static_cast<std::int64_t>(Le64(head + 36));
    if (data_size < 0 || sample_count < 0) return std::nullopt;
    position = 20 + static_cast<std::int64_t>(Le32(head + 16));
  }

  // The chunks, walked as FFmpeg walks them: past the data chunk too, where
  // metadata may follow, until a chunk reaches the end of the file.
  std::optional<SampleFormat> format;
  std::int64_t data_offset = -1;
  std::int64_t data_end = 0;
  unsigned char chunk[8];
  while (ReadExactly(input, position, chunk, sizeof chunk)) {
    const std::uint32_t tag = Le32(chunk);
    const std::uint32_t size = Le32(chunk + 4);
    const std::int64_t body = position + 8;
    std::int64_t next = body + size;
    bool last = false;
    if (tag == FourCc("fmt ")) {
      if (!format) {
        unsigned char fields[40] = {};
        if (!ReadExactly(input, body, fields, std::min<std::size_t>(size, sizeof fields))) {
          return std::nullopt;
        }
        format = ParseFormatChunk(fields, size);
        if (!format) return std::nullopt;
      }
    } else if (tag == FourCc("data")) {
      // A second data chunk: FFmpeg would start at the last one.
      if (data_offset >= 0) return std::nullopt;
      data_offset = body;
      if (rf64 || bw64) {
        data_end = data_size > INT64_MAX - body ? INT64_MAX : body + data_size;
      } else if (size != 0xFFFFFFFF) {
        data_size = size;
        data_end = size != 0 ? next : INT64_MAX;
      } else {
        data_size = 0;
        data_end = INT64_MAX;
      }
      next = data_end;
      // A size of 0 means "to the end of the file": nothing after it is read.
      last = !rf64 && size == 0;
    } else if (tag == FourCc("fact")) {
      if (sample_count == 0) {
        unsigned char count[4];
        if (!ReadExactly(input, body, count, sizeof count)) return std::nullopt;
        sample_count = Le32(count);
      }
    } else if (tag == FourCc("LIST") || tag == FourCc("list")) {
      if (size < 4) return std::nullopt;  // FFmpeg rejects the file
    } else if (tag == FourCc("bext")) {
      // FFmpeg rejects the file when the broadcast extension is cut short.
      if (body + std::max<std::int64_t>(size, 602) > file_size) return std::nullopt;
    } else if (tag == FourCc("cue ")) {
      if (next > file_size) return std::nullopt;
    } else if (tag == FourCc("XMA2") || tag == FourCc("SMV0")) {
      return std::nullopt;  // another codec, or video
    }
    if (last || next >= file_size) break;
    // Chunks start at even offsets.
    position = next + (next & 1);
  }
  if (!format || data_offset < 0 || data_size > (INT64_MAX >> 3)) return std::nullopt;

  // FFmpeg counts the frames from the data size when the data is all there.
  // Otherwise it takes the count in 'fact' or 'ds64', which the data may not
  // match, or estimates it from the byte rate, exact only when that agrees.
  const bool counted_from_size = data_size != 0 && data_end <= file_size;
  const int frame_bytes = format->bytes_per_sample * format->channel_count;
  if (!counted_from_size &&
      (sample_count != 0 || static_cast<std::int64_t>(format->byte_rate) !=
                                static_cast<std::int64_t>(format->sample_rate_hz) * frame_bytes)) {
    return std::nullopt;
  }
  const std::int64_t available_bytes =
      std::max<std::int64_t>(0, std::min(data_end, file_size) - data_offset);
  // Less than one frame of data fails to decode in FFmpeg.
  if (available_bytes > 0 && available_bytes < frame_bytes) return std::nullopt;
  if (MayHoldCompressedAudio(input, *format, data_offset, file_size)) {
    return std::nullopt;
  }
  return WavLayout{format->encoding,
                   format->bytes_per_sample,
                   format->sample_rate_hz,
                   format->channel_count,
                   data_offset,
                   available_bytes / frame_bytes,
                   data_size != 0 ? data_size / frame_bytes : -1};
}

}  // namespace plim::avfaudio
