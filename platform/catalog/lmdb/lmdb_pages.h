// A check of the pages of data.mdb made by reading the file, not mapping it:
// LMDB 0.9 trusts the offsets and sizes inside its pages, so a damaged one
// can send it reading outside the page and the process dies. This check
// finds such pages first, so that a walk of the whole catalog can leave the
// tables they belong to alone. Internal to the catalog.

#ifndef PLIM_PLATFORM_CATALOG_LMDB_LMDB_PAGES_H_
#define PLIM_PLATFORM_CATALOG_LMDB_LMDB_PAGES_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace plim::catalog {

struct MalformedPage {
  std::string table;  // the named table it belongs to, or "" for LMDB's own
  std::uint64_t page = 0;
  std::string what;
};

// Walks every table's tree in `directory`/data.mdb from the newest meta
// page, checking each page's header, node offsets and sizes, child and
// overflow page numbers against the file. Reads the file with pread;
// memory and time in proportion to the file. The caller holds a read
// snapshot, so that no writer frees the pages it reads meanwhile. Throws
// foundation::NSError (kCatalogErrorCannotOpen) when the file can't be read.
std::vector<MalformedPage> FindMalformedPages(const std::filesystem::path& directory);

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_LMDB_LMDB_PAGES_H_
