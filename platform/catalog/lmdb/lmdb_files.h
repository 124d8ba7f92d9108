// Checks of the files LMDB is about to map, made before it maps them: a page
// of a mapped file that is not backed by the disk kills the process with
// SIGBUS instead of failing a call. Internal to the catalog.

#ifndef PLIM_PLATFORM_CATALOG_LMDB_LMDB_FILES_H_
#define PLIM_PLATFORM_CATALOG_LMDB_LMDB_FILES_H_

#include <filesystem>

namespace plim::catalog {

// Checks the two meta pages of `directory`/data.mdb, when it exists and is
// not empty: their page type, magic number, version and page size, and that
// the last page each names, and each table's root, lie within the file.
// LMDB reads no page beyond the newest meta's last page, so a file that
// passes is safe to map. Throws foundation::NSError in kCatalogErrorDomain:
// kCatalogErrorNotACatalog when neither meta page is LMDB's or data.mdb is
// not a regular file (a named pipe, a device, a dangling link: never opened
// in a way that could block), kCatalogErrorDamaged (naming data.mdb) for
// anything else out of order, an empty data.mdb beside the artwork folder
// included, kCatalogErrorCannotOpen when it can't be read.
// Returns false when there is no database yet: no data.mdb, or an empty one
// in a directory where no catalog was ever opened for writing.
bool CheckDataFile(const std::filesystem::path& directory);

// Creates `directory`/lock.mdb if needed and has the file system allocate all
// of it (posix_fallocate) at the size LMDB gives it for `max_readers`
// readers, or its present size if larger, so that LMDB's writes to the
// mapped lock file can't meet a full disk. Throws foundation::NSError
// (kCatalogErrorCannotOpen, "no space left on device") when the space can't
// be had; any other failure (a read-only directory or file system) is left
// for LMDB to meet and report.
void AllocateLockFile(const std::filesystem::path& directory, unsigned max_readers);

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_LMDB_LMDB_FILES_H_
