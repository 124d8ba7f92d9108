// How the inverted index lays a posting out in LMDB.
//
// A posting is (26-bit landmark hash, recording id, anchor frame). The
// hash's top bits pick one of 256 buckets; an 8-byte value packs the rest:
//
//   bucket          hash >> kIndexLowHashBits                        8 bits
//   value (uint64)  low hash bits | recording id | anchor frame
//                   18 bits         24 bits        22 bits
//
// Values sort as integers, so within a bucket the postings of one hash are
// one contiguous run, in (recording, anchor frame) order. Few buckets keep
// each one long even in a catalog of an hour, so that it fills whole pages
// (see posting_index.h).
//
// The bulk of the index keeps a bucket as sorted chunks of values, each at
// most a page with the 4-byte checksum that follows its values
// (record_format.h; chunks of older catalogs have none), keyed by (bucket,
// the chunk's last value) in big-endian bytes so that LMDB's plain byte
// order is posting order.
//
// Internal to the catalog. Pure functions, thread-safe.

#ifndef PLIM_PLATFORM_CATALOG_LMDB_INDEX_LAYOUT_H_
#define PLIM_PLATFORM_CATALOG_LMDB_INDEX_LAYOUT_H_

#include <cstdint>

#include "platform/catalog/recording.h"
#include "platform/fingerprint/fingerprint_params.h"

namespace plim::catalog {

inline constexpr int kIndexKeyBits = 8;
inline constexpr int kIndexLowHashBits = fingerprint::kHashBits - kIndexKeyBits;
inline constexpr int kIndexFrameBits = 22;  // 37 hours of 32-ms frames
inline constexpr int kIndexIdBits = 64 - kIndexLowHashBits - kIndexFrameBits;

static_assert(fingerprint::kHashBits <= 32, "a hash is a uint32");
static_assert(kIndexKeyBits > 0 && kIndexLowHashBits >= 0, "the key holds the hash's top bits");
static_assert(kIndexIdBits >= 24, "room for 16 million recordings");
static_assert(kIndexIdBits <= 32, "ids are RecordingIds");

// The largest values each field holds. A recording id beyond its field can't
// be indexed; a landmark whose anchor frame is beyond its field is left out
// of the index (37 hours into a recording).
inline constexpr std::uint32_t kMaxIndexedHash = (std::uint64_t{1} << fingerprint::kHashBits) - 1;
inline constexpr RecordingId kMaxIndexedRecordingId =
    static_cast<RecordingId>((std::uint64_t{1} << kIndexIdBits) - 1);
inline constexpr std::uint32_t kMaxIndexedAnchorFrame = (std::uint32_t{1} << kIndexFrameBits) - 1;

inline constexpr std::uint32_t kIndexBucketCount = std::uint32_t{1} << kIndexKeyBits;

// The bucket holding `hash` (at most kMaxIndexedHash).
constexpr std::uint32_t IndexKey(std::uint32_t hash) { return hash >> kIndexLowHashBits; }

// The value of the posting (hash, id, anchor_frame); each argument within
// the largest value of its field.
constexpr std::uint64_t IndexValue(std::uint32_t hash, RecordingId id, std::uint32_t anchor_frame) {
  constexpr std::uint32_t kLowHashMask = (std::uint32_t{1} << kIndexLowHashBits) - 1;
  return (static_cast<std::uint64_t>(hash & kLowHashMask) << (kIndexIdBits + kIndexFrameBits)) |
         (static_cast<std::uint64_t>(id) << kIndexFrameBits) | anchor_frame;
}

// The fields of a value.
constexpr RecordingId RecordingOfIndexValue(std::uint64_t value) {
  return static_cast<RecordingId>((value >> kIndexFrameBits) & kMaxIndexedRecordingId);
}
constexpr std::uint32_t AnchorFrameOfIndexValue(std::uint64_t value) {
  return static_cast<std::uint32_t>(value) & kMaxIndexedAnchorFrame;
}

// Within one bucket, the values of `hash` are exactly those v with
// FirstIndexValue(hash) <= v <= LastIndexValue(hash).
constexpr std::uint64_t FirstIndexValue(std::uint32_t hash) { return IndexValue(hash, 0, 0); }
constexpr std::uint64_t LastIndexValue(std::uint32_t hash) {
  return IndexValue(hash, kMaxIndexedRecordingId, kMaxIndexedAnchorFrame);
}

// The key of a chunk of `bucket` whose last value is `last_value`.
struct ChunkKey {
  unsigned char bytes[12];
};
constexpr ChunkKey EncodeChunkKey(std::uint32_t bucket, std::uint64_t last_value) {
  ChunkKey key{};
  for (int i = 0; i < 4; ++i) key.bytes[i] = static_cast<unsigned char>(bucket >> (24 - 8 * i));
  for (int i = 0; i < 8; ++i) {
    key.bytes[4 + i] = static_cast<unsigned char>(last_value >> (56 - 8 * i));
  }
  return key;
}
// The fields of the 12 key bytes at `bytes`.
constexpr std::uint32_t BucketOfChunkKey(const unsigned char* bytes) {
  std::uint32_t bucket = 0;
  for (int i = 0; i < 4; ++i) bucket = bucket << 8 | bytes[i];
  return bucket;
}
constexpr std::uint64_t LastValueOfChunkKey(const unsigned char* bytes) {
  std::uint64_t value = 0;
  for (int i = 4; i < 12; ++i) value = value << 8 | bytes[i];
  return value;
}

// A recording's postings are found again, to remove them, through the
// distinct prefixes of its hashes: a short prefix makes a short list (a byte
// a prefix), and removal scans the postings of kHashListPrefixSpan hashes
// for each one.
inline constexpr int kHashListPrefixShift = 8;
inline constexpr std::uint32_t kHashListPrefixSpan = std::uint32_t{1} << kHashListPrefixShift;
constexpr std::uint32_t HashListPrefix(std::uint32_t hash) { return hash >> kHashListPrefixShift; }
static_assert(kHashListPrefixShift <= kIndexLowHashBits, "a prefix lies within one bucket");

static_assert(IndexKey(kMaxIndexedHash) == kIndexBucketCount - 1);
static_assert(LastIndexValue(kMaxIndexedHash) == ~std::uint64_t{0}, "the fields fill the value");
static_assert(RecordingOfIndexValue(IndexValue(kMaxIndexedHash, 7, kMaxIndexedAnchorFrame)) == 7);
static_assert(AnchorFrameOfIndexValue(IndexValue(kMaxIndexedHash, kMaxIndexedRecordingId, 5)) == 5);
static_assert(LastValueOfChunkKey(EncodeChunkKey(3, 0x0102030405060708).bytes) ==
              0x0102030405060708);
static_assert(BucketOfChunkKey(EncodeChunkKey(kIndexBucketCount - 1, 0).bytes) ==
              kIndexBucketCount - 1);

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_LMDB_INDEX_LAYOUT_H_
