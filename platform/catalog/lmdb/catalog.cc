#include "platform/catalog/lmdb/catalog.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <system_error>

#include "platform/catalog/catalog_error.h"
#include "platform/catalog/lmdb/lmdb_guard.h"
#include "platform/catalog/lmdb/record_lookup.h"
#include "platform/catalog/peak_blocks.h"
#include "platform/catalog/picture_file.h"
#include "platform/catalog/record_format.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"
#include "platform/foundation/url.h"

namespace plim::catalog {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(std::int64_t code, std::string description) {
  throw foundation::NSError(kCatalogErrorDomain, code, std::move(description));
}

[[noreturn]] void FailOpen(const fs::path& directory, const std::error_code& error) {
  Fail(kCatalogErrorCannotOpen,
       "Could not open the catalog at " + QuotedPath(directory) + ": " + error.message());
}

// Whether `directory` already holds a catalog's database; throws for
// anything that is not (only) a catalog, so that nothing foreign is touched.
bool InspectDirectory(const fs::path& directory) {
  std::error_code error;
  fs::file_status status = fs::status(directory, error);
  if (error && error != std::errc::no_such_file_or_directory) FailOpen(directory, error);
  if (!fs::exists(status)) return false;
  if (!fs::is_directory(status)) {
    Fail(kCatalogErrorNotACatalog,
         QuotedPath(directory) + " is not a directory, so it can't be a catalog");
  }
  bool has_database = false;
  fs::directory_iterator it(directory, error);
  if (error) FailOpen(directory, error);
  for (; it != fs::directory_iterator(); it.increment(error)) {
    std::string name = it->path().filename().string();
    if (name == "data.mdb") {
      has_database = true;
    } else if (name != "lock.mdb" && name != "artwork") {
      Fail(kCatalogErrorNotACatalog, "The directory " + QuotedPath(directory) +
                                         " holds other files (" + foundation::QuotedText(name) +
                                         "), so it is not a catalog: refusing to use it");
    }
  }
  if (error) FailOpen(directory, error);
  return has_database;
}

RecordingId IdOf(const MDB_val& value, const fs::path& directory) {
  if (value.mv_size != sizeof(RecordingId)) {
    FailDamaged(directory, "a malformed id");
  }
  RecordingId id;
  std::memcpy(&id, value.mv_data, sizeof id);
  return id;
}

}  // namespace

std::unique_ptr<Catalog> Catalog::Open(const fs::path& directory, Mode mode) {
  return Open(directory, mode, OpenOptions());
}

std::unique_ptr<Catalog> Catalog::Open(const fs::path& given_directory, Mode mode,
                                       const OpenOptions& options) {
  std::error_code error;
  fs::path directory = fs::absolute(given_directory, error).lexically_normal();
  if (error) FailOpen(given_directory, error);
  if (directory.has_relative_path() && !directory.has_filename())
    directory = directory.parent_path();
  const bool read_only = mode == Mode::kReadOnly;
  if (!InspectDirectory(directory)) {
    if (read_only) {
      Fail(kCatalogErrorNoCatalog, "There is no catalog at " + QuotedPath(directory) +
                                       ": add recordings with plim-catalog add");
    }
    fs::create_directories(directory, error);
    if (error) FailOpen(directory, error);
  }
  const bool had_lock_file = fs::exists(directory / "lock.mdb", error);
  std::shared_ptr<Environment> environment;
  try {
    environment = OpenEnvironment(directory, read_only, !read_only, options.fingerprint_version,
                                  options.initial_map_size_bytes);
  } catch (const foundation::NSError& refused) {
    // LMDB made a lock file before it found the data foreign: leave the
    // directory as it was.
    if (refused.code() == kCatalogErrorNotACatalog && !had_lock_file) {
      fs::remove(directory / "lock.mdb", error);
    }
    throw;
  }
  bool matches = environment->fingerprint_version == options.fingerprint_version;
  if (!matches && !options.accept_other_fingerprint_version) {
    Fail(kCatalogErrorFingerprintMismatch,
         "The catalog at " + QuotedPath(directory) + " was built with fingerprint version " +
             std::to_string(environment->fingerprint_version) + ", and this plim uses version " +
             std::to_string(options.fingerprint_version) +
             ": bring it up to date with plim-catalog rebuild");
  }
  if (!read_only) {
    fs::create_directory(directory / "artwork", error);
    if (error) FailOpen(directory, error);
  }
  return std::unique_ptr<Catalog>(new Catalog(std::move(environment), read_only, matches));
}

