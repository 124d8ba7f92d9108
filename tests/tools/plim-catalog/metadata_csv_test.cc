#include "tools/plim-catalog/metadata_csv.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/foundation/ns_error.h"
#include "tests/support/thrown_error.h"

namespace plim {
namespace {

using ::testing::HasSubstr;

TEST(MetadataCsvTest, ParsesRfc4180) {
  MetadataTable table = ParseMetadataCsv(
      "\xEF\xBB\xBFGenre,PATH,title,artwork\r\n"
      "\"Jazz;  Funk \",a.flac,\"Two\nlines, \"\"quoted\"\"\",cover.png\r\n"
      ",/abs/b.ogg,,http://example.org/b.jpg\n"
      "\n"
      "Rock,sub/../a.flac,Later row wins,\n",
      "/data/meta.csv");
  ASSERT_EQ(table.paths, (std::vector<std::string>{"/data/a.flac", "/abs/b.ogg"}));
  const MetadataRow& a = table.rows.at("/data/a.flac");
  EXPECT_EQ(a.title, "Later row wins");
  EXPECT_EQ(a.genres, (std::vector<std::string>{"Rock"}));
  EXPECT_FALSE(a.artwork);
  const MetadataRow& b = table.rows.at("/abs/b.ogg");
  EXPECT_FALSE(b.title) << "an empty cell leaves the tag alone";
  EXPECT_FALSE(b.genres);
  EXPECT_EQ(b.artwork, "http://example.org/b.jpg");

  MetadataTable quoted =
      ParseMetadataCsv("path,title,artwork\nx.mp3,\"Two\nlines, \"\"q\"\"\",img/c.png", "/d/m.csv");
  EXPECT_EQ(quoted.rows.at("/d/x.mp3").title, "Two\nlines, \"q\"");
  EXPECT_EQ(quoted.rows.at("/d/x.mp3").artwork, "/d/img/c.png")
      << "a relative picture path follows the file";
}

TEST(MetadataCsvTest, RefusesMalformedFilesNamingTheLine) {
  struct Case {
    const char* text;
    const char* expected;
  };
  std::vector<Case> cases = {
      {"", "line 1: there is no header row"},
      {"title,artist\nA,B\n", "line 1: the header row has no path column"},
      {"path,colour\n", "unknown column \"colour\""},
      {"path,title\na.mp3\n", "line 2: expected 2 fields, found 1"},
      {"path,title\na.mp3,\"open\n", "line 2: a quoted field is never closed"},
      {"path,title\na.mp3,\"x\"y\n", "line 2: text after a closing quote"},
      {"path,title\n,t\n", "line 2: the path is empty"},
      {"path,artwork\na.mp3,x/../../../etc/shadow\n",
       "line 2: the artwork path \"x/../../../etc/shadow\" leaves the folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const foundation::NSError error =
        plim::testing::ThrownError([&] { ParseMetadataCsv(c.text, "/d/m.csv"); });
    EXPECT_THAT(error.description(), HasSubstr(c.expected));
    EXPECT_THAT(error.description(), HasSubstr("/d/m.csv"));
  }
}

}  // namespace
}  // namespace plim
