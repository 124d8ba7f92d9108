// The pure helpers of the command line and the progress bar, in-process.

#include "tools/plim-catalog/command_line.h"

#include <gtest/gtest.h>

#include "tools/plim-catalog/json_line.h"
#include "tools/plim-catalog/number_text.h"
#include "tools/plim-catalog/progress_display.h"

namespace plim {
namespace {

TEST(CommandLineTest, SuggestsOnlyNearWords) {
  const std::vector<std::string> verbs = {"add", "list", "show", "edit", "remove", "stats"};
  struct Case {
    std::string typed, expected;
  };
  for (const Case& c : std::vector<Case>{{"lis", "list"},
                                         {"lsit", "list"},  // a swap is one slip
                                         {"shwo", "show"},
                                         {"remvoe", "remove"},
                                         {"statss", "stats"},
                                         {"ad", "add"},
                                         {"frobnicate", ""},
                                         {"x", ""},
                                         {"rmv", ""}}) {
    EXPECT_EQ(NearestWord(c.typed, verbs), c.expected) << c.typed;
  }
}

TEST(NumberTextTest, WritesNoNegativeZero) {
  struct Case {
    const char* format;
    double value;
    std::string expected;
  };
  for (const Case& c : std::vector<Case>{{"%.4f", -0.0, "0.0000"},
                                         {"%.4f", -0.00004, "0.0000"},
                                         {"%.4f", -0.00005001, "-0.0001"},
                                         {"%+.2f%%", -0.001, "+0.00%"},
                                         {"%.2f s", -0.0, "0.00 s"},
                                         {"%.3g", -1e-300, "-1e-300"},
                                         {"%.0f", -0.4, "0"},
                                         {"%.2f", 0.0, "0.00"}}) {
    EXPECT_EQ(FormatNumber(c.format, c.value), c.expected) << c.format << " " << c.value;
    EXPECT_EQ(JsonLine().Number("n", c.value, c.format).Finish(), "{\"n\":" + c.expected + "}\n");
  }
}

TEST(ProgressDisplayTest, FitsTheLineToTheColumnsCountingCharacters) {
  struct Case {
    std::string line;
    std::size_t columns;
    std::string expected;
  };
  for (const Case& c :
       std::vector<Case>{{"abcdef", 6, "abcdef"},
                         {"abcdef", 4, "abc\xE2\x80\xA6"},
                         {"\xC3\xA4\xC3\xB6\xC3\xBC", 3, "\xC3\xA4\xC3\xB6\xC3\xBC"},
                         {"\xC3\xA4\xC3\xB6\xC3\xBC!", 3, "\xC3\xA4\xC3\xB6\xE2\x80\xA6"},
                         {"abc", 0, ""}}) {
    EXPECT_EQ(FitToColumns(c.line, c.columns), c.expected) << c.line << " in " << c.columns;
  }
}

TEST(ProgressDisplayTest, DropsTheBarBeforeTheTimeLeftAndTheFile) {
  const std::string bar = "[####----]", status = "3/9 files, 0:12 left", file = "song.flac";
  const std::string rest = status + " \xC2\xB7 " + file;
  struct Case {
    std::size_t columns;
    std::string expected;
  };
  for (const Case& c : std::vector<Case>{{80, bar + " " + rest},
                                         {rest.size() - 1, rest},  // the dot takes 2 bytes
                                         {40, rest},
                                         {20, "3/9 files, 0:12 lef\xE2\x80\xA6"}}) {
    EXPECT_EQ(ComposeProgressLine(bar, status, file, c.columns), c.expected) << c.columns;
  }
  EXPECT_EQ(ComposeProgressLine(bar, status, "", 80), bar + " " + status);
}

}  // namespace
}  // namespace plim
