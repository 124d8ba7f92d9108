// WAV files read without FFmpeg must give what FFmpeg gives: the same
// processing format, length and samples bit for bit, or the same error, in
// either order of asking for the length and reading. Every file here is
// read both ways; the table says which ones the WAV reader must take (so
// that the fast path is really exercised) and which it must leave to FFmpeg.

#include "platform/avfaudio/wav_decoder.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/avfaudio/av_audio_file.h"
#include "platform/avfaudio/ffmpeg_module.h"
#include "platform/avfaudio/file_input.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/url.h"
#include "tests/support/audio_fixtures.h"
#include "tests/support/wav_bytes.h"

namespace plim::testing {
namespace {

using avfaudio::AudioDecoder;
using avfaudio::AVAudioFile;
using avfaudio::AVAudioPCMBuffer;

// What reading a file gives: an error, or the audio with its bits.
struct Outcome {
  std::int64_t error_code = 0;  // 0 when it read
  std::string error_description;
  double sample_rate_hz = 0;
  std::uint32_t channel_count = 0;
  std::int64_t length_frames = 0;
  std::vector<std::vector<std::uint32_t>> planes;  // so that NaNs compare

  bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& o, std::ostream* out) {
  if (o.error_code != 0) {
    *out << "error " << o.error_code << ": " << o.error_description;
    return;
  }
  std::uint64_t checksum = 0;
  for (const auto& plane : o.planes) {
    for (std::uint32_t bits : plane) checksum = checksum * 1000003 + bits;
  }
  *out << o.sample_rate_hz << " Hz, " << o.channel_count << " channels, length " << o.length_frames
       << ", read " << (o.planes.empty() ? 0 : o.planes[0].size()) << " frames, checksum "
       << checksum;
}

constexpr std::uint32_t kChunkFrames = 1000;

void appendPlanes(Outcome& outcome, const float* const* planes, std::int64_t frames) {
  for (std::uint32_t c = 0; c < outcome.channel_count; ++c) {
    for (std::int64_t f = 0; f < frames; ++f) {
      outcome.planes[c].push_back(std::bit_cast<std::uint32_t>(planes[c][f]));
    }
  }
}

Outcome opened(const avfaudio::AVAudioFormat& format) {
  Outcome outcome;
  outcome.sample_rate_hz = format.sampleRate();
  outcome.channel_count = format.channelCount();
  outcome.planes.resize(format.channelCount());
  return outcome;
}

Outcome failure(const foundation::NSError& error) {
  EXPECT_EQ(error.domain(), avfaudio::kAVFAudioErrorDomain);
  Outcome outcome;
  outcome.error_code = error.code();
  outcome.error_description = error.description();
  return outcome;
}

// Through the public interface, as the programs read.
Outcome readWithAVAudioFile(const std::string& path, bool length_first) {
  try {
    auto file = AVAudioFile::initForReading(foundation::URL::fileURLWithPath(path));
    const avfaudio::AVAudioFormat format = file->processingFormat();
    Outcome outcome = opened(format);
    if (length_first) outcome.length_frames = file->length();
    auto buffer = AVAudioPCMBuffer::initWithPCMFormat(format, kChunkFrames);
    do {
      file->readIntoBuffer(*buffer);
      appendPlanes(outcome, buffer->floatChannelData(), buffer->frameLength());
    } while (buffer->frameLength() > 0);
    if (!length_first) outcome.length_frames = file->length();
    return outcome;
  } catch (const foundation::NSError& error) {
    return failure(error);
  }
}

// Through FFmpeg alone, as every file was read before the WAV reader.
Outcome readWithFfmpeg(const std::string& path, bool length_first) {
  try {
    avfaudio::FileInput input(foundation::URL::fileURLWithPath(path).path());
    std::unique_ptr<AudioDecoder> decoder = avfaudio::OpenFfmpegDecoder(input);
    Outcome outcome = opened(decoder->format());
    if (length_first) outcome.length_frames = decoder->LengthFrames();
    std::vector<std::vector<float>> storage(outcome.channel_count,
                                            std::vector<float>(kChunkFrames));
    std::vector<float*> planes;
    for (auto& plane : storage) planes.push_back(plane.data());
    std::int64_t frames = 0;
    do {
      frames = decoder->Read(planes.data(), kChunkFrames);
      appendPlanes(outcome, planes.data(), frames);
    } while (frames > 0);
    if (!length_first) outcome.length_frames = decoder->LengthFrames();
    return outcome;
  } catch (const foundation::NSError& error) {
    return failure(error);
  }
}

bool readDirectly(const std::string& path) {
  avfaudio::FileInput input(foundation::URL::fileURLWithPath(path).path());
  return avfaudio::WavDecoder::Open(input) != nullptr;
}

constexpr int kRateHz = 44100;
constexpr double kDurationS = 0.25;

// A WAV file of `coding` around the test signal, with `before` and `after`
// chunks around 'fmt ' and 'data'.
std::string pcmFile(const FormatFields& fields, SampleCoding coding,
                    const std::vector<std::string>& before = {},
                    const std::vector<std::string>& after = {}) {
  std::vector<std::string> chunks = before;
  chunks.push_back(formatChunk(fields));
  chunks.push_back(chunk("data", encodeSamples(testSignal(static_cast<int>(fields.sample_rate_hz),
                                                          fields.channel_count, kDurationS, coding),
                                               coding)));
  chunks.insert(chunks.end(), after.begin(), after.end());
  return riffFile(chunks);
}

FormatFields fieldsFor(int channels, int bits, std::uint16_t tag = 1, int rate_hz = kRateHz) {
  FormatFields fields;
  fields.format_tag = tag;
  fields.channel_count = static_cast<std::uint16_t>(channels);
  fields.bits = static_cast<std::uint16_t>(bits);
  fields.sample_rate_hz = static_cast<std::uint32_t>(rate_hz);
  return fields;
}

FormatFields extensible(FormatFields fields, std::uint16_t valid_bits, std::uint32_t mask) {
  fields.size = 40;
  fields.subformat_tag = fields.format_tag;
  fields.valid_bits = valid_bits;
  fields.channel_mask = mask;
  return fields;
}

std::string cutTo(std::string bytes, std::size_t size) {
  bytes.resize(size);
  return bytes;
}

std::string overwritten(std::string bytes, std::size_t at, const std::string& with) {
  return bytes.replace(at, with.size(), with);
}

FormatFields sized(FormatFields fields, std::uint32_t size) {
  fields.size = size;
  return fields;
}

// Makes the file's bytes, in a directory of its own.
using Make = std::function<std::string(const TemporaryDirectory&)>;

Make bytes(std::string file) {
  return [file = std::move(file)](const TemporaryDirectory&) { return file; };
}

// A file made by the ffmpeg program from a generated source, with `options`.
std::string ffmpegFile(const TemporaryDirectory& d, const std::vector<std::string>& options,
                       const std::string& extension = "wav") {
  writeWav(makeMelody(5, 0.5, kRateHz, 2), d.file("source.wav"));
  runFfmpeg(d.file("source.wav"), options, d.file("made." + extension));
  return readBytes(d.file("made." + extension));
}

Make madeByFfmpeg(std::vector<std::string> options) {
  return [=](const TemporaryDirectory& d) { return ffmpegFile(d, options); };
}

// The bytes of a compressed stream presented as 16-bit stereo PCM, as some
// tools store them; FFmpeg's probes find the stream inside.
Make labelledAsPcm(std::vector<std::string> options, std::string extension, int rate_hz) {
  return [=](const TemporaryDirectory& d) {
    return riffFile({formatChunk(fieldsFor(2, 16, 1, rate_hz)),
                     chunk("data", ffmpegFile(d, options, extension))});
  };
}

std::string oddSizedDataBetweenChunks() {
  std::string samples =
      encodeSamples(testSignal(8000, 1, 0.1, SampleCoding::kUnsigned8), SampleCoding::kUnsigned8);
  if (samples.size() % 2 == 0) samples.pop_back();
  return riffFile({chunk("LIST", std::string("INFOINAM\x05\x00\x00\x00take", 16)),
                   chunk("JUNK", std::string(28, '\0')), formatChunk(fieldsFor(1, 8, 1, 8000)),
                   chunk("data", samples),
                   chunk("LIST", std::string("INFOIART\x03\x00\x00\x00me\0", 15)),
                   chunk("id3 ", "ID3\x03")});
}

std::string rf64ByHand(const std::string& samples) {
  std::string ds64;
  for (std::uint64_t value :
       {std::uint64_t{0}, std::uint64_t{samples.size()}, std::uint64_t{samples.size() / 4}}) {
    ds64 += std::string(reinterpret_cast<const char*>(&value), 8);
  }
  ds64 += std::string(4, '\0');
  return riffFile(
      {chunk("ds64", ds64), formatChunk(fieldsFor(2, 16)), chunk("data", samples, 0xFFFFFFFF)},
      "RF64");
}

struct WavCase {
  const char* name;
  Make make;
  bool read_directly;
  // 0: FFmpeg reads audio from it; otherwise the error code it gives.
  std::int64_t error_code;
};

void PrintTo(const WavCase& c, std::ostream* out) { *out << c.name; }

constexpr std::int64_t kNotAudio = avfaudio::kAVAudioFileErrorNotAudioFile;
constexpr std::int64_t kNoDecodable = avfaudio::kAVAudioFileErrorNoDecodableAudio;
constexpr std::int64_t kUnreadable = avfaudio::kAVAudioFileErrorUnreadable;

std::vector<WavCase> wavCases() {
  using C = SampleCoding;
  const auto plain = [](int channels, int bits, C coding, std::uint16_t tag = 1) {
    return bytes(pcmFile(fieldsFor(channels, bits, tag), coding));
  };
  const std::string s16 = pcmFile(fieldsFor(2, 16), C::kSigned16);
  const std::string samples =
      encodeSamples(testSignal(kRateHz, 2, 0.1, C::kSigned16), C::kSigned16);
  const std::string fact_cut =
      pcmFile(fieldsFor(2, 16), C::kSigned16, {chunk("fact", std::string("\x10\x00\x00\x00", 4))});
  FormatFields wrong_rate = fieldsFor(2, 16);
  wrong_rate.byte_rate = 88200;
  const std::string rate_cut = pcmFile(wrong_rate, C::kSigned16);
  std::string act(2000, '\0');
  act[256 - 44] = '\x84';
  return {
      // Every encoding, plain and extensible, and channel counts that take
      // different paths through swresample.
      {"Unsigned8Mono", plain(1, 8, C::kUnsigned8), true, 0},
      {"Signed16Stereo", plain(2, 16, C::kSigned16), true, 0},
      {"Signed24Stereo", plain(2, 24, C::kSigned24), true, 0},
      {"Signed32ThreeChannels", plain(3, 32, C::kSigned32), true, 0},
      {"Float32Mono", plain(1, 32, C::kFloat32, 3), true, 0},
      {"Float32SixChannels", plain(6, 32, C::kFloat32, 3), true, 0},
      {"Float64Stereo", plain(2, 64, C::kFloat64, 3), true, 0},
      {"Signed16EightChannels", plain(8, 16, C::kSigned16), true, 0},
      {"Signed20In24Bits", plain(2, 20, C::kSigned24), true, 0},
      {"Signed12In16Bits", plain(1, 12, C::kSigned16), true, 0},
      {"WaveFormatExSigned16", bytes(pcmFile(sized(fieldsFor(2, 16), 18), C::kSigned16)), true, 0},
      {"ExtensibleSigned16SixChannels",
       bytes(pcmFile(extensible(fieldsFor(6, 16), 16, 0x3F), C::kSigned16)), true, 0},
      {"ExtensibleValid20In24", bytes(pcmFile(extensible(fieldsFor(2, 24), 20, 0x3), C::kSigned24)),
       true, 0},
      {"ExtensibleFloat32", bytes(pcmFile(extensible(fieldsFor(2, 32, 3), 32, 0x3), C::kFloat32)),
       true, 0},
      {"ExtensibleMaskDisagreesWithChannels",
       bytes(pcmFile(extensible(fieldsFor(2, 16), 0, 0x7), C::kSigned16)), true, 0},
      {"MadeByFfmpegExtensible24", madeByFfmpeg({"-c:a", "pcm_s24le", "-ac", "6"}), true, 0},
      {"MadeByFfmpegRf64", madeByFfmpeg({"-c:a", "pcm_s16le", "-rf64", "always"}), true, 0},
      {"MadeByFfmpegWithBroadcastExtension",
       madeByFfmpeg({"-c:a", "pcm_f32le", "-write_bext", "1", "-metadata", "description=take one"}),
       true, 0},

      // Chunk layouts.
      {"ChunksAroundOddSizedData", bytes(oddSizedDataBetweenChunks()), true, 0},
      {"DataBeforeFormat", bytes(riffFile({chunk("data", samples), formatChunk(fieldsFor(2, 16))})),
       true, 0},
      {"DataCutShort", bytes(cutTo(s16, s16.size() / 2 + 1)), true, 0},
      {"DataSizeZeroMeansToTheEnd", bytes(overwritten(s16, 40, std::string(4, '\0'))), true, 0},
      {"DataSizeAllOnes", bytes(overwritten(s16, 40, std::string(4, '\xFF'))), true, 0},
      {"NoFrames", bytes(riffFile({formatChunk(fieldsFor(2, 16)), chunk("data", "")})), true, 0},
      {"Rf64ByHand", bytes(rf64ByHand(samples)), true, 0},

      // Left to FFmpeg: whatever it gives, AVAudioFile gives too.
      {"CutShortWithFactChunk", bytes(cutTo(fact_cut, fact_cut.size() / 2)), false, 0},
      {"CutShortWithWrongByteRate", bytes(cutTo(rate_cut, rate_cut.size() / 2)), false, 0},
      {"TwoDataChunks",
       bytes(riffFile({formatChunk(fieldsFor(2, 16)), chunk("data", samples),
                       chunk("data", samples.substr(0, 4000))})),
       false, 0},
      {"Padded24In32Bits", bytes(pcmFile(extensible(fieldsFor(2, 32), 24, 0x3), C::kSigned32)),
       false, 0},
      {"WaveFormatWithoutBits", bytes(pcmFile(sized(fieldsFor(1, 8), 14), C::kUnsigned8)), false,
       0},
      {"SixtyFiveChannels", plain(65, 16, C::kSigned16), false, kUnreadable},
      {"LooksLikeAnActFile", bytes(riffFile({formatChunk(fieldsFor(1, 16)), chunk("data", act)})),
       false, kNotAudio},
      {"AdpcmCompressed", madeByFfmpeg({"-c:a", "adpcm_ms"}), false, 0},
      {"MuLawCompressed", madeByFfmpeg({"-c:a", "pcm_mulaw"}), false, 0},
      {"Mp3StreamLabelledPcm", labelledAsPcm({"-c:a", "libmp3lame"}, "mp3", kRateHz), false, 0},
      {"SpdifBurstsLabelledPcm",
       labelledAsPcm({"-c:a", "ac3", "-ar", "48000", "-f", "spdif"}, "spdif", 48000), false, 0},

      // Damaged headers.
      {"CutInsideTheHeader", bytes(cutTo(s16, 30)), false, kNotAudio},
      {"CutBeforeTheData", bytes(cutTo(s16, 36)), false, kNotAudio},
      {"NotWave", bytes(overwritten(s16, 8, "AVI ")), false, kNotAudio},
      {"NoChannels", plain(0, 16, C::kSigned16), false, kNoDecodable},
      {"NoSampleRate", bytes(pcmFile(fieldsFor(2, 16, 1, 0), C::kSigned16)), false, kNotAudio},
      {"NoBits", plain(2, 0, C::kSigned16), false, kNoDecodable},
      {"ExtensibleWithoutItsExtension",
       bytes(pcmFile(sized(fieldsFor(2, 16, 0xFFFE), 18), C::kSigned16)), false, kNoDecodable},
      {"ListChunkTooShort", bytes(pcmFile(fieldsFor(2, 16), C::kSigned16, {chunk("LIST", "IN")})),
       false, kNotAudio},
      {"BroadcastExtensionCutShort",
       bytes(pcmFile(fieldsFor(2, 16), C::kSigned16, {},
                     {chunk("bext", std::string(100, 'x'), 602)})),
       false, kNotAudio},
      {"LessThanOneFrame",
       bytes(riffFile({formatChunk(fieldsFor(2, 16)), chunk("data", "\x01\x02\x03")})), false,
       kNoDecodable},
  };
}

class WavDecoderTest : public ::testing::TestWithParam<WavCase> {};

TEST_P(WavDecoderTest, ReadsAsFfmpegDoes) {
  const WavCase& c = GetParam();
  TemporaryDirectory directory;
  const std::string path = directory.file("test.wav");
  writeBytes(path, c.make(directory));

  EXPECT_EQ(readDirectly(path), c.read_directly);
  for (bool length_first : {false, true}) {
    SCOPED_TRACE(length_first ? "length first" : "length last");
    const Outcome expected = readWithFfmpeg(path, length_first);
    EXPECT_EQ(readWithAVAudioFile(path, length_first), expected);
    EXPECT_EQ(expected.error_code, c.error_code) << expected.error_description;
    // What FFmpeg is left to read, it reads.
    if (!c.read_directly && c.error_code == 0) {
      EXPECT_GT(expected.length_frames, 0);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Files, WavDecoderTest, ::testing::ValuesIn(wavCases()),
                         [](const ::testing::TestParamInfo<WavCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace plim::testing
