#include "platform/catalog/lmdb/catalog.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/catalog/catalog_error.h"
#include "platform/catalog/catalog_location.h"
#include "platform/foundation/ns_error.h"
#include "tests/platform/catalog/catalog_test_support.h"
#include "tests/support/audio_fixtures.h"
#include "tests/support/process.h"
#include "tests/support/thrown_error.h"

namespace plim::catalog {
namespace {

using ::testing::HasSubstr;

namespace fs = std::filesystem;
using testing::SyntheticRecording;

TEST(CatalogTest, RefusesWhatIsNotItsOwnAndLeavesItUntouched) {
  using Setup = std::function<void(const std::string& dir)>;
  const Setup nothing = [](const std::string&) {};
  const auto folder_with = [](std::string name, std::string bytes) -> Setup {
    return [=](const std::string& d) {
      fs::create_directory(d);
      if (!name.empty()) plim::testing::writeBytes(d + "/" + name, bytes);
    };
  };
  // A catalog of this fingerprint, its format then set to `version`.
  const auto catalog_of_format = [](std::uint64_t version) -> Setup {
    return [=](const std::string& d) {
      Catalog::Open(d, Catalog::Mode::kReadWrite);
      if (version != 0) testing::SetMetaNumber(d, "format_version", version);
    };
  };
  const Setup empty_database = [](const std::string& d) {
    fs::create_directory(d);
    MDB_env* env = nullptr;
    mdb_env_create(&env);
    mdb_env_open(env, d.c_str(), 0, 0644);
    mdb_env_close(env);
  };
  // data.mdb as something LMDB must not open: it would block on a pipe, map
  // /dev/zero, or create the file a dangling link names.
  const auto data_file_as = [](std::function<void(const std::string& file)> make) -> Setup {
    return [=](const std::string& d) {
      fs::create_directory(d);
      make(d + "/data.mdb");
    };
  };
  const Setup fifo = data_file_as([](const std::string& f) { mkfifo(f.c_str(), 0644); });
  const Setup dev_zero =
      data_file_as([](const std::string& f) { fs::create_symlink("/dev/zero", f); });
  const Setup dangling =
      data_file_as([](const std::string& f) { fs::create_symlink(f + ".gone", f); });
  // An empty data.mdb beside the artwork folder: a catalog that lost its data.
  const Setup emptied = [](const std::string& d) {
    Catalog::Open(d, Catalog::Mode::kReadWrite);
    fs::resize_file(d + "/data.mdb", 0);
  };
  OpenOptions other_fingerprint;
  other_fingerprint.fingerprint_version = fingerprint::kFingerprintVersion + 1;
  const Catalog::Mode read_only = Catalog::Mode::kReadOnly, writing = Catalog::Mode::kReadWrite;
  struct Case {
    const char* name;
    Setup setup;
    Catalog::Mode mode;
    std::int64_t code;
    OpenOptions options = {};
  };
  const Case cases[] = {
      {"missing, read-only", nothing, read_only, kCatalogErrorNoCatalog},
      {"empty, read-only", folder_with("", ""), read_only, kCatalogErrorNoCatalog},
      // A first add stopped before it saved anything.
      {"an empty data.mdb, read-only", folder_with("data.mdb", ""), read_only,
       kCatalogErrorNoCatalog},
      {"an empty database, read-only", empty_database, read_only, kCatalogErrorNoCatalog},
      {"a folder of music", folder_with("song.mp3", "ID3"), writing, kCatalogErrorNotACatalog},
      {"a file", [](const std::string& d) { plim::testing::writeBytes(d, "hello"); }, writing,
       kCatalogErrorNotACatalog},
      {"data.mdb that is not LMDB", folder_with("data.mdb", std::string(8192, 'x')), writing,
       kCatalogErrorNotACatalog},
      {"data.mdb a named pipe, read-only", fifo, read_only, kCatalogErrorNotACatalog},
      {"data.mdb a named pipe", fifo, writing, kCatalogErrorNotACatalog},
      {"data.mdb a link to /dev/zero, read-only", dev_zero, read_only, kCatalogErrorNotACatalog},
      {"data.mdb a link to /dev/zero", dev_zero, writing, kCatalogErrorNotACatalog},
      {"data.mdb a link to nothing", dangling, writing, kCatalogErrorNotACatalog},
      {"data.mdb emptied, read-only", emptied, read_only, kCatalogErrorDamaged},
      {"data.mdb emptied", emptied, writing, kCatalogErrorDamaged},
      {"a newer format", catalog_of_format(9), writing, kCatalogErrorNewerFormat},
      {"an older format, whose catalogs must be rebuilt", catalog_of_format(1), read_only,
       kCatalogErrorNewerFormat},
      {"another fingerprint version", catalog_of_format(0), writing,
       kCatalogErrorFingerprintMismatch, other_fingerprint},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    plim::testing::TemporaryDirectory temp;
    std::string dir = temp.file("catalog");
    c.setup(dir);
    auto snapshot = [&] {
      std::vector<std::pair<std::string, std::uintmax_t>> files;
      std::error_code ignored;
      for (auto it = fs::recursive_directory_iterator(temp.path(), ignored);
           it != fs::recursive_directory_iterator(); ++it) {
        // LMDB rewrites its lock file whenever it opens; the data must stay as it was.
        if (it->path().filename() == "lock.mdb" || it->is_directory()) continue;
        struct stat s = {};
        stat(it->path().c_str(), &s);
        files.push_back({it->path().string(), static_cast<std::uintmax_t>(s.st_mtim.tv_nsec) ^
                                                  static_cast<std::uintmax_t>(s.st_size)});
      }
      std::sort(files.begin(), files.end());
      return files;
    };
    auto before = snapshot();
    const foundation::NSError error =
        plim::testing::ThrownError([&] { Catalog::Open(dir, c.mode, c.options); });
    EXPECT_EQ(error.domain(), kCatalogErrorDomain);
    EXPECT_EQ(error.code(), c.code) << error.description();
    EXPECT_THAT(error.description(), HasSubstr(dir));
    EXPECT_EQ(snapshot(), before);
  }
}

// LMDB maps data.mdb: a page past the end of a cut file, or a meta page
// that points there, would be a SIGBUS. Each is refused as damage instead,
// naming the file, whether opened for reading or writing.
TEST(CatalogTest, RefusesADamagedDatabaseFileInsteadOfCrashing) {
  plim::testing::TemporaryDirectory temp;
  {
    auto catalog = Catalog::Open(temp.file("good"), Catalog::Mode::kReadWrite);
    std::vector<NewRecording> batch;
    for (std::uint32_t seed = 1; seed <= 20; ++seed)
      batch.push_back(SyntheticRecording(seed, 2000));
    catalog->Add(batch);
  }
  const std::string good = plim::testing::readBytes(temp.file("good/data.mdb"));
  ASSERT_GT(good.size(), 16384u);
  const std::size_t page = 4096;
  auto cut = [&](std::size_t bytes) { return good.substr(0, bytes); };
  auto set = [&](std::size_t at, std::string bytes) {
    return good.substr(0, at) + bytes + good.substr(at + bytes.size());
  };
  const std::pair<const char*, std::string> cases[] = {
      {"cut to the two meta pages", cut(8192)},
      {"cut to three pages", cut(12288)},
      {"cut to four pages", cut(16384)},
      {"cut by one byte", cut(good.size() - 1)},
      {"cut by one page", cut(good.size() - page)},
      {"first meta's last page far out", set(16 + 120, "\xff\x7f")},
      {"second meta's main root far out", set(page + 16 + 112 + 2, "\x01\x01")},
      {"first meta's magic flipped", set(16, std::string(2, '\0'))},
      {"page size flipped", set(16 + 24, std::string("\0\x20", 2))},
      {"second meta's version", set(page + 16 + 4, "\x07\x00")},
      {"map size of exabytes", set(16 + 16 + 6, std::string("\0\x10", 2))},
  };
  for (const auto& [name, bytes] : cases) {
    for (Catalog::Mode mode : {Catalog::Mode::kReadOnly, Catalog::Mode::kReadWrite}) {
      SCOPED_TRACE(std::string(name) + (mode == Catalog::Mode::kReadOnly ? ", read-only" : ""));
      const std::string dir = temp.file("damaged");
      fs::remove_all(dir);
      fs::create_directory(dir);
      std::ofstream(dir + "/data.mdb", std::ios::binary) << bytes;
      const foundation::NSError error =
          plim::testing::ThrownError([&] { Catalog::Open(dir, mode); });
      EXPECT_EQ(error.code(), kCatalogErrorDamaged) << error.description();
      EXPECT_THAT(error.description(), HasSubstr("\"" + dir + "\" is damaged: its file data.mdb"));
    }
  }
}

TEST(CatalogTest, InspectsACatalogOfAnotherFingerprintVersionButAddsNothing) {
  plim::testing::TemporaryDirectory dir;
  {
    auto catalog = Catalog::Open(dir.path(), Catalog::Mode::kReadWrite);
    NewRecording item = SyntheticRecording(1, 5);
    catalog->Add({&item, 1});
  }
  OpenOptions options;
  options.fingerprint_version = fingerprint::kFingerprintVersion + 1;
  options.accept_other_fingerprint_version = true;
  auto catalog = Catalog::Open(dir.path(), Catalog::Mode::kReadWrite, options);
  EXPECT_EQ(catalog->fingerprint_version(), fingerprint::kFingerprintVersion);
  EXPECT_EQ(catalog->NewReader().RecordingCount(), 1u);
  NewRecording item = SyntheticRecording(2, 5);
  EXPECT_THROW(catalog->Add({&item, 1}), foundation::NSError);
  EXPECT_TRUE(catalog->Remove(1));
}

// Readers see whole changes only, while a writer adds and the map grows
// beneath them several times over.
TEST(CatalogTest, ReadersSeeConsistentSnapshotsWhileTheMapGrows) {
  plim::testing::TemporaryDirectory dir;
  OpenOptions options;
  options.initial_map_size_bytes = 1 << 20;
  auto catalog = Catalog::Open(dir.path(), Catalog::Mode::kReadWrite, options);
  constexpr int kRecordings = 24;
  std::atomic<bool> writer_done{false};
  std::atomic<int> snapshots_checked{0};
  std::thread reader_thread([&] {
    std::vector<Posting> postings;
    bool last = false;
    while (!last) {
      last = writer_done.load();
      Catalog::Reader reader = catalog->NewReader();
      postings.clear();
      reader.Lookup(testing::kSharedHash, postings);
      std::uint64_t recordings = reader.RecordingCount();
      std::uint64_t landmarks = 0;
      reader.ForEachRecording([&](RecordingId, const Recording& r) {
        landmarks += r.landmark_count;
        return true;
      });
      ASSERT_EQ(postings.size(), recordings);
      ASSERT_EQ(reader.LandmarkCount(), landmarks);
      snapshots_checked.fetch_add(1);
    }
  });
  for (int i = 1; i <= kRecordings; ++i) {
    NewRecording item = SyntheticRecording(static_cast<std::uint32_t>(i), 6000);
    catalog->Add({&item, 1});
  }
  writer_done.store(true);
  reader_thread.join();
  EXPECT_GT(snapshots_checked.load(), 1);
  EXPECT_EQ(catalog->NewReader().RecordingCount(), static_cast<std::uint64_t>(kRecordings));
  EXPECT_GT(catalog->MeasureDiskUsage().database_used_bytes, options.initial_map_size_bytes);
}

// Run as a separate process by the next test (it is skipped otherwise): adds
// recordings to the catalog named in the environment until its map has grown.
TEST(CatalogHelperProcess, GrowsTheCatalog) {
  const char* dir = std::getenv("PLIM_TEST_GROW_CATALOG");
  if (dir == nullptr) GTEST_SKIP() << "run by AdoptsAMapAnotherProcessGrew";
  auto catalog = Catalog::Open(dir, Catalog::Mode::kReadWrite);
  for (std::uint32_t i = 100; i < 110; ++i) {
    NewRecording item = SyntheticRecording(i, 8000);
    catalog->Add({&item, 1});
  }
}

TEST(CatalogTest, AdoptsAMapAnotherProcessGrew) {
  plim::testing::TemporaryDirectory dir;
  OpenOptions options;
  options.initial_map_size_bytes = 1 << 20;
  auto catalog = Catalog::Open(dir.path(), Catalog::Mode::kReadWrite, options);
  NewRecording first = SyntheticRecording(1, 10);
  catalog->Add({&first, 1});
  plim::testing::ProcessOptions options_for_child;
  options_for_child.environment["PLIM_TEST_GROW_CATALOG"] = dir.path();
  plim::testing::ProcessResult child = plim::testing::runProcess(
      {"/proc/self/exe", "--gtest_filter=CatalogHelperProcess.GrowsTheCatalog"}, options_for_child);
  ASSERT_EQ(child.exit_status, 0) << child.standard_output;
  ASSERT_GT(catalog->MeasureDiskUsage().database_used_bytes, options.initial_map_size_bytes);
  {
    Catalog::Reader reader = catalog->NewReader();
    EXPECT_EQ(reader.RecordingCount(), 11u);
    std::vector<Posting> postings;
    reader.Lookup(testing::kSharedHash, postings);
    EXPECT_EQ(postings.size(), 11u);
  }
  NewRecording last = SyntheticRecording(2, 10);
  EXPECT_EQ(catalog->Add({&last, 1})[0].id, 12u);
}

}  // namespace
}  // namespace plim::catalog
