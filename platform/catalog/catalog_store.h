// The catalog's contract, apart from where it is kept: a reader that looks
// up postings, records and peaks, and a store that adds, removes and
// corrects recordings. The LMDB directory (catalog.h) and the Redis store
// (redis_catalog.h) implement it; OpenCatalogStore picks one by location.

#ifndef PLIM_PLATFORM_CATALOG_CATALOG_STORE_H_
#define PLIM_PLATFORM_CATALOG_CATALOG_STORE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/catalog/posting.h"
#include "platform/catalog/recording.h"
#include "platform/fingerprint/constellation.h"
#include "platform/fingerprint/fingerprint_params.h"
#include "platform/fingerprint/landmark.h"

namespace plim::catalog {

// A cover picture to keep in the catalog.
struct Artwork {
  std::string bytes;      // the image file's contents
  std::string mime_type;  // e.g. "image/png"; used when the bytes don't say
  // The permission bits of the file it came from: the catalog's file of it
  // gets these at most, so that no one may read it who could not before.
  std::uint32_t permissions = 0644;
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
  // The band-energy outline of the whole recording (the signature's),
  // kept beside the peaks for checking candidates by their levels.
  fingerprint::BandOutline outline;
  // When present, kept by the catalog (once, whoever else uses it) and used
  // in place of recording.artwork_url.
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
  // Cover art: a URL, or a picture to keep in the catalog (which wins).
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
  // LMDB: the smallest map a writer starts with; it doubles whenever it fills.
  std::size_t initial_map_size_bytes = std::size_t{64} << 20;
};

// Bytes the catalog takes where it is kept.
struct DiskUsage {
  std::uint64_t database_file_bytes = 0;  // LMDB: data.mdb as allocated; Redis: its keys' memory
  std::uint64_t database_used_bytes = 0;  // the pages (or bytes) in use within it
  std::uint64_t artwork_bytes = 0;        // the pictures kept
};

// A view of the catalog for reading. Use from one thread at a time; it must
// not outlive the store that made it. Methods throw foundation::NSError in
// kCatalogErrorDomain: kCatalogErrorDamaged for stored data that does not
// parse, kCatalogErrorCannotOpen when the store can't be reached.
class CatalogReader {
 public:
  virtual ~CatalogReader() = default;

  // Appends every posting of `hash` to `out`, in (recording, anchor_frame)
  // order, leaving out recordings not (or no longer) published.
  virtual void Lookup(std::uint32_t hash, std::vector<Posting>& out) const = 0;
  // The length of each hash's posting list, without reading the lists:
  // element i is the number of postings Lookup(hashes[i]) reads from the
  // store. That is never fewer than Lookup appends, and exactly as many
  // unless the list holds postings of recordings not (or no longer)
  // published, which Lookup reads and leaves out (Redis, while a writer is
  // at work or after one was killed; never in LMDB's one snapshot). So
  // Lookup of a set of hashes reads at most the sum of their counts, and a
  // caller can choose what to read before reading it. Hashes in any order,
  // repeats allowed; ascending is fastest. Cheap beside the lists: LMDB
  // reads the values only of the chunks where a hash's run begins and ends,
  // and the sizes of the ones between; Redis asks every node for the
  // lengths of its lists in one pipelined round (none for hashes this
  // reader has read already). Throws as Lookup.
  virtual std::vector<std::size_t> PostingCounts(std::span<const std::uint32_t> hashes) const = 0;
  // Tells the reader that these hashes of a new query are about to be
  // looked up, so that a store over a network fetches them in one batch.
  // Optional; answers are the same with or without it.
  virtual void Prefetch(std::span<const std::uint32_t> hashes) const { (void)hashes; }
  virtual std::optional<Recording> GetRecording(RecordingId id) const = 0;
  // Tells the reader that the records of these recordings, and their peaks
  // between the frames given, are about to be read (GetRecording,
  // ReadPeaks), so that a store over a network fetches them all in one
  // batch. Optional; answers are the same with or without it.
  struct PeakRange {
    RecordingId recording = 0;
    double first_frame = 0, last_frame = 0;
  };
  virtual void PrefetchRecordings(std::span<const PeakRange> ranges) const { (void)ranges; }
  // Appends the kept peaks of recording `id` whose time lies in
  // [first_frame, last_frame] (analysis frames) to `out`, in time order, at
  // the precision the catalog keeps (peak_blocks.h). None for a recording
  // without peaks.
  virtual void ReadPeaks(RecordingId id, double first_frame, double last_frame,
                         std::vector<fingerprint::Peak>& out) const = 0;
  // Appends the outline frames of recording `id` that cover analysis
  // frames [first_frame, last_frame] to `out` (whole blocks of
  // kOutlineFramesPerBlock frames, up to the recording's end), and returns
  // the number of the first outline frame appended. Appends nothing for a
  // recording kept without an outline.
  virtual std::size_t ReadOutline(RecordingId id, double first_frame, double last_frame,
                                  fingerprint::BandOutline& out) const = 0;
  // The recording holding this audio (a ContentHasher digest).
  virtual std::optional<RecordingId> FindByContentHash(std::string_view content_hash) const = 0;
  // The recording added from this (absolute) path, even if the file is gone.
  virtual std::optional<RecordingId> FindBySourcePath(std::string_view source_path) const = 0;
  // Calls `visit` for each recording in id order; stops early when it returns false.
  virtual void ForEachRecording(
      const std::function<bool(RecordingId, const Recording&)>& visit) const = 0;
  // The copy recorded at this (absolute) path, or nullopt when there is none
  // or its recording is gone.
  virtual std::optional<RecordingCopy> FindCopy(std::string_view path) const = 0;
  // Calls `visit` for each copy of a recording still in the catalog, in
  // path order; stops early when it returns false.
  virtual void ForEachCopy(const std::function<bool(const RecordingCopy&)>& visit) const = 0;

