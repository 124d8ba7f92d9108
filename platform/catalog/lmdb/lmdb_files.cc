#include "platform/catalog/lmdb/lmdb_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "platform/catalog/catalog_error.h"
#include "platform/catalog/lmdb/catalog_environment.h"
#include "platform/foundation/ns_error.h"

namespace plim::catalog {
namespace {

// LMDB 0.9's file layout (mdb.c): every page starts with a 16-byte header
// whose flags at byte 10 mark a meta page; the meta follows it. Pages 0 and
// 1 are the two metas, of which LMDB uses the one with the larger txnid.
constexpr std::size_t kPageFlagsAt = 10;
constexpr std::uint16_t kMetaPageFlag = 0x08;
constexpr std::size_t kMetaAt = 16;
constexpr std::size_t kMagicAt = kMetaAt + 0;
constexpr std::size_t kVersionAt = kMetaAt + 4;
constexpr std::size_t kMapSizeAt = kMetaAt + 16;
// The free-page table's record, then the main table's, 48 bytes each; the
// page size is kept in the first one's padding.
constexpr std::size_t kPageSizeAt = kMetaAt + 24;
constexpr std::size_t kFreeRootAt = kMetaAt + 24 + 40;
constexpr std::size_t kMainRootAt = kMetaAt + 72 + 40;
constexpr std::size_t kLastPageAt = kMetaAt + 120;
constexpr std::size_t kMetaEnd = kMetaAt + 136;
constexpr std::uint32_t kMagic = 0xBEEFC0DE;
constexpr std::uint32_t kDataVersion = 1;
constexpr std::uint64_t kNoPage = ~std::uint64_t{0};
constexpr std::uint32_t kSmallestPageBytes = 512;
constexpr std::uint32_t kLargestPageBytes = 65536;
// No catalog's map comes near this; a larger one is a damaged size field,
// which LMDB would try to map.
constexpr std::uint64_t kLargestMapBytes = std::uint64_t{1} << 44;
// The lock file's header and one reader's slot, each padded to a cache line.
constexpr std::uint64_t kLockHeaderBytes = 192;
constexpr std::uint64_t kReaderSlotBytes = 64;

std::uint64_t ReadLittleEndian(const unsigned char* bytes, int size) {
  std::uint64_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

struct FileCloser {
  int fd;
  ~FileCloser() {
    if (fd >= 0) close(fd);
  }
};

[[noreturn]] void Fail(std::int64_t code, std::string description) {
  throw foundation::NSError(kCatalogErrorDomain, code, std::move(description));
}

// The page size of the meta page at `offset`, when it is an LMDB meta page.
std::optional<std::uint32_t> MetaPageSize(int fd, std::uint64_t offset, unsigned char* meta) {
  if (pread(fd, meta, kMetaEnd, static_cast<off_t>(offset)) != static_cast<ssize_t>(kMetaEnd)) {
    return std::nullopt;
  }
  if ((ReadLittleEndian(meta + kPageFlagsAt, 2) & kMetaPageFlag) == 0 ||
      ReadLittleEndian(meta + kMagicAt, 4) != kMagic) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(ReadLittleEndian(meta + kPageSizeAt, 4));
}

const char* KindOfFile(mode_t mode) {
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISDIR(mode)) return "a directory";
  return "not a regular file";
}

// LMDB would block opening a named pipe, map a device such as /dev/zero as
// an endless database, and create a file wherever a dangling link points.
[[noreturn]] void FailNotAFile(const std::filesystem::path& directory, const char* kind) {
  Fail(kCatalogErrorNotACatalog, "The directory " + QuotedPath(directory) +
                                     " holds a data.mdb that is " + kind +
                                     ", not a database file: refusing to use it");
}

[[noreturn]] void FailCannotOpen(const std::filesystem::path& directory) {
  Fail(kCatalogErrorCannotOpen,
       "Could not open the catalog at " + QuotedPath(directory) + ": " + std::strerror(errno));
}

}  // namespace

bool CheckDataFile(const std::filesystem::path& directory) {
  const std::filesystem::path file = directory / "data.mdb";
  struct stat named;
  if (lstat(file.c_str(), &named) != 0) {
    if (errno == ENOENT) return false;
    FailCannotOpen(directory);
  }
  if (S_ISLNK(named.st_mode) && stat(file.c_str(), &named) != 0) {
    if (errno == ENOENT) FailNotAFile(directory, "a link to nothing");
    FailCannotOpen(directory);
  }
  if (!S_ISREG(named.st_mode)) FailNotAFile(directory, KindOfFile(named.st_mode));
  // Not blocking, should a pipe have taken the file's place since.
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) FailCannotOpen(directory);
  FileCloser closer{fd};
  struct stat status;
  if (fstat(fd, &status) != 0) FailCannotOpen(directory);
  if (!S_ISREG(status.st_mode)) FailNotAFile(directory, KindOfFile(status.st_mode));
  if (status.st_size == 0) {
    // LMDB writes its meta pages as it creates the file, and the artwork
    // folder is made only once it has: an empty file beside one is a catalog
    // that lost its data, not a first add stopped before saving anything.
    std::error_code error;
    if (!std::filesystem::exists(directory / "artwork", error) && !error) return false;
    Fail(kCatalogErrorDamaged,
         "The catalog at " + QuotedPath(directory) +
             " is damaged: its file data.mdb is empty, though the catalog was in use; restore "
             "it from a backup, or move the catalog away and fill a new one with plim-catalog add");
  }
  const auto file_bytes = static_cast<std::uint64_t>(status.st_size);
  const std::string damaged = "The catalog at " + QuotedPath(directory) +
                              " is damaged: its file data.mdb (" + std::to_string(file_bytes) +
                              " bytes) ";
  const std::string advice = "; move the catalog away and fill a new one with plim-catalog add";

