#include "platform/catalog/redis/redis_writing.h"

#include <algorithm>
#include <utility>

#include "platform/catalog/catalog_error.h"
#include "platform/catalog/record_format.h"
#include "platform/foundation/ns_error.h"

namespace plim::catalog {
void FailCatalog(std::int64_t code, std::string description) {
  throw foundation::NSError(kCatalogErrorDomain, code, std::move(description));
}

void RunAll(RedisCluster& cluster, std::vector<RedisCommand>& commands, const std::string& where) {
  for (std::size_t begin = 0; begin < commands.size(); begin += kCommandsPerRound) {
    const std::size_t n = std::min(kCommandsPerRound, commands.size() - begin);
    for (const RedisValue& reply : cluster.Run({commands.data() + begin, n})) {
      if (reply.is_error()) {
        FailCatalog(kCatalogErrorCannotWrite,
                    "Could not write to the Redis catalog at " + where + ": " + reply.text);
      }
    }
  }
  commands.clear();
}

RedisValue RunOne(RedisCluster& cluster, RedisCommand command, const std::string& where) {
  std::vector<RedisCommand> one{std::move(command)};
  RedisValue reply = cluster.Run(one).front();
  if (reply.is_error()) {
    FailCatalog(kCatalogErrorCannotWrite,
                "Could not write to the Redis catalog at " + where + ": " + reply.text);
  }
  return reply;
}

std::optional<Recording> DecodeStored(const RedisValue& value, RecordingId id,
                                      const std::string& where) {
  if (value.is_nil()) return std::nullopt;
  std::optional<Recording> recording = DecodeRecording(value.text);
  if (!recording) {
    FailCatalog(kCatalogErrorDamaged, "The Redis catalog at " + where + " is damaged: recording " +
                                          std::to_string(id) + " can't be read");
  }
  return recording;
}

RedisCommand Script(const char* script, std::vector<std::string> keys,
                    std::vector<std::string> args) {
  RedisCommand command{{"EVAL", script, std::to_string(keys.size())}, 3};
  for (std::string& k : keys) command.args.push_back(std::move(k));
  for (std::string& a : args) command.args.push_back(std::move(a));
  return command;
}

}  // namespace plim::catalog
