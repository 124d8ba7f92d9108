// The catalog of reference recordings: their records and the inverted index
// of their landmarks, in an LMDB environment in one directory.

#ifndef PLIM_PLATFORM_CATALOG_CATALOG_H_
#define PLIM_PLATFORM_CATALOG_CATALOG_H_

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

#include "platform/catalog/catalog_environment.h"
#include "platform/catalog/catalog_verification.h"
#include "platform/catalog/posting.h"
#include "platform/catalog/posting_index.h"
#include "platform/catalog/recording.h"
#include "platform/fingerprint/constellation.h"
#include "platform/fingerprint/fingerprint_params.h"
#include "platform/fingerprint/landmark.h"

namespace plim::catalog {

// The layout version of the catalogs this build reads and writes; catalogs
// of another are refused on opening.
std::uint64_t CatalogFormatVersion();

// A cover picture to keep in the catalog's artwork/ folder.
struct Artwork {
  std::string bytes;      // the image file's contents
  std::string mime_type;  // e.g. "image/png"; used when the bytes don't say
};

// A recording to add, with its landmarks (in any order, repeats allowed).
struct NewRecording {
  // 0 for the next free id; else the id it must have, which must be above
  // every id the catalog has given (to carry ids over from another catalog).
  RecordingId id = 0;
  // content_hash is required. landmark_count and artwork_file are set by the
  // catalog; texts are repaired to valid UTF-8.
  Recording recording;
  std::vector<fingerprint::Landmark> landmarks;
  // The peaks kept for checking candidates peak by peak, ordered by time
  // (fingerprint::ReferencePeaks of the same constellation).
  std::vector<fingerprint::Peak> peaks;
  // When present, kept in artwork/ (once, whoever else uses it) and used in
  // place of recording.artwork_url.
  std::optional<Artwork> artwork;
};

enum class AddOutcome {
  kAdded,      // new
  kReplaced,   // new, and took the place of the recording at the same source path
  kDuplicate,  // the same audio was in the catalog already: nothing changed
};

struct AddResult {
  AddOutcome outcome = AddOutcome::kAdded;
  RecordingId id = 0;           // the new recording, or the one it duplicates
  RecordingId replaced_id = 0;  // for kReplaced: the recording removed
};

// A correction of a recording's description. Fields left nullopt stay as
// they are; the recording's audio, landmarks, path and id never change.
struct MetadataChange {
  std::optional<std::string> title;
  std::optional<std::string> artist;
  std::optional<std::string> album;  // Recording::subtitle
  std::optional<std::string> isrc;
  std::optional<std::vector<std::string>> genres;
  // Cover art: a URL, or a picture to keep in artwork/ (which wins).
  std::optional<std::string> artwork_url;
  std::optional<Artwork> artwork;
  // The source file's size and time as they are now, once its tags were read again.
  std::optional<std::uint64_t> source_size_bytes;
  std::optional<std::int64_t> source_modified_ns;
};

struct OpenOptions {
  // The version of the landmarks this caller reads and writes. A new catalog
  // records it; an existing catalog built with another is refused...
  std::uint32_t fingerprint_version = fingerprint::kFingerprintVersion;
  // ...unless this is set: then records can be read, listed and removed, but
  // adds are refused (for inspecting a catalog that must be rebuilt).
  bool accept_other_fingerprint_version = false;
  // The smallest map a writer starts with; it doubles whenever it fills.
  std::size_t initial_map_size_bytes = std::size_t{64} << 20;
};

// Bytes the catalog takes on disk.
struct DiskUsage {
  std::uint64_t database_file_bytes = 0;  // data.mdb as allocated on disk
  std::uint64_t database_used_bytes = 0;  // the pages in use within it
  std::uint64_t artwork_bytes = 0;        // the pictures in artwork/
};

// Thread-safe: one Catalog may be shared by any number of threads, and any
// number of processes may open the same catalog; writes are serialised
// (across processes too) and never block readers. Every change is one
// durable transaction: after a crash or power loss a recording is wholly in
// the catalog or wholly absent.
class Catalog {
 public:
  enum class Mode {
    kReadOnly,
    kReadWrite
  };  // kReadWrite creates the directory and catalog when missing

  // Opens the catalog in `directory`. Throws foundation::NSError in
  // kCatalogErrorDomain: kCatalogErrorNoCatalog (read-only, nothing there),
  // kCatalogErrorNotACatalog (a file, or a directory with other content,
  // which is left untouched), kCatalogErrorNewerFormat,
  // kCatalogErrorFingerprintMismatch, kCatalogErrorCannotOpen (with the
  // system's reason), kCatalogErrorDamaged.
  static std::unique_ptr<Catalog> Open(const std::filesystem::path& directory, Mode mode);
  static std::unique_ptr<Catalog> Open(const std::filesystem::path& directory, Mode mode,
                                       const OpenOptions& options);

