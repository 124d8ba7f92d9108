// plim-catalog driven as a real process, on files made here: tags and cover
// art in several formats, duplicates, damaged files, bulk metadata, removal.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/support/audio_fixtures.h"
#include "tests/support/process.h"

namespace plim {
namespace {

namespace fs = std::filesystem;
using plim::testing::ProcessResult;
using plim::testing::runProcess;
using plim::testing::TemporaryDirectory;

constexpr double kClipS = 6.0;

// A JSON line's string and number fields (arrays of strings joined by ';'),
// enough to read back what `list --json` writes.
std::map<std::string, std::string> ParseJsonObject(const std::string& line) {
  std::map<std::string, std::string> fields;
  std::size_t i = 0;
  auto expect = [&](char c) {
    if (i >= line.size() || line[i] != c)
      throw std::runtime_error("bad JSON at " + std::to_string(i) + ": " + line);
    ++i;
  };
  auto string_value = [&] {
    expect('"');
    std::string out;
    while (i < line.size() && line[i] != '"') {
      if (line[i] == '\\') {
        char e = line.at(++i);
        out.push_back(e == 'n' ? '\n' : e == 't' ? '\t' : e);
      } else {
        out.push_back(line[i]);
      }
      ++i;
    }
    expect('"');
    return out;
  };
  expect('{');
  while (line.at(i) != '}') {
    std::string key = string_value();
    expect(':');
    if (line[i] == '"') {
      fields[key] = string_value();
    } else if (line[i] == '[') {
      ++i;
      std::string joined;
      while (line.at(i) != ']') {
        if (!joined.empty()) joined += ';';
        joined += string_value();
        if (line[i] == ',') ++i;
      }
      ++i;
      fields[key] = joined;
    } else {
      std::size_t end = line.find_first_of(",}", i);
      fields[key] = line.substr(i, end - i);
      i = end;
    }
    if (line[i] == ',') ++i;
  }
  return fields;
}

class PlimCatalogTest : public ::testing::Test {
 protected:
  std::string catalog_dir() const { return temp_.file("catalog"); }

  ProcessResult Run(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), {PLIM_CATALOG_PATH, "--catalog", catalog_dir()});
    return runProcess(arguments);
  }

  // Writes a melody of seed `seed` as `name` (the codec follows the
  // extension) with `tags` as ffmpeg metadata, and `cover` as attached
  // picture when not empty.
  std::string MakeSong(const std::string& name, std::uint32_t seed,
                       const std::map<std::string, std::string>& tags = {},
                       const std::string& cover = "") const {
    std::string wav = temp_.file("source-" + std::to_string(seed) + ".wav");
    if (!fs::exists(wav)) plim::testing::writeWav(plim::testing::makeMelody(seed, kClipS), wav);
    std::string out = temp_.file(name);
    fs::create_directories(fs::path(out).parent_path());
    std::vector<std::string> argv = {
        "/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", wav};
    if (!cover.empty())
      argv.insert(argv.end(), {"-i", cover, "-map", "0", "-map", "1", "-c:v", "copy",
                               "-disposition:v", "attached_pic"});
    std::string extension = fs::path(name).extension().string();
    if (extension == ".mp3") argv.insert(argv.end(), {"-c:a", "libmp3lame", "-b:a", "128k"});
    if (extension == ".m4a") argv.insert(argv.end(), {"-c:a", "aac", "-b:a", "128k"});
    if (extension == ".ogg") argv.insert(argv.end(), {"-c:a", "libvorbis"});
    for (const auto& [key, value] : tags) argv.insert(argv.end(), {"-metadata", key + "=" + value});
    argv.push_back(out);
    ProcessResult result = runProcess(argv);
    if (result.exit_status != 0) throw std::runtime_error("ffmpeg: " + result.standard_error);
    return out;
  }

