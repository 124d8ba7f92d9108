// The whole run as real processes: plim-catalog fills a catalog with
// generated recordings, and plim-shazamkit names the recording each clip
// comes from, or nothing, in exact result-line bytes.

#include <gtest/gtest.h>

#include <cmath>

#include "output/write_json.h"
#include "tests/support/audio_fixtures.h"
#include "tests/support/process.h"

namespace plim {
namespace {

using ::plim::testing::Audio;
using ::plim::testing::runProcess;

// Recordings 0 to 3 are melodies; the last is soft music, sustained chords.
constexpr int kRecordingCount = 5;
constexpr int kChords = 4;
constexpr int kUnrelatedMelody = -1;
constexpr int kUnrelatedChords = -2;
constexpr double kRecordingS = 30;
// Long enough for a clip's outline to be set against other offsets of it.
constexpr double kChordsS = 90;

std::string TitleOf(int i) { return i == kChords ? "Chords" : "Melody " + std::to_string(i); }

// Recording `i` of the catalog, or music like it that is not there.
Audio SourceOf(int i) {
  if (i == kChords || i == kUnrelatedChords)
    return testing::makeChords(i == kChords ? 7 : 8, kChordsS, 44100, 2);
  return testing::makeMelody(i >= 0 ? 100 + i : 999, kRecordingS, 44100, 2);
}

// One catalog for the whole suite: filling it is the slow part.
class RecognitionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    directory_ = new testing::TemporaryDirectory();
    std::vector<std::string> add = {PLIM_CATALOG_PATH, "--catalog", CatalogPath(), "add"};
    for (int i = 0; i < kRecordingCount; ++i) {
      // Stereo 44.1 kHz, titled by file name (they carry no tags).
      std::string path = directory_->file(TitleOf(i) + ".wav");
      testing::writeWav(SourceOf(i), path);
      add.push_back(path);
    }
    auto result = runProcess(add);
    ASSERT_EQ(result.exit_status, 0) << result.standard_error;
  }
  static void TearDownTestSuite() { delete directory_; }

  static std::string CatalogPath() { return directory_->file("catalog"); }

  // Runs plim-shazamkit on `path` with the test catalog (or `catalog`).
  static testing::ProcessResult Identify(const std::string& path,
                                         const std::string& catalog = CatalogPath()) {
    testing::ProcessOptions options;
    options.environment["PLIM_CATALOG"] = catalog;
    return runProcess({PLIM_SHAZAMKIT_PATH, path}, options);
  }

  static std::string Line(const MatchOutput& output) { return encodeJSON(output) + "\n"; }

  static testing::TemporaryDirectory* directory_;
};

testing::TemporaryDirectory* RecognitionTest::directory_ = nullptr;

struct ClipCase {
  const char* name;
  int recording;           // negative: music that is not in the catalog
  std::string ffmpeg_out;  // extension of a re-encoded copy, or empty for WAV
  std::vector<std::string> ffmpeg_arguments;
  double snr_db;      // noise added; infinity for none
  bool pink = false;  // pink noise rather than white
};

// Test names, not bytes, in failure messages and CTest's list.
void PrintTo(const ClipCase& c, std::ostream* os) { *os << c.name; }

class ClipTest : public RecognitionTest, public ::testing::WithParamInterface<ClipCase> {};

