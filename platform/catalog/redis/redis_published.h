// The published bitmap (NAME:published, redis_layout.h) read in parts: a
// catalog of millions of recordings has a bitmap of megabytes, all on one
// node, and a reader asking about a few recordings reads only the chunks
// that hold their bits, each with a GETRANGE. Internal to the catalog.

#ifndef PLIM_PLATFORM_CATALOG_REDIS_REDIS_PUBLISHED_H_
#define PLIM_PLATFORM_CATALOG_REDIS_REDIS_PUBLISHED_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/catalog/recording.h"
#include "platform/catalog/redis/redis_cluster.h"

namespace plim::catalog {

// The bytes of the bitmap one chunk holds: the bits of 32,768 ids.
inline constexpr std::size_t kRedisPublishedChunkBytes = 4096;
inline constexpr RecordingId kRedisIdsPerPublishedChunk = kRedisPublishedChunkBytes * 8;
// Chunks read in one round (256 KiB): the bits of 2 million ids.
inline constexpr std::size_t kRedisPublishedChunksPerRound = 64;

// The chunks of one catalog's published bitmap read so far, each as it was
// when read, which is what its holder takes for published from then on.
// Not thread-safe.
class RedisPublishedBits {
 public:
  // `key` is the catalog's NAME:published; `where` its location, for
  // messages.
  RedisPublishedBits(std::string key, std::string where);

  // Whether the chunk holding id `id`'s bit has been read; true for ids no
  // recording can have, which are never published.
  bool Holds(RecordingId id) const;
  // Whether id `id`'s bit was set when its chunk was read; false when the
  // chunk has not been read.
  bool Contains(RecordingId id) const {
    const std::size_t chunk = id / kRedisIdsPerPublishedChunk;
    if (chunk >= chunks_.size() || !chunks_[chunk]) return false;
    const std::size_t byte = (id % kRedisIdsPerPublishedChunk) / 8;
    const std::string& bytes = *chunks_[chunk];
    return byte < bytes.size() && (static_cast<unsigned char>(bytes[byte]) & (0x80 >> (id % 8)));
  }

  // Appends to `commands` one GETRANGE for each chunk not yet held that
  // holds the bit of one of `ids` (any order, repeats allowed), and returns
  // those chunks' numbers in the same order, for Keep.
  std::vector<std::uint32_t> AddReads(std::span<const RecordingId> ids,
                                      std::vector<RedisCommand>& commands) const;
  // Keeps `reply`, the reply to AddReads' command for chunk `chunk`.
  // Throws NSError (kCatalogErrorDamaged) when it is not a string.
  void Keep(std::uint32_t chunk, const RedisValue& reply);

  // Reads the chunks of `ids` not yet held through `cluster`: one round
  // when they are at most kRedisPublishedChunksPerRound. Throws as Keep
  // and RedisCluster::Run.
  void Fetch(RedisCluster& cluster, std::span<const RecordingId> ids);

  // Walks the bitmap from id 0 to its end, kRedisPublishedChunksPerRound
  // chunks a round (reading those not held), and calls `visit` with the
  // published ids of each round, ascending, until it returns false. Throws
  // as Fetch.
  void Scan(RedisCluster& cluster, const std::function<bool(std::span<const RecordingId>)>& visit);

 private:
  std::string key_;
  std::string where_;
  std::vector<std::optional<std::string>> chunks_;  // by chunk number; nullopt: not read
};

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_REDIS_REDIS_PUBLISHED_H_