  std::string MakeCover(const std::string& name, const std::string& color) const {
    std::string out = temp_.file(name);
    ProcessResult result =
        runProcess({"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    "color=c=" + color + ":s=32x32", "-frames:v", "1", out});
    if (result.exit_status != 0) throw std::runtime_error("ffmpeg: " + result.standard_error);
    return out;
  }

  // The catalog's recordings, by title.
  std::map<std::string, std::map<std::string, std::string>> ListByTitle() const {
    ProcessResult list = Run({"list", "--json"});
    EXPECT_EQ(list.exit_status, 0) << list.standard_error;
    std::map<std::string, std::map<std::string, std::string>> by_title;
    std::size_t start = 0;
    while (start < list.standard_output.size()) {
      std::size_t end = list.standard_output.find('\n', start);
      auto fields = ParseJsonObject(list.standard_output.substr(start, end - start));
      by_title[fields["title"]] = fields;
      start = end + 1;
    }
    return by_title;
  }

  std::vector<std::string> ArtworkFiles() const {
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(catalog_dir() + "/artwork")) {
      if (entry.path().filename().string()[0] != '.') files.push_back(entry.path().string());
    }
    return files;
  }

  TemporaryDirectory temp_;
};

TEST_F(PlimCatalogTest, ReadsTagsAndCoverArtOfEachFormat) {
  std::string red = MakeCover("red.png", "red");
  std::string blue = MakeCover("blue.jpg", "blue");
  struct Case {
    std::string file;
    std::map<std::string, std::string> tags;
    std::string cover;
    std::string expected_title, expected_artist, expected_album, expected_genres, artwork_extension;
  };
  std::vector<Case> cases = {
      {"in/a.mp3",
       {{"title", "Song A"}, {"artist", "Ärtist"}, {"album", "One"}, {"genre", "Jazz"}},
       red,
       "Song A",
       "Ärtist",
       "One",
       "Jazz",
       ".png"},
      {"in/b.flac",
       {{"title", "Song B"}, {"artist", "B"}, {"album", "Two"}, {"ISRC", "USRC17607839"}},
       red,
       "Song B",
       "B",
       "Two",
       "",
       ".png"},
      {"in/c.m4a", {{"title", "Song C"}, {"artist", "C"}}, blue, "Song C", "C", "", "", ".jpg"},
      {"in/d.ogg",
       {{"title", "Song D"}, {"artist", "D"}, {"genre", "Rock"}},
       "",
       "Song D",
       "D",
       "",
       "Rock",
       ""},
      {"in/no title.flac", {{"artist", "E"}}, "", "no title", "E", "", "", ""},
  };
  std::uint32_t seed = 1;
  for (const Case& c : cases) MakeSong(c.file, seed++, c.tags, c.cover);

  ProcessResult add = Run({"add", temp_.file("in")});
  ASSERT_EQ(add.exit_status, 0) << add.standard_error;
  EXPECT_NE(add.standard_error.find("added 5, updated 0, skipped 0"), std::string::npos)
      << add.standard_error;

  auto by_title = ListByTitle();
  ASSERT_EQ(by_title.size(), cases.size());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    auto& fields = by_title[c.expected_title];
    EXPECT_EQ(fields["artist"], c.expected_artist);
    EXPECT_EQ(fields["album"], c.expected_album);
    EXPECT_EQ(fields["genres"], c.expected_genres);
    EXPECT_EQ(fields["path"], temp_.file(c.file));
    EXPECT_NEAR(std::stod(fields["duration_s"]), kClipS, 0.1);
    EXPECT_GT(std::stoul(fields["landmark_count"]), 20u);
    if (c.artwork_extension.empty()) {
      EXPECT_EQ(fields["artwork_url"], "");
    } else {
      ASSERT_EQ(fields["artwork_url"].rfind("file://" + catalog_dir() + "/artwork/", 0), 0u)
          << fields["artwork_url"];
      EXPECT_EQ(fs::path(fields["artwork_url"]).extension(), c.artwork_extension);
      EXPECT_TRUE(fs::exists(fields["artwork_url"].substr(7)));
    }
  }
  EXPECT_EQ(by_title["Song B"]["isrc"], "USRC17607839");
  EXPECT_EQ(by_title["Song A"]["artwork_url"], by_title["Song B"]["artwork_url"])
      << "one picture, stored once";
  EXPECT_EQ(ArtworkFiles().size(), 2u);
}