  unsigned char metas[2][kMetaEnd] = {};
  std::optional<std::uint32_t> page_bytes = MetaPageSize(fd, 0, metas[0]);
  std::optional<std::uint32_t> second_page_bytes;
  if (page_bytes) {
    second_page_bytes = MetaPageSize(fd, *page_bytes, metas[1]);
  } else {
    // The first meta is gone; the second one, found at any page size, tells
    // damage from a file that never was LMDB's.
    for (std::uint32_t size = kSmallestPageBytes; size <= kLargestPageBytes && !second_page_bytes;
         size *= 2) {
      second_page_bytes = MetaPageSize(fd, size, metas[1]);
    }
    if (!second_page_bytes) {
      Fail(kCatalogErrorNotACatalog, "The directory " + QuotedPath(directory) +
                                         " holds a data.mdb that is not a database: refusing "
                                         "to use it");
    }
  }
  if (!page_bytes || !second_page_bytes || *page_bytes != *second_page_bytes) {
    Fail(kCatalogErrorDamaged, damaged + "has a meta page that is not one" + advice);
  }
  const std::uint32_t size = *page_bytes;
  if (size < kSmallestPageBytes || size > kLargestPageBytes || (size & (size - 1)) != 0) {
    Fail(kCatalogErrorDamaged,
         damaged + "names an impossible page size, " + std::to_string(size) + " bytes" + advice);
  }
  for (const unsigned char* meta : metas) {
    if (ReadLittleEndian(meta + kVersionAt, 4) != kDataVersion) {
      Fail(kCatalogErrorDamaged, damaged + "has a meta page of an unknown version" + advice);
    }
    const std::uint64_t last_page = ReadLittleEndian(meta + kLastPageAt, 8);
    // Written as (last_page + 1) * size <= file_bytes without overflowing.
    if (last_page < 1 || last_page >= file_bytes / size) {
      Fail(kCatalogErrorDamaged, damaged + "ends before its last page (page " +
                                     std::to_string(last_page) + ", of " + std::to_string(size) +
                                     " bytes each)" + advice);
    }
    for (std::size_t at : {kFreeRootAt, kMainRootAt}) {
      const std::uint64_t root = ReadLittleEndian(meta + at, 8);
      if (root != kNoPage && (root < 2 || root > last_page)) {
        Fail(kCatalogErrorDamaged, damaged + "names a table root outside the file" + advice);
      }
    }
    if (ReadLittleEndian(meta + kMapSizeAt, 8) > kLargestMapBytes) {
      Fail(kCatalogErrorDamaged, damaged + "names an impossible map size" + advice);
    }
  }
  return true;
}

void AllocateLockFile(const std::filesystem::path& directory, unsigned max_readers) {
  const std::filesystem::path file = directory / "lock.mdb";
  const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  FileCloser closer{fd};
  struct stat status;
  if (fstat(fd, &status) != 0) return;
  // LMDB keeps a lock file of another size as it is, so the present size is
  // kept whenever it is at least LMDB's own.
  const std::uint64_t lmdb_bytes = kLockHeaderBytes + (max_readers - 1) * kReaderSlotBytes;
  const std::uint64_t bytes = std::max(lmdb_bytes, static_cast<std::uint64_t>(status.st_size));
  const int error = posix_fallocate(fd, 0, static_cast<off_t>(bytes));
  if (error == ENOSPC || error == EDQUOT) {
    Fail(kCatalogErrorCannotOpen, "Could not open the catalog at " + QuotedPath(directory) +
                                      ": no space left on device for its lock file");
  }
}

}  // namespace plim::catalog
