// Pictures read from files: a cover named with --artwork or in a metadata
// CSV, and the pictures in a catalog's artwork folder. Whatever a path
// names, only a regular file that holds an image, and not a large one, is
// read: never a named pipe or a device (opening one can block, reading
// /dev/zero never ends), never a secret that a link or a CSV points at.

#ifndef PLIM_PLATFORM_CATALOG_PICTURE_FILE_H_
#define PLIM_PLATFORM_CATALOG_PICTURE_FILE_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/catalog/catalog_store.h"

namespace plim::catalog {

// A cover larger than this is refused: covers are well under 1 MB, and a
// picture is held in memory whole while it is stored or copied.
inline constexpr std::uint64_t kMaxPictureBytes = std::uint64_t{16} << 20;

// Whether a link in the path's last component is followed (a path the user
// named) or refused (a file inside the catalog, which only plim writes).
enum class PictureLinks { kFollow, kRefuse };

// True when `bytes` begin as a PNG, JPEG, GIF, WebP or BMP file does. Pure.
bool LooksLikePicture(std::string_view bytes);

// The picture at `path`: its bytes (mime type left empty) and the file's
// permission bits, so that storing it never makes it readable by more users.
// The file is opened without blocking and read with one bounded buffer.
// Throws foundation::NSError (kCatalogErrorDomain, kCatalogErrorInvalidArgument)
// naming `path` when it is not a regular file, is a link with kRefuse, is
// empty, is larger than kMaxPictureBytes or is not a picture; with
// kCatalogErrorCannotOpen when it can't be opened or read. Thread-safe.
Artwork ReadPictureFile(const std::string& path, PictureLinks links);

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_PICTURE_FILE_H_
