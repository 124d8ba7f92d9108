#include "output/write_json.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "driver/run_error.h"
#include "platform/foundation/quoted_text.h"
#include "tests/support/thrown_error.h"

namespace plim {
namespace {

using ::testing::HasSubstr;

struct EncodeCase {
  const char* name;
  MatchOutput output;
  const char* json;
};

// Test names, not bytes, in failure messages and CTest's list.
void PrintTo(const EncodeCase& c, std::ostream* os) { *os << c.name; }

class EncodeJSONTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeJSONTest, WritesExactBytes) {
  EXPECT_EQ(encodeJSON(GetParam().output), GetParam().json);
}

const std::nullopt_t none = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    ResultLine, EncodeJSONTest,
    ::testing::Values(
        EncodeCase{"Initial", MatchOutput{}, R"({"matched":false})"},
        EncodeCase{
            "MessageOnly", {false, none, none, none, "E"}, R"({"matched":false,"message":"E"})"},
        EncodeCase{"ArtistAndTitle",
                   {true, "A", "B", none, none},
                   R"({"matched":true,"artist":"A","title":"B"})"},
        EncodeCase{"EmptyTextsKept",
                   {true, "", "", "", ""},
                   R"({"matched":true,"artist":"","title":"","artwork":"","message":""})"},
        EncodeCase{"AllFieldsInKeyOrder",
                   {true, "a", "t", "w", "m"},
                   R"({"matched":true,"artist":"a","title":"t","artwork":"w","message":"m"})"},
        EncodeCase{"SolidusEscaped",
                   {true, none, none, "file:///a/b.jpg", none},
                   R"({"matched":true,"artwork":"file:\/\/\/a\/b.jpg"})"},
        EncodeCase{"QuoteAndBackslash",
                   {true, "say \"hi\"", "C:\\x", none, none},
                   R"({"matched":true,"artist":"say \"hi\"","title":"C:\\x"})"},
        EncodeCase{"ShortControlEscapes",
                   {false, none, none, none, "\b\f\n\r\t"},
                   R"({"matched":false,"message":"\b\f\n\r\t"})"},
        EncodeCase{"OtherControlsAsLowercaseHex",
                   {false, none, none, none, std::string("\x00\x01\x1b\x1f\x7f", 5)},
                   "{\"matched\":false,\"message\":\"\\u0000\\u0001\\u001b\\u001f\x7f\"}"},
        EncodeCase{"NonAsciiAsRawUtf8",
                   {true, "Bj\xC3\xB6rk", "\xE6\x97\xA5\xF0\x9F\x8E\xB5", none, none},
                   "{\"matched\":true,\"artist\":\"Bj\xC3\xB6rk\",\"title\":"
                   "\"\xE6\x97\xA5\xF0\x9F\x8E\xB5\"}"}),
    [](const auto& info) { return info.param.name; });

TEST(EncodeJSONTest, RefusesInvalidUtf8NamingTheField) {
  struct Case {
    MatchOutput output;
    const char* field;
  };
  const Case cases[] = {
      {{true, "ok", "bad \xC3", none, none}, "\"title\""},             // truncated sequence
      {{true, "\xC0\xAF", none, none, none}, "\"artist\""},            // overlong solidus
      {{true, none, none, "\xED\xA0\x80", none}, "\"artwork\""},       // surrogate
      {{false, none, none, none, "\xF4\x90\x80\x80"}, "\"message\""},  // above U+10FFFF
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.field);
    const RunError error = ::plim::testing::ThrownError<RunError>([&] { encodeJSON(c.output); });
    EXPECT_THAT(error.description(), HasSubstr(c.field));
    EXPECT_NE(error.domain(), kRunErrorDomain);
  }
}

// Error lines quote paths and tags this way: never a line break or a byte a
// terminal acts on, and no two texts quoted alike.
TEST(QuotedTextTest, EscapesEverythingATerminalWouldActOn) {
  const std::pair<std::string, std::string> cases[] = {
      {"a b/\xc3\xa9.wav", "\"a b/\xc3\xa9.wav\""},
      {"l1\nl2\r\t", R"("l1\nl2\r\t")"},
      {"\x1b[31m\x07\x7f", R"("\x1b[31m\x07\x7f")"},
      {std::string("nul\0", 4), R"("nul\x00")"},
      {"\xff\xc3(\xed\xa0\x80", R"("\xff\xc3(\xed\xa0\x80")"},
      {"\xc2\x9b"
       "2J",
       R"("\u009b2J")"},
      {"q\"\\x07", R"("q\"\\x07")"},
  };
  for (const auto& [text, quoted] : cases)
    EXPECT_EQ(foundation::QuotedText(text), quoted) << quoted;
}

}  // namespace
}  // namespace plim
