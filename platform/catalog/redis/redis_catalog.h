// The catalog in Redis (a cluster, or one server), for catalogs shared by
// many machines: any number of processes anywhere read and add at once.
//
// Redis has no transaction across a cluster's nodes, so a recording is
// published in steps that readers can't see half-done: its hash list,
// postings and peaks go first, then its content claim and record, and last
// its bit in the published bitmap. Readers ignore anything whose bit is
// clear. Removal clears the bit first. An id being written stands in the
// pending set meanwhile, so that CleanLeftovers can remove what a writer
// killed halfway left. Layout: redis_layout.h.

#ifndef PLIM_PLATFORM_CATALOG_REDIS_REDIS_CATALOG_H_
#define PLIM_PLATFORM_CATALOG_REDIS_REDIS_CATALOG_H_

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/catalog/catalog_store.h"
#include "platform/catalog/catalog_verification.h"
#include "platform/catalog/redis/redis_cluster.h"
#include "platform/catalog/redis/redis_layout.h"
#include "platform/catalog/redis/redis_location.h"

namespace plim::catalog {

// The hash encoding settings the catalog's memory figures assume, as
// scripts/redis-cluster.sh sets them.
inline constexpr long long kRedisHashListpackEntries = 2048;
inline constexpr long long kRedisHashListpackValueBytes = 1024;

struct RedisTimeouts {
  double command_s = 3;        // no answer from a node within this: it is down
  double retry_window_s = 12;  // a re-forming cluster is waited for this long
};

// Thread-safe (see CatalogStore). Each thread's work borrows a connection
// set from a pool.
class RedisCatalog : public CatalogStore {
 public:
  // Opens the catalog at `location` (redis_location.h), creating it
  // (kReadWrite) when the cluster holds none of that name. Connections
  // authenticate with the location's user and password, or the password in
  // PLIM_REDIS_PASSWORD when the location has none. Throws
  // foundation::NSError: kCatalogErrorInvalidArgument (a malformed
  // location), kCatalogErrorCannotOpen (no seed answers, or the
  // credentials are refused, naming the addresses and never the password),
  // kCatalogErrorNoCatalog (read-only, nothing there),
  // kCatalogErrorNewerFormat, kCatalogErrorFingerprintMismatch.
  static std::unique_ptr<RedisCatalog> Open(std::string_view location, Mode mode,
                                            const OpenOptions& options = OpenOptions(),
                                            const RedisTimeouts& timeouts = RedisTimeouts());
  ~RedisCatalog() override;

  // Sees every recording published before each call, no snapshot across
  // calls, except that a reader keeps what it has read of the published
  // bitmap (in chunks of 32,768 ids: only those holding the ids it is
  // asked about) for later calls. RecordingCount counts anew each call.
  std::unique_ptr<CatalogReader> NewCatalogReader() const override;
  // Not one transaction: each recording is published or not (see above).
  // Concurrent adds of the same audio leave one recording; the others are
  // kDuplicate. A killed writer leaves leftovers that CleanLeftovers removes.
  // A claim of the audio by a recording neither published nor being
  // written is stale: its leftovers go, and the recording is added.
  std::vector<AddResult> Add(std::span<const NewRecording> batch) override;
  std::optional<Recording> Remove(RecordingId id) override;
  // Copies live in one hash, and each recording's paths in a set of its
  // own; a copy of a recording removed meanwhile is ignored by readers,
  // and its set is taken back by CleanLeftovers.
  bool AddCopy(const RecordingCopy& copy) override;
  std::optional<RecordingCopy> RemoveCopy(std::string_view path) override;
  // Concurrent corrections of one recording: the last one wins.
  std::optional<Recording> Correct(RecordingId id, const MetadataChange& change) override;
  // One correction after another: a failure leaves the ones before applied.
  std::vector<std::optional<Recording>> CorrectAll(std::span<const Correction> changes) override;
  // Also takes back, whatever their age, claims of audio and indexes of
  // copies whose recording is neither published nor being written (see
  // Add and AddCopy), counting each.
  std::uint64_t CleanLeftovers(double min_age_s) override;
  // The memory this catalog's keys take (MEMORY USAGE of each, which
  // estimates large hashes from a sample): pictures in artwork_bytes, the
  // rest in database_*_bytes. Reads every key name of the catalog.
  DiskUsage MeasureDiskUsage() const override;
  // The masters' eviction policy when it is not noeviction (Redis may then
  // drop keys when full, and the catalog lose postings unnoticed), and
  // their hash-max-listpack-entries and -value when below
  // kRedisHashListpackEntries and kRedisHashListpackValueBytes (posting
  // buckets are then hash tables, which take more memory); one line when
  // the servers refuse CONFIG GET.
  std::vector<std::string> warnings() const override { return warnings_; }
  std::string location() const override { return location_.text(); }
  std::uint32_t fingerprint_version() const override { return fingerprint_version_; }

