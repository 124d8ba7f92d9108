// The delegate turns every kind of answer into the right result record and
// hands it over through its semaphore.

#include "recognition/match_delegate.h"

#include <gtest/gtest.h>

#include "output/write_json.h"
#include "platform/shazamkit/sh_session.h"

namespace plim {
namespace {

using shazamkit::SHMatch;
using shazamkit::SHMatchedMediaItem;

SHMatchedMediaItem Item(std::optional<std::string> artist, std::optional<std::string> title,
                        std::optional<std::string> artwork) {
  SHMatchedMediaItem item;
  item.artist = std::move(artist);
  item.title = std::move(title);
  if (artwork) item.artworkURL = foundation::URL::fromString(*artwork);
  return item;
}

const shazamkit::SHSignature kNoSignature{fingerprint::Constellation{}};

// The callbacks never look at their session.
shazamkit::SHSession AnySession() {
  return shazamkit::SHSession(std::shared_ptr<shazamkit::RecognitionService>());
}

// What a callback is given: a match with these items, or no match with an
// optional error.
struct Answer {
  std::optional<std::vector<SHMatchedMediaItem>> items;
  std::optional<foundation::NSError> error;
};

struct CallbackCase {
  const char* name;
  Answer answer;
  const char* json;
};

// Test names, not bytes, in failure messages and CTest's list.
void PrintTo(const CallbackCase& c, std::ostream* os) { *os << c.name; }

class MatchDelegateCallbackTest : public ::testing::TestWithParam<CallbackCase> {};

TEST_P(MatchDelegateCallbackTest, ReplacesTheWholeOutputThenSignals) {
  auto delegate = std::make_shared<MatchDelegate>();
  // Whatever was there before must not survive the callback.
  delegate->output = MatchOutput(true, "old artist", "old title", "old artwork", "old message");
  shazamkit::SHSession session = AnySession();
  const Answer& answer = GetParam().answer;
  if (answer.items) {
    delegate->sessionDidFindMatch(session, SHMatch{*answer.items});
  } else {
    delegate->sessionDidNotFindMatchForSignature(session, kNoSignature, answer.error);
  }
  ASSERT_TRUE(delegate->wait(0));
  EXPECT_EQ(encodeJSON(delegate->output), GetParam().json);
}

const foundation::NSError kServiceError("ShazamKit", 300, "There is no catalog");

INSTANTIATE_TEST_SUITE_P(
    Recognition, MatchDelegateCallbackTest,
    ::testing::Values(
        CallbackCase{
            "FirstOfThreeItems",
            {std::vector{Item("A", "B", "file:///c/d.png"), Item("X", "Y", std::nullopt),
                         Item("Z", "W", std::nullopt)},
             std::nullopt},
            R"({"matched":true,"artist":"A","title":"B","artwork":"file:\/\/\/c\/d.png"})"},
        CallbackCase{"NoArtwork",
                     {std::vector{Item("A", "B", std::nullopt)}, std::nullopt},
                     R"({"matched":true,"artist":"A","title":"B"})"},
        CallbackCase{"NoArtistNorTitle",
                     {std::vector{Item(std::nullopt, std::nullopt, "u")}, std::nullopt},
                     R"({"matched":true,"artwork":"u"})"},
        CallbackCase{"NoItems",
                     {std::vector<SHMatchedMediaItem>{}, std::nullopt},
                     R"({"matched":false,"message":"No media item returned"})"},
        CallbackCase{"NoMatchNoError", {std::nullopt, std::nullopt}, R"({"matched":false})"},
        CallbackCase{"NoMatchWithError",
                     {std::nullopt, kServiceError},
                     R"({"matched":false,"message":"There is no catalog"})"},
        CallbackCase{"EmptyErrorText",
                     {std::nullopt, foundation::NSError("ShazamKit", 1, "")},
                     R"({"matched":false,"message":""})"}),
    [](const auto& info) { return info.param.name; });

TEST(MatchDelegateWaitTest, TakesOneSignalAtATime) {
  MatchDelegate delegate;
  shazamkit::SHSession session = AnySession();
  // No answer yet: a zero or negative timeout returns at once.
  EXPECT_FALSE(delegate.wait(0));
  EXPECT_FALSE(delegate.wait(-1));
  EXPECT_FALSE(delegate.wait(0.05));
  EXPECT_EQ(delegate.output, MatchOutput());
  // A signal given before the wait is kept; each wait takes exactly one.
  delegate.sessionDidNotFindMatchForSignature(session, kNoSignature, std::nullopt);
  delegate.sessionDidNotFindMatchForSignature(session, kNoSignature, std::nullopt);
  EXPECT_TRUE(delegate.wait(0));
  EXPECT_TRUE(delegate.wait(0));
  EXPECT_FALSE(delegate.wait(0));
}

TEST(MatchDelegateWaitTest, WakesWhenAnotherThreadAnswers) {
  auto delegate = std::make_shared<MatchDelegate>();
  std::thread answer([delegate] {
    shazamkit::SHSession session = AnySession();
    delegate->sessionDidFindMatch(session, SHMatch{{Item("A", "B", std::nullopt)}});
  });
  EXPECT_TRUE(delegate->wait(10));
  EXPECT_EQ(delegate->output, MatchOutput(true, "A", "B", std::nullopt, std::nullopt));
  answer.join();
}

}  // namespace
}  // namespace plim
