// The copies of recordings in the LMDB catalog: another path per entry,
// kept apart from the records so that older catalogs read as they are.

#include <optional>
#include <string>

#include "platform/catalog/catalog_error.h"
#include "platform/catalog/copy_format.h"
#include "platform/catalog/lmdb/catalog.h"
#include "platform/catalog/lmdb/copy_table.h"
#include "platform/catalog/lmdb/lmdb_guard.h"
#include "platform/catalog/lmdb/record_lookup.h"
#include "platform/catalog/record_format.h"
#include "platform/foundation/ns_error.h"

namespace plim::catalog {
namespace {

void Check(int rc, const Environment& e) {
  if (rc != MDB_SUCCESS) ThrowLmdbError(rc, e.directory, "write to");
}

RecordingCopy DecodeOrFail(const MDB_val& value, const Environment& e) {
  std::optional<RecordingCopy> copy = DecodeRecordingCopy(ViewOf(value));
  if (!copy) {
    FailDamaged(e.directory, "a copy of a recording can't be read");
  }
  return std::move(*copy);
}

bool HasRecording(MDB_txn* txn, const Environment& e, RecordingId id) {
  return FindRecord(txn, e, id).has_value();
}

// The path recording `id` was added from; nullopt when there is no such recording.
std::optional<std::string> SourcePathOf(MDB_txn* txn, const Environment& e, RecordingId id) {
  const std::optional<MDB_val> data = FindRecord(txn, e, id);
  if (!data) return std::nullopt;
  std::optional<Recording> recording = DecodeRecording(ViewOf(*data));
  if (!recording) FailDamaged(e.directory, "recording " + std::to_string(id) + " can't be read");
  return std::move(recording->source_path);
}

}  // namespace

std::optional<RecordingCopy> ReadCopy(MDB_txn* txn, const Environment& e, std::string_view path) {
  if (!e.has_copies || path.empty()) return std::nullopt;
  const std::string path_key = PathKey(path);
  MDB_val key = ValueOf(path_key), data;
  int rc = GuardedGet(txn, e.copies, &key, &data);
  if (rc == MDB_NOTFOUND) return std::nullopt;
  if (rc != MDB_SUCCESS) ThrowLmdbError(rc, e.directory, "read");
  RecordingCopy copy = DecodeOrFail(data, e);
  // A hashed key: make sure it is this path and not one sharing its hash.
  if (copy.path != path) return std::nullopt;
  return copy;
}

void DeleteCopyAt(MDB_txn* txn, const Environment& e, std::string_view path) {
  if (!ReadCopy(txn, e, path)) return;
  const std::string path_key = PathKey(path);
  MDB_val key = ValueOf(path_key);
  Check(mdb_del(txn, e.copies, &key, nullptr), e);
}

void DeleteCopiesOf(MDB_txn* txn, const Environment& e, RecordingId id) {
  if (!e.has_copies) return;
  Cursor cursor(txn, e.copies, e.directory);
  MDB_val key, data;
  int rc = GuardedCursorGet(cursor.get(), &key, &data, MDB_FIRST);
  while (rc == MDB_SUCCESS) {
    if (DecodeOrFail(data, e).id == id) Check(mdb_cursor_del(cursor.get(), 0), e);
    rc = GuardedCursorGet(cursor.get(), &key, &data, MDB_NEXT);
  }
  if (rc != MDB_NOTFOUND) Check(rc, e);
}

bool Catalog::AddCopy(const RecordingCopy& copy) {
  RequireWritable();
  Environment& e = *environment_;
  bool added = false;
  RunWrite(e, [&](MDB_txn* txn) {
    // The file a recording was added from is no copy of it (two adds of
    // one file at once each find the other's).
    const std::optional<std::string> own_path = SourcePathOf(txn, e, copy.id);
    added = own_path && *own_path != copy.path && !copy.path.empty();
    if (!added) return;
    const std::string path_key = PathKey(copy.path), value = EncodeRecordingCopy(copy);
    MDB_val key = ValueOf(path_key), data = ValueOf(value);
    Check(mdb_put(txn, e.copies, &key, &data, 0), e);
  });
  return added;
}

std::optional<RecordingCopy> Catalog::RemoveCopy(std::string_view path) {
  RequireWritable();
  Environment& e = *environment_;
  std::optional<RecordingCopy> removed;
  RunWrite(e, [&](MDB_txn* txn) {
    removed = ReadCopy(txn, e, path);
    if (removed) DeleteCopyAt(txn, e, path);
  });
  return removed;
}

std::optional<RecordingCopy> Catalog::Reader::FindCopy(std::string_view path) const {
  std::optional<RecordingCopy> copy = ReadCopy(snapshot_.txn.get(), *environment_, path);
  if (copy && !HasRecording(snapshot_.txn.get(), *environment_, copy->id)) return std::nullopt;
  return copy;
}

void Catalog::Reader::ForEachCopy(const std::function<bool(const RecordingCopy&)>& visit) const {
  const Environment& e = *environment_;
  if (!e.has_copies) return;
  Cursor cursor(snapshot_.txn.get(), e.copies, e.directory);
  MDB_val key, data;
  int rc = GuardedCursorGet(cursor.get(), &key, &data, MDB_FIRST);
  while (rc == MDB_SUCCESS) {
    RecordingCopy copy = DecodeOrFail(data, e);
    if (HasRecording(snapshot_.txn.get(), e, copy.id) && !visit(copy)) return;
    rc = GuardedCursorGet(cursor.get(), &key, &data, MDB_NEXT);
  }
  if (rc != MDB_NOTFOUND) ThrowLmdbError(rc, e.directory, "read");
}

}  // namespace plim::catalog
