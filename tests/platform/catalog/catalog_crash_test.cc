// A writer killed at any moment leaves a catalog that opens and holds whole
// recordings only; adding again finishes the job.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/catalog/catalog.h"
#include "tests/platform/catalog/catalog_test_support.h"
#include "tests/support/audio_fixtures.h"

namespace plim::catalog {
namespace {

constexpr std::uint32_t kRecordings = 12;
constexpr int kLandmarksEach = 20000;

std::string SourcePath(std::uint32_t seed) { return "/music/" + std::to_string(seed) + ".ogg"; }

// Adds every recording not yet in the catalog, one transaction each, writing
// a byte to `progress_fd` (when not -1) after each commit.
void AddAll(const std::string& dir, int progress_fd) {
  auto catalog = Catalog::Open(dir, Catalog::Mode::kReadWrite);
  for (std::uint32_t seed = 1; seed <= kRecordings; ++seed) {
    if (catalog->NewReader().FindBySourcePath(SourcePath(seed))) continue;
    NewRecording item = testing::SyntheticRecording(seed, kLandmarksEach, SourcePath(seed));
    catalog->Add({&item, 1});
    if (progress_fd >= 0 && write(progress_fd, "+", 1) != 1) _exit(3);
  }
}

void ExpectOnlyWholeRecordings(const std::string& dir) {
  auto catalog = Catalog::Open(dir, Catalog::Mode::kReadOnly);
  Catalog::Reader reader = catalog->NewReader();
  std::uint64_t postings = 0;
  reader.ForEachRecording([&](RecordingId id, const Recording& recording) {
    std::uint32_t seed = static_cast<std::uint32_t>(std::stoul(recording.title.substr(6)));
    std::vector<fingerprint::Landmark> landmarks =
        testing::SyntheticLandmarks(seed, kLandmarksEach);
    auto indexed = testing::IndexedPairs(reader, id, landmarks);
    EXPECT_EQ(indexed.size(), recording.landmark_count) << recording.title;
    EXPECT_EQ(indexed, testing::DistinctPairs(landmarks)) << recording.title;
    postings += indexed.size();
    return true;
  });
  EXPECT_EQ(reader.LandmarkCount(), postings) << "no postings of a recording that is not there";
}

TEST(CatalogCrashTest, KilledWriterLeavesWholeRecordingsAndARerunFinishes) {
  plim::testing::TemporaryDirectory temp;
  const std::string dir = temp.file("catalog");
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipe_fds[0]);
    AddAll(dir, pipe_fds[1]);
    _exit(0);
  }
  close(pipe_fds[1]);
  // Kill it in the middle of a later add, after a few have been committed.
  char byte;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(read(pipe_fds[0], &byte, 1), 1);
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  close(pipe_fds[0]);
  ASSERT_TRUE(WIFSIGNALED(status));

  ExpectOnlyWholeRecordings(dir);
  {
    auto catalog = Catalog::Open(dir, Catalog::Mode::kReadOnly);
    std::uint64_t kept = catalog->NewReader().RecordingCount();
    EXPECT_GE(kept, 3u);
    EXPECT_LT(kept, kRecordings);
  }
  AddAll(dir, -1);
  ExpectOnlyWholeRecordings(dir);
  auto catalog = Catalog::Open(dir, Catalog::Mode::kReadOnly);
  EXPECT_EQ(catalog->NewReader().RecordingCount(), kRecordings);
}

}  // namespace
}  // namespace plim::catalog
