// The byte layouts of the catalog's stored values: recordings and the list
// of landmark hashes each recording has in the index.
//
// Internal to the catalog. Pure functions, thread-safe.

#ifndef PLIM_PLATFORM_CATALOG_RECORD_FORMAT_H_
#define PLIM_PLATFORM_CATALOG_RECORD_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/catalog/recording.h"

namespace plim::catalog {

// Stored values carry a checksum of the bytes before it, so that damage the
// layout alone would not notice (a flipped bit in a text or a count) is
// found on reading: the low 32 bits of XXH3-64, little-endian, last.
inline constexpr std::size_t kChecksumBytes = 4;
// A value whose key is not otherwise in its bytes has `key_checksum`
// (ChecksumOf its key) xored in, so that a damaged key is found too.
std::uint32_t ChecksumOf(std::string_view bytes);
void AppendChecksum(std::string& bytes, std::uint32_t key_checksum = 0);
// Whether `bytes` end with the checksum of what precedes it; if so, takes
// the checksum off `bytes`.
bool TakeChecksum(std::string_view& bytes, std::uint32_t key_checksum = 0);

// A recording as stored: a layout version byte, then each field in a fixed
// order, texts and counts as LEB128 varints, the duration as the 8 bytes of
// an IEEE double, little-endian, then the checksum. Texts are written as
// given.
std::string EncodeRecording(const Recording& recording);

// How a stored value read back.
enum class StoredValueState {
  kChecked,    // its checksum matched
  kUnchecked,  // an older layout, written before values carried checksums
  kDamaged,    // truncated, trailing bytes, a checksum that does not match, or a
               // layout version this build does not know
};

// The recording `bytes` encode (either layout), or nullopt when they are
// damaged; `state` (when given) says which.
std::optional<Recording> DecodeRecording(std::string_view bytes, StoredValueState* state = nullptr);

// One posting's share of its recording's postings digest (index_layout.h's
// value of the posting). The digest is the wrapping sum of the shares, so
// it does not depend on where the postings lie; a posting changed anywhere
// in the index changes the digest of its recording.
std::uint64_t PostingDigestShare(std::uint64_t index_value);

// A recording's landmark list: `sorted_hashes`, ascending and without
// repeats, as varint gaps (about two bytes a hash for a typical recording),
// after the digest of its postings (8 bytes, little-endian), then the
// checksum.
std::string EncodeHashList(std::span<const std::uint32_t> sorted_hashes,
                           std::uint64_t postings_digest);

// Replaces `hashes` with the list `bytes` encode (either layout). False
// when they are damaged; `state` (when given) says how they read, and
// `postings_digest` (when given) receives the digest, or 0 for the older
// layout, which has none.
bool DecodeHashList(std::string_view bytes, std::vector<std::uint32_t>& hashes,
                    StoredValueState* state = nullptr, std::uint64_t* postings_digest = nullptr);

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_RECORD_FORMAT_H_
