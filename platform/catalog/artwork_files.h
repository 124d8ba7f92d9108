// The cover pictures a catalog keeps in its artwork/ folder, one file per
// distinct picture, named by a hash of its bytes.
//
// Internal to the catalog. The functions are thread-safe; the folder's
// consistency with the catalog's reference counts rests on ArtworkLock.

#ifndef PLIM_PLATFORM_CATALOG_ARTWORK_FILES_H_
#define PLIM_PLATFORM_CATALOG_ARTWORK_FILES_H_

#include <filesystem>
#include <string>
#include <string_view>

namespace plim::catalog {

// "<32 hex digits of XXH3-128>.<ext>", the extension taken from the image's
// signature bytes (png, jpg, gif, webp, bmp), else from `mime_type`, else "img".
std::string ArtworkFileName(std::string_view bytes, std::string_view mime_type);

// Makes `folder`/`name` hold `bytes`: written to a temporary file, flushed to
// disk and renamed into place, unless a file of that name and size is there
// already. The file is made with `permissions` & 0644 (and the umask).
// Throws foundation::NSError (kCatalogErrorCannotWrite).
void EnsureArtworkFile(const std::filesystem::path& folder, const std::string& name,
                       std::string_view bytes, std::uint32_t permissions);

// Deletes `folder`/`name`; a file already gone is not an error, and other
// failures only leave an unused file behind, so none is reported.
void DeleteArtworkFile(const std::filesystem::path& folder, const std::string& name) noexcept;

// An exclusive lock on the folder (flock on its ".lock" file), across
// threads and processes, held from before a change's transaction begins
// until its unused pictures are deleted after the commit. Without it a
// picture another process is just starting to use could be deleted.
// Throws foundation::NSError (kCatalogErrorCannotWrite) when the lock file
// can't be opened.
class ArtworkLock {
 public:
  explicit ArtworkLock(const std::filesystem::path& folder);
  ~ArtworkLock();
  ArtworkLock(const ArtworkLock&) = delete;
  ArtworkLock& operator=(const ArtworkLock&) = delete;

 private:
  int fd_;
};

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_ARTWORK_FILES_H_
