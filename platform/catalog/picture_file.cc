#include "platform/catalog/picture_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/catalog/catalog_error.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"

namespace plim::catalog {
namespace {

[[noreturn]] void Refuse(const std::string& path, const std::string& why) {
  throw foundation::NSError(kCatalogErrorDomain, kCatalogErrorInvalidArgument,
                            "The artwork file " + foundation::QuotedText(path) + " " + why);
}

[[noreturn]] void FailRead(const std::string& path, int error) {
  throw foundation::NSError(kCatalogErrorDomain, kCatalogErrorCannotOpen,
                            "The artwork file " + foundation::QuotedText(path) +
                                " could not be read: " + std::strerror(error));
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

bool LooksLikePicture(std::string_view bytes) {
  auto starts = [&](std::string_view prefix) { return bytes.substr(0, prefix.size()) == prefix; };
  return starts("\x89PNG\r\n\x1a\n") || starts("\xFF\xD8\xFF") || starts("GIF87a") ||
         starts("GIF89a") ||
         (starts("RIFF") && bytes.size() >= 12 && bytes.substr(8, 4) == "WEBP") ||
         // "BM" alone starts too many texts; a BMP's header is 14 bytes and its
         // info header at least 12 more.
         (starts("BM") && bytes.size() >= 26);
}

Artwork ReadPictureFile(const std::string& path, PictureLinks links) {
  // O_NONBLOCK: opening a named pipe would otherwise wait for a writer.
  int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  if (links == PictureLinks::kRefuse) flags |= O_NOFOLLOW;
  Descriptor file(open(path.c_str(), flags));
  if (file.get() < 0) {
    if (errno == ELOOP && links == PictureLinks::kRefuse) Refuse(path, "is a link: refusing it");
    FailRead(path, errno);
  }
  struct stat status;
  if (fstat(file.get(), &status) != 0) FailRead(path, errno);
  if (!S_ISREG(status.st_mode)) Refuse(path, "is not a regular file: refusing it");
  const auto size = static_cast<std::uint64_t>(status.st_size);
  if (size == 0) Refuse(path, "is empty");
  if (size > kMaxPictureBytes) {
    Refuse(path, "is larger than a picture can be (" + std::to_string(size) + " bytes, at most " +
                     std::to_string(kMaxPictureBytes) + ")");
  }
  Artwork picture;
  picture.permissions = status.st_mode & 0777;
  // Never more than the size seen: a file that grows meanwhile is cut there.
  picture.bytes.resize(size);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = read(file.get(), picture.bytes.data() + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) FailRead(path, errno);
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  picture.bytes.resize(got);
  if (!LooksLikePicture(picture.bytes)) {
    Refuse(path, "is not a picture (PNG, JPEG, GIF, WebP or BMP): refusing it");
  }
  return picture;
}

}  // namespace plim::catalog
