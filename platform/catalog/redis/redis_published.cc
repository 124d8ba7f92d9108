#include "platform/catalog/redis/redis_published.h"

#include <algorithm>
#include <utility>

#include "platform/catalog/catalog_error.h"
#include "platform/catalog/redis/redis_layout.h"
#include "platform/catalog/redis/redis_writing.h"

namespace plim::catalog {
namespace {

constexpr std::uint32_t kLastChunk = kRedisMaxRecordingId / kRedisIdsPerPublishedChunk;

}  // namespace

RedisPublishedBits::RedisPublishedBits(std::string key, std::string where)
    : key_(std::move(key)), where_(std::move(where)) {}

bool RedisPublishedBits::Holds(RecordingId id) const {
  if (id > kRedisMaxRecordingId) return true;
  const std::size_t chunk = id / kRedisIdsPerPublishedChunk;
  return chunk < chunks_.size() && chunks_[chunk].has_value();
}

std::vector<std::uint32_t> RedisPublishedBits::AddReads(std::span<const RecordingId> ids,
                                                        std::vector<RedisCommand>& commands) const {
  std::vector<std::uint32_t> chunks;
  for (RecordingId id : ids)
    if (!Holds(id)) chunks.push_back(id / kRedisIdsPerPublishedChunk);
  std::sort(chunks.begin(), chunks.end());
  chunks.erase(std::unique(chunks.begin(), chunks.end()), chunks.end());
  for (std::uint32_t chunk : chunks) {
    const std::size_t first_byte = chunk * kRedisPublishedChunkBytes;
    commands.push_back({{"GETRANGE", key_, std::to_string(first_byte),
                         std::to_string(first_byte + kRedisPublishedChunkBytes - 1)}});
  }
  return chunks;
}

void RedisPublishedBits::Keep(std::uint32_t chunk, const RedisValue& reply) {
  // GETRANGE answers an empty string past the end, and for a bitmap not
  // yet made.
  if (reply.type != RedisValue::Type::kString) {
    FailCatalog(kCatalogErrorDamaged, "The Redis catalog at " + where_ +
                                          " is damaged: its published bitmap can't be read (" +
                                          reply.text + ")");
  }
  if (chunk >= chunks_.size()) chunks_.resize(chunk + 1);
  chunks_[chunk] = reply.text;
}

void RedisPublishedBits::Fetch(RedisCluster& cluster, std::span<const RecordingId> ids) {
  std::vector<RedisCommand> commands;
  const std::vector<std::uint32_t> chunks = AddReads(ids, commands);
  for (std::size_t begin = 0; begin < commands.size(); begin += kRedisPublishedChunksPerRound) {
    const std::size_t n = std::min(kRedisPublishedChunksPerRound, commands.size() - begin);
    const std::vector<RedisValue> replies = cluster.Run({commands.data() + begin, n});
    for (std::size_t i = 0; i < n; ++i) Keep(chunks[begin + i], replies[i]);
  }
}

void RedisPublishedBits::Scan(RedisCluster& cluster,
                              const std::function<bool(std::span<const RecordingId>)>& visit) {
  // The bitmap never shrinks, so a chunk read short now is its end: the
  // chunks after it hold no bit. One held from before may since have grown.
  bool ended = false;
  for (std::uint32_t first = 0; first <= kLastChunk && !ended;
       first += kRedisPublishedChunksPerRound) {
    const std::uint32_t end = std::min<std::uint32_t>(
        first + static_cast<std::uint32_t>(kRedisPublishedChunksPerRound), kLastChunk + 1);
    std::vector<RecordingId> ids;
    for (std::uint32_t chunk = first; chunk < end; ++chunk)
      ids.push_back(chunk * kRedisIdsPerPublishedChunk);
    std::vector<RedisCommand> commands;
    const std::vector<std::uint32_t> chunks = AddReads(ids, commands);
    if (!commands.empty()) {
      const std::vector<RedisValue> replies = cluster.Run(commands);
      for (std::size_t i = 0; i < chunks.size(); ++i) {
        Keep(chunks[i], replies[i]);
        ended = ended || replies[i].text.size() < kRedisPublishedChunkBytes;
      }
    }
    ids.clear();
    for (std::uint32_t chunk = first; chunk < end && chunk < chunks_.size(); ++chunk) {
      const std::string& bytes = *chunks_[chunk];
      for (std::size_t byte = 0; byte < bytes.size(); ++byte) {
        const auto bits = static_cast<unsigned char>(bytes[byte]);
        if (bits == 0) continue;
        for (int bit = 0; bit < 8; ++bit) {
          if (bits & (0x80 >> bit))
            ids.push_back(chunk * kRedisIdsPerPublishedChunk +
                          static_cast<RecordingId>(byte * 8 + bit));
        }
      }
    }
    if (!ids.empty() && !visit(ids)) return;
  }
}

}  // namespace plim::catalog