  // Reads the whole catalog and says what is damaged: each published
  // recording's record, landmark list, peak blocks (checksums) and the
  // entries of its audio and path; every copy, against its recording's
  // index of copies; every posting, against the records; the
  // totals and the id counter, against the records. What a writer at work
  // (or killed: see CleanLeftovers) left half done is no damage. Not a
  // snapshot: run it while no one writes. Throws NSError
  // (kCatalogErrorCannotOpen) when the cluster can't be reached,
  // kCatalogErrorDamaged when the published bitmap is not a string.
  VerificationReport Verify() const;

  // Removes every key of this catalog (for tests and benchmarks).
  void Destroy();

  // A connection set lent from the pool; returned when the lease ends.
  class Lease {
   public:
    Lease(const RedisCatalog& owner, std::unique_ptr<RedisCluster> cluster);
    ~Lease();
    Lease(Lease&&) noexcept = default;
    RedisCluster& operator*() const { return *cluster_; }
    RedisCluster* operator->() const { return cluster_.get(); }

   private:
    const RedisCatalog* owner_;
    std::unique_ptr<RedisCluster> cluster_;
  };
  Lease Borrow() const;
  const RedisKeys& keys() const { return keys_; }

 private:
  RedisCatalog(RedisLocation location, RedisTimeouts timeouts, bool read_only,
               bool fingerprint_matches, std::uint32_t fingerprint_version);
  void RequireWritable() const;
  // Removes every trace of recording `id`, published or not, and returns
  // its record when it had one.
  std::optional<Recording> Erase(RedisCluster& cluster, RecordingId id);
  // Forgets the copy at `path`, from the hash and its recording's index;
  // returns it, or nullopt when there was none.
  std::optional<RecordingCopy> ForgetCopyAt(RedisCluster& cluster, const std::string& path);
  // Forgets the copies of recording `id` that its index names and that
  // still name it, then the index. Reads only that recording's copies.
  void ForgetCopies(RedisCluster& cluster, RecordingId id);
  // Builds every recording's index of copies from the hash, in batches,
  // unless the meta hash says it is built; safe to repeat after a kill.
  void IndexCopies(RedisCluster& cluster);
  // Forgets the indexes (with their copies) of recordings that `known`
  // calls neither published nor pending, each looked at again on its own;
  // returns how many went.
  std::uint64_t CleanCopyIndexes(RedisCluster& cluster,
                                 const std::function<bool(RecordingId)>& known);
  // When the claim at `content_key` names `holder` and `holder` is neither
  // published nor pending (its bit lost in a failover), removes what is
  // left of it with the claim and returns true; false when the claim
  // stands.
  bool TakeBackStaleClaim(RedisCluster& cluster, const std::string& content_key,
                          RecordingId holder);
  // Counts recording `user` among the users of picture `file` (storing
  // `bytes`), or takes it out (the picture goes with its last user); each
  // safe to repeat.
  void UsePicture(RedisCluster& cluster, const std::string& file, const std::string& bytes,
                  RecordingId user);
  void ReleasePicture(RedisCluster& cluster, const std::string& file, RecordingId user);

  const RedisLocation location_;
  const RedisKeys keys_;
  const RedisTimeouts timeouts_;
  const bool read_only_;
  const bool fingerprint_matches_;
  const std::uint32_t fingerprint_version_;
  std::vector<std::string> warnings_;
  mutable std::mutex pool_mutex_;
  mutable std::vector<std::unique_ptr<RedisCluster>> idle_;  // guarded by pool_mutex_
};

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_REDIS_REDIS_CATALOG_H_