  // Picture `artwork_file` (Recording::artwork_file): its bytes and the
  // permissions it is kept with (mime type empty), or nullopt when the
  // catalog does not hold it, or holds in its place what is not a picture
  // file (a link, a named pipe, a file too large or not an image: see
  // ReadPictureFile).
  virtual std::optional<Artwork> ReadArtwork(std::string_view artwork_file) const = 0;

  // True when every read sees one snapshot of the catalog, so that a
  // posting naming a recording without a record is damage, not a removal
  // made since (LMDB). A Redis reader may see a removal half-done.
  virtual bool SeesOneSnapshot() const { return false; }

  virtual std::uint64_t RecordingCount() const = 0;
  virtual std::uint64_t LandmarkCount() const = 0;  // postings in the index
  virtual double TotalDurationS() const = 0;
};

// A catalog, wherever it is kept. Thread-safe: one store may be shared by
// any number of threads, and any number of processes may open the same
// catalog. A recording is visible to readers wholly or not at all.
class CatalogStore {
 public:
  enum class Mode { kReadOnly, kReadWrite };  // kReadWrite creates the catalog when missing

  virtual ~CatalogStore() = default;

  // A new reader (see CatalogReader).
  virtual std::unique_ptr<CatalogReader> NewCatalogReader() const = 0;

  // Adds `batch`. A recording whose content hash is already there (in the
  // catalog or earlier in the batch) is a kDuplicate and changes nothing;
  // one whose source path names an existing recording replaces it. Results
  // are in batch order. Throws NSError: kCatalogErrorInvalidArgument
  // (read-only catalog, empty content hash), kCatalogErrorFingerprintMismatch,
  // kCatalogErrorCannotWrite (nothing of the failed recording is visible).
  virtual std::vector<AddResult> Add(std::span<const NewRecording> batch) = 0;

  // Removes recording `id` with its postings and copies, and its picture
  // when no other recording uses it. Returns the removed record, or nullopt
  // when there was none. Throws as Add.
  virtual std::optional<Recording> Remove(RecordingId id) = 0;

  // Records `copy` as another file of recording copy.id, in place of any
  // copy recorded at the same path; a recording later added from that path
  // takes the copy's place. False (nothing changed) when there is no
  // recording copy.id, or copy.path is the path it was added from (the
  // same file, not a copy). Throws as Add.
  virtual bool AddCopy(const RecordingCopy& copy) = 0;
  // Forgets the copy recorded at `path` (the recording stays); returns it,
  // or nullopt when there was none. Throws as Add.
  virtual std::optional<RecordingCopy> RemoveCopy(std::string_view path) = 0;

  // Applies `change` to recording `id`, keeping its id and landmarks; a
  // picture it no longer uses goes when no other recording uses it. Texts
  // are repaired to valid UTF-8. Returns the record as now stored, or
  // nullopt when there is no recording `id`. Throws as Remove.
  virtual std::optional<Recording> Correct(RecordingId id, const MetadataChange& change) = 0;

  // Applies each of `changes` as Correct does, in order; the LMDB store
  // applies them in one transaction (all or none), the Redis store one
  // after another. Results in the same order. Throws as Correct.
  struct Correction {
    RecordingId id = 0;
    MetadataChange change;
  };
  virtual std::vector<std::optional<Recording>> CorrectAll(std::span<const Correction> changes) = 0;

  // Removes what writers killed halfway left behind (never visible to
  // readers) when it is older than `min_age_s`; returns how many
  // recordings' leftovers went. Throws as Add.
  virtual std::uint64_t CleanLeftovers(double min_age_s) = 0;

  // What the catalog takes now. Throws NSError.
  virtual DiskUsage MeasureDiskUsage() const = 0;

  // What the catalog's server is set to that risks its data or its size,
  // found at open: one line each (no program name, no line feed), for the
  // caller to show. Empty for LMDB.
  virtual std::vector<std::string> warnings() const { return {}; }

  // Where the catalog is, for messages: a directory or a redis:// URL.
  virtual std::string location() const = 0;
  // The fingerprint version the catalog was built with.
  virtual std::uint32_t fingerprint_version() const = 0;
};

// Whether `location` names a Redis catalog (redis://HOST:PORT[/NAME]).
bool IsRedisLocation(std::string_view location);

// Opens the catalog at `location`: a redis:// URL or an LMDB directory.
// Throws as Catalog::Open or RedisCatalog::Open.
std::unique_ptr<CatalogStore> OpenCatalogStore(const std::string& location, CatalogStore::Mode mode,
                                               const OpenOptions& options = OpenOptions());

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_CATALOG_STORE_H_
