// plim-catalog match driven as a real process over many files and along a
// long recording made here of catalog melodies and unknown music.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "tests/support/audio_fixtures.h"
#include "tests/support/process.h"

namespace plim {
namespace {

using ::testing::HasSubstr;

using plim::testing::Audio;
using plim::testing::ProcessOptions;
using plim::testing::ProcessResult;
using plim::testing::runProcess;

// The number after "name": in a JSON line; NaN when absent.
double NumberField(const std::string& line, const std::string& name) {
  std::size_t at = line.find("\"" + name + "\":");
  return at == std::string::npos ? std::nan("") : std::stod(line.substr(at + name.size() + 3));
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

class MatchTest : public ::testing::Test {
 protected:
  ProcessResult Run(std::vector<std::string> arguments, const std::string& input = "") const {
    arguments.insert(arguments.begin(), {PLIM_CATALOG_PATH, "--catalog", temp_.file("catalog")});
    ProcessOptions options;
    options.standard_input = input;
    return runProcess(arguments, options);
  }

  // Adds melodies `seeds` to the catalog, each `duration_s` long, titled "Melody SEED".
  void AddMelodies(const std::vector<std::uint32_t>& seeds, double duration_s) {
    std::vector<std::string> argv = {"add"};
    for (std::uint32_t seed : seeds) {
      const std::string path = temp_.file("Melody " + std::to_string(seed) + ".wav");
      plim::testing::writeWav(plim::testing::makeMelody(seed, duration_s), path);
      argv.push_back(path);
    }
    ProcessResult added = Run(argv);
    ASSERT_EQ(added.exit_status, 0) << added.standard_error;
  }

  // Where a recording plays in a mix, and from where in it (when checked).
  struct Stretch {
    const char* title;
    double start_s, end_s;
    double recording_offset_s = -1;
  };
  // Follows `mix` as a timeline and checks that it names `truth`, in order,
  // each start within `start_slack_s` and end within `end_slack_s`.
  void ExpectTimeline(const std::string& mix, std::span<const Stretch> truth, double start_slack_s,
                      double end_slack_s) const {
    ProcessResult timeline = Run({"--json", "match", "--timeline", mix});
    EXPECT_EQ(timeline.exit_status, 0) << timeline.standard_error;
    const std::vector<std::string> lines = Lines(timeline.standard_output);
    ASSERT_EQ(lines.size(), truth.size()) << timeline.standard_output;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      SCOPED_TRACE(lines[i]);
      EXPECT_THAT(lines[i], HasSubstr("\"title\":\"" + std::string(truth[i].title) + "\""));
      EXPECT_NEAR(NumberField(lines[i], "start_s"), truth[i].start_s, start_slack_s);
      EXPECT_NEAR(NumberField(lines[i], "end_s"), truth[i].end_s, end_slack_s);
      if (truth[i].recording_offset_s < 0) continue;
      EXPECT_NEAR(NumberField(lines[i], "recording_offset_s"), truth[i].recording_offset_s, 3);
      EXPECT_GE(NumberField(lines[i], "recording_offset_s"), 0);
    }
  }

  plim::testing::TemporaryDirectory temp_;
};

TEST_F(MatchTest, AnswersEveryFileInOrderAndReportsTheBadOnesApart) {
  AddMelodies({71, 72}, 12);
  std::filesystem::create_directories(temp_.file("clips"));
  const std::string one = temp_.file("clips/a-one.wav");
  const std::string unknown = temp_.file("clips/b-unknown.wav");
  const std::string broken = temp_.file("clips/c-broken.mp3");
  const std::string two = temp_.file("two.wav");
  plim::testing::writeWav(plim::testing::excerpt(plim::testing::makeMelody(71, 12), 2, 6), one);
  plim::testing::writeWav(plim::testing::makeMelody(79, 6), unknown);
  std::ofstream(broken) << "this is no mp3";
  std::ofstream(temp_.file("clips/notes.txt")) << "left out: not audio, not named as audio\n";
  plim::testing::writeWav(plim::testing::excerpt(plim::testing::makeMelody(72, 12), 5, 6), two);

  // A folder, a file, and paths on standard input (one missing).
  ProcessResult batch = Run({"--json", "match", "--jobs", "2", temp_.file("clips"), "-"},
                            two + "\n" + temp_.file("missing.wav") + "\n");
  EXPECT_EQ(batch.exit_status, 1) << "a file failed";
  // With --json every path named gets its line, the missing one first.
  const std::vector<std::string> lines = Lines(batch.standard_output);
  ASSERT_EQ(lines.size(), 5u) << batch.standard_output;
  EXPECT_THAT(lines[0], HasSubstr("missing.wav\",\"error\":\"The file"));
  EXPECT_THAT(lines[0], HasSubstr("does not exist."));
  EXPECT_THAT(lines[1], HasSubstr("a-one.wav\",\"matched\":true,"));
  EXPECT_THAT(lines[1], HasSubstr("\"title\":\"Melody 71\""));
  EXPECT_NEAR(NumberField(lines[1], "offset_s"), 2, 0.1);
  EXPECT_THAT(lines[2], HasSubstr("b-unknown.wav\",\"matched\":false}"));
  EXPECT_THAT(lines[3], HasSubstr("c-broken.mp3\",\"error\":\"The file"));
  EXPECT_THAT(lines[4], HasSubstr("two.wav\",\"matched\":true,"));
  EXPECT_THAT(lines[4], HasSubstr("\"title\":\"Melody 72\""));
  EXPECT_EQ(batch.standard_error, "") << "nothing beside the JSON lines";

  // One schema whatever the operands: a file named alone gets the line it
  // gets among others, and --candidates adds a field to it.
  const std::vector<std::string> alone = Lines(Run({"--json", "match", one}).standard_output);
  ASSERT_EQ(alone.size(), 1u);
  EXPECT_EQ(alone[0], lines[1]);
  const std::vector<std::string> with_candidates =
      Lines(Run({"--json", "match", "--candidates", one}).standard_output);
  ASSERT_EQ(with_candidates.size(), 1u);
  EXPECT_EQ(with_candidates[0].rfind(
                lines[1].substr(0, lines[1].size() - 1) + ",\"candidates\":[{\"id\":", 0),
            0u)
      << with_candidates[0];
  EXPECT_THAT(with_candidates[0], HasSubstr("\"accepted\":true,\"aligned_landmarks\":"));
  EXPECT_EQ(with_candidates[0].find("\"accepted\":true",
                                    with_candidates[0].find("\"accepted\":true") + 1),
            std::string::npos)
      << "only the first candidate may be a match";
  EXPECT_THAT(Run({"match", "--candidates", one, two}).standard_output,
              HasSubstr(two + "\nID\tMATCH\tALIGNED\tCONFIDENCE"));

  ProcessResult text = Run({"match", one, two});
  EXPECT_EQ(text.exit_status, 0) << text.standard_error;
  const std::vector<std::string> rows = Lines(text.standard_output);
  ASSERT_EQ(rows.size(), 3u) << text.standard_output;
  EXPECT_EQ(rows[1].rfind(one + "\t", 0), 0u) << rows[1];
  EXPECT_THAT(rows[1], HasSubstr("\tMelody 71\t"));
  EXPECT_EQ(rows[2].rfind(two + "\t", 0), 0u) << rows[2];
  EXPECT_THAT(rows[2], HasSubstr("\tMelody 72\t"));
}

TEST_F(MatchTest, TimelineNamesEachRecordingInOrderWithItsTimes) {
  AddMelodies({81, 82, 83}, 30);
  const auto melody = [](std::uint32_t seed, double s) {
    return plim::testing::makeMelody(seed, s);
  };
  // 81 whole, 25 s of unknown music, the last 20 s of 83, then the first 25 s of 82.
  const std::string mix = temp_.file("mix.flac");
  const std::string wav = temp_.file("mix.wav");
  plim::testing::writeWav(
      plim::testing::concatenate({melody(81, 30), melody(89, 25),
                                  plim::testing::excerpt(melody(83, 30), 10, 20),
                                  plim::testing::excerpt(melody(82, 30), 0, 25)}),
      wav);
  plim::testing::runFfmpeg(wav, {}, mix);
  const Stretch truth[] = {
      {"Melody 81", 0, 30, 0}, {"Melody 83", 55, 75, 10}, {"Melody 82", 75, 100, 0}};
  ExpectTimeline(mix, truth, 3, 5);

  // The unknown music alone: nothing; a damaged file: its error, and the next file goes on.
  const std::string unknown = temp_.file("unknown.wav");
  plim::testing::writeWav(melody(89, 25), unknown);
  std::ofstream(temp_.file("broken.ogg")) << "this is no ogg";
  ProcessResult batch = Run({"match", "--timeline", temp_.file("broken.ogg"), unknown});
  EXPECT_EQ(batch.exit_status, 1);
  EXPECT_THAT(batch.standard_error, HasSubstr("broken.ogg\""));
  EXPECT_EQ(batch.standard_output, unknown +
                                       "\nSTART\tEND\tID\tARTIST\tTITLE\tFROM\tSKEW\tCONFIDENCE\n"
                                       "nothing in the catalog heard\n");
}

// `a` then `b`, overlapping by `fade_s` in which `a` fades out and `b` in
// linearly, as a DJ mixes them.
Audio Crossfade(const Audio& a, const Audio& b, double fade_s) {
  const std::int64_t fade = static_cast<std::int64_t>(fade_s * a.sample_rate_hz);
  const std::int64_t from = a.frameCount() - fade;
  Audio mixed = plim::testing::concatenate(
      {a, plim::testing::excerpt(b, fade_s,
                                 static_cast<double>(b.frameCount()) / b.sample_rate_hz - fade_s)});
  for (std::int64_t i = 0; i < fade; ++i) {
    const float in = static_cast<float>(i) / static_cast<float>(fade);
    for (int c = 0; c < a.channel_count; ++c) {
      float& sample = mixed.samples[static_cast<std::size_t>((from + i) * a.channel_count + c)];
      sample =
          (1 - in) * sample + in * b.samples[static_cast<std::size_t>(i * b.channel_count + c)];
    }
  }
  return mixed;
}

TEST_F(MatchTest, TimelineSplitsACrossfadeUnderNoiseWhereTheNextRecordingTakesOver) {
  AddMelodies({84, 85, 86}, 40);
  const auto melody = [](std::uint32_t seed) { return plim::testing::makeMelody(seed, 40); };
  // 84 for 30 s, then 85, then 86, each taking over in an 8-s crossfade,
  // pink noise 10 dB under all: each recording's turn runs from the middle
  // of the crossfade before it to the middle of the one after.
  const Audio clean = Crossfade(Crossfade(plim::testing::excerpt(melody(84), 0, 30),
                                          plim::testing::excerpt(melody(85), 5, 30), 8),
                                plim::testing::excerpt(melody(86), 0, 30), 8);
  const std::string mix = temp_.file("crossfaded.wav");
  plim::testing::writeWav(
      plim::testing::addNoise(
          clean,
          plim::testing::makePinkNoise(9, 76, 0.1, clean.sample_rate_hz, clean.channel_count), 10),
      mix);
  const Stretch truth[] = {{"Melody 84", 0, 26}, {"Melody 85", 26, 48}, {"Melody 86", 48, 74}};
  ExpectTimeline(mix, truth, 1.5, 3);
}

}  // namespace
}  // namespace plim
