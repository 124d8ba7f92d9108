#include "platform/catalog/artwork_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/catalog/catalog_error.h"
#include "platform/catalog/content_hasher.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"

namespace plim::catalog {
namespace {

[[noreturn]] void FailWrite(const std::filesystem::path& file, int error) {
  throw foundation::NSError(kCatalogErrorDomain, kCatalogErrorCannotWrite,
                            "Could not write the picture " + foundation::QuotedText(file.native()) +
                                ": " + std::strerror(error));
}

std::string_view ExtensionFor(std::string_view bytes, std::string_view mime_type) {
  auto starts = [&](std::string_view prefix) { return bytes.substr(0, prefix.size()) == prefix; };
  if (starts("\x89PNG\r\n\x1a\n")) return "png";
  if (starts("\xFF\xD8\xFF")) return "jpg";
  if (starts("GIF87a") || starts("GIF89a")) return "gif";
  if (starts("RIFF") && bytes.size() >= 12 && bytes.substr(8, 4) == "WEBP") return "webp";
  if (starts("BM")) return "bmp";
  if (mime_type == "image/png") return "png";
  if (mime_type == "image/jpeg" || mime_type == "image/jpg") return "jpg";
  if (mime_type == "image/gif") return "gif";
  if (mime_type == "image/webp") return "webp";
  return "img";
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  // Closes now, so that the caller sees close's error (which on some file
  // systems is where a failed write shows).
  int Close() {
    int rc = close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

}  // namespace

std::string ArtworkFileName(std::string_view bytes, std::string_view mime_type) {
  return HexHash128(bytes.data(), bytes.size()) + "." + std::string(ExtensionFor(bytes, mime_type));
}

void EnsureArtworkFile(const std::filesystem::path& folder, const std::string& name,
                       std::string_view bytes, std::uint32_t permissions) {
  std::filesystem::path target = folder / name;
  struct stat existing;
  if (stat(target.c_str(), &existing) == 0 &&
      static_cast<std::size_t>(existing.st_size) == bytes.size()) {
    return;
  }
  // The temporary name is unique to the process; the ArtworkLock keeps other
  // threads of it out.
  std::filesystem::path temporary = folder / (".tmp-" + std::to_string(getpid()) + "-" + name);
  // Made afresh, so that it takes the permissions asked for, whatever a
  // killed writer left under this name.
  unlink(temporary.c_str());
  FileDescriptor file(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                           static_cast<mode_t>(permissions & 0644)));
  if (file.get() < 0) FailWrite(target, errno);
  std::string_view rest = bytes;
  while (!rest.empty()) {
    ssize_t written = write(file.get(), rest.data(), rest.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) {
      int error = errno;
      unlink(temporary.c_str());
      FailWrite(target, error);
    }
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
  // Flushed before the rename, so that a crash never leaves a catalog
  // pointing at a picture with missing contents.
  if (fsync(file.get()) != 0 || file.Close() != 0 ||
      rename(temporary.c_str(), target.c_str()) != 0) {
    int error = errno;
    unlink(temporary.c_str());
    FailWrite(target, error);
  }
}

void DeleteArtworkFile(const std::filesystem::path& folder, const std::string& name) noexcept {
  unlink((folder / name).c_str());
}

ArtworkLock::ArtworkLock(const std::filesystem::path& folder)
    : fd_(open((folder / ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
  if (fd_ < 0) FailWrite(folder / ".lock", errno);
  while (flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) {
      int error = errno;
      close(fd_);
      FailWrite(folder / ".lock", error);
    }
  }
}

ArtworkLock::~ArtworkLock() { close(fd_); }

}  // namespace plim::catalog
