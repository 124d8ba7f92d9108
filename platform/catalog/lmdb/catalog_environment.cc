#include "platform/catalog/lmdb/catalog_environment.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <utility>

#include "platform/catalog/catalog_error.h"
#include "platform/catalog/content_hasher.h"
#include "platform/catalog/lmdb/lmdb_files.h"
#include "platform/catalog/lmdb/lmdb_guard.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"

namespace plim::catalog {
namespace {

// The layout of the databases. A newer one can't be read; version 1 must be
// rebuilt.
//   1  the index keyed by whole landmark hashes
//   2  the index in page-sized chunks per bucket of hashes, with a fresh
//      table for recent adds (index_layout.h, posting_index.h)
//   3  records, hash lists and chunks carry checksums. Those of version 2
//      are read as they are; a writer marks the catalog version 3 on
//      opening, as it will write checksummed values that version 2 can't
//      read, and the folds give the chunks checksums as they rewrite them.
constexpr std::uint64_t kFormatVersion = 3;
constexpr std::uint64_t kOldestReadFormatVersion = 2;
constexpr unsigned kMaxReaders = 510;
// LMDB refuses longer keys (its default limit is 511 bytes).
constexpr std::size_t kMaxPlainPathKeyBytes = 400;
constexpr std::size_t kPathKeyPrefixBytes = 360;

constexpr unsigned kFreshFlags = MDB_INTEGERKEY | MDB_DUPSORT | MDB_DUPFIXED | MDB_INTEGERDUP;

[[noreturn]] void Fail(std::int64_t code, std::string description) {
  throw foundation::NSError(kCatalogErrorDomain, code, std::move(description));
}

// One environment per directory and process: LMDB's file locks are per
// process, and a second environment on the same files would drop the first
// one's locks when it closes.
struct Registry {
  // Recursive: a failed open drops its half-made environment while holding it.
  std::recursive_mutex mutex;
  std::map<std::pair<dev_t, ino_t>, std::weak_ptr<Environment>> open;  // guarded by mutex
};

// Whether this user can't take part in LMDB's locking of `directory`: the
// lock file can't be opened for writing, and the directory can't be
// written (to make one). This is a catalog shared read-only, and it is then
// read without the lock (MDB_NOLOCK). That is safe for the catalog: this
// process never writes to it. The one risk is to this read: the owner may
// change the catalog meanwhile and, not seeing this reader, reuse a page it
// still needs; the read then fails as damaged or answers from a catalog
// half-changed, and run again it reads the new state. Shared catalogs
// change seldom, so this beats refusing to read them at all.
bool CannotLock(const std::filesystem::path& directory) {
  int fd = open((directory / "lock.mdb").c_str(), O_RDWR | O_CLOEXEC);
  if (fd >= 0) {
    close(fd);
    return false;
  }
  return access(directory.c_str(), W_OK) != 0;
}

// 0 when this user may change the catalog's files in `directory`; else why
// not: EACCES (this user may not) or EROFS (a read-only file system).
int WhyNotWritable(const std::filesystem::path& directory) {
  if (access(directory.c_str(), W_OK) != 0) return errno == EACCES || errno == EROFS ? errno : 0;
  for (const char* name : {"data.mdb", "lock.mdb"}) {
    if (access((directory / name).c_str(), W_OK) != 0 && (errno == EACCES || errno == EROFS))
      return errno;
  }
  return 0;
}

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

// A first add that was stopped before it saved anything leaves an empty
// database, or an empty file where LMDB was about to write one.
[[noreturn]] void FailNothingSavedYet(const std::filesystem::path& directory) {
  Fail(kCatalogErrorNoCatalog,
       "There is no catalog at " + QuotedPath(directory) +
           " yet (an earlier add stopped before saving anything): add recordings with "
           "plim-catalog add");
}

// A short write, which LMDB reports as an input/output error, is most often
// a full disk; the reason then says so.
std::string ReasonFor(int rc, const std::filesystem::path& directory) {
  constexpr std::uint64_t kNearlyFullBytes = std::uint64_t{1} << 20;
  struct statvfs space;
  if (rc == EIO && statvfs(directory.c_str(), &space) == 0 &&
      static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize < kNearlyFullBytes) {
    rc = ENOSPC;
  }
  std::string reason = mdb_strerror(rc);
  // The C library writes its reasons as sentences; here they follow a colon.
  if (rc > 0 && !reason.empty()) reason[0] = static_cast<char>(std::tolower(reason[0]));
  return reason;
}

void OpenDatabases(Environment& e, MDB_txn* txn, unsigned create) {
  auto open = [&](const char* name, unsigned flags, MDB_dbi& dbi) {
    int rc = GuardedDbiOpen(txn, name, flags | create, &dbi);
    if (rc == MDB_NOTFOUND || rc == MDB_INCOMPATIBLE) {
      FailDamaged(e.directory, std::string("its \"") + name + "\" table is missing or malformed");
    }
    if (rc != MDB_SUCCESS) ThrowLmdbError(rc, e.directory, "open");
  };
  open("index", 0, e.index);
  open("fresh", kFreshFlags, e.fresh);
  open("recordings", MDB_INTEGERKEY, e.recordings);
  open("hash_lists", MDB_INTEGERKEY, e.hash_lists);
  open("by_content", 0, e.by_content);
  open("by_path", 0, e.by_path);
  open("artwork", 0, e.artwork);
  // Peaks are kept since fingerprint version 3; an older catalog gains the
  // table when a writer opens it, and is read without it until then.
  int rc = GuardedDbiOpen(txn, "peaks", e.read_only ? 0u : unsigned{MDB_CREATE}, &e.peaks);
  if (rc != MDB_SUCCESS && rc != MDB_NOTFOUND) ThrowLmdbError(rc, e.directory, "open");
  e.has_peaks = rc == MDB_SUCCESS;
  // Likewise the copies; older plims ignore the table, and a copy whose
  // recording they removed is ignored in turn.
  rc = GuardedDbiOpen(txn, "copies", e.read_only ? 0u : unsigned{MDB_CREATE}, &e.copies);
  if (rc != MDB_SUCCESS && rc != MDB_NOTFOUND) ThrowLmdbError(rc, e.directory, "open");
  e.has_copies = rc == MDB_SUCCESS;
}

// Reads and checks the meta table, or creates every table when `create` and
// the environment is still empty.
void Initialise(Environment& e, MDB_txn* txn, bool create, std::uint32_t new_fingerprint) {
  int rc = GuardedDbiOpen(txn, "meta", 0, &e.meta);
  if (rc == MDB_NOTFOUND) {
    MDB_stat stat;
    bool empty = mdb_stat(txn, MDB_dbi{1}, &stat) == MDB_SUCCESS && stat.ms_entries == 0;
    if (!create && empty) FailNothingSavedYet(e.directory);
    if (!create || !empty) {
      Fail(kCatalogErrorNotACatalog,
           "The directory " + QuotedPath(e.directory) +
               " holds a database that is not a plim catalog: refusing to use it");
    }
    rc = GuardedDbiOpen(txn, "meta", MDB_CREATE, &e.meta);
    if (rc != MDB_SUCCESS) ThrowLmdbError(rc, e.directory, "create");
    WriteMetaNumber(e, txn, kMetaFormatVersion, kFormatVersion);
    WriteMetaNumber(e, txn, kMetaFingerprintVersion, new_fingerprint);
    WriteMetaNumber(e, txn, kMetaNextId, 1);
    WriteMetaNumber(e, txn, kMetaTotalDurationUs, 0);
    WriteMetaNumber(e, txn, kMetaChecksummedPeaksFromId, 1);
    OpenDatabases(e, txn, MDB_CREATE);
  } else if (rc != MDB_SUCCESS) {
    ThrowLmdbError(rc, e.directory, "open");
  } else {
    std::uint64_t format = ReadMetaNumber(e, txn, kMetaFormatVersion, 0);
    if (format == 0) {
      Fail(kCatalogErrorNotACatalog,
           "The directory " + QuotedPath(e.directory) +
               " holds a database that is not a plim catalog: refusing to use it");
    }
    if (format > kFormatVersion) {
      Fail(kCatalogErrorNewerFormat, "The catalog at " + QuotedPath(e.directory) +
                                         " has format version " + std::to_string(format) +
                                         ", made by a newer plim; this one reads format version " +
                                         std::to_string(kFormatVersion) + " only");
    }
    if (format < kOldestReadFormatVersion) {
      Fail(kCatalogErrorNewerFormat,
           "The catalog at " + QuotedPath(e.directory) + " has format version " +
               std::to_string(format) + ", which this plim no longer reads (it reads versions " +
               std::to_string(kOldestReadFormatVersion) + " to " + std::to_string(kFormatVersion) +
               "): it must be rebuilt (move it aside and add the files "
               "again with plim-catalog add)");
    }
    if (format < kFormatVersion && !e.read_only) {
      WriteMetaNumber(e, txn, kMetaFormatVersion, kFormatVersion);
      WriteMetaNumber(e, txn, kMetaChecksummedPeaksFromId, ReadMetaNumber(e, txn, kMetaNextId, 1));
    }
    OpenDatabases(e, txn, 0);
  }
  e.fingerprint_version =
      static_cast<std::uint32_t>(ReadMetaNumber(e, txn, kMetaFingerprintVersion, 0));
  e.checksummed_peaks_from_id = ReadMetaNumber(e, txn, kMetaChecksummedPeaksFromId, UINT64_MAX);
}

}  // namespace

std::uint64_t CatalogFormatVersion() { return kFormatVersion; }

std::uint64_t DurationUs(double duration_s) {
  if (!(duration_s > 0) || !std::isfinite(duration_s)) return 0;
  return static_cast<std::uint64_t>(std::llround(duration_s * 1e6));
}

void FailDamaged(const std::filesystem::path& directory, const std::string& what) {
  Fail(kCatalogErrorDamaged, "The catalog at " + QuotedPath(directory) + " is damaged: " + what +
                                 "; plim-catalog verify names what is damaged, and plim-catalog "
                                 "rebuild --repair rebuilds it from the recordings' files");
}

void ThrowLmdbError(int rc, const std::filesystem::path& directory, std::string_view action) {
  if (rc == MDB_MAP_FULL) throw MapFullSignal{};
  if (rc == MDB_MAP_RESIZED) throw MapResizedSignal{};
  const std::string reason = ReasonFor(rc, directory);
  std::string what =
      "Could not " + std::string(action) + " the catalog at " + QuotedPath(directory);
  switch (rc) {
    case MDB_INVALID:
    case MDB_VERSION_MISMATCH:
      Fail(kCatalogErrorNotACatalog, "The directory " + QuotedPath(directory) +
                                         " holds files that are not a plim catalog (" + reason +
                                         "): refusing to use it");
    case MDB_CORRUPTED:
    case MDB_PAGE_NOTFOUND:
      FailDamaged(directory, "a page of data.mdb is malformed (" + reason + ")");
    case MDB_TXN_FULL:
      Fail(kCatalogErrorCannotWrite, what + ": the change is too large for one transaction");
    case MDB_READERS_FULL:
      Fail(kCatalogErrorCannotOpen, what + ": too many readers at once");
    case ENOSPC:
    case EIO:
    case EDQUOT:
    case EROFS:
      Fail(kCatalogErrorCannotWrite, what + ": " + reason + "; nothing of this change was kept");
    default:
      Fail(kCatalogErrorCannotOpen, what + ": " + reason);
  }
}

std::shared_ptr<Environment> OpenEnvironment(const std::filesystem::path& directory, bool read_only,
                                             bool create, std::uint32_t new_fingerprint_version,
                                             std::size_t initial_map_size_bytes) {
  struct stat dir_stat;
  if (stat(directory.c_str(), &dir_stat) != 0) {
    Fail(kCatalogErrorCannotOpen,
         "Could not open the catalog at " + QuotedPath(directory) + ": " + std::strerror(errno));
  }
  Registry& registry = TheRegistry();
  std::lock_guard registry_hold(registry.mutex);
  auto key = std::make_pair(dir_stat.st_dev, dir_stat.st_ino);
  if (auto it = registry.open.find(key); it != registry.open.end()) {
    if (std::shared_ptr<Environment> shared = it->second.lock()) {
      if (shared->read_only && !read_only) {
        Fail(kCatalogErrorInvalidArgument,
             "The catalog at " + QuotedPath(directory) +
                 " is already open read-only in this process; it can't also be opened for writing");
      }
      return shared;
    }
  }

  // The deleter closes under the registry lock, so that a new environment on
  // the same files can't be opened while the old one is still letting go.
  auto* raw_environment = new Environment;
  std::shared_ptr<Environment> e(raw_environment, [](Environment* closing) {
    std::lock_guard hold(TheRegistry().mutex);
    delete closing;
  });
  e->directory = directory;
  e->read_only = read_only;
  MDB_env* raw_env = nullptr;
  int rc = mdb_env_create(&raw_env);
  if (rc != MDB_SUCCESS) ThrowLmdbError(rc, directory, "open");
  e->env.reset(raw_env);
  GuardLmdbReads(raw_env);
  mdb_env_set_maxdbs(raw_env, 12);
  mdb_env_set_maxreaders(raw_env, kMaxReaders);
  // NOTLS: a Reader is an object, not a thread's state, so one thread may
  // hold several and hand them on.
  if (const int why = read_only ? 0 : WhyNotWritable(directory); why != 0) {
    Fail(kCatalogErrorCannotWrite,
         "The catalog at " + QuotedPath(directory) +
             (why == EROFS ? " is read-only, on a read-only file system: it can be listed and "
                             "matched against, but not changed"
                           : " is read-only for this user: it can be listed and matched against, "
                             "but not changed (ask its owner, or use a catalog of your own with "
                             "--catalog)"));
  }
  unsigned flags = MDB_NOTLS | (read_only ? MDB_RDONLY : 0u);
  // LMDB maps both files: damage or a full disk would otherwise be a SIGBUS.
  if (!CheckDataFile(directory) && read_only) FailNothingSavedYet(directory);
  if (read_only && CannotLock(directory)) {
    flags |= MDB_NOLOCK;
  } else {
    AllocateLockFile(directory, kMaxReaders);
  }
  rc = mdb_env_open(raw_env, directory.c_str(), flags, 0644);
  if (rc != MDB_SUCCESS) ThrowLmdbError(rc, directory, "open");
  MDB_stat env_stat;
  mdb_env_stat(raw_env, &env_stat);
  e->page_size_bytes = env_stat.ms_psize;
  if (!read_only) {
    MDB_envinfo info;
    mdb_env_info(raw_env, &info);
    if (info.me_mapsize < initial_map_size_bytes) {
      rc = mdb_env_set_mapsize(raw_env, initial_map_size_bytes);
      if (rc != MDB_SUCCESS) ThrowLmdbError(rc, directory, "open");
    }
  }

  for (;;) {
    MDB_txn* raw_txn = nullptr;
    rc = mdb_txn_begin(raw_env, nullptr, read_only ? MDB_RDONLY : 0, &raw_txn);
    if (rc == MDB_MAP_RESIZED) {
      mdb_env_set_mapsize(raw_env, 0);
      continue;
    }
    if (rc != MDB_SUCCESS) ThrowLmdbError(rc, directory, "open");
    Transaction txn(raw_txn);
    Initialise(*e, txn.get(), create && !read_only, new_fingerprint_version);
    // Database handles opened in a transaction serve others only once it commits.
    rc = txn.Commit();
    if (rc != MDB_SUCCESS) ThrowLmdbError(rc, directory, "open");
    break;
  }
  registry.open[key] = e;
  return e;
}

void GrowMap(Environment& environment) {
  std::unique_lock map_hold(environment.map_mutex);
  MDB_envinfo info;
  mdb_env_info(environment.env.get(), &info);
  int rc = mdb_env_set_mapsize(environment.env.get(), info.me_mapsize * 2);
  if (rc != MDB_SUCCESS) ThrowLmdbError(rc, environment.directory, "grow");
}

void AdoptMapSize(Environment& environment) {
  std::unique_lock map_hold(environment.map_mutex);
  int rc = mdb_env_set_mapsize(environment.env.get(), 0);
  if (rc != MDB_SUCCESS) ThrowLmdbError(rc, environment.directory, "read");
}

void ReleaseFreedPages(Environment& environment) {
  std::shared_lock map_hold(environment.map_mutex);
  MDB_txn* raw = nullptr;
  if (mdb_txn_begin(environment.env.get(), nullptr, 0, &raw) != MDB_SUCCESS) return;
  Transaction txn(raw);
  try {
    WriteMetaNumber(environment, txn.get(), kMetaPageReleases,
                    ReadMetaNumber(environment, txn.get(), kMetaPageReleases, 0) + 1);
  } catch (const foundation::NSError&) {
    return;  // the change itself is saved; the next one will simply grow the file
  } catch (const MapFullSignal&) {
    return;
  } catch (const MapResizedSignal&) {
    return;
  }
  txn.Commit();
}

Cursor::Cursor(MDB_txn* txn, MDB_dbi dbi, const std::filesystem::path& directory)
    : cursor_(nullptr) {
  int rc = mdb_cursor_open(txn, dbi, &cursor_);
  if (rc != MDB_SUCCESS) ThrowLmdbError(rc, directory, "read");
}

ReadSnapshot BeginRead(const Environment& environment) {
  for (;;) {
    ReadSnapshot snapshot{std::shared_lock(environment.map_mutex), Transaction(nullptr)};
    MDB_txn* raw = nullptr;
    int rc = mdb_txn_begin(environment.env.get(), nullptr, MDB_RDONLY, &raw);
    if (rc == MDB_SUCCESS) {
      snapshot.txn = Transaction(raw);
      return snapshot;
    }
    if (rc != MDB_MAP_RESIZED) ThrowLmdbError(rc, environment.directory, "read");
    snapshot.map_hold.unlock();
    AdoptMapSize(const_cast<Environment&>(environment));
  }
}

std::string QuotedPath(const std::filesystem::path& path) {
  return foundation::QuotedText(path.native());
}

std::string PathKey(std::string_view path) {
  if (path.size() <= kMaxPlainPathKeyBytes) return std::string(path);
  std::string key(path.substr(0, kPathKeyPrefixBytes));
  key.push_back('\0');
  key += HexHash128(path.data(), path.size());
  return key;
}

std::uint64_t ReadMetaNumber(const Environment& environment, MDB_txn* txn, std::string_view key,
                             std::uint64_t fallback) {
  MDB_val k = ValueOf(key), v;
  int rc = GuardedGet(txn, environment.meta, &k, &v);
  if (rc == MDB_NOTFOUND) return fallback;
  if (rc != MDB_SUCCESS) ThrowLmdbError(rc, environment.directory, "read");
  if (v.mv_size != 8) {
    FailDamaged(environment.directory, "its \"" + std::string(key) + "\" entry is malformed");
  }
  std::uint64_t value = 0;
  for (int i = 0; i < 8; ++i) {
    value |= static_cast<std::uint64_t>(static_cast<const unsigned char*>(v.mv_data)[i]) << (8 * i);
  }
  return value;
}

void WriteMetaNumber(const Environment& environment, MDB_txn* txn, std::string_view key,
                     std::uint64_t value) {
  unsigned char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
  MDB_val k = ValueOf(key), v = ValueOf(bytes, sizeof bytes);
  int rc = mdb_put(txn, environment.meta, &k, &v, 0);
  if (rc != MDB_SUCCESS) ThrowLmdbError(rc, environment.directory, "write");
}

}  // namespace plim::catalog
