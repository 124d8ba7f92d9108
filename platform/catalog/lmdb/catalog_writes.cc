// Catalog::Add, Catalog::Remove and Catalog::Correct(All): each change is one write transaction
// covering the record, its postings, its lookup entries and the totals.

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/catalog/artwork_files.h"
#include "platform/catalog/catalog_error.h"
#include "platform/catalog/lmdb/catalog.h"
#include "platform/catalog/lmdb/copy_table.h"
#include "platform/catalog/lmdb/index_layout.h"
#include "platform/catalog/lmdb/lmdb_guard.h"
#include "platform/catalog/lmdb/posting_index.h"
#include "platform/catalog/lmdb/record_lookup.h"
#include "platform/catalog/peak_blocks.h"
#include "platform/catalog/prepared_recording.h"
#include "platform/catalog/record_format.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/url.h"
#include "platform/foundation/utf8.h"

namespace plim::catalog {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(std::int64_t code, std::string description) {
  throw foundation::NSError(kCatalogErrorDomain, code, std::move(description));
}

void Check(int rc, const Environment& e) {
  if (rc != MDB_SUCCESS) ThrowLmdbError(rc, e.directory, "write to");
}

std::optional<RecordingId> GetId(MDB_txn* txn, MDB_dbi dbi, std::string_view key_text,
                                 const Environment& e) {
  MDB_val key = ValueOf(key_text), data;
  int rc = GuardedGet(txn, dbi, &key, &data);
  if (rc == MDB_NOTFOUND) return std::nullopt;
  Check(rc, e);
  if (data.mv_size != sizeof(RecordingId)) return std::nullopt;
  RecordingId id;
  std::memcpy(&id, data.mv_data, sizeof id);
  return id;
}

void PutId(MDB_txn* txn, MDB_dbi dbi, std::string_view key_text, RecordingId id,
           const Environment& e) {
  MDB_val key = ValueOf(key_text), data = ValueOf(&id, sizeof id);
  Check(mdb_put(txn, dbi, &key, &data, 0), e);
}

// Deletes `key_text` from `dbi` only while it still names `id`: a later
// recording may have taken the path over.
void DeleteIdIfOwned(MDB_txn* txn, MDB_dbi dbi, std::string_view key_text, RecordingId id,
                     const Environment& e) {
  if (GetId(txn, dbi, key_text, e) != id) return;
  MDB_val key = ValueOf(key_text);
  Check(mdb_del(txn, dbi, &key, nullptr), e);
}

// Adds `delta` (+1 or -1) to the number of recordings using picture `name`;
// the entry goes when it reaches zero.
void CountArtworkUse(MDB_txn* txn, const Environment& e, const std::string& name, int delta) {
  MDB_val key = ValueOf(name), data;
  std::uint32_t count = 0;
  int rc = GuardedGet(txn, e.artwork, &key, &data);
  if (rc == MDB_SUCCESS && data.mv_size == sizeof count) {
    std::memcpy(&count, data.mv_data, sizeof count);
  } else if (rc != MDB_NOTFOUND && rc != MDB_SUCCESS) {
    Check(rc, e);
  }
  count = delta > 0 ? count + 1 : (count > 0 ? count - 1 : 0);
  if (count == 0) {
    rc = mdb_del(txn, e.artwork, &key, nullptr);
    if (rc != MDB_NOTFOUND) Check(rc, e);
  } else {
    data = ValueOf(&count, sizeof count);
    Check(mdb_put(txn, e.artwork, &key, &data, 0), e);
  }
}

bool ArtworkInUse(MDB_txn* txn, const Environment& e, const std::string& name) {
  MDB_val key = ValueOf(name), data;
  int rc = GuardedGet(txn, e.artwork, &key, &data);
  if (rc == MDB_NOTFOUND) return false;
  Check(rc, e);
  return true;
}

// Recording `id` as stored, or nullopt when there is none; throws when it
// can't be read.
std::optional<Recording> ReadInTransaction(MDB_txn* txn, const Environment& e, RecordingId id) {
  std::optional<MDB_val> data = FindRecord(txn, e, id);
  if (!data) return std::nullopt;
  std::optional<Recording> recording = DecodeRecording(ViewOf(*data));
  if (!recording) {
    FailDamaged(e.directory, "recording " + std::to_string(id) + " can't be read");
  }
  return recording;
}

// Gives a recording returned to the caller the file:// URL of its picture
// in `artwork_folder`, as readers give it.
void PointAtPicture(std::optional<Recording>& recording, const fs::path& artwork_folder) {
  if (recording && !recording->artwork_file.empty()) {
    recording->artwork_url =
        foundation::URL::fileURLWithPath((artwork_folder / recording->artwork_file).string())
            .absoluteString();
  }
}

// Stores `peaks` (ordered by time) and `outline` as the peak blocks of
// recording `id`.
void PutPeaks(MDB_txn* txn, const Environment& e, RecordingId id,
              std::span<const fingerprint::Peak> peaks, const fingerprint::BandOutline& outline) {
  ForEachPeakBlock(peaks, outline, id, [&](std::uint32_t block, const std::string& value) {
    const PeakBlockKey key_bytes = EncodePeakBlockKey(id, block);
    MDB_val key = ValueOf(key_bytes.bytes, sizeof key_bytes.bytes), data = ValueOf(value);
    Check(mdb_put(txn, e.peaks, &key, &data, 0), e);
  });
}

// Deletes every peak block of recording `id`: they are adjacent in key order.
void DeletePeaks(MDB_txn* txn, const Environment& e, RecordingId id) {
  if (!e.has_peaks) return;
  Cursor cursor(txn, e.peaks, e.directory);
  const PeakBlockKey first = EncodePeakBlockKey(id, 0);
  int rc;
  for (;;) {
    // Sought afresh after each delete: a recording has few blocks.
    MDB_val key = ValueOf(first.bytes, sizeof first.bytes), data;
    rc = GuardedCursorGet(cursor.get(), &key, &data, MDB_SET_RANGE);
    if (rc != MDB_SUCCESS || key.mv_size != sizeof first.bytes ||
        RecordingOfPeakBlockKey(static_cast<const unsigned char*>(key.mv_data)) != id) {
      break;
    }
    Check(mdb_cursor_del(cursor.get(), 0), e);
  }
  if (rc != MDB_SUCCESS && rc != MDB_NOTFOUND) Check(rc, e);
}

// Removes recording `id` within `txn`: its postings (found through its hash
// list, so no scan of the index), record, lookup entries and share of the
// totals. Pictures it stops using are appended to `released_artwork`.
std::optional<Recording> RemoveInTransaction(MDB_txn* txn, const Environment& e, RecordingId id,
                                             std::uint64_t& total_duration_us,
                                             std::vector<std::string>& released_artwork) {
  std::optional<Recording> recording = ReadInTransaction(txn, e, id);
  if (!recording) return std::nullopt;

  MDB_val id_key = ValueOf(&id, sizeof id), data;
  std::vector<std::uint32_t> hash_prefixes;
  int rc = GuardedGet(txn, e.hash_lists, &id_key, &data);
  if (rc == MDB_SUCCESS && !DecodeHashList(ViewOf(data), hash_prefixes)) {
    FailDamaged(e.directory, "the landmarks of recording " + std::to_string(id) + " can't be read");
  }
  if (rc != MDB_NOTFOUND) Check(rc, e);
  DeletePostings(txn, e, id, hash_prefixes);
  DeletePeaks(txn, e, id);
  DeleteCopiesOf(txn, e, id);
  Check(mdb_del(txn, e.recordings, &id_key, nullptr), e);
  rc = mdb_del(txn, e.hash_lists, &id_key, nullptr);
  if (rc != MDB_NOTFOUND) Check(rc, e);
  DeleteIdIfOwned(txn, e.by_content, recording->content_hash, id, e);
  if (!recording->source_path.empty()) {
    DeleteIdIfOwned(txn, e.by_path, PathKey(recording->source_path), id, e);
  }
  if (!recording->artwork_file.empty()) {
    CountArtworkUse(txn, e, recording->artwork_file, -1);
    released_artwork.push_back(recording->artwork_file);
  }
  total_duration_us -= std::min(total_duration_us, DurationUs(recording->duration_s));
  return recording;
}

// Pictures of `released` that no recording uses once the transaction commits.
std::vector<std::string> UnusedArtwork(MDB_txn* txn, const Environment& e,
                                       const std::vector<std::string>& released) {
  std::vector<std::string> unused;
  for (const std::string& name : released) {
    if (!ArtworkInUse(txn, e, name) &&
        std::find(unused.begin(), unused.end(), name) == unused.end()) {
      unused.push_back(name);
    }
  }
  return unused;
}

// Folds fresh postings into the chunks after an add, in transactions of
// their own: none then copies more than a share of the index, so the pages
// LMDB holds back for the previous transaction stay few. Upkeep only: the
// add is saved whatever happens here, and a fold that fails (a full disk)
// leaves its work to the folds after the next add.
void FoldAfterAdding(Environment& e, double quota_postings) {
  if (quota_postings <= 0) return;
  constexpr int kFoldTransactions = 4;
  try {
    for (int i = 0; i < kFoldTransactions; ++i) {
      RunWrite(
          e, [&](MDB_txn* txn) { FoldFreshPostings(txn, e, quota_postings / kFoldTransactions); });
    }
  } catch (const foundation::NSError&) {
    // Nothing of the failed fold was kept; the folds after the next add redo it.
  }
}

}  // namespace