  ~Catalog();
  Catalog(const Catalog&) = delete;
  Catalog& operator=(const Catalog&) = delete;

  // A consistent snapshot (one LMDB read transaction): a writer's later
  // changes are not seen. Cheap; use from one thread at a time. Must not
  // outlive its Catalog. While it lives the map can't grow, so a writer that
  // needs more room waits for it: keep readers short, and never hold one on
  // a thread that writes. Methods throw NSError (kCatalogErrorDamaged) for
  // stored data that does not parse.
  class Reader {
   public:
    Reader(Reader&&) noexcept;
    Reader& operator=(Reader&&) = delete;
    ~Reader();

    // Appends every posting of `hash` to `out`, in (recording, anchor_frame)
    // order. Allocates only as `out` grows.
    void Lookup(std::uint32_t hash, std::vector<Posting>& out) const;
    std::optional<Recording> GetRecording(RecordingId id) const;
    // Appends the kept peaks of recording `id` whose time lies in
    // [first_frame, last_frame] (analysis frames) to `out`, in time order, at
    // the precision the catalog keeps (peak_blocks.h). None for a recording
    // without peaks.
    void ReadPeaks(RecordingId id, double first_frame, double last_frame,
                   std::vector<fingerprint::Peak>& out) const;
    // The recording holding this audio (a ContentHasher digest).
    std::optional<RecordingId> FindByContentHash(std::string_view content_hash) const;
    // The recording added from this (absolute) path, even if the file is gone.
    std::optional<RecordingId> FindBySourcePath(std::string_view source_path) const;
    // Calls `visit` for each recording in id order; stops early when it returns false.
    void ForEachRecording(const std::function<bool(RecordingId, const Recording&)>& visit) const;

    std::uint64_t RecordingCount() const;
    std::uint64_t LandmarkCount() const;  // postings in the index
    double TotalDurationS() const;

   private:
    friend class Catalog;
    explicit Reader(const Environment& environment);
    Recording Decode(RecordingId id, const MDB_val& bytes) const;

    const Environment* environment_;
    ReadSnapshot snapshot_;
    PostingReader postings_;  // cursors into snapshot_.txn, so declared after it
  };

  Reader NewReader() const;

  // Adds `batch` in one transaction: all of it is kept or none. A recording
  // whose content hash is already there (in the catalog or earlier in the
  // batch) is a kDuplicate and changes nothing; one whose source path names
  // an existing recording replaces it. Results are in batch order. Throws
  // NSError: kCatalogErrorInvalidArgument (read-only catalog, empty content
  // hash), kCatalogErrorFingerprintMismatch, kCatalogErrorCannotWrite (disk
  // full and the like; nothing was kept). After the batch is saved, a few
  // transactions of its own tidy the index; they change no lookup, and a
  // failure among them is left to the next add.
  std::vector<AddResult> Add(std::span<const NewRecording> batch);

  // Removes recording `id` with its postings, and its picture when no other
  // recording uses it. Returns the removed record, or nullopt when there was
  // none. Throws as Add.
  std::optional<Recording> Remove(RecordingId id);

  // Applies `change` to recording `id` in one transaction, keeping its id and
  // landmarks; a picture it no longer uses goes when no other recording
  // uses it. Texts are repaired to valid UTF-8. Returns the record as now
  // stored, or nullopt when there is no recording `id`. Throws as Remove.
  std::optional<Recording> Correct(RecordingId id, const MetadataChange& change);

  // What the catalog takes on disk now. Throws NSError.
  DiskUsage MeasureDiskUsage() const;

  // Reads every stored value in one snapshot, checking its layout and
  // checksum, and checks the tables against each other (each recording's
  // postings, peaks and lookup entries). Damage is reported, not thrown;
  // throws NSError only when no snapshot can be had. Takes time and memory
  // in proportion to the catalog. Thread-safe, as a Reader.
  VerificationReport Verify() const;

  // The absolute directory, and the fingerprint version it was built with.
  const std::filesystem::path& directory() const { return environment_->directory; }
  std::uint32_t fingerprint_version() const { return environment_->fingerprint_version; }

 private:
  Catalog(std::shared_ptr<Environment> environment, bool read_only, bool fingerprint_matches);
  void RequireWritable() const;

  std::shared_ptr<Environment> environment_;  // immutable handles; internally synchronised
  const bool read_only_;
  const bool fingerprint_matches_;  // the caller's fingerprint version is the catalog's
};

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_CATALOG_H_