Catalog::Catalog(std::shared_ptr<Environment> environment, bool read_only, bool fingerprint_matches)
    : environment_(std::move(environment)),
      read_only_(read_only),
      fingerprint_matches_(fingerprint_matches) {}

Catalog::~Catalog() = default;

Catalog::Reader Catalog::NewReader() const { return Reader(*environment_); }

std::unique_ptr<CatalogReader> Catalog::NewCatalogReader() const {
  return std::make_unique<Reader>(Reader(*environment_));
}

std::uint64_t Catalog::CleanLeftovers(double /*min_age_s*/) { return 0; }

DiskUsage Catalog::MeasureDiskUsage() const {
  DiskUsage usage;
  struct stat data;
  if (stat((directory() / "data.mdb").c_str(), &data) == 0) {
    usage.database_file_bytes = static_cast<std::uint64_t>(data.st_blocks) * 512;
  }
  {
    std::shared_lock map_hold(environment_->map_mutex);
    MDB_envinfo info;
    MDB_stat stat;
    mdb_env_info(environment_->env.get(), &info);
    mdb_env_stat(environment_->env.get(), &stat);
    usage.database_used_bytes = (static_cast<std::uint64_t>(info.me_last_pgno) + 1) * stat.ms_psize;
  }
  std::error_code error;
  for (fs::directory_iterator it(directory() / "artwork", error);
       !error && it != fs::directory_iterator(); it.increment(error)) {
    std::error_code size_error;
    std::uintmax_t size = it->file_size(size_error);
    if (!size_error) usage.artwork_bytes += size;
  }
  return usage;
}

void Catalog::RequireWritable() const {
  if (read_only_) {
    Fail(kCatalogErrorInvalidArgument, "The catalog at " + QuotedPath(directory()) +
                                           " was opened read-only: it can't be changed");
  }
}

// --- Reader ------------------------------------------------------------------

Catalog::Reader::Reader(const Environment& environment)
    : environment_(&environment),
      snapshot_(BeginRead(environment)),
      postings_(snapshot_.txn.get(), environment) {}

Catalog::Reader::Reader(Reader&& other) noexcept = default;

Catalog::Reader::~Reader() = default;

void Catalog::Reader::Lookup(std::uint32_t hash, std::vector<Posting>& out) const {
  postings_.Lookup(hash, out);
}

std::vector<std::size_t> Catalog::Reader::PostingCounts(
    std::span<const std::uint32_t> hashes) const {
  return postings_.Counts(hashes);
}

Recording Catalog::Reader::Decode(RecordingId id, const MDB_val& bytes) const {
  std::optional<Recording> recording = DecodeRecording(ViewOf(bytes));
  if (!recording) {
    FailDamaged(environment_->directory, "recording " + std::to_string(id) + " can't be read");
  }
  if (!recording->artwork_file.empty()) {
    recording->artwork_url =
        foundation::URL::fileURLWithPath(
            (environment_->directory / "artwork" / recording->artwork_file).string())
            .absoluteString();
  }
  return std::move(*recording);
}

std::optional<Recording> Catalog::Reader::GetRecording(RecordingId id) const {
  std::optional<MDB_val> data = FindRecord(snapshot_.txn.get(), *environment_, id);
  if (!data) return std::nullopt;
  return Decode(id, *data);
}