std::vector<AddResult> Catalog::Add(std::span<const NewRecording> batch) {
  RequireWritable();
  if (!fingerprint_matches_) {
    Fail(kCatalogErrorFingerprintMismatch,
         "The catalog at " + QuotedPath(directory()) + " was built with fingerprint version " +
             std::to_string(environment_->fingerprint_version) +
             ", so nothing can be added to it: bring it up to date with plim-catalog rebuild");
  }
  std::vector<PreparedRecording> prepared;
  prepared.reserve(batch.size());
  for (const NewRecording& item : batch) prepared.push_back(Prepare(item, QuotedPath(directory())));

  Environment& e = *environment_;
  const fs::path artwork_folder = directory() / "artwork";
  ArtworkLock artwork_lock(artwork_folder);
  std::vector<AddResult> results;
  std::vector<std::string> unused_artwork;
  double fold_quota = 0;
  RunWrite(e, [&](MDB_txn* txn) {
    results.clear();
    unused_artwork.clear();
    std::vector<std::string> released_artwork;
    std::uint64_t next_id = ReadMetaNumber(e, txn, kMetaNextId, 1);
    std::uint64_t total_us = ReadMetaNumber(e, txn, kMetaTotalDurationUs, 0);
    std::uint64_t added_postings = 0;
    for (const PreparedRecording& p : prepared) {
      const Recording& recording = p.recording;
      if (std::optional<RecordingId> same = GetId(txn, e.by_content, recording.content_hash, e)) {
        results.push_back({AddOutcome::kDuplicate, *same, 0});
        continue;
      }
      AddResult result;
      std::string path_key = PathKey(recording.source_path);
      if (!recording.source_path.empty()) {
        if (std::optional<RecordingId> old = GetId(txn, e.by_path, path_key, e)) {
          if (RemoveInTransaction(txn, e, *old, total_us, released_artwork)) {
            result.outcome = AddOutcome::kReplaced;
            result.replaced_id = *old;
          }
        }
      }
      if (p.requested_id != 0) {
        if (p.requested_id < next_id) {
          Fail(kCatalogErrorInvalidArgument,
               "A recording added to the catalog at " + QuotedPath(e.directory) + " asks for id " +
                   std::to_string(p.requested_id) + ", which is already taken or was given before");
        }
        next_id = p.requested_id;
      }
      if (next_id > kMaxIndexedRecordingId) {
        Fail(kCatalogErrorCannotWrite,
             "The catalog at " + QuotedPath(e.directory) + " has run out of recording ids");
      }
      const auto id = static_cast<RecordingId>(next_id++);
      result.id = id;

      std::string record;
      if (p.artwork != nullptr) {
        EnsureArtworkFile(artwork_folder, p.artwork_file, p.artwork->bytes, p.artwork->permissions);
        CountArtworkUse(txn, e, p.artwork_file, +1);
        Recording with_artwork = recording;
        with_artwork.artwork_file = p.artwork_file;
        record = EncodeRecording(with_artwork);
      } else {
        record = EncodeRecording(recording);
      }
      PutPostings(txn, e, id, p.landmarks);
      PutPeaks(txn, e, id, p.peaks, *p.outline);
      added_postings += p.landmarks.size();
      std::uint64_t postings_digest = 0;
      for (const fingerprint::Landmark& landmark : p.landmarks) {
        postings_digest += PostingDigestShare(IndexValue(landmark.hash, id, landmark.anchor_frame));
      }
      const std::string hash_list = EncodeHashList(p.hash_prefixes, postings_digest);
      MDB_val id_key = ValueOf(&id, sizeof id);
      MDB_val record_value = ValueOf(record), list_value = ValueOf(hash_list);
      Check(mdb_put(txn, e.recordings, &id_key, &record_value, 0), e);
      Check(mdb_put(txn, e.hash_lists, &id_key, &list_value, 0), e);
      PutId(txn, e.by_content, recording.content_hash, id, e);
      if (!recording.source_path.empty()) {
        PutId(txn, e.by_path, path_key, id, e);
        DeleteCopyAt(txn, e, recording.source_path);
      }
      total_us += DurationUs(recording.duration_s);
      results.push_back(result);
    }
    fold_quota = added_postings > 0 ? FoldQuota(txn, e, added_postings) : 0;
    WriteMetaNumber(e, txn, kMetaNextId, next_id);
    WriteMetaNumber(e, txn, kMetaTotalDurationUs, total_us);
    unused_artwork = UnusedArtwork(txn, e, released_artwork);
  });
  for (const std::string& name : unused_artwork) DeleteArtworkFile(artwork_folder, name);
  FoldAfterAdding(e, fold_quota);
  return results;
}

