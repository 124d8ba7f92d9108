// Damage inside the catalog's data pages, where LMDB's checks of its own
// structure end and the values' checksums take over: each is an error or a
// report of damage, never a crash or a different answer taken as sound; and
// a catalog written before values carried checksums still reads.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <lmdb.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

#include "platform/catalog/catalog_error.h"
#include "platform/catalog/lmdb/catalog.h"
#include "platform/catalog/record_format.h"
#include "platform/foundation/ns_error.h"
#include "tests/platform/catalog/catalog_test_support.h"
#include "tests/support/audio_fixtures.h"
#include "tests/support/thrown_error.h"

namespace plim::catalog {
namespace {

using ::testing::HasSubstr;

namespace fs = std::filesystem;
using testing::SyntheticRecording;

constexpr std::uint32_t kRecordings = 4;

// Recordings with peaks, so every table has values.
void FillCatalog(const std::string& dir) {
  auto catalog = Catalog::Open(dir, Catalog::Mode::kReadWrite);
  for (std::uint32_t seed = 1; seed <= kRecordings; ++seed) {
    NewRecording item = SyntheticRecording(seed, 2000, "/music/" + std::to_string(seed) + ".flac");
    for (std::uint32_t t = 0; t < 2000; t += 7)
      item.peaks.push_back({t * 16, static_cast<std::uint16_t>(100 + t % 900), 20});
    catalog->Add({&item, 1});
  }
}

// Everything a reader can be asked, as text, or the error it met.
std::string Answers(const std::string& dir) {
  try {
    auto catalog = Catalog::Open(dir, Catalog::Mode::kReadOnly);
    Catalog::Reader reader = catalog->NewReader();
    std::string out;
    reader.ForEachRecording([&](RecordingId id, const Recording& r) {
      out += std::to_string(id) + r.title + r.source_path + std::to_string(r.landmark_count) + ";";
      std::vector<fingerprint::Peak> peaks;
      reader.ReadPeaks(id, 0, 1e6, peaks);
      for (const auto& p : peaks) out += std::to_string(p.time_q) + "," + std::to_string(p.bin_q);
      return true;
    });
    for (RecordingId id = 1; id <= kRecordings + 1; ++id) {
      if (std::optional<Recording> r = reader.GetRecording(id)) out += r->title + "@";
    }
    out += std::to_string(reader.RecordingCount()) + "/" + std::to_string(reader.LandmarkCount()) +
           "/" + std::to_string(reader.TotalDurationS()) + ";";
    std::vector<Posting> postings;
    for (std::uint32_t hash = 0; hash < 4096; ++hash) reader.Lookup(hash, postings);
    for (const Posting& p : postings) out += std::to_string(p.recording * 131 + p.anchor_frame);
    return out;
  } catch (const foundation::NSError& error) {
    EXPECT_EQ(error.domain(), kCatalogErrorDomain);
    EXPECT_THAT(error.description(), HasSubstr(dir));
    const bool advised = error.code() != kCatalogErrorDamaged ||
                         (error.description().find("plim-catalog verify") != std::string::npos &&
                          error.description().find("rebuild --repair") != std::string::npos);
    return "error " + std::to_string(error.code()) + (advised ? "" : " without advice");
  }
}

bool VerifyFindsDamage(const std::string& dir) {
  try {
    return !Catalog::Open(dir, Catalog::Mode::kReadOnly)->Verify().Intact();
  } catch (const foundation::NSError&) {
    return true;
  }
}

// Answers(dir) from a child process, or nullopt when the child died.
std::optional<std::string> AnswersOfAChild(const std::string& dir) {
  int fds[2];
  if (pipe(fds) != 0) return std::nullopt;
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    const std::string answers = Answers(dir);
    const bool written =
        write(fds[1], answers.data(), answers.size()) == static_cast<ssize_t>(answers.size());
    _exit(written ? 0 : 1);
  }
  close(fds[1]);
  std::string answers;
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) answers.append(buffer, n);
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return answers;
}

// The 2-byte little-endian field at `at` of `bytes`.
std::uint16_t Field(const std::string& bytes, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                    static_cast<unsigned char>(bytes[at + 1]) << 8);
}