TEST_F(PlimCatalogTest, SkipsWhatIsAlreadyThereAndReportsBadFiles) {
  MakeSong("music/one.flac", 1, {{"title", "One"}});
  MakeSong("music/sub/two.ogg", 2, {{"title", "Two"}});
  MakeSong("music/.hidden/three.flac", 3);
  std::ofstream(temp_.file("music/notes.txt")) << "not audio, and not named as audio\n";
  // A name with a line feed and terminal controls is reported on one line, escaped.
  const std::string broken = temp_.file("music/bro\nken\x1b]0;x\x07.mp3");
  std::ofstream(broken) << "this is no mp3";
  // Two seconds of silence: no landmarks, so it could never be matched.
  const std::string silence = temp_.file("music/silence.wav");
  plim::testing::writeWav(plim::testing::Audio{44100, 1, std::vector<float>(88200, 0.0f)}, silence);

  ProcessResult first = Run({"add", "--jobs", "2", temp_.file("music")});
  EXPECT_EQ(first.exit_status, 1) << "a file failed";
  EXPECT_NE(first.standard_error.find("bro\\nken\\x1b]0;x\\x07.mp3\" "), std::string::npos)
      << first.standard_error;
  EXPECT_NE(first.standard_error.find("silence.wav\" can't be matched: its 2.00 seconds of audio "
                                      "hold no landmarks"),
            std::string::npos)
      << first.standard_error;
  for (std::size_t start = 0; start < first.standard_error.size();
       start = first.standard_error.find('\n', start) + 1) {
    EXPECT_EQ(first.standard_error.compare(start, 14, "plim-catalog: "), 0) << first.standard_error;
  }
  EXPECT_EQ(first.standard_error.find("notes.txt"), std::string::npos) << first.standard_error;
  EXPECT_NE(
      first.standard_error.find("added 2, updated 0, skipped 0 (already in the catalog), failed 2"),
      std::string::npos)
      << first.standard_error;
  EXPECT_EQ(first.standard_error.find('\r'), std::string::npos)
      << "no progress bar when not on a terminal";
  auto titles = ListByTitle();
  EXPECT_EQ(titles.size(), 2u);
  EXPECT_TRUE(titles.count("One") && titles.count("Two"));

  // The same audio under other tags is a duplicate.
  MakeSong("music/copy of one.flac", 1, {{"title", "Other tags, same audio"}});
  ProcessResult copy = Run({"add", temp_.file("music/copy of one.flac")});
  EXPECT_EQ(copy.exit_status, 0) << copy.standard_error;
  EXPECT_NE(copy.standard_error.find("added 0, updated 0, skipped 1"), std::string::npos)
      << copy.standard_error;

  // Again, with the bad file gone: everything is skipped.
  fs::remove(broken);
  fs::remove(silence);
  ProcessResult again = Run({"add", temp_.file("music")});
  EXPECT_EQ(again.exit_status, 0) << again.standard_error;
  EXPECT_NE(again.standard_error.find("added 0, updated 0, skipped 3"), std::string::npos)
      << again.standard_error;

  // A file changed in place replaces its recording.
  MakeSong("music/one.flac", 4, {{"title", "One, remastered"}});
  ProcessResult changed = Run({"add", temp_.file("music/one.flac")});
  EXPECT_NE(changed.standard_error.find("added 0, updated 1"), std::string::npos)
      << changed.standard_error;
  titles = ListByTitle();
  EXPECT_EQ(titles.size(), 2u);
  EXPECT_TRUE(titles.count("One, remastered"));
}

