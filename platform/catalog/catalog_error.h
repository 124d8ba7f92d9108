// The errors a catalog reports.

#ifndef PLIM_PLATFORM_CATALOG_CATALOG_ERROR_H_
#define PLIM_PLATFORM_CATALOG_CATALOG_ERROR_H_

#include <cstdint>

namespace plim::catalog {

// Every catalog failure is a foundation::NSError in this domain, with one of
// the codes below; its description names the catalog directory or file and
// says what is wrong in words a user can act on.
inline constexpr char kCatalogErrorDomain[] = "PLIMCatalog";

// Opened for reading, but the directory does not exist or holds no catalog yet.
inline constexpr std::int64_t kCatalogErrorNoCatalog = 1;
// The path is a file, or a directory with other content: refused, never touched.
inline constexpr std::int64_t kCatalogErrorNotACatalog = 2;
// Made by another plim with a layout this one can't read: a newer one, or an
// older one whose catalogs must be rebuilt.
inline constexpr std::int64_t kCatalogErrorNewerFormat = 3;
// The operating system refused (permission denied, too many open files...).
inline constexpr std::int64_t kCatalogErrorCannotOpen = 4;
// A caller's mistake: a write on a read-only catalog, a malformed record.
inline constexpr std::int64_t kCatalogErrorInvalidArgument = 5;
// Built with another fingerprint version: its landmarks can't be compared
// with today's, so it must be rebuilt.
inline constexpr std::int64_t kCatalogErrorFingerprintMismatch = 6;
// A change could not be written (disk full, I/O error); nothing of it was kept.
inline constexpr std::int64_t kCatalogErrorCannotWrite = 7;
// Stored data that does not parse: the catalog was damaged from outside.
inline constexpr std::int64_t kCatalogErrorDamaged = 8;

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_CATALOG_ERROR_H_
