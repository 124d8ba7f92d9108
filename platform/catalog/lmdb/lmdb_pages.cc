#include "platform/catalog/lmdb/lmdb_pages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <utility>

#include "platform/catalog/catalog_error.h"
#include "platform/catalog/lmdb/catalog_environment.h"
#include "platform/foundation/ns_error.h"

namespace plim::catalog {
namespace {

// LMDB 0.9's layout (mdb.c), 64-bit. A page: its number (8 bytes), the key
// size of a LEAF2 page (2), flags (2), then the ends of the node offsets and
// of the free space (2 + 2), or for an overflow page its page count (4).
constexpr std::size_t kHeaderBytes = 16;
constexpr std::uint16_t kBranch = 0x01, kLeaf = 0x02, kOverflow = 0x04, kLeaf2 = 0x20;
// A node: data size (or a branch's child page) in 2 + 2 (+ the flags' 2)
// bytes, flags, key size, then the key and the data.
constexpr std::size_t kNodeHeaderBytes = 8;
constexpr std::uint16_t kBigData = 0x01, kSubData = 0x02, kDupData = 0x04;
// A table's record (MDB_db): its root page at byte 40 of 48.
constexpr std::size_t kDbRecordBytes = 48;
constexpr std::size_t kDbRootAt = 40;
constexpr std::size_t kMetaAt = 16;
constexpr std::size_t kMainDbAt = kMetaAt + 24 + kDbRecordBytes;
constexpr std::size_t kPageSizeAt = kMetaAt + 24;
constexpr std::size_t kLastPageAt = kMetaAt + 120;
constexpr std::size_t kTxnIdAt = kMetaAt + 128;
constexpr std::uint64_t kNoPage = ~std::uint64_t{0};
constexpr int kMaxDepth = 32;

std::uint64_t Load(const unsigned char* bytes, int size) {
  std::uint64_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

class PageWalk {
 public:
  PageWalk(int fd, std::uint64_t page_bytes, std::uint64_t last_page)
      : fd_(fd), page_bytes_(page_bytes), last_page_(last_page) {}

  // Checks the tree rooted at `root` of table `table` (main: "").
  void Tree(const std::string& table, std::uint64_t root, int depth = 0) {
    if (root == kNoPage) return;
    if (depth > kMaxDepth) return Bad(table, root, "the tree is too deep");
    if (root < 2 || root > last_page_) return Bad(table, root, "a page number outside the file");
    if (!visited_.insert(root).second) return Bad(table, root, "a page reached twice");
    std::vector<unsigned char> page(page_bytes_);
    if (pread(fd_, page.data(), page_bytes_, static_cast<off_t>(root * page_bytes_)) !=
        static_cast<ssize_t>(page_bytes_)) {
      return Bad(table, root, "a page that can't be read");
    }
    const auto flags = static_cast<std::uint16_t>(Load(&page[10], 2));
    const std::uint64_t lower = Load(&page[12], 2), upper = Load(&page[14], 2);
    if (Load(&page[0], 8) != root) return Bad(table, root, "a page that is not where it says");
    if ((flags & (kBranch | kLeaf)) == 0 || lower < kHeaderBytes || lower > upper ||
        upper > page_bytes_ || (lower - kHeaderBytes) % 2 != 0) {
      return Bad(table, root, "a malformed page header");
    }
    const std::uint64_t count = (lower - kHeaderBytes) / 2;
    if (flags & kLeaf2) {
      const std::uint64_t key_bytes = Load(&page[8], 2);
      if (key_bytes == 0 || kHeaderBytes + count * key_bytes > page_bytes_)
        return Bad(table, root, "fixed-size keys beyond the page");
      return;
    }
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint64_t at = Load(&page[kHeaderBytes + 2 * i], 2);
      if (at < upper || at + kNodeHeaderBytes > page_bytes_)
        return Bad(table, root, "a node outside the page");
      const unsigned char* node = &page[at];
      const std::uint64_t key_end = at + kNodeHeaderBytes + Load(node + 6, 2);
      if (key_end > page_bytes_) return Bad(table, root, "a key beyond the page");
      if (flags & kBranch) {
        Tree(table, Load(node, 4) | Load(node + 4, 2) << 32, depth + 1);
        continue;
      }
      const std::uint64_t data_bytes = Load(node, 4);
      const auto node_flags = static_cast<std::uint16_t>(Load(node + 4, 2));
      if (node_flags & kBigData) {
        if (key_end + 8 > page_bytes_) return Bad(table, root, "a value beyond the page");
        Overflow(table, Load(&page[key_end], 8), data_bytes);
        continue;
      }
      if (key_end + data_bytes > page_bytes_) return Bad(table, root, "a value beyond the page");
      if (node_flags & kSubData) {
        if (data_bytes != kDbRecordBytes) return Bad(table, root, "a malformed table record");
        const std::uint64_t sub_root = Load(&page[key_end + kDbRootAt], 8);
        if (node_flags & kDupData) {
          Tree(table, sub_root, depth + 1);
        } else if (table.empty()) {
          Tree(std::string(reinterpret_cast<const char*>(node + kNodeHeaderBytes),
                           key_end - at - kNodeHeaderBytes),
               sub_root, 0);
        }
      }
      // A page of duplicates kept inside the node lies within this page,
      // whose bounds were just checked.
    }
  }

  std::vector<MalformedPage> Take() { return std::move(bad_); }

 private:
  void Overflow(const std::string& table, std::uint64_t first, std::uint64_t data_bytes) {
    unsigned char header[kHeaderBytes];
    if (first < 2 || first > last_page_ ||
        pread(fd_, header, sizeof header, static_cast<off_t>(first * page_bytes_)) !=
            static_cast<ssize_t>(sizeof header)) {
      return Bad(table, first, "a value's page outside the file");
    }
    const std::uint64_t pages = Load(header + 12, 4);
    if ((Load(header + 10, 2) & kOverflow) == 0 || pages == 0 || first + pages - 1 > last_page_ ||
        data_bytes + kHeaderBytes > pages * page_bytes_) {
      Bad(table, first, "a malformed value page");
    }
  }

  void Bad(const std::string& table, std::uint64_t page, const char* what) {
    bad_.push_back({table, page, what});
  }

  const int fd_;
  const std::uint64_t page_bytes_;
  const std::uint64_t last_page_;
  std::set<std::uint64_t> visited_;
  std::vector<MalformedPage> bad_;
};

struct FileCloser {
  int fd;
  ~FileCloser() { close(fd); }
};

}  // namespace

std::vector<MalformedPage> FindMalformedPages(const std::filesystem::path& directory) {
  const std::filesystem::path file = directory / "data.mdb";
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    throw foundation::NSError(
        kCatalogErrorDomain, kCatalogErrorCannotOpen,
        "Could not read the catalog at " + QuotedPath(directory) + ": " + std::strerror(errno));
  }
  FileCloser closer{fd};
  // The newest of the two metas, which CheckDataFile found sound on opening.
  unsigned char metas[2][kTxnIdAt + 8] = {};
  if (pread(fd, metas[0], sizeof metas[0], 0) != static_cast<ssize_t>(sizeof metas[0])) return {};
  const std::uint64_t page_bytes = Load(metas[0] + kPageSizeAt, 4);
  if (pread(fd, metas[1], sizeof metas[1], static_cast<off_t>(page_bytes)) !=
      static_cast<ssize_t>(sizeof metas[1])) {
    return {};
  }
  const unsigned char* meta =
      Load(metas[1] + kTxnIdAt, 8) > Load(metas[0] + kTxnIdAt, 8) ? metas[1] : metas[0];
  PageWalk walk(fd, page_bytes, Load(meta + kLastPageAt, 8));
  walk.Tree("", Load(meta + kMainDbAt + kDbRootAt, 8));
  return walk.Take();
}

}  // namespace plim::catalog