// A flipped byte anywhere past the meta pages either leaves every answer as
// it was, or makes the read fail as damage, or is found by Verify (which
// itself never crashes); and no reader dies of it. Besides a byte every 67,
// every page's header and the start of its node offsets are flipped: LMDB
// follows those without a check. And in every page of nodes, flips that
// keep the page well formed: one node fewer, a node's offset made its
// neighbour's (one node twice, one lost), and a bit of a key changed.
TEST(CatalogDamageTest, FlippedBytesInDataPagesAreErrorsOrFoundByVerify) {
  plim::testing::TemporaryDirectory temp;
  const std::string good_dir = temp.file("good");
  FillCatalog(good_dir);
  const std::string good = plim::testing::readBytes(good_dir + "/data.mdb");
  const std::string sound = Answers(good_dir);
  ASSERT_EQ(sound.rfind("error", 0), std::string::npos) << sound;
  ASSERT_FALSE(VerifyFindsDamage(good_dir));

  const std::string dir = temp.file("damaged");
  fs::create_directory(dir);
  int changed = 0, reader_deaths = 0;
  constexpr std::size_t kPageBytes = 4096;
  struct Flip {
    std::size_t at;
    std::uint16_t mask;  // xored into the 2 bytes at `at`, little-endian
  };
  std::vector<Flip> flips;
  for (std::size_t at = 2 * kPageBytes; at < good.size(); at += 67)
    flips.push_back({at, static_cast<std::uint16_t>(0x41 << (at % 2))});
  for (std::size_t page = 2 * kPageBytes; page + kPageBytes <= good.size(); page += kPageBytes) {
    for (std::size_t at = 10; at < 28; ++at)
      flips.push_back({page + at, static_cast<std::uint16_t>(0x41 << (at % 2))});
    const std::uint16_t flags = Field(good, page + 10), lower = Field(good, page + 12);
    if ((flags & 0x03) == 0 || (flags & 0x20) != 0 || lower < 20 || lower > kPageBytes) continue;
    const std::size_t last_node = Field(good, page + lower - 2);
    flips.push_back({page + 12, static_cast<std::uint16_t>(lower ^ (lower - 2))});
    flips.push_back(
        {page + 16, static_cast<std::uint16_t>(Field(good, page + 16) ^ Field(good, page + 18))});
    if (last_node + 9 < kPageBytes && Field(good, page + last_node + 6) > 0)
      flips.push_back({page + last_node + 8, 0x01});
  }
  for (const Flip& flip : flips) {
    const std::size_t at = flip.at;
    std::string bytes = good;
    bytes[at] = static_cast<char>(bytes[at] ^ (flip.mask & 0xFF));
    if (flip.mask > 0xFF) bytes[at + 1] = static_cast<char>(bytes[at + 1] ^ (flip.mask >> 8));
    std::ofstream(dir + "/data.mdb", std::ios::binary | std::ios::trunc) << bytes;
    fs::remove(dir + "/lock.mdb");
    const std::optional<std::string> answers = AnswersOfAChild(dir);
    if (answers == sound) continue;
    ++changed;
    if (!answers) ++reader_deaths;
    if (answers && answers->find("without advice") != std::string::npos)
      ADD_FAILURE() << "a flip at byte " << at << ": " << *answers;
    if ((!answers || answers->rfind("error", 0) != 0) && !VerifyFindsDamage(dir)) {
      ADD_FAILURE() << "a flip at byte " << at << " changed the answers unnoticed";
    }
  }
  EXPECT_GT(changed, 50) << "the flips reached live values";
  EXPECT_EQ(reader_deaths, 0) << "of " << changed << " flips that changed what a reader sees";
}

