// The run sequence with a stand-in recognition service: what reaches
// standard output, and when the run gives up waiting.

#include "driver/run_match.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "driver/run_error.h"
#include "tests/support/audio_fixtures.h"

namespace plim {
namespace {

using namespace std::chrono_literals;

// Answers "no match" after `delay`, or never when `delay` is negative.
class DelayedService : public shazamkit::RecognitionService {
 public:
  explicit DelayedService(std::chrono::milliseconds delay) : delay_(delay) {}

  shazamkit::RecognitionOutcome Recognize(const shazamkit::SHSignature&) override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (delay_ < 0ms) {
      released_.wait(lock, [this] { return released_flag_; });
    } else {
      released_.wait_for(lock, delay_, [this] { return released_flag_; });
    }
    shazamkit::SHMatch match;
    shazamkit::SHMatchedMediaItem item;
    item.artist = "Artist";
    item.title = "Title";
    match.mediaItems.push_back(item);
    return {match, std::nullopt};
  }

  // Lets a waiting Recognize return (so that no thread outlives the test).
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_flag_ = true;
    released_.notify_all();
  }

 private:
  std::chrono::milliseconds delay_;
  std::mutex mutex_;
  std::condition_variable released_;
  bool released_flag_ = false;  // guarded by mutex_
};

class RunMatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = directory_.file("clip.wav");
    testing::writeWav(testing::makeMelody(3, 2, 22050, 1), path_);
  }

  // Runs the sequence over `service`; returns standard output, and the
  // error when the run failed.
  std::string Run(const std::shared_ptr<shazamkit::RecognitionService>& service,
                  std::optional<RunError>& error) {
    ::testing::internal::CaptureStdout();
    try {
      runMatch(path_, [&] { return shazamkit::SHSession(service); });
    } catch (const RunError& e) {
      error = e;
    }
    return ::testing::internal::GetCapturedStdout();
  }

  testing::TemporaryDirectory directory_;
  std::string path_;
};

TEST_F(RunMatchTest, AnswerJustInsideTheLimitIsWritten) {
  auto service = std::make_shared<DelayedService>(17000ms);
  std::optional<RunError> error;
  std::string out = Run(service, error);
  EXPECT_FALSE(error.has_value());
  EXPECT_EQ(out, "{\"matched\":true,\"artist\":\"Artist\",\"title\":\"Title\"}\n");
}

TEST_F(RunMatchTest, NoAnswerTimesOutWithNothingWritten) {
  auto service = std::make_shared<DelayedService>(-1ms);
  std::optional<RunError> error;
  auto start = std::chrono::steady_clock::now();
  std::string out = Run(service, error);
  auto waited = std::chrono::steady_clock::now() - start;
  service->Release();
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->domain(), kRunErrorDomain);
  EXPECT_EQ(error->code(), 4);
  EXPECT_EQ(error->description(), "ShazamKit recognition timed out");
  EXPECT_EQ(out, "");
  EXPECT_GE(waited, 18s);
}

TEST_F(RunMatchTest, ImmediateAnswerIsNotLost) {
  // Answered at once, quite possibly before the wait has begun.
  for (int i = 0; i < 20; ++i) {
    std::optional<RunError> error;
    std::string out = Run(std::make_shared<DelayedService>(0ms), error);
    ASSERT_FALSE(error.has_value());
    EXPECT_EQ(out, "{\"matched\":true,\"artist\":\"Artist\",\"title\":\"Title\"}\n");
  }
}

}  // namespace
}  // namespace plim