void Catalog::Reader::ReadPeaks(RecordingId id, double first_frame, double last_frame,
                                std::vector<fingerprint::Peak>& out) const {
  if (!environment_->has_peaks || !(last_frame >= first_frame) || last_frame < 0) return;
  const auto first_q = static_cast<std::uint64_t>(
      std::max(0.0, std::ceil(first_frame * fingerprint::kTimeSubdivisions)));
  const auto last_q = static_cast<std::uint64_t>(
      std::min(std::floor(last_frame * fingerprint::kTimeSubdivisions), 4294967295.0));
  std::vector<fingerprint::Peak> block_peaks;
  for (std::uint32_t block = PeakBlockOf(first_frame); block <= PeakBlockOf(last_frame); ++block) {
    if (!ReadPeakBlock(id, block, block_peaks, nullptr)) continue;
    for (const fingerprint::Peak& peak : block_peaks) {
      if (peak.time_q >= first_q && peak.time_q <= last_q) out.push_back(peak);
    }
  }
}

std::size_t Catalog::Reader::ReadOutline(RecordingId id, double first_frame, double last_frame,
                                         fingerprint::BandOutline& out) const {
  const std::uint32_t first_block = PeakBlockOf(std::max(0.0, first_frame));
  if (!environment_->has_peaks || !(last_frame >= first_frame) || last_frame < 0) {
    return std::size_t{first_block} * kOutlineFramesPerBlock;
  }
  std::vector<fingerprint::Peak> block_peaks;
  AppendOutlineBlocks(first_block, PeakBlockOf(last_frame), out.levels,
                      [&](std::uint32_t block, std::vector<std::uint8_t>* levels) {
                        return ReadPeakBlock(id, block, block_peaks, levels);
                      });
  return std::size_t{first_block} * kOutlineFramesPerBlock;
}

bool Catalog::Reader::ReadPeakBlock(RecordingId id, std::uint32_t block,
                                    std::vector<fingerprint::Peak>& peaks,
                                    std::vector<std::uint8_t>* outline) const {
  PeakBlockKey key_bytes = EncodePeakBlockKey(id, block);
  MDB_val key = ValueOf(key_bytes.bytes, sizeof key_bytes.bytes), data;
  int rc = GuardedGet(snapshot_.txn.get(), environment_->peaks, &key, &data);
  if (rc == MDB_NOTFOUND) return false;
  if (rc != MDB_SUCCESS) ThrowLmdbError(rc, environment_->directory, "read");
  peaks.clear();
  if (!DecodePeakBlock(ViewOf(data), id, block, peaks, id < environment_->checksummed_peaks_from_id,
                       outline)) {
    FailDamaged(environment_->directory,
                "the peaks of recording " + std::to_string(id) + " can't be read");
  }
  return true;
}

std::optional<RecordingId> Catalog::Reader::FindByContentHash(std::string_view content_hash) const {
  if (content_hash.empty()) return std::nullopt;
  MDB_val key = ValueOf(content_hash), data;
  int rc = GuardedGet(snapshot_.txn.get(), environment_->by_content, &key, &data);
  if (rc == MDB_NOTFOUND) return std::nullopt;
  if (rc != MDB_SUCCESS) ThrowLmdbError(rc, environment_->directory, "read");
  return IdOf(data, environment_->directory);
}

std::optional<RecordingId> Catalog::Reader::FindBySourcePath(std::string_view source_path) const {
  if (source_path.empty()) return std::nullopt;
  std::string path_key = PathKey(source_path);
  MDB_val key = ValueOf(path_key), data;
  int rc = GuardedGet(snapshot_.txn.get(), environment_->by_path, &key, &data);
  if (rc == MDB_NOTFOUND) return std::nullopt;
  if (rc != MDB_SUCCESS) ThrowLmdbError(rc, environment_->directory, "read");
  RecordingId id = IdOf(data, environment_->directory);
  if (path_key.size() != source_path.size()) {
    // A hashed key: make sure it is this path and not one sharing its hash.
    std::optional<Recording> recording = GetRecording(id);
    if (!recording || recording->source_path != source_path) return std::nullopt;
  }
  return id;
}

