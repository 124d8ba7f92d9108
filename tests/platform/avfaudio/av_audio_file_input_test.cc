// Inputs that are not clean audio files: missing, unreadable, not audio,
// cut short, damaged, or changing format mid-way. Each must either fail with
// the error that names the problem, or read with a length that matches what
// the reads deliver.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/avfaudio/av_audio_file.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/url.h"
#include "tests/platform/avfaudio/ogg_pages.h"
#include "tests/platform/avfaudio/read_audio.h"
#include "tests/support/audio_fixtures.h"

namespace plim::testing {
namespace {

using avfaudio::AVAudioFile;

constexpr int kRateHz = 44100;
constexpr double kDurationS = 2.0;
constexpr std::int64_t kFrames = static_cast<std::int64_t>(kDurationS * kRateHz);

// The two-second mono melody as `extension`, made with `arguments`.
std::string encodeMelody(const TemporaryDirectory& directory, const std::string& name,
                         const std::vector<std::string>& arguments) {
  const std::string wav = directory.file(name + ".source.wav");
  writeWav(makeMelody(3, kDurationS, kRateHz, 1), wav);
  if (arguments.empty()) return wav;
  const std::string path = directory.file(name);
  runFfmpeg(wav, arguments, path);
  return path;
}

// The file at `path` rewritten by `change`.
std::string rewritten(const std::string& path,
                      const std::function<std::string(std::string)>& change) {
  writeBytes(path, change(readBytes(path)));
  return path;
}

using Make = std::function<std::string(const TemporaryDirectory&)>;  // returns the path

Make fileOf(const std::string& name, const std::string& text) {
  return [=](const TemporaryDirectory& d) {
    writeBytes(d.file(name), text);
    return d.file(name);
  };
}

// The first half of the melody encoded with `arguments`.
Make cutInHalf(const std::string& name, std::vector<std::string> arguments) {
  return [=](const TemporaryDirectory& d) {
    return rewritten(encodeMelody(d, name, arguments),
                     [](std::string bytes) { return bytes.substr(0, bytes.size() / 2); });
  };
}

// `value` in 4 bytes, least significant first (or, bigEndian32, last).
std::string littleEndian32(std::size_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
  return bytes;
}

std::string bigEndian32(std::size_t value) {
  std::string bytes = littleEndian32(value);
  return std::string(bytes.rbegin(), bytes.rend());
}

// `flac` with a Vorbis comment block of `count` tags inserted after its
// stream info, which comes first.
std::string withFlacComments(std::string flac, int count) {
  std::string block =
      littleEndian32(4) + "plim" + littleEndian32(static_cast<std::uint32_t>(count));
  for (int i = 0; i < count; ++i) {
    const std::string tag = "COMMENT" + std::to_string(i) + "=x";
    block += littleEndian32(static_cast<std::uint32_t>(tag.size())) + tag;
  }
  const auto size = static_cast<std::uint32_t>(block.size());
  const char last = static_cast<char>(flac[4] & 0x80);  // the stream info was the last block
  flac[4] = static_cast<char>(flac[4] & 0x7F);
  return flac.insert(42, std::string{static_cast<char>(4 | last), static_cast<char>(size >> 16),
                                     static_cast<char>(size >> 8), static_cast<char>(size)} +
                             block);
}

// `bytes` after an ID3v2.3 tag of `count` user text frames.
std::string afterId3v2Frames(const std::string& bytes, int count) {
  std::string frames;
  for (int i = 0; i < count; ++i) {
    const std::string text = std::string(1, '\0') + "d" + std::to_string(i) + '\0' + "x";
    frames += "TXXX" +
              std::string{0, 0, static_cast<char>(text.size() >> 8), static_cast<char>(text.size()),
                          0, 0} +
              text;
  }
  std::string header = std::string("ID3\x03\x00\x00", 6);
  for (int shift = 21; shift >= 0; shift -= 7)
    header += static_cast<char>((frames.size() >> shift) & 0x7F);
  return header + frames + bytes;
}

// `m4a`, whose movie box comes last, with a user data box of `count` text
// tags appended to that box.
std::string withMp4UserData(std::string m4a, int count) {
  std::string tags;
  // A QuickTime text: its size (2 bytes), language (2) and one letter.
  for (int i = 0; i < count; ++i)
    tags += bigEndian32(13) +
            "\xa9"
            "cmt" +
            std::string("\0\1\0\0x", 5);
  const std::size_t movie = m4a.rfind("moov") - 4;
  const std::string user_data = bigEndian32(8 + tags.size()) + "udta" + tags;
  m4a.replace(movie, 4, bigEndian32(m4a.size() - movie + user_data.size()));
  return m4a + user_data;
}

// `bytes` followed by an APEv2 tag (items and footer) of `count` items.
std::string withApeTag(const std::string& bytes, int count) {
  std::string items;
  for (int i = 0; i < count; ++i) {
    items += littleEndian32(1) + littleEndian32(0) + "Key" + std::to_string(i) + '\0' + "x";
  }
  return bytes + items + "APETAGEX" + littleEndian32(2000) + littleEndian32(items.size() + 32) +
         littleEndian32(static_cast<std::size_t>(count)) + std::string(12, '\0');
}

enum class Outcome { kFails, kOpens, kOpensOrFails };

struct Expectation {
  Outcome outcome;
  std::int64_t error_code = 0;       // when it fails
  const char* description_end = "";  // after `The file "PATH" `
  std::int64_t min_frames = 0;       // when it opens
  std::int64_t max_frames = 0;
};

Expectation fails(std::int64_t code, const char* description_end) {
  return {Outcome::kFails, code, description_end};
}
Expectation opens(std::int64_t min_frames, std::int64_t max_frames) {
  return {Outcome::kOpens, 0, "", min_frames, max_frames};
}

struct InputCase {
  const char* name;
  Make make;
  Expectation expected;
};

void PrintTo(const InputCase& c, std::ostream* out) { *out << c.name; }

std::vector<InputCase> inputCases() {
  const std::int64_t half = kFrames / 2;
  const Expectation half_or_nothing = {
      Outcome::kOpensOrFails, avfaudio::kAVAudioFileErrorNoDecodableAudio,
      "holds no audio that can be decoded.", half * 6 / 10, half * 14 / 10};
  const char* not_audio = "is not an audio file.";
  const char* too_many_tags =
      "could not be read: it has more than 10000 tags, the most that are read.";
  return {
      {"MissingFileNamedLikeAnOption", [](const TemporaryDirectory& d) { return d.file("-x"); },
       fails(avfaudio::kAVAudioFileErrorFileNotFound, "does not exist.")},
      {"Directory", [](const TemporaryDirectory& d) { return d.path(); },
       fails(avfaudio::kAVAudioFileErrorIsDirectory, "is a directory, not an audio file.")},
      {"TextFile", fileOf("notes.txt", "Track list\n1. Intro\n2. Theme\n"),
       fails(avfaudio::kAVAudioFileErrorNotAudioFile, not_audio)},
      {"TextFileNamedMp3", fileOf("song.mp3", "this is not really an mp3 file at all\n"),
       fails(avfaudio::kAVAudioFileErrorNotAudioFile, not_audio)},
      {"EmptyFile", fileOf("empty.wav", ""),
       fails(avfaudio::kAVAudioFileErrorNotAudioFile, "is empty.")},
      {"WavOfAnUnknownCodec",
       [](const TemporaryDirectory& d) {
         return rewritten(encodeMelody(d, "odd", {}),  // the format tag
                          [](std::string bytes) { return bytes.replace(20, 2, "\x34\x12"); });
       },
       fails(avfaudio::kAVAudioFileErrorNoDecodableAudio, "holds no audio that can be decoded.")},
      {"Unreadable",
       [](const TemporaryDirectory& d) {
         std::string path = encodeMelody(d, "locked", {});
         chmod(path.c_str(), 0);
         return path;
       },
       fails(avfaudio::kAVAudioFileErrorPermissionDenied, "could not be read: permission denied.")},
      {"ZeroLengthWav",
       [](const TemporaryDirectory& d) {
         writeWav(Audio{kRateHz, 2, {}}, d.file("silent.wav"));
         return d.file("silent.wav");
       },
       opens(0, 0)},
      {"NameWithDashAndColon",
       [](const TemporaryDirectory& d) {
         std::filesystem::rename(encodeMelody(d, "plain", {}), d.file("-a:b.wav"));
         return d.file("-a:b.wav");
       },
       opens(kFrames, kFrames)},
      // The header still claims two seconds; the data stops after 20000
      // frames and one odd byte.
      {"WavCutShort",
       [](const TemporaryDirectory& d) {
         return rewritten(encodeMelody(d, "cut", {}),
                          [](std::string bytes) { return bytes.substr(0, 44 + 20000 * 2 + 1); });
       },
       opens(20000, 20000)},
      // Metadata after the samples is not audio.
      {"WavWithChunkAfterData",
       [](const TemporaryDirectory& d) {
         return rewritten(encodeMelody(d, "tagged", {}), [](std::string bytes) {
           bytes += std::string("LIST\x0c\x00\x00\x00INFOIART\x00\x00\x00\x00", 20);
           const auto riff_bytes = static_cast<std::uint32_t>(bytes.size() - 8);
           for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<char>(riff_bytes >> (8 * i));
           return bytes;
         });
       },
       opens(kFrames, kFrames)},
      {"FlacCutInHalf", cutInHalf("cut.flac", {"-c:a", "flac"}), half_or_nothing},
      // FFmpeg's time to read tags grows with their square: more than the
      // bound are refused before it starts, fewer read as ever.
      {"FlacWithAHundredComments",
       [](const TemporaryDirectory& d) {
         return rewritten(encodeMelody(d, "tagged.flac", {"-c:a", "flac"}),
                          [](std::string flac) { return withFlacComments(flac, 100); });
       },
       opens(kFrames, kFrames)},
      {"FlacWithTwelveThousandComments",
       [](const TemporaryDirectory& d) {
         return rewritten(encodeMelody(d, "tags.flac", {"-c:a", "flac"}),
                          [](std::string flac) { return withFlacComments(flac, 12000); });
       },
       fails(avfaudio::kAVAudioFileErrorUnreadable, too_many_tags)},
      {"FlacAfterTwelveThousandId3v2Frames",
       [](const TemporaryDirectory& d) {
         return rewritten(encodeMelody(d, "id3.flac", {"-c:a", "flac"}),
                          [](std::string flac) { return afterId3v2Frames(flac, 12000); });
       },
       fails(avfaudio::kAVAudioFileErrorUnreadable, too_many_tags)},
      {"Mp3BeforeAnApeTagOfTwelveThousandItems",
       [](const TemporaryDirectory& d) {
         return rewritten(encodeMelody(d, "ape.mp3", {"-c:a", "libmp3lame"}),
                          [](std::string mp3) { return withApeTag(mp3, 12000); });
       },
       fails(avfaudio::kAVAudioFileErrorUnreadable, too_many_tags)},
      {"M4aWithTwelveThousandUserDataTags",
       [](const TemporaryDirectory& d) {
         return rewritten(encodeMelody(d, "tags.m4a", {"-c:a", "aac"}),
                          [](std::string m4a) { return withMp4UserData(m4a, 12000); });
       },
       fails(avfaudio::kAVAudioFileErrorUnreadable, too_many_tags)},
      {"Mp3CutInHalf", cutInHalf("cut.mp3", {"-c:a", "libmp3lame"}), half_or_nothing},
      // Pages of a fifth of a second, so that half the file holds several.
      {"OggVorbisCutInHalf",
       cutInHalf("cut.ogg", {"-c:a", "libvorbis", "-page_duration", "200000"}), half_or_nothing},
      // With its index in front, a cut M4A lists packets that are gone.
      {"M4aCutInHalf", cutInHalf("cut.m4a", {"-c:a", "aac", "-movflags", "+faststart"}),
       half_or_nothing},
      // Five seconds whose last page's granule is 0 and whose last packet is
      // all 0x01 bytes: that packet's duration wraps to 2^32 frames and it
      // does not decode. It may stand for one packet's silence, not hours.
      {"OggVorbisWithAWrappedDamagedLastPacket",
       [](const TemporaryDirectory& d) {
         writeWav(makeMelody(3, 5.0, kRateHz, 1), d.file("five.wav"));
         runFfmpeg(d.file("five.wav"), {"-c:a", "libvorbis"}, d.file("wrapped.ogg"));
         return rewritten(d.file("wrapped.ogg"), wrapLastVorbisPacket);
       },
       opens(5 * kRateHz * 9 / 10, 5 * kRateHz + 4096)},
      // Unsupported or damaged, and said so, not "invalid argument" or
      // "cannot allocate memory".
      {"WavWithSixtyFiveChannels",
       [](const TemporaryDirectory& d) {
         writeWav(Audio{kRateHz, 65, std::vector<float>(65 * 4410, 0.25f)}, d.file("65.wav"));
         return d.file("65.wav");
       },
       fails(avfaudio::kAVAudioFileErrorUnreadable,
             "could not be read: it has 65 channels, and at most 64 are supported.")},
      {"M4aDeclaringAGigabytePacket",
       [](const TemporaryDirectory& d) {
         // The first packet's size, after version, flags, common size and count.
         return rewritten(encodeMelody(d, "billion.m4a", {"-c:a", "aac"}), [](std::string bytes) {
           return bytes.replace(bytes.find("stsz") + 16, 4, "\x3f\xff\xff\xff");
         });
       },
       fails(avfaudio::kAVAudioFileErrorUnreadable, "could not be read: it is damaged.")},
      // When libvorbis can't read them either, FFmpeg's verdict stands.
      {"OggVorbisWithRepeatedHeadersAndADamagedSetup",
       [](const TemporaryDirectory& d) {
         return rewritten(encodeMelody(d, "damaged.ogg", {"-c:a", "libvorbis"}),
                          [](std::string ogg) { return repeatVorbisHeaders(ogg, true); });
       },
       fails(avfaudio::kAVAudioFileErrorNotAudioFile, not_audio)},
  };
}

class InputTest : public ::testing::TestWithParam<InputCase> {};

TEST_P(InputTest, FailsWithItsErrorOrReadsConsistently) {
  const Expectation& c = GetParam().expected;
  if (c.error_code == avfaudio::kAVAudioFileErrorPermissionDenied && geteuid() == 0) {
    GTEST_SKIP() << "root reads files whatever their permissions";
  }
  TemporaryDirectory directory;
  const std::string path = GetParam().make(directory);
  const std::string absolute_path = foundation::URL::fileURLWithPath(path).path();

  std::unique_ptr<AVAudioFile> file;
  try {
    file = AVAudioFile::initForReading(foundation::URL::fileURLWithPath(path));
  } catch (const foundation::NSError& error) {
    ASSERT_NE(c.outcome, Outcome::kOpens) << error.description();
    EXPECT_EQ(error.domain(), avfaudio::kAVFAudioErrorDomain);
    EXPECT_EQ(error.code(), c.error_code);
    EXPECT_EQ(error.description(), "The file \"" + absolute_path + "\" " + c.description_end);
    return;
  }
  ASSERT_NE(c.outcome, Outcome::kFails);
  ASSERT_LE(file->length(), c.max_frames);
  const DecodedAudio streamed = readToEnd(*file, 1000);
  EXPECT_EQ(file->length(), streamed.frameCount());
  EXPECT_GE(streamed.frameCount(), c.min_frames);
  EXPECT_LE(streamed.frameCount(), c.max_frames);
  // Counting first, on a fresh instance, agrees with streaming.
  EXPECT_EQ(readWholeAfterLength(path).frameCount(), streamed.frameCount());
}

INSTANTIATE_TEST_SUITE_P(Inputs, InputTest, ::testing::ValuesIn(inputCases()),
                         [](const ::testing::TestParamInfo<InputCase>& info) {
                           return std::string(info.param.name);
                         });

// A LIST chunk claiming 2 GB, whose artist tag claims 600 MB, in a 90-KB
// file: refused as before, without taking the 600 MB. Measured in a child,
// whose peak is its own.
TEST(DamagedFileTest, ListChunkClaimingGigabytesTakesNoMemoryForThem) {
  TemporaryDirectory directory;
  const std::string path =
      rewritten(encodeMelody(directory, "list.wav", {}), [](std::string bytes) {
        return bytes.insert(36, std::string("LIST\xf0\xff\xff\x7fINFOIART\x00\x46\xc3\x23"
                                            "artist",
                                            26));  // before the data chunk
      });
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto peak_bytes = [] {
      struct rusage usage;
      getrusage(RUSAGE_SELF, &usage);
      return static_cast<std::int64_t>(usage.ru_maxrss) * 1024;
    };
    const std::int64_t before = peak_bytes();
    try {
      AVAudioFile::initForReading(foundation::URL::fileURLWithPath(path));
      _exit(2);
    } catch (const foundation::NSError& error) {
      if (error.code() != avfaudio::kAVAudioFileErrorNotAudioFile) _exit(3);
    }
    _exit(peak_bytes() - before < (std::int64_t{100} << 20) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: took 100 MB or more, 2: opened, 3: another error";
}

// FFmpeg refuses a stream with repeated headers; libvorbis reads it to the
// exact frame, and what it makes of it is the recording, in time: the
// repeats are passed over, not decoded as audio.
TEST(DamagedFileTest, OggVorbisWithRepeatedHeadersIsTheRecording) {
  TemporaryDirectory directory;
  const std::string path =
      rewritten(encodeMelody(directory, "repeated.ogg", {"-c:a", "libvorbis"}),
                [](const std::string& ogg) { return repeatVorbisHeaders(ogg); });
  const DecodedAudio decoded = readNaturally(path, 1000);
  ASSERT_EQ(decoded.frameCount(), kFrames);
  EXPECT_EQ(readWholeAfterLength(path).frameCount(), kFrames);
  EXPECT_GT(correlation(decoded, makeMelody(3, kDurationS, kRateHz, 1), 0, 0), 0.95);
}

// Bytes overwritten in the middle of an MP3 cost only the frames they hit
// (the parser folds the garbage into one packet): the rest is read.
TEST(DamagedFileTest, Mp3WithGarbageInTheMiddleReadsTheRest) {
  TemporaryDirectory directory;
  const Audio source = makeMelody(11, 3.0, kRateHz, 1);
  writeWav(source, directory.file("source.wav"));
  const std::string path = directory.file("damaged.mp3");
  runFfmpeg(directory.file("source.wav"), {"-c:a", "libmp3lame"}, path);
  std::string bytes = readBytes(path);
  std::mt19937 random(5);
  const size_t start = bytes.size() * 2 / 5;
  for (size_t i = start; i < start + 1500; ++i) bytes[i] = static_cast<char>(random());
  writeBytes(path, bytes);

  const DecodedAudio streamed = readNaturally(path, 4096);
  EXPECT_EQ(readWholeAfterLength(path).frameCount(), streamed.frameCount());
  EXPECT_GE(streamed.frameCount(), source.frameCount() * 9 / 10);
  EXPECT_LE(streamed.frameCount(), source.frameCount());
  // The last second is there, earlier by the whole frames that were lost.
  const std::int64_t lost_frames = source.frameCount() - streamed.frameCount();
  const std::int64_t frames_per_packet = 1152;
  double best = 0;
  for (std::int64_t packets = 0; packets * frames_per_packet <= lost_frames + frames_per_packet;
       ++packets) {
    best = std::max(best, correlation(streamed, excerpt(source, 2.0, 0.9), 0,
                                      2 * kRateHz - packets * frames_per_packet));
  }
  EXPECT_GT(best, 0.9);
}

// The number of crossings of zero per second, as a frequency, over frames
// [begin, end) of `plane`.
double zeroCrossingFrequencyHz(const std::vector<float>& plane, std::int64_t begin,
                               std::int64_t end, double rate_hz) {
  int crossings = 0;
  for (std::int64_t i = begin + 1; i < end; ++i) {
    if ((plane[static_cast<size_t>(i - 1)] < 0) != (plane[static_cast<size_t>(i)] < 0)) ++crossings;
  }
  return crossings / 2.0 / (static_cast<double>(end - begin) / rate_hz);
}

// Two MP3 streams back to back, the second at half the rate and in mono.
// FFmpeg takes the format it saw last for the stream's; whichever it is,
// the other part is converted to it, and both keep their pitch and length.
TEST(FormatChangeTest, StreamChangingRateAndChannelsMidwayIsConverted) {
  TemporaryDirectory directory;
  writeWav(makeTone(440, 1.0, 44100, 2), directory.file("first.wav"));
  writeWav(makeTone(1000, 1.0, 22050, 1), directory.file("second.wav"));
  // Without an Xing header neither part claims the whole file's length.
  runFfmpeg(directory.file("first.wav"), {"-c:a", "libmp3lame", "-write_xing", "0"},
            directory.file("first.mp3"));
  runFfmpeg(directory.file("second.wav"), {"-c:a", "libmp3lame", "-write_xing", "0"},
            directory.file("second.mp3"));
  const std::string path = directory.file("joined.mp3");
  writeBytes(path,
             readBytes(directory.file("first.mp3")) + readBytes(directory.file("second.mp3")));

  auto file = AVAudioFile::initForReading(foundation::URL::fileURLWithPath(path));
  const avfaudio::AVAudioFormat format = file->processingFormat();
  ASSERT_TRUE(format == avfaudio::AVAudioFormat(44100, 2) ||
              format == avfaudio::AVAudioFormat(22050, 1))
      << format.sampleRate() << " Hz, " << format.channelCount() << " channels";
  const auto rate_hz = static_cast<std::int64_t>(format.sampleRate());
  const DecodedAudio streamed = readToEnd(*file, 1000);
  EXPECT_EQ(file->length(), streamed.frameCount());
  // Without an Xing header each part keeps its encoder's delay and padding,
  // up to three codec frames.
  EXPECT_GE(streamed.frameCount(), 2 * rate_hz);
  EXPECT_LE(streamed.frameCount(), 2 * rate_hz + 6 * 1152 * rate_hz / 44100);
  EXPECT_EQ(readWholeAfterLength(path).frameCount(), streamed.frameCount());

  for (std::uint32_t c = 0; c < format.channelCount(); ++c) {
    SCOPED_TRACE(c);
    const std::vector<float>& plane = streamed.planes[c];
    EXPECT_NEAR(zeroCrossingFrequencyHz(plane, rate_hz / 10, rate_hz * 9 / 10, rate_hz), 440, 5);
    EXPECT_NEAR(zeroCrossingFrequencyHz(plane, rate_hz * 12 / 10, rate_hz * 19 / 10, rate_hz), 1000,
                10);
  }
}

// plim-catalog decodes several files at once: the first files that need
// FFmpeg, opened at once, share one load of its module, and separate
// instances share nothing that could race.
TEST(ConcurrencyTest, SeparateFilesDecodeInParallelAsAlone) {
  TemporaryDirectory directory;
  const std::vector<std::string> paths = {
      encodeMelody(directory, "a.mp3", {"-c:a", "libmp3lame"}),
      encodeMelody(directory, "b.ogg", {"-c:a", "libvorbis"}),
      encodeMelody(directory, "c.flac", {"-c:a", "flac"}),
  };
  constexpr int kThreads = 4;
  // By thread, then by path.
  std::vector<std::vector<DecodedAudio>> parallel(kThreads,
                                                  std::vector<DecodedAudio>(paths.size()));
  std::vector<std::thread> threads;
  // Before anything in this process has used FFmpeg; half the threads ask
  // for the length before reading.
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (size_t i = 0; i < paths.size(); ++i) {
        const size_t p = (i + t) % paths.size();
        parallel[t][p] =
            t % 2 == 0 ? readNaturally(paths[p], 4096) : readWholeAfterLength(paths[p]);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (size_t i = 0; i < paths.size(); ++i) {
    const DecodedAudio alone = readNaturally(paths[i], 4096);
    EXPECT_EQ(alone.frameCount(), kFrames) << paths[i];
    for (int t = 0; t < kThreads; ++t) {
      EXPECT_EQ(parallel[t][i].planes, alone.planes) << paths[i] << ", thread " << t;
    }
  }
}

}  // namespace
}  // namespace plim::testing