std::optional<Recording> Catalog::Remove(RecordingId id) {
  RequireWritable();
  Environment& e = *environment_;
  const fs::path artwork_folder = directory() / "artwork";
  ArtworkLock artwork_lock(artwork_folder);
  std::optional<Recording> removed;
  std::vector<std::string> unused_artwork;
  RunWrite(e, [&](MDB_txn* txn) {
    std::vector<std::string> released_artwork;
    std::uint64_t total_us = ReadMetaNumber(e, txn, kMetaTotalDurationUs, 0);
    removed = RemoveInTransaction(txn, e, id, total_us, released_artwork);
    WriteMetaNumber(e, txn, kMetaTotalDurationUs, total_us);
    unused_artwork = UnusedArtwork(txn, e, released_artwork);
  });
  for (const std::string& name : unused_artwork) DeleteArtworkFile(artwork_folder, name);
  PointAtPicture(removed, artwork_folder);
  return removed;
}

std::optional<Recording> Catalog::Correct(RecordingId id, const MetadataChange& change) {
  const Correction one{id, change};
  return CorrectAll({&one, 1}).front();
}

std::vector<std::optional<Recording>> Catalog::CorrectAll(std::span<const Correction> changes) {
  RequireWritable();
  Environment& e = *environment_;
  const fs::path artwork_folder = directory() / "artwork";
  ArtworkLock artwork_lock(artwork_folder);
  std::vector<std::string> new_pictures;
  for (const Correction& c : changes) {
    new_pictures.push_back(
        c.change.artwork && !c.change.artwork->bytes.empty()
            ? ArtworkFileName(c.change.artwork->bytes, c.change.artwork->mime_type)
            : "");
  }
  std::vector<std::optional<Recording>> corrected;
  std::vector<std::string> unused_artwork;
  RunWrite(e, [&](MDB_txn* txn) {
    corrected.assign(changes.size(), std::nullopt);
    std::vector<std::string> released_artwork;
    for (std::size_t i = 0; i < changes.size(); ++i) {
      const RecordingId id = changes[i].id;
      const MetadataChange& change = changes[i].change;
      const std::string& new_picture = new_pictures[i];
      std::optional<Recording> r = ReadInTransaction(txn, e, id);
      if (!r) continue;
      MDB_val id_key = ValueOf(&id, sizeof id);
      ApplyMetadataChange(*r, change);
      if (!new_picture.empty() || change.artwork_url) {
        if (!r->artwork_file.empty()) {
          CountArtworkUse(txn, e, r->artwork_file, -1);
          released_artwork.push_back(r->artwork_file);
        }
        r->artwork_file.clear();
        r->artwork_url.clear();
        if (!new_picture.empty()) {
          EnsureArtworkFile(artwork_folder, new_picture, change.artwork->bytes,
                            change.artwork->permissions);
          CountArtworkUse(txn, e, new_picture, +1);
          r->artwork_file = new_picture;
        } else {
          r->artwork_url = foundation::toValidUTF8(*change.artwork_url);
        }
      }
      std::string record = EncodeRecording(*r);
      MDB_val record_value = ValueOf(record);
      Check(mdb_put(txn, e.recordings, &id_key, &record_value, 0), e);
      corrected[i] = std::move(r);
    }
    unused_artwork = UnusedArtwork(txn, e, released_artwork);
  });
  for (const std::string& name : unused_artwork) DeleteArtworkFile(artwork_folder, name);
  for (std::optional<Recording>& r : corrected) PointAtPicture(r, artwork_folder);
  return corrected;
}

}  // namespace plim::catalog