void Catalog::Reader::ForEachRecording(
    const std::function<bool(RecordingId, const Recording&)>& visit) const {
  const fs::path& directory = environment_->directory;
  Cursor cursor(snapshot_.txn.get(), environment_->recordings, directory);
  // The landmark lists, walked in step: each record has one, and each list
  // a record (record_lookup.h).
  Cursor lists(snapshot_.txn.get(), environment_->hash_lists, directory);
  MDB_val key, data, list_key, list_data;
  std::uint64_t visited = 0;
  int rc = GuardedCursorGet(cursor.get(), &key, &data, MDB_FIRST);
  int list_rc = GuardedCursorGet(lists.get(), &list_key, &list_data, MDB_FIRST);
  for (; rc == MDB_SUCCESS; rc = GuardedCursorGet(cursor.get(), &key, &data, MDB_NEXT)) {
    const RecordingId id = IdOf(key, directory);
    if (list_rc != MDB_SUCCESS && list_rc != MDB_NOTFOUND)
      ThrowLmdbError(list_rc, directory, "read");
    const std::optional<RecordingId> listed =
        list_rc == MDB_SUCCESS ? std::optional(IdOf(list_key, directory)) : std::nullopt;
    if (listed && *listed < id) FailRecordMissing(*environment_, *listed);
    if (listed != id) FailLandmarkListMissing(*environment_, id);
    ++visited;
    if (!visit(id, Decode(id, data))) return;
    list_rc = GuardedCursorGet(lists.get(), &list_key, &list_data, MDB_NEXT);
  }
  if (rc != MDB_NOTFOUND) ThrowLmdbError(rc, directory, "read");
  if (list_rc == MDB_SUCCESS) FailRecordMissing(*environment_, IdOf(list_key, directory));
  // The count LMDB keeps is what readers report and the matcher weighs
  // chance by: records lost from a page leave it as it was.
  if (const std::uint64_t counted = RecordingCount(); visited != counted) {
    FailDamaged(directory, "it counts " + std::to_string(counted) + " recordings and holds " +
                               std::to_string(visited));
  }
}

std::optional<Artwork> Catalog::Reader::ReadArtwork(std::string_view artwork_file) const {
  if (artwork_file.empty() || artwork_file.find('/') != std::string_view::npos) return std::nullopt;
  // Only plim writes the folder: a link or a special file there was put by
  // someone else, and is not followed out of the catalog.
  try {
    return ReadPictureFile(
        (environment_->directory / "artwork" / std::string(artwork_file)).string(),
        PictureLinks::kRefuse);
  } catch (const foundation::NSError&) {
    return std::nullopt;
  }
}

std::uint64_t Catalog::Reader::RecordingCount() const {
  MDB_stat stat;
  int rc = mdb_stat(snapshot_.txn.get(), environment_->recordings, &stat);
  if (rc != MDB_SUCCESS) ThrowLmdbError(rc, environment_->directory, "read");
  return stat.ms_entries;
}

// The two totals are kept so that nothing need add them up; stats, their
// one reader, adds up the records all the same, so that a total changed by
// damage is an error rather than a different answer.

std::uint64_t Catalog::Reader::LandmarkCount() const {
  const std::uint64_t kept = CountPostings(snapshot_.txn.get(), *environment_);
  std::uint64_t sum = 0;
  ForEachRecording([&](RecordingId, const Recording& recording) {
    sum += recording.landmark_count;
    return true;
  });
  if (sum != kept) {
    FailDamaged(environment_->directory, "the count of postings it keeps (" + std::to_string(kept) +
                                             ") is not its recordings' (" + std::to_string(sum) +
                                             ")");
  }
  return kept;
}

double Catalog::Reader::TotalDurationS() const {
  const std::uint64_t kept_us =
      ReadMetaNumber(*environment_, snapshot_.txn.get(), kMetaTotalDurationUs, 0);
  std::uint64_t sum_us = 0;
  ForEachRecording([&](RecordingId, const Recording& recording) {
    sum_us += DurationUs(recording.duration_s);
    return true;
  });
  if (sum_us != kept_us) {
    FailDamaged(environment_->directory, "the total duration it keeps (" + std::to_string(kept_us) +
                                             " microseconds) is not the sum of its recordings' (" +
                                             std::to_string(sum_us) + " microseconds)");
  }
  return static_cast<double>(kept_us) / 1e6;
}

}  // namespace plim::catalog
