// plim-catalog with the same music in several files, driven as a real
// process: copies recorded on add, the groups `duplicates` finds, copies
// shown, removed and pruned, and files cut short.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/audio_fixtures.h"
#include "tests/support/process.h"

namespace plim {
namespace {

namespace fs = std::filesystem;
using plim::testing::Audio;
using plim::testing::makeMelody;
using plim::testing::ProcessResult;
using plim::testing::runProcess;
using plim::testing::TemporaryDirectory;

// Long enough for several stretches to compare, short enough to make fast.
constexpr double kSongS = 40;

class DuplicatesTest : public ::testing::Test {
 protected:
  ProcessResult Run(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), {PLIM_CATALOG_PATH, "--catalog", temp_.file("catalog")});
    return runProcess(arguments);
  }

  // Writes `audio` as `name`, encoded as its extension says.
  std::string Write(const Audio& audio, const std::string& name) const {
    const std::string path = temp_.file(name);
    fs::create_directories(fs::path(path).parent_path());
    if (fs::path(name).extension() == ".wav") {
      plim::testing::writeWav(audio, path);
    } else {
      const std::string wav = temp_.file("source.wav");
      plim::testing::writeWav(audio, wav);
      plim::testing::runFfmpeg(wav, {}, path);
    }
    return path;
  }

  std::size_t Lines(const std::string& text) const {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  }

  TemporaryDirectory temp_;
};

