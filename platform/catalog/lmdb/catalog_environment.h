// The LMDB environment behind a catalog, shared by every Catalog object of
// one process that opens the same directory, with the transaction plumbing
// the catalog's reads and writes are built on.
//
// Internal to the catalog.

#ifndef PLIM_PLATFORM_CATALOG_LMDB_CATALOG_ENVIRONMENT_H_
#define PLIM_PLATFORM_CATALOG_LMDB_CATALOG_ENVIRONMENT_H_

#include <lmdb.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>

namespace plim::catalog {

// Thrown inside a write when the map is full; the write is then retried in
// a larger map. Never leaves the catalog.
struct MapFullSignal {};
// Thrown when another process grew the map past ours; the map is adopted
// and the transaction begun again. Never leaves the catalog.
struct MapResizedSignal {};

// Throws the NSError for LMDB status `rc` (not MDB_SUCCESS), describing
// `action` on the catalog at `directory`; MapFullSignal and MapResizedSignal
// for the two statuses that are handled by growing the map.
[[noreturn]] void ThrowLmdbError(int rc, const std::filesystem::path& directory,
                                 std::string_view action);

struct Environment {
  struct EnvCloser {
    void operator()(MDB_env* env) const { mdb_env_close(env); }
  };

  std::filesystem::path directory;  // absolute
  bool read_only = false;
  std::unique_ptr<MDB_env, EnvCloser> env;
  // Database handles, fixed once opened.
  MDB_dbi meta = 0;  // text key -> value (see catalog_environment.cc)
  // The postings (see posting_index.h and index_layout.h).
  MDB_dbi index = 0;       // ChunkKey -> a chunk of sorted IndexValues
  MDB_dbi fresh = 0;       // IndexKey(hash) -> sorted duplicate IndexValues
  MDB_dbi recordings = 0;  // RecordingId -> EncodeRecording
  MDB_dbi hash_lists = 0;  // RecordingId -> EncodeHashList of its HashListPrefixes
  MDB_dbi by_content = 0;  // content hash text -> RecordingId
  MDB_dbi by_path = 0;     // PathKey(source path) -> RecordingId
  MDB_dbi artwork = 0;     // artwork file name -> uint32 count of recordings using it
  MDB_dbi peaks = 0;       // PeakBlockKey -> EncodePeakBlock (see peak_blocks.h)
  MDB_dbi copies = 0;      // PathKey(copy path) -> EncodeRecordingCopy (see copy_format.h)
  // Whether the peaks table exists: a catalog built with fingerprint version
  // 2 or earlier opened read-only has none.
  bool has_peaks = false;
  // Whether the copies table exists: a catalog no writer of this version
  // has opened yet has none, and is read as having no copies.
  bool has_copies = false;
  std::uint32_t fingerprint_version = 0;  // the one the catalog was built with
  // Peak blocks of recordings from this id on carry checksums; those of
  // earlier ones may not (written before catalog format 3).
  std::uint64_t checksummed_peaks_from_id = 1;
  std::size_t page_size_bytes = 0;  // LMDB's

  // Held shared by every transaction of this process and exclusively while
  // the map is replaced: LMDB unmaps the old one, so no transaction may be
  // reading it then.
  mutable std::shared_mutex map_mutex;
  // One writer of this process at a time; LMDB's own lock orders processes.
  std::mutex write_mutex;
};

// Opens or shares the environment for `directory` (absolute). `create`
// permits making a new catalog there, built with `new_fingerprint_version`.
// A writer's map starts at `initial_map_size_bytes` or the size it has.
// The caller has already checked that the directory holds nothing foreign.
// Throws NSError.
std::shared_ptr<Environment> OpenEnvironment(const std::filesystem::path& directory, bool read_only,
                                             bool create, std::uint32_t new_fingerprint_version,
                                             std::size_t initial_map_size_bytes);

// Doubles the map. Takes map_mutex exclusively: call with no transaction open.
void GrowMap(Environment& environment);
// Takes the size another process gave the map. As GrowMap.
void AdoptMapSize(Environment& environment);

// A transaction that is aborted unless Commit() succeeded.
class Transaction {
 public:
  explicit Transaction(MDB_txn* txn) : txn_(txn) {}
  ~Transaction() {
    if (txn_ != nullptr) mdb_txn_abort(txn_);
  }
  Transaction(Transaction&& other) noexcept : txn_(other.txn_) { other.txn_ = nullptr; }
  Transaction& operator=(Transaction&& other) noexcept {
    if (this != &other) {
      if (txn_ != nullptr) mdb_txn_abort(txn_);
      txn_ = other.txn_;
      other.txn_ = nullptr;
    }
    return *this;
  }

  MDB_txn* get() const { return txn_; }
  // LMDB frees the transaction whatever the outcome: returns its status.
  int Commit() {
    int rc = mdb_txn_commit(txn_);
    txn_ = nullptr;
    return rc;
  }

