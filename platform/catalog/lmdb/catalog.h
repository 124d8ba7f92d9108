// The catalog of reference recordings: their records and the inverted index
// of their landmarks, in an LMDB environment in one directory.

#ifndef PLIM_PLATFORM_CATALOG_LMDB_CATALOG_H_
#define PLIM_PLATFORM_CATALOG_LMDB_CATALOG_H_

#include <lmdb.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/catalog/catalog_store.h"
#include "platform/catalog/catalog_verification.h"
#include "platform/catalog/lmdb/catalog_environment.h"
#include "platform/catalog/lmdb/posting_index.h"
#include "platform/catalog/posting.h"
#include "platform/catalog/recording.h"
#include "platform/fingerprint/constellation.h"
#include "platform/fingerprint/fingerprint_params.h"
#include "platform/fingerprint/landmark.h"

namespace plim::catalog {

// The layout version of the catalogs this build reads and writes; catalogs
// of another are refused on opening.
std::uint64_t CatalogFormatVersion();

// Thread-safe: one Catalog may be shared by any number of threads, and any
// number of processes may open the same catalog; writes are serialised
// (across processes too) and never block readers. Every change is one
// durable transaction: after a crash or power loss a recording is wholly in
// the catalog or wholly absent.
class Catalog : public CatalogStore {
 public:
  // Mode::kReadWrite creates the directory and catalog when missing.
  // Opens the catalog in `directory`. Throws foundation::NSError in
  // kCatalogErrorDomain: kCatalogErrorNoCatalog (read-only, nothing there),
  // kCatalogErrorNotACatalog (a file, or a directory with other content,
  // which is left untouched), kCatalogErrorNewerFormat,
  // kCatalogErrorFingerprintMismatch, kCatalogErrorCannotOpen (with the
  // system's reason), kCatalogErrorDamaged.
  static std::unique_ptr<Catalog> Open(const std::filesystem::path& directory, Mode mode);
  static std::unique_ptr<Catalog> Open(const std::filesystem::path& directory, Mode mode,
                                       const OpenOptions& options);

  ~Catalog() override;
  Catalog(const Catalog&) = delete;
  Catalog& operator=(const Catalog&) = delete;

  // A consistent snapshot (one LMDB read transaction): a writer's later
  // changes are not seen. Cheap; use from one thread at a time. Must not
  // outlive its Catalog. While it lives the map can't grow, so a writer that
  // needs more room waits for it: keep readers short, and never hold one on
  // a thread that writes. Methods throw NSError (kCatalogErrorDamaged) for
  // stored data that does not parse, and GetRecording and ForEachRecording
  // for a record without its landmark list or the other way round, or a
  // count of records that disagrees with them (record_lookup.h).
  class Reader : public CatalogReader {
   public:
    Reader(Reader&&) noexcept;
    Reader& operator=(Reader&&) = delete;
    ~Reader() override;

    // Appends every posting of `hash` to `out`, in (recording, anchor_frame)
    // order. Allocates only as `out` grows.
    void Lookup(std::uint32_t hash, std::vector<Posting>& out) const override;
    // Exact: this snapshot's postings are all of published recordings.
    std::vector<std::size_t> PostingCounts(std::span<const std::uint32_t> hashes) const override;
    std::optional<Recording> GetRecording(RecordingId id) const override;
    bool SeesOneSnapshot() const override { return true; }
    // Appends the kept peaks of recording `id` whose time lies in
    // [first_frame, last_frame] (analysis frames) to `out`, in time order, at
    // the precision the catalog keeps (peak_blocks.h). None for a recording
    // without peaks.
    void ReadPeaks(RecordingId id, double first_frame, double last_frame,
                   std::vector<fingerprint::Peak>& out) const override;
    std::size_t ReadOutline(RecordingId id, double first_frame, double last_frame,
                            fingerprint::BandOutline& out) const override;
    // The recording holding this audio (a ContentHasher digest).
    std::optional<RecordingId> FindByContentHash(std::string_view content_hash) const override;
    // The recording added from this (absolute) path, even if the file is gone.
    std::optional<RecordingId> FindBySourcePath(std::string_view source_path) const override;
    // Calls `visit` for each recording in id order; stops early when it returns false.
    void ForEachRecording(
        const std::function<bool(RecordingId, const Recording&)>& visit) const override;
    std::optional<RecordingCopy> FindCopy(std::string_view path) const override;
    void ForEachCopy(const std::function<bool(const RecordingCopy&)>& visit) const override;

