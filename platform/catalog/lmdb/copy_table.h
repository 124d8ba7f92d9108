// The LMDB catalog's table of recordings' copies, within a write
// transaction of the catalog's own.
//
// Internal to the catalog.

#ifndef PLIM_PLATFORM_CATALOG_LMDB_COPY_TABLE_H_
#define PLIM_PLATFORM_CATALOG_LMDB_COPY_TABLE_H_

#include <lmdb.h>

#include <optional>
#include <string_view>

#include "platform/catalog/lmdb/catalog_environment.h"
#include "platform/catalog/recording.h"

namespace plim::catalog {

// The copy stored at `path`, whatever its recording; nullopt when none.
// Throws NSError (kCatalogErrorDamaged) for a value that does not decode.
std::optional<RecordingCopy> ReadCopy(MDB_txn* txn, const Environment& e, std::string_view path);

// Deletes the copy stored at `path`, if any.
void DeleteCopyAt(MDB_txn* txn, const Environment& e, std::string_view path);

// Deletes every copy of recording `id` (a scan: copies are few).
void DeleteCopiesOf(MDB_txn* txn, const Environment& e, RecordingId id);

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_LMDB_COPY_TABLE_H_
