#include "platform/catalog/lmdb/record_lookup.h"

#include <string>

#include "platform/catalog/lmdb/lmdb_guard.h"

namespace plim::catalog {
namespace {

bool HasLandmarkList(MDB_txn* txn, const Environment& e, RecordingId id) {
  MDB_val key = ValueOf(&id, sizeof id), data;
  const int rc = GuardedGet(txn, e.hash_lists, &key, &data);
  if (rc == MDB_NOTFOUND) return false;
  if (rc != MDB_SUCCESS) ThrowLmdbError(rc, e.directory, "read");
  return true;
}

}  // namespace

std::optional<MDB_val> FindRecord(MDB_txn* txn, const Environment& e, RecordingId id) {
  MDB_val key = ValueOf(&id, sizeof id), data;
  const int rc = GuardedGet(txn, e.recordings, &key, &data);
  if (rc == MDB_NOTFOUND) {
    // A flipped key or a lost node leaves the landmarks of a recording
    // whose record no lookup finds: an answer of "no such recording"
    // would be a different answer, not an error.
    if (HasLandmarkList(txn, e, id)) FailRecordMissing(e, id);
    return std::nullopt;
  }
  if (rc != MDB_SUCCESS) ThrowLmdbError(rc, e.directory, "read");
  if (!HasLandmarkList(txn, e, id)) FailLandmarkListMissing(e, id);
  return data;
}

void FailRecordMissing(const Environment& e, RecordingId id) {
  FailDamaged(e.directory, "the record of recording " + std::to_string(id) +
                               " is missing, while its landmarks are there");
}

void FailLandmarkListMissing(const Environment& e, RecordingId id) {
  FailDamaged(e.directory, "recording " + std::to_string(id) + " has no landmark list");
}

}  // namespace plim::catalog
