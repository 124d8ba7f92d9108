// The byte layouts of the catalog's stored values: recordings and the list
// of landmark hashes each recording has in the index.
//
// Internal to the catalog. Pure functions, thread-safe.

#ifndef PLIM_PLATFORM_CATALOG_RECORD_FORMAT_H_
#define PLIM_PLATFORM_CATALOG_RECORD_FORMAT_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/catalog/recording.h"

namespace plim::catalog {

// A recording as stored: a layout version byte, then each field in a fixed
// order, texts and counts as LEB128 varints, the duration as the 8 bytes of
// an IEEE double, little-endian. Texts are written as given.
std::string EncodeRecording(const Recording& recording);

// The recording `bytes` encode, or nullopt when they are truncated, carry
// trailing bytes, or have a layout version this build does not know.
std::optional<Recording> DecodeRecording(std::string_view bytes);

// `sorted_hashes`, ascending and without repeats, as varint gaps: about two
// bytes a hash for a typical recording.
std::string EncodeHashList(std::span<const std::uint32_t> sorted_hashes);

// Replaces `hashes` with the list `bytes` encode. False when they are malformed.
bool DecodeHashList(std::string_view bytes, std::vector<std::uint32_t>& hashes);

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_RECORD_FORMAT_H_
