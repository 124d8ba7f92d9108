// How the Redis store's writers send commands: in rounds, failing the
// operation on the first error reply. Internal to the catalog.

#ifndef PLIM_PLATFORM_CATALOG_REDIS_REDIS_WRITING_H_
#define PLIM_PLATFORM_CATALOG_REDIS_REDIS_WRITING_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/catalog/recording.h"
#include "platform/catalog/redis/redis_cluster.h"

namespace plim::catalog {

// Commands sent in one round: enough to keep a pipeline full, few enough
// that a round's replies stay a few megabytes.
inline constexpr std::size_t kCommandsPerRound = 4096;

// Throws the catalog's NSError with `code` and `description`.
[[noreturn]] void FailCatalog(std::int64_t code, std::string description);

// Runs `commands` through `cluster` in rounds of a few thousand, then
// empties it. Throws kCatalogErrorCannotWrite naming `where` (the catalog's
// address) when any reply is an error, and what the cluster throws.
void RunAll(RedisCluster& cluster, std::vector<RedisCommand>& commands, const std::string& where);

// Runs one command as RunAll does and returns its reply.
RedisValue RunOne(RedisCluster& cluster, RedisCommand command, const std::string& where);

// Recording `id`'s record from `value` (a GET of its key): nullopt when
// there is none; throws kCatalogErrorDamaged naming `where` when it can't
// be read.
std::optional<Recording> DecodeStored(const RedisValue& value, RecordingId id,
                                      const std::string& where);

// An EVAL of `script` over `keys` (all of one slot) with `args`, routed by
// its first key.
RedisCommand Script(const char* script, std::vector<std::string> keys,
                    std::vector<std::string> args);

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_REDIS_REDIS_WRITING_H_
