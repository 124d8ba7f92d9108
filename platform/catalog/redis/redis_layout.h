// How the Redis store lays a catalog out in keys. Every key starts with the
// catalog's name and a colon, so that several catalogs share a cluster:
//
//   NAME:meta             hash: format, fingerprint_version, copies_indexed
//                         (1 once every copy stands in its NAME:o:ID; a
//                         writer opening a catalog without it indexes the
//                         copies, then sets it)
//   NAME:next-id          the last id given (INCR)
//   NAME:published        bitmap: bit ID set once recording ID is wholly stored
//                         (read in chunks of 4 KiB: redis_published.h)
//   NAME:stats            hash: landmarks, duration_us of published recordings;
//                         +ID / -ID while recording ID's arrival / leaving
//                         is being counted (a repeat finds it and does nothing)
//   NAME:pending          sorted set: ids being added or removed, scored by
//                         the Unix time the writer started
//   NAME:p:{GGG}BBBB      postings of the hashes whose top 16 bits are BBBB
//                         (hex): a hash whose field is the low bits (2 bytes,
//                         little-endian) and whose value is 6-byte postings,
//                         3 bytes recording id then 3 bytes anchor frame,
//                         little-endian; 65,536 keys. GGG, the top 10 bits,
//                         is the hash tag: the 64 buckets of a group share a
//                         slot, so that one script call adds a recording's
//                         postings to all of them, and 1,024 groups spread
//                         the postings over the slots
//   NAME:h:ID             EncodeHashList of recording ID's distinct hashes
//   NAME:k:ID             hash: peak block number -> EncodePeakBlock
//   NAME:r:ID             EncodeRecording
//   NAME:c:CONTENT        the id holding this audio
//   NAME:s:PATH           the id added from this path
//   NAME:copies           hash: path -> EncodeRecordingCopy, the other
//                         files of recordings (ignored while the id is
//                         not published)
//   NAME:o:ID             set: the paths of NAME:copies that were made
//                         copies of recording ID, so that removing it reads
//                         only its own; a path may since name another
//                         recording, so a reader compares before it trusts
//   NAME:a:{FILE}         a picture's bytes; NAME:u:{FILE} how many use it;
//                         NAME:m:{FILE} the set of +ID / -ID marks of uses
//                         being counted, as in NAME:stats
//
// Internal to the catalog. Pure functions, thread-safe.

#ifndef PLIM_PLATFORM_CATALOG_REDIS_REDIS_LAYOUT_H_
#define PLIM_PLATFORM_CATALOG_REDIS_REDIS_LAYOUT_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/catalog/posting.h"
#include "platform/fingerprint/fingerprint_params.h"

namespace plim::catalog {

inline constexpr int kRedisBucketBits = 16;
inline constexpr int kRedisGroupBits = 10;
inline constexpr int kRedisFieldBits = fingerprint::kHashBits - kRedisBucketBits;
inline constexpr std::size_t kRedisPostingBytes = 6;
inline constexpr RecordingId kRedisMaxRecordingId = (RecordingId{1} << 24) - 1;
inline constexpr std::uint32_t kRedisMaxAnchorFrame = (std::uint32_t{1} << 24) - 1;
// Copies read (HSCAN, HMGET) or written in one round: no node sends a large
// archive's copies in one reply.
inline constexpr std::size_t kRedisCopiesPerRound = 1000;
// The field of NAME:meta that says every copy stands in its index.
inline constexpr char kRedisCopiesIndexedField[] = "copies_indexed";
static_assert(kRedisFieldBits > 0 && kRedisFieldBits <= 16, "a field is two bytes");

// Where a catalog named `name` keeps things (see above).
class RedisKeys {
 public:
  explicit RedisKeys(std::string name) : prefix_(std::move(name) + ":") {}

  const std::string& prefix() const { return prefix_; }
  std::string Meta() const { return prefix_ + "meta"; }
  std::string NextId() const { return prefix_ + "next-id"; }
  std::string Published() const { return prefix_ + "published"; }
  std::string Stats() const { return prefix_ + "stats"; }
  std::string Pending() const { return prefix_ + "pending"; }
  std::string Bucket(std::uint32_t hash) const;
  // The bucket group of `hash`: buckets of one group share a slot.
  static std::uint32_t GroupOf(std::uint32_t hash) {
    return hash >> (fingerprint::kHashBits - kRedisGroupBits);
  }
  std::string HashList(RecordingId id) const { return prefix_ + "h:" + std::to_string(id); }
  std::string Peaks(RecordingId id) const { return prefix_ + "k:" + std::to_string(id); }
  std::string Record(RecordingId id) const { return prefix_ + "r:" + std::to_string(id); }
  std::string Content(std::string_view hash) const { return prefix_ + "c:" + std::string(hash); }
  std::string Path(std::string_view path) const { return prefix_ + "s:" + std::string(path); }
  std::string Copies() const { return prefix_ + "copies"; }
  std::string CopiesOf(RecordingId id) const { return prefix_ + "o:" + std::to_string(id); }
  std::string Picture(std::string_view file) const {
    return prefix_ + "a:{" + std::string(file) + "}";
  }
  std::string PictureUses(std::string_view file) const {
    return prefix_ + "u:{" + std::string(file) + "}";
  }
  std::string PictureMarks(std::string_view file) const {
    return prefix_ + "m:{" + std::string(file) + "}";
  }

 private:
  std::string prefix_;
};

// The field of `hash` within its bucket.
std::string RedisField(std::uint32_t hash);

// A recording's postings of one hash, as stored.
std::string EncodeRedisPostings(RecordingId id, const std::vector<std::uint32_t>& anchor_frames);
// The 3 bytes that start each posting of recording `id`.
std::string RedisIdBytes(RecordingId id);

// Appends the postings `bytes` hold to `out`; false when malformed.
bool DecodeRedisPostings(std::string_view bytes, std::vector<Posting>& out);

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_REDIS_REDIS_LAYOUT_H_