 private:
  MDB_txn* txn_;
};

// A cursor closed when it goes out of scope; in a write transaction it must
// go before the transaction ends.
class Cursor {
 public:
  Cursor(MDB_txn* txn, MDB_dbi dbi, const std::filesystem::path& directory);
  ~Cursor() {
    if (cursor_ != nullptr) mdb_cursor_close(cursor_);
  }
  Cursor(Cursor&& other) noexcept : cursor_(other.cursor_) { other.cursor_ = nullptr; }
  Cursor& operator=(Cursor&&) = delete;

  MDB_cursor* get() const { return cursor_; }

 private:
  MDB_cursor* cursor_;
};

// A read transaction plus the shared hold on the map it reads from.
struct ReadSnapshot {
  std::shared_lock<std::shared_mutex> map_hold;
  Transaction txn{nullptr};
};

// Begins a read transaction, adopting a map another process grew.
ReadSnapshot BeginRead(const Environment& environment);

// Commits a transaction that changes only a counter. LMDB reuses the pages
// a transaction frees only once another one has committed after it: this
// lets the next change reuse the pages the last one freed instead of
// growing the file by as many. Best effort: a failure changes nothing and
// is not reported. Call with write_mutex held and no transaction open.
void ReleaseFreedPages(Environment& environment);

// Runs `body(MDB_txn*)` in a write transaction and commits it, then
// releases the pages it freed; when the map fills up, aborts, grows the map
// and runs `body` again from the start, so `body` must keep no state of its
// own across runs. Throws what `body` throws, and NSError when the commit
// fails (nothing is then kept).
template <typename Body>
void RunWrite(Environment& environment, Body&& body) {
  std::lock_guard writer(environment.write_mutex);
  for (;;) {
    bool resized = false;
    try {
      std::shared_lock map_hold(environment.map_mutex);
      MDB_txn* raw = nullptr;
      int rc = mdb_txn_begin(environment.env.get(), nullptr, 0, &raw);
      if (rc != MDB_SUCCESS) ThrowLmdbError(rc, environment.directory, "begin a change to");
      Transaction txn(raw);
      body(txn.get());
      rc = txn.Commit();
      if (rc != MDB_SUCCESS) ThrowLmdbError(rc, environment.directory, "save a change to");
      map_hold.unlock();
      ReleaseFreedPages(environment);
      return;
    } catch (const MapFullSignal&) {
    } catch (const MapResizedSignal&) {
      resized = true;
    }
    if (resized) {
      AdoptMapSize(environment);
    } else {
      GrowMap(environment);
    }
  }
}

// Helpers for the values and keys the databases hold.
inline MDB_val ValueOf(const void* data, std::size_t size) {
  return MDB_val{size, const_cast<void*>(data)};
}
inline MDB_val ValueOf(std::string_view text) { return ValueOf(text.data(), text.size()); }
inline std::string_view ViewOf(const MDB_val& value) {
  return {static_cast<const char*>(value.mv_data), value.mv_size};
}

// `path` quoted as error descriptions name files (foundation::QuotedText).
std::string QuotedPath(const std::filesystem::path& path);

// Throws foundation::NSError (kCatalogErrorDamaged): the catalog at
// `directory` is damaged, `what` says how, and the two verbs that find and
// mend the damage are named, so that every reader ends in the same advice.
[[noreturn]] void FailDamaged(const std::filesystem::path& directory, const std::string& what);

// The by_path key of `path`: the path itself, or for paths too long for an
// LMDB key a prefix and a hash of the whole. Lookups confirm the match
// against the record's source_path.
std::string PathKey(std::string_view path);

// The meta value at `key` read as a little unsigned integer of 4 or 8
// bytes, or `fallback` when absent.
std::uint64_t ReadMetaNumber(const Environment& environment, MDB_txn* txn, std::string_view key,
                             std::uint64_t fallback);
void WriteMetaNumber(const Environment& environment, MDB_txn* txn, std::string_view key,
                     std::uint64_t value);

// `duration_s` in whole microseconds, as the meta table's total keeps it
// (0 for a duration that is not a positive number).
std::uint64_t DurationUs(double duration_s);

// Meta keys.
inline constexpr std::string_view kMetaFormatVersion = "format_version";
inline constexpr std::string_view kMetaFingerprintVersion = "fingerprint_version";
inline constexpr std::string_view kMetaNextId = "next_id";
inline constexpr std::string_view kMetaTotalDurationUs = "total_duration_us";
inline constexpr std::string_view kMetaFoldNextBucket = "fold_next_bucket";
inline constexpr std::string_view kMetaIndexedPostings = "indexed_postings";
inline constexpr std::string_view kMetaPageReleases = "page_releases";
inline constexpr std::string_view kMetaChecksummedPeaksFromId = "checksummed_peaks_from_id";

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_LMDB_CATALOG_ENVIRONMENT_H_
