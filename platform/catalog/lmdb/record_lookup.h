// Finding a recording's record by id in a way that tells a recording that
// was never added, or was removed, from one whose record is gone while the
// rest of it is still there.
//
// Every recording has a landmark list (the hash_lists table, same key)
// written and removed with its record in one transaction, so the two stand
// or go together: a list without a record, or a record without a list, is
// damage. Checking the other costs one more lookup per record read.
//
// Internal to the catalog.

#ifndef PLIM_PLATFORM_CATALOG_LMDB_RECORD_LOOKUP_H_
#define PLIM_PLATFORM_CATALOG_LMDB_RECORD_LOOKUP_H_

#include <lmdb.h>

#include <optional>

#include "platform/catalog/lmdb/catalog_environment.h"
#include "platform/catalog/recording.h"

namespace plim::catalog {

// The stored bytes of recording `id`'s record in `txn` (valid while `txn`
// is), or nullopt when the catalog has no recording `id`. Throws NSError:
// kCatalogErrorDamaged (FailDamaged) when the record is there without its
// landmark list or the list without its record, and as ThrowLmdbError for
// a failed read.
std::optional<MDB_val> FindRecord(MDB_txn* txn, const Environment& environment, RecordingId id);

// Throw that damage (kCatalogErrorDamaged) for recording `id`: its record
// is missing while its landmark list is there, or the other way round.
[[noreturn]] void FailRecordMissing(const Environment& environment, RecordingId id);
[[noreturn]] void FailLandmarkListMissing(const Environment& environment, RecordingId id);

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_LMDB_RECORD_LOOKUP_H_