TEST_P(ClipTest, NamesTheRecordingOrNothing) {
  const ClipCase& c = GetParam();
  Audio clip = testing::excerpt(SourceOf(c.recording), 11.3, 10);
  if (std::isfinite(c.snr_db)) {
    Audio noise = c.pink ? testing::makePinkNoise(4, 10, 0.3, 44100, 2)
                         : testing::makeNoise(4, 10, 0.3, 44100, 2);
    clip = testing::addNoise(clip, noise, c.snr_db);
    // Scaled down as a whole where the sum would clip, which keeps the ratio.
    float loudest = 0;
    for (float s : clip.samples) loudest = std::max(loudest, std::abs(s));
    if (loudest > 0.99f) {
      for (float& s : clip.samples) s *= 0.99f / loudest;
    }
  }
  testing::TemporaryDirectory work;
  std::string path = work.file("clip.wav");
  testing::writeWav(clip, path);
  if (!c.ffmpeg_out.empty()) {
    std::string encoded = work.file("encoded." + c.ffmpeg_out);
    testing::runFfmpeg(path, c.ffmpeg_arguments, encoded);
    path = encoded;
  }
  auto result = Identify(path);
  EXPECT_EQ(result.exit_status, 0) << result.standard_error;
  EXPECT_EQ(result.standard_error, "");
  MatchOutput expected;
  if (c.recording >= 0)
    expected = MatchOutput(true, std::nullopt, TitleOf(c.recording), std::nullopt, std::nullopt);
  EXPECT_EQ(result.standard_output, Line(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Recognition, ClipTest,
    ::testing::Values(
        ClipCase{"Clean", 1, "", {}, INFINITY}, ClipCase{"Noisy", 2, "", {}, 5},
        // The music 18 dB under pink noise: too few landmarks survive, and the
        // reference's peaks found in the clip carry the evidence.
        ClipCase{"UnderPinkNoise", 3, "", {}, -18, true},
        ClipCase{"UnrelatedUnderPinkNoise", kUnrelatedMelody, "", {}, -18, true},
        // Held chords as loud as the noise: their few peaks drown, and the
        // way the bands' loudness moves names them.
        ClipCase{"ChordsUnderPinkNoise", kChords, "", {}, 0, true},
        ClipCase{"OtherChordsUnderPinkNoise", kUnrelatedChords, "", {}, 0, true},
        ClipCase{"Mp3", 3, "mp3", {"-b:a", "96k"}, INFINITY},
        ClipCase{"SpedUp3Percent", 0, "wav", {"-af", "asetrate=45423,aresample=44100"}, INFINITY},
        ClipCase{"Unrelated", kUnrelatedMelody, "", {}, INFINITY}),
    [](const auto& info) { return info.param.name; });

TEST_F(RecognitionTest, SilenceAndNoiseMatchNothing) {
  testing::TemporaryDirectory work;
  const std::pair<const char*, Audio> clips[] = {
      {"silence.wav", testing::makeTone(440, 10, 44100, 1, 0.0)},
      {"noise.wav", testing::makeNoise(8, 10, 0.2, 44100, 1)},
  };
  for (const auto& [name, audio] : clips) {
    testing::writeWav(audio, work.file(name));
    auto result = Identify(work.file(name));
    EXPECT_EQ(result.exit_status, 0) << name;
    EXPECT_EQ(result.standard_output, Line(MatchOutput())) << name;
  }
}

TEST_F(RecognitionTest, ExplainsWhyNothingCouldBeMatched) {
  testing::TemporaryDirectory work;
  testing::writeWav(testing::makeMelody(100, 10, 44100, 1), work.file("clip.wav"));
  testing::writeWav(testing::makeMelody(100, 0.5, 44100, 1), work.file("short.wav"));
  testing::writeWav(testing::makeMelody(100, 0.9995, 44100, 1), work.file("barely.wav"));
  const std::string missing = work.file("no-such-catalog");
  struct Case {
    std::string clip, catalog, message;
  } cases[] = {
      {work.file("clip.wav"), missing,
       "There is no catalog at \"" + missing + "\": add recordings with plim-catalog add"},
      {work.file("short.wav"), CatalogPath(),
       "The audio is too short to match: it lasts 0.50 seconds, and at least 1.00 seconds are "
       "needed"},
      {work.file("barely.wav"), CatalogPath(),
       "The audio is too short to match: it lasts 0.99 seconds, and at least 1.00 seconds are "
       "needed"},
  };
  for (const Case& c : cases) {
    auto result = Identify(c.clip, c.catalog);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.standard_output,
              Line(MatchOutput(false, std::nullopt, std::nullopt, std::nullopt, c.message)));
  }
}

}  // namespace
}  // namespace plim