TEST_F(DuplicatesTest, TheSameMusicIsOneRecordingWithCopies) {
  const Audio song = makeMelody(1, kSongS);
  struct Case {
    const char* name;
    std::function<Audio()> second;
    const char* file;
    bool allow_duplicates;
    bool same_add;           // both files in one add
    std::size_t recordings;  // in the catalog afterwards
    const char* notice;      // what add says of the second file, or ""
    std::size_t grouped;     // recordings that duplicates puts in groups
  };
  const Case cases[] = {
      {"mp3", [&] { return song; }, "b.mp3", false, false, 1, "holds the same music as", 0},
      {"ogg in one add", [&] { return song; }, "b.ogg", false, true, 1, "holds the same music as",
       0},
      {"flac: the same samples", [&] { return song; }, "b.flac", false, false, 1,
       "holds the same audio as", 0},
      {"allowed", [&] { return song; }, "b.mp3", true, false, 2, "", 2},
      {"excerpt", [&] { return plim::testing::excerpt(song, 0, kSongS / 2); }, "b.wav", false,
       false, 2, "", 0},
      {"edit: the last fifth replaced",
       [&] {
         return plim::testing::concatenate(
             {plim::testing::excerpt(song, 0, kSongS * 0.8), makeMelody(2, kSongS * 0.2)});
       },
       "b.mp3", false, false, 2, "", 0},
      {"another melody", [&] { return makeMelody(3, kSongS); }, "b.mp3", false, false, 2, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(temp_.file("catalog"));
    fs::remove_all(temp_.file("in"));
    const std::string first = Write(song, "in/a.wav");
    const std::string second = Write(c.second(), std::string("in/") + c.file);
    std::vector<std::string> add = {"add", "--jobs", "1"};
    if (c.allow_duplicates) add.push_back("--allow-duplicates");
    ProcessResult added;
    if (c.same_add) {
      add.push_back(temp_.file("in"));
      added = Run(add);
    } else {
      std::vector<std::string> add_first = add;
      add_first.push_back(first);
      ASSERT_EQ(Run(add_first).exit_status, 0);
      add.push_back(second);
      added = Run(add);
    }
    ASSERT_EQ(added.exit_status, 0) << added.standard_error;
    ProcessResult list = Run({"list", "--json"});
    EXPECT_EQ(Lines(list.standard_output), c.recordings) << list.standard_output;
    const std::string notice = std::string(c.notice).empty()
                                   ? "recorded as another copy"
                                   : "\"" + second + "\" " + c.notice + " recording 1 (\"" + first +
                                         "\"), a: recorded as another copy";
    EXPECT_EQ(added.standard_error.find(notice) != std::string::npos, *c.notice != '\0')
        << added.standard_error;
    ProcessResult groups = Run({"duplicates", "--json"});
    ASSERT_EQ(groups.exit_status, 0) << groups.standard_error;
    EXPECT_EQ(Lines(groups.standard_output), c.grouped) << groups.standard_output;
    if (c.grouped > 0) {
      EXPECT_NE(groups.standard_output.find("{\"group\":1,\"id\":1,"), std::string::npos);
      EXPECT_NE(groups.standard_output.find("\"path\":\"" + first + "\""), std::string::npos)
          << "slashes as they are: " << groups.standard_output;
    }
  }
}

TEST_F(DuplicatesTest, ACopyIsShownRemovedAndPrunedAsAPathOfItsRecording) {
  const std::string original = Write(makeMelody(4, 12), "a.wav");
  const std::string copy = temp_.file("copy.wav");
  fs::copy_file(original, copy);
  ASSERT_EQ(Run({"add", original}).exit_status, 0);
  ProcessResult added = Run({"add", copy});
  EXPECT_NE(added.standard_error.find("holds the same audio as recording 1"), std::string::npos)
      << added.standard_error;
  // Added again, unchanged: skipped like any file already there.
  EXPECT_NE(Run({"add", copy}).standard_error.find("skipped 1 (already in the catalog)"),
            std::string::npos);

  ProcessResult shown = Run({"show", "--json", copy});
  EXPECT_EQ(shown.exit_status, 0) << shown.standard_error;
  EXPECT_NE(shown.standard_output.find("\"id\":1,"), std::string::npos);
  EXPECT_NE(shown.standard_output.find("\"copies\":[\"" + copy + "\"]"), std::string::npos)
      << shown.standard_output;

  // A catalog copied into another keeps its copies.
  const std::string other = temp_.file("other-catalog");
  ASSERT_EQ(Run({"copy", temp_.file("catalog"), other}).exit_status, 0);
  EXPECT_EQ(runProcess({PLIM_CATALOG_PATH, "--catalog", other, "show", copy}).exit_status, 0);

  // Removing a copy's path removes the copy, not the recording.
  ProcessResult removed = Run({"remove", copy});
  EXPECT_NE(removed.standard_output.find("removed copy of 1"), std::string::npos)
      << removed.standard_output;
  EXPECT_NE(Run({"show", copy}).exit_status, 0);
  EXPECT_EQ(Run({"show", original}).exit_status, 0);

  // A copy whose file is gone is pruned; the recording, whose file is there, stays.
  ASSERT_EQ(Run({"add", copy}).exit_status, 0);
  fs::remove(copy);
  ProcessResult pruned = Run({"prune"});
  EXPECT_NE(pruned.standard_error.find("0 recordings pruned (and 1 copy)"), std::string::npos)
      << pruned.standard_error;
  EXPECT_EQ(Run({"show", original}).exit_status, 0);

  // Removing the recording takes its copies with it.
  fs::copy_file(original, copy);
  ASSERT_EQ(Run({"add", copy}).exit_status, 0);
  removed = Run({"remove", "1"});
  EXPECT_NE(removed.standard_output.find("removed copy of 1"), std::string::npos)
      << removed.standard_output;
  EXPECT_NE(Run({"show", copy}).exit_status, 0);
}

TEST_F(DuplicatesTest, AFileCutShortIsAddedWithAWarning) {
  struct Case {
    const char* name;
    const char* file;
    double kept_share;         // of the file's bytes
    const char* warning;       // or "" for none
    bool open_length = false;  // a WAV whose data size says "to the end of the file"
  };
  const Case cases[] = {
      {"whole wav", "whole.wav", 1.0, ""},
      {"whole mp3: padding is no loss", "whole.mp3", 1.0, ""},
      {"wav cut short", "cut.wav", 0.5, "is truncated: 0:20 declared, 0:10 decoded"},
      {"flac cut short", "cut.flac", 0.5, "truncated: 0:20 declared, 0:1"},
      {"wav of open length cut short: nothing declared", "open.wav", 0.5, "", true},
  };
  const Audio song = makeMelody(5, 20);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Write(song, c.file);
    if (c.open_length) {
      // The data chunk's size, in the 44-byte header writeWav writes.
      std::fstream wav(path, std::ios::in | std::ios::out | std::ios::binary);
      wav.seekp(40);
      wav.write("\0\0\0\0", 4);
    }
    fs::resize_file(
        path, static_cast<std::uintmax_t>(static_cast<double>(fs::file_size(path)) * c.kept_share));
    ProcessResult added = Run({"add", path});
    EXPECT_EQ(added.exit_status, 0) << added.standard_error;
    EXPECT_EQ(added.standard_error.find("truncated") != std::string::npos, *c.warning != '\0')
        << added.standard_error;
    EXPECT_NE(added.standard_error.find(c.warning), std::string::npos) << added.standard_error;
  }
}

}  // namespace
}  // namespace plim