// The numbers the catalog keeps of itself are checked against its records
// by verify, and by the readers that show them: stats shows the totals, the
// next id is where add writes, and peak blocks before the first checksummed
// id are taken without a checksum.
TEST(CatalogDamageTest, NumbersKeptOfTheWholeCatalogAreChecked) {
  struct Case {
    const char* key;
    std::uint64_t value;
    const char* found;
    std::function<void(const Catalog::Reader&)> read;  // must fail as damage, when given
  };
  const Case cases[] = {
      {"total_duration_us", 0, "the total duration it keeps (0 microseconds)",
       [](const Catalog::Reader& r) { r.TotalDurationS(); }},
      {"indexed_postings", 1, "the count of postings it keeps (1) is not the number in its index",
       [](const Catalog::Reader& r) { r.LandmarkCount(); }},
      {"next_id", kRecordings, "the next id it keeps (4) is not above its recordings' (4)", {}},
      {"checksummed_peaks_from_id", 99, "the peaks of recordings before id 99", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    plim::testing::TemporaryDirectory temp;
    const std::string dir = temp.file("catalog");
    FillCatalog(dir);
    ASSERT_FALSE(VerifyFindsDamage(dir));
    testing::SetMetaNumber(dir, c.key, c.value);
    auto catalog = Catalog::Open(dir, Catalog::Mode::kReadOnly);
    const VerificationReport report = catalog->Verify();
    ASSERT_EQ(report.damage.size(), 1u);
    EXPECT_THAT(report.damage[0].what, HasSubstr(c.found));
    if (c.read) {
      const foundation::NSError error =
          plim::testing::ThrownError([&] { c.read(catalog->NewReader()); });
      EXPECT_EQ(error.code(), kCatalogErrorDamaged) << error.description();
    }
  }
}

// A recording whose record is gone while its landmarks remain (a flipped
// key, a node lost from a page) is damage to every reader that looks it up
// or walks the records, not a recording that is not there; and one removed
// or never added is absent without an alarm.
TEST(CatalogDamageTest, ARecordGoneWhileItsLandmarksRemainIsDamageNotAbsence) {
  const auto move_key = [](const char* table, RecordingId from, RecordingId to) {
    return [=](MDB_txn* txn, MDB_dbi) {
      MDB_dbi dbi;
      ASSERT_EQ(mdb_dbi_open(txn, table, MDB_INTEGERKEY, &dbi), 0);
      MDB_val key{sizeof from, const_cast<RecordingId*>(&from)}, data;
      ASSERT_EQ(mdb_get(txn, dbi, &key, &data), 0);
      std::string bytes(static_cast<const char*>(data.mv_data), data.mv_size);
      ASSERT_EQ(mdb_del(txn, dbi, &key, nullptr), 0);
      if (to == 0) return;
      MDB_val new_key{sizeof to, const_cast<RecordingId*>(&to)}, value{bytes.size(), bytes.data()};
      ASSERT_EQ(mdb_put(txn, dbi, &new_key, &value, 0), 0);
    };
  };
  struct Case {
    const char* name;
    std::function<void(MDB_txn*, MDB_dbi)> change;  // nullptr: recording 2 removed
    RecordingId looked_up;
    bool damaged;
  };
  const Case cases[] = {
      {"record lost", move_key("recordings", 2, 0), 2, true},
      {"record under another id", move_key("recordings", 2, 9), 2, true},
      {"record under another id, looked up there", move_key("recordings", 2, 9), 9, true},
      {"landmark list lost", move_key("hash_lists", 2, 0), 2, true},
      {"removed", nullptr, 2, false},
      {"never added", nullptr, 9, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    plim::testing::TemporaryDirectory temp;
    const std::string dir = temp.file("catalog");
    FillCatalog(dir);
    if (c.change) {
      testing::ChangeTable(dir, "meta", 0, c.change);
    } else {
      Catalog::Open(dir, Catalog::Mode::kReadWrite)->Remove(2);
    }
    auto catalog = Catalog::Open(dir, Catalog::Mode::kReadWrite);
    const std::function<void()> reads[] = {
        [&] { catalog->NewReader().GetRecording(c.looked_up); },
        [&] {
          catalog->NewReader().ForEachRecording([](RecordingId, const Recording&) { return true; });
        },
        [&] { catalog->Correct(c.looked_up, MetadataChange{}); },
    };
    for (const auto& read : reads) {
      if (!c.damaged) {
        EXPECT_NO_THROW(read());
        continue;
      }
      const foundation::NSError error = plim::testing::ThrownError(read);
      EXPECT_EQ(error.code(), kCatalogErrorDamaged) << error.description();
      EXPECT_THAT(error.description(), HasSubstr("rebuild --repair"));
    }
    catalog.reset();
    EXPECT_EQ(VerifyFindsDamage(dir), c.damaged);
  }
}

// Rewrites, behind the catalog's back, every record, landmark list and
// index chunk of the catalog in `dir` without its checksum, and its format
// as 2: the catalog as a plim before checksums wrote it.
void StripChecksums(const std::string& dir) {
  auto rewrite = [&](const char* table, unsigned flags, std::function<void(std::string&)> strip) {
    testing::ChangeTable(dir, table, flags, [&](MDB_txn* txn, MDB_dbi dbi) {
      MDB_cursor* cursor = nullptr;
      ASSERT_EQ(mdb_cursor_open(txn, dbi, &cursor), 0);
      MDB_val key, data;
      std::vector<std::pair<std::string, std::string>> entries;
      for (int rc = mdb_cursor_get(cursor, &key, &data, MDB_FIRST); rc == 0;
           rc = mdb_cursor_get(cursor, &key, &data, MDB_NEXT)) {
        entries.emplace_back(std::string(static_cast<const char*>(key.mv_data), key.mv_size),
                             std::string(static_cast<const char*>(data.mv_data), data.mv_size));
      }
      mdb_cursor_close(cursor);
      for (auto& [key_bytes, value] : entries) {
        strip(value);
        MDB_val k{key_bytes.size(), key_bytes.data()}, v{value.size(), value.data()};
        ASSERT_EQ(mdb_put(txn, dbi, &k, &v, 0), 0);
      }
    });
  };
  auto older_layout = [](std::size_t digest_bytes) {
    return [digest_bytes](std::string& value) {
      value.resize(value.size() - kChecksumBytes);
      value.erase(1, digest_bytes);
      value[0] = 1;
    };
  };
  rewrite("recordings", MDB_INTEGERKEY, older_layout(0));
  rewrite("hash_lists", MDB_INTEGERKEY, older_layout(8));
  rewrite("index", 0, [](std::string& value) { value.resize(value.size() - kChecksumBytes); });
  testing::SetMetaNumber(dir, "format_version", 2);
}

TEST(CatalogDamageTest, ReadsAndExtendsACatalogWrittenBeforeChecksums) {
  plim::testing::TemporaryDirectory temp;
  const std::string dir = temp.file("catalog");
  FillCatalog(dir);
  const std::string sound = Answers(dir);
  StripChecksums(dir);
  EXPECT_EQ(Answers(dir), sound);
  {
    auto catalog = Catalog::Open(dir, Catalog::Mode::kReadOnly);
    VerificationReport report = catalog->Verify();
    EXPECT_TRUE(report.Intact()) << report.damage.front().what;
    EXPECT_GE(report.unchecked_values, 2 * kRecordings) << "every record and landmark list";
  }
  auto catalog = Catalog::Open(dir, Catalog::Mode::kReadWrite);
  NewRecording item = SyntheticRecording(kRecordings + 1, 3000);
  catalog->Add({&item, 1});
  VerificationReport report = catalog->Verify();
  EXPECT_TRUE(report.Intact()) << report.damage.front().what;
  EXPECT_EQ(report.recordings.size(), kRecordings + 1);
  EXPECT_EQ(report.recordings.back().second.title, item.recording.title);
}

// A catalog from before the copies table reads as having none, and gains
// the table on the first write; a damaged copy is found by Verify.
TEST(CatalogDamageTest, CopiesTableIsAddedToOlderCatalogsAndVerified) {
  plim::testing::TemporaryDirectory temp;
  const std::string dir = temp.file("catalog");
  FillCatalog(dir);
  testing::ChangeTable(dir, "copies", 0,
                       [](MDB_txn* txn, MDB_dbi dbi) { ASSERT_EQ(mdb_drop(txn, dbi, 1), 0); });
  {
    auto catalog = Catalog::Open(dir, Catalog::Mode::kReadOnly);
    EXPECT_FALSE(catalog->NewReader().FindCopy("/a.ogg"));
    EXPECT_TRUE(catalog->Verify().Intact());
  }
  {
    auto catalog = Catalog::Open(dir, Catalog::Mode::kReadWrite);
    ASSERT_TRUE(catalog->AddCopy({1, "/a.ogg", 1, 1}));
    EXPECT_EQ(catalog->NewReader().FindCopy("/a.ogg")->id, 1u);
    EXPECT_TRUE(catalog->Verify().Intact());
  }
  testing::ChangeTable(dir, "copies", 0, [](MDB_txn* txn, MDB_dbi dbi) {
    std::string key = "/a.ogg", value(30, 'x');
    MDB_val k{key.size(), key.data()}, v{value.size(), value.data()};
    ASSERT_EQ(mdb_put(txn, dbi, &k, &v, 0), 0);
  });
  auto catalog = Catalog::Open(dir, Catalog::Mode::kReadOnly);
  VerificationReport report = catalog->Verify();
  ASSERT_FALSE(report.Intact());
  EXPECT_NE(report.damage.front().what.find("\"copies\" table"), std::string::npos);
}

// A catalog on a file system mounted read-only, with its lock file or
// without: it reads, verifies, and refuses changes in one clear line. Needs
// root, to mount.
TEST(CatalogDamageTest, ReadOnlyFileSystemReadsAndRefusesChangesClearly) {
  plim::testing::TemporaryDirectory temp;
  const std::string disk = temp.file("disk");
  fs::create_directory(disk);
  testing::TmpfsMount tmpfs(disk, "size=4m");
  if (!tmpfs.mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
  FillCatalog(disk + "/locked");
  FillCatalog(disk + "/unlocked");
  fs::remove(disk + "/unlocked/lock.mdb");
  ASSERT_EQ(mount("tmpfs", disk.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=4m"), 0);
  for (const char* name : {"locked", "unlocked"}) {
    SCOPED_TRACE(name);
    const std::string dir = disk + "/" + name;
    auto reader = Catalog::Open(dir, Catalog::Mode::kReadOnly);
    EXPECT_EQ(reader->NewReader().RecordingCount(), kRecordings);
    EXPECT_TRUE(reader->Verify().Intact());
    reader.reset();
    const foundation::NSError error =
        plim::testing::ThrownError([&] { Catalog::Open(dir, Catalog::Mode::kReadWrite); });
    EXPECT_EQ(error.code(), kCatalogErrorCannotWrite);
    EXPECT_THAT(error.description(),
                HasSubstr("\"" + dir + "\" is read-only, on a read-only file system"));
  }
}

}  // namespace
}  // namespace plim::catalog