    std::optional<Artwork> ReadArtwork(std::string_view artwork_file) const override;
    std::uint64_t RecordingCount() const override;
    // The totals the catalog keeps, checked against the sums of its records,
    // which are read for it: throws NSError (kCatalogErrorDamaged) when they
    // disagree. For stats, not for a hot path.
    std::uint64_t LandmarkCount() const override;  // postings in the index
    double TotalDurationS() const override;

   private:
    friend class Catalog;
    explicit Reader(const Environment& environment);
    Recording Decode(RecordingId id, const MDB_val& bytes) const;
    // Decodes peak block `block` of recording `id` into `peaks` (cleared
    // first) and appends its outline levels to `outline` when given; false
    // when there is no such block.
    bool ReadPeakBlock(RecordingId id, std::uint32_t block, std::vector<fingerprint::Peak>& peaks,
                       std::vector<std::uint8_t>* outline) const;

    const Environment* environment_;
    ReadSnapshot snapshot_;
    PostingReader postings_;  // cursors into snapshot_.txn, so declared after it
  };

  Reader NewReader() const;
  std::unique_ptr<CatalogReader> NewCatalogReader() const override;

  // Adds `batch` in one transaction: all of it is kept or none. A recording
  // whose content hash is already there (in the catalog or earlier in the
  // batch) is a kDuplicate and changes nothing; one whose source path names
  // an existing recording replaces it. Results are in batch order. Throws
  // NSError: kCatalogErrorInvalidArgument (read-only catalog, empty content
  // hash), kCatalogErrorFingerprintMismatch, kCatalogErrorCannotWrite (disk
  // full and the like; nothing was kept). After the batch is saved, a few
  // transactions of its own tidy the index; they change no lookup, and a
  // failure among them is left to the next add.
  std::vector<AddResult> Add(std::span<const NewRecording> batch) override;

  // Removes recording `id` with its postings and copies, and its picture
  // when no other recording uses it. Returns the removed record, or nullopt
  // when there was none. Throws as Add.
  std::optional<Recording> Remove(RecordingId id) override;

  // As CatalogStore::AddCopy and RemoveCopy, each one transaction.
  bool AddCopy(const RecordingCopy& copy) override;
  std::optional<RecordingCopy> RemoveCopy(std::string_view path) override;

  // Applies `change` to recording `id` in one transaction, keeping its id and
  // landmarks; a picture it no longer uses goes when no other recording
  // uses it. Texts are repaired to valid UTF-8. Returns the record as now
  // stored, or nullopt when there is no recording `id`. Throws as Remove.
  std::optional<Recording> Correct(RecordingId id, const MetadataChange& change) override;
  // The same for each of `changes`, all in one transaction.
  std::vector<std::optional<Recording>> CorrectAll(std::span<const Correction> changes) override;

  // What the catalog takes on disk now. Throws NSError.
  DiskUsage MeasureDiskUsage() const override;

  // Reads every stored value in one snapshot, checking its layout and
  // checksum, checks each table's structure (its order, that a lookup finds
  // each entry, LMDB's count of entries) and the tables against each other
  // (each recording's postings, peaks and lookup entries, the pictures' use
  // counts, the numbers the meta table keeps). Damage is reported, not thrown;
  // throws NSError only when no snapshot can be had. Takes time and memory
  // in proportion to the catalog. Thread-safe, as a Reader.
  VerificationReport Verify() const;

  // The absolute directory, and the fingerprint version it was built with.
  const std::filesystem::path& directory() const { return environment_->directory; }
  std::string location() const override { return directory().string(); }
  std::uint32_t fingerprint_version() const override { return environment_->fingerprint_version; }

  // Every change is one transaction, so a killed writer leaves nothing: none.
  std::uint64_t CleanLeftovers(double min_age_s) override;

 private:
  Catalog(std::shared_ptr<Environment> environment, bool read_only, bool fingerprint_matches);
  void RequireWritable() const;

  std::shared_ptr<Environment> environment_;  // immutable handles; internally synchronised
  const bool read_only_;
  const bool fingerprint_matches_;  // the caller's fingerprint version is the catalog's
};

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_LMDB_CATALOG_H_