TEST_F(PlimCatalogTest, TakesMetadataFromACsvAndTheCommandLine) {
  MakeSong("bulk/x.flac", 1, {{"title", "Tag title"}, {"artist", "Tag artist"}});
  MakeSong("bulk/y.ogg", 2);
  std::string cover = MakeCover("bulk/art.png", "green");
  std::ofstream(temp_.file("bulk/meta.csv")) << "title,path,artist,genre,artwork,isrc\r\n"
                                             << "\"Quoted, with \"\"quotes\"\"\",x.flac,CSV "
                                                "artist,Jazz; Funk,https://example.org/x.jpg,\r\n"
                                             << "Why,y.ogg,,,art.png,GBAAA0000001\r\n";
  ProcessResult add = Run({"add", "--metadata", temp_.file("bulk/meta.csv")});
  ASSERT_EQ(add.exit_status, 0) << add.standard_error;
  auto titles = ListByTitle();
  ASSERT_EQ(titles.size(), 2u);
  auto& x = titles["Quoted, with \"quotes\""];
  EXPECT_EQ(x["artist"], "CSV artist");
  EXPECT_EQ(x["genres"], "Jazz;Funk");
  EXPECT_EQ(x["artwork_url"], "https://example.org/x.jpg");
  auto& y = titles["Why"];
  EXPECT_EQ(y["artist"], "") << "an empty cell leaves the tag, and there is none";
  EXPECT_EQ(y["isrc"], "GBAAA0000001");
  EXPECT_EQ(fs::path(y["artwork_url"]).extension(), ".png");

  MakeSong("cli/z.flac", 3, {{"title", "Tag"}, {"artist", "Tag"}});
  ProcessResult cli =
      Run({"add", "--artist", "Given", "--title", "Given title", "--album", "Given album",
           "--artwork", "https://example.org/z.png", temp_.file("cli/z.flac")});
  ASSERT_EQ(cli.exit_status, 0) << cli.standard_error;
  auto z = ListByTitle()["Given title"];
  EXPECT_EQ(z["artist"], "Given");
  EXPECT_EQ(z["album"], "Given album");
  EXPECT_EQ(z["artwork_url"], "https://example.org/z.png");

  std::ofstream(temp_.file("bad.csv")) << "path,colour\nx.flac,red\n";
  ProcessResult bad = Run({"add", "--metadata", temp_.file("bad.csv")});
  EXPECT_EQ(bad.exit_status, 1);
  EXPECT_NE(bad.standard_error.find("unknown column \"colour\""), std::string::npos)
      << bad.standard_error;
}

TEST_F(PlimCatalogTest, RemovesByIdAndByThePathOfAFileThatIsGone) {
  std::string cover = MakeCover("cover.png", "red");
  std::string one = MakeSong("one.mp3", 1, {{"title", "One"}}, cover);
  MakeSong("two.mp3", 2, {{"title", "Two"}}, cover);
  MakeSong("three.flac", 3, {{"title", "Three"}});
  ASSERT_EQ(Run({"add", one, temp_.file("two.mp3"), temp_.file("three.flac")}).exit_status, 0);
  ASSERT_EQ(ArtworkFiles().size(), 1u);

  fs::remove(one);
  ProcessResult by_path = Run({"remove", one});
  EXPECT_EQ(by_path.exit_status, 0) << by_path.standard_error;
  EXPECT_EQ(ArtworkFiles().size(), 1u) << "two.mp3 still uses the cover";
  std::string two_id = ListByTitle()["Two"]["id"];
  ProcessResult by_id = Run({"remove", two_id, "999"});
  EXPECT_EQ(by_id.exit_status, 1) << "999 is not there";
  EXPECT_NE(by_id.standard_error.find("\"999\""), std::string::npos) << by_id.standard_error;
  EXPECT_TRUE(ArtworkFiles().empty()) << "the cover went with its last user";

  auto titles = ListByTitle();
  ASSERT_EQ(titles.size(), 1u);
  ASSERT_TRUE(titles.count("Three"));
  // Files are decoded in parallel, so ids follow the order they finished in.
  std::string three_id = titles["Three"]["id"];
  ProcessResult stats = Run({"stats"});
  EXPECT_EQ(stats.exit_status, 0);
  EXPECT_NE(stats.standard_output.find("recordings: 1\n"), std::string::npos)
      << stats.standard_output;
  ProcessResult plain = Run({"list"});
  EXPECT_EQ(plain.standard_output,
            three_id + "\t\tThree\t0:06\t" + temp_.file("three.flac") + "\n");
}

TEST_F(PlimCatalogTest, ExplainsAMissingCatalogAndBadUsage) {
  ProcessResult list = Run({"list"});
  EXPECT_EQ(list.exit_status, 1);
  EXPECT_EQ(list.standard_error, "plim-catalog: There is no catalog at \"" + catalog_dir() +
                                     "\": add recordings with plim-catalog add\n");
  EXPECT_EQ(Run({"add"}).exit_status, 2);
  EXPECT_EQ(Run({"frobnicate"}).exit_status, 2);
  ProcessResult help = Run({"add", "--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_NE(help.standard_output.find("--metadata"), std::string::npos);
}

}  // namespace
}  // namespace plim
