// The byte layout of a recording's copy (RecordingCopy) as both stores keep
// it: the copy's id (4 bytes), size (8) and modification time (8), each
// little-endian, then its path, then the checksum (record_format.h).
//
// Internal to the catalog. Pure functions, thread-safe.

#ifndef PLIM_PLATFORM_CATALOG_COPY_FORMAT_H_
#define PLIM_PLATFORM_CATALOG_COPY_FORMAT_H_

#include <optional>
#include <string>
#include <string_view>

#include "platform/catalog/recording.h"

namespace plim::catalog {

std::string EncodeRecordingCopy(const RecordingCopy& copy);

// The copy `bytes` encode, or nullopt when they are damaged (short, or a
// checksum that does not match).
std::optional<RecordingCopy> DecodeRecordingCopy(std::string_view bytes);

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_COPY_FORMAT_H_
