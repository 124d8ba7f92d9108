// RedisCatalog's copies: the NAME:copies hash and each recording's index
// of its paths there (NAME:o:ID), which lets a removal read only its own.
//
// The hash and an index live in different slots, so no script changes
// both: a path enters its index before the hash and leaves it after, and
// an index may hold paths that since name another recording or nothing.
// Every reader of an index compares with the hash before it acts.

#include <functional>
#include <optional>
#include <set>

#include "platform/catalog/copy_format.h"
#include "platform/catalog/redis/redis_catalog.h"
#include "platform/catalog/redis/redis_writing.h"

namespace plim::catalog {
namespace {

// Deletes field ARGV[1] of hash KEYS[1] while it still holds ARGV[2].
constexpr char kDeleteFieldIfEqual[] = R"lua(
if redis.call('HGET', KEYS[1], ARGV[1]) == ARGV[2] then return redis.call('HDEL', KEYS[1], ARGV[1]) end
return 0)lua";

std::optional<RecordingCopy> DecodeStoredCopy(const RedisValue& value) {
  if (value.type != RedisValue::Type::kString) return std::nullopt;
  return DecodeRecordingCopy(value.text);
}

}  // namespace

bool RedisCatalog::AddCopy(const RecordingCopy& copy) {
  RequireWritable();
  const std::string where = location();
  Lease cluster = Borrow();
  if (copy.path.empty() ||
      RunOne(*cluster, {{"GETBIT", keys_.Published(), std::to_string(copy.id)}}, where).integer !=
          1)
    return false;
  // The file a recording was added from is no copy of it (two adds of one
  // file at once each find the other's).
  const std::optional<Recording> owner =
      DecodeStored(RunOne(*cluster, {{"GET", keys_.Record(copy.id)}}, where), copy.id, where);
  if (!owner || owner->source_path == copy.path) return false;
  RunOne(*cluster, {{"SADD", keys_.CopiesOf(copy.id), copy.path}}, where);
  const std::optional<RecordingCopy> before =
      DecodeStoredCopy(RunOne(*cluster, {{"HGET", keys_.Copies(), copy.path}}, where));
  RunOne(*cluster, {{"HSET", keys_.Copies(), copy.path, EncodeRecordingCopy(copy)}}, where);
  if (before && before->id != copy.id)
    RunOne(*cluster, {{"SREM", keys_.CopiesOf(before->id), copy.path}}, where);
  return true;
}

std::optional<RecordingCopy> RedisCatalog::RemoveCopy(std::string_view path) {
  RequireWritable();
  Lease cluster = Borrow();
  return ForgetCopyAt(*cluster, std::string(path));
}

std::optional<RecordingCopy> RedisCatalog::ForgetCopyAt(RedisCluster& cluster,
                                                        const std::string& path) {
  const std::string where = location();
  RedisValue stored = RunOne(cluster, {{"HGET", keys_.Copies(), path}}, where);
  if (stored.is_nil()) return std::nullopt;
  std::optional<RecordingCopy> copy = DecodeStoredCopy(stored);
  RunOne(cluster, {{"HDEL", keys_.Copies(), path}}, where);
  if (copy) RunOne(cluster, {{"SREM", keys_.CopiesOf(copy->id), path}}, where);
  return copy;
}

void RedisCatalog::ForgetCopies(RedisCluster& cluster, RecordingId id) {
  const std::string where = location();
  const std::string index = keys_.CopiesOf(id);
  const std::vector<RedisValue> paths = RunOne(cluster, {{"SMEMBERS", index}}, where).elements;
  for (std::size_t begin = 0; begin < paths.size(); begin += kRedisCopiesPerRound) {
    const std::size_t end = std::min(paths.size(), begin + kRedisCopiesPerRound);
    RedisCommand read{{"HMGET", keys_.Copies()}};
    for (std::size_t i = begin; i < end; ++i) read.args.push_back(paths[i].text);
    const RedisValue stored = RunOne(cluster, std::move(read), where);
    std::vector<RedisCommand> forget;
    for (std::size_t i = begin; i < end && i - begin < stored.elements.size(); ++i) {
      const RedisValue& value = stored.elements[i - begin];
      const std::optional<RecordingCopy> copy = DecodeStoredCopy(value);
      if (!copy || copy->id != id) continue;  // a copy of another recording now
      forget.push_back(Script(kDeleteFieldIfEqual, {keys_.Copies()}, {paths[i].text, value.text}));
    }
    RunAll(cluster, forget, where);
  }
  RunOne(cluster, {{"DEL", index}}, where);
}

void RedisCatalog::IndexCopies(RedisCluster& cluster) {
  const std::string where = location();
  if (RunOne(cluster, {{"HGET", keys_.Meta(), kRedisCopiesIndexedField}}, where).text == "1")
    return;
  // Adding a path to its index twice changes nothing, so a writer killed
  // halfway leaves the next one to start again.
  cluster.ScanHash(keys_.Copies(), kRedisCopiesPerRound, [&](std::span<const RedisValue> fields) {
    std::vector<RedisCommand> adds;
    for (std::size_t i = 0; i + 1 < fields.size(); i += 2) {
      if (const std::optional<RecordingCopy> copy = DecodeStoredCopy(fields[i + 1]))
        adds.push_back({{"SADD", keys_.CopiesOf(copy->id), fields[i].text}});
    }
    RunAll(cluster, adds, where);
  });
  RunOne(cluster, {{"HSET", keys_.Meta(), kRedisCopiesIndexedField, "1"}}, where);
}

std::uint64_t RedisCatalog::CleanCopyIndexes(RedisCluster& cluster,
                                             const std::function<bool(RecordingId)>& known) {
  const std::string where = location();
  const std::string prefix = keys_.prefix() + "o:";
  std::set<RecordingId> ids;
  for (const std::string& key : cluster.ScanKeys(prefix + "*")) {
    const std::string id_text = key.substr(prefix.size());
    if (id_text.empty() || id_text.size() > 9 ||
        id_text.find_first_not_of("0123456789") != std::string::npos)
      continue;
    const auto id = static_cast<RecordingId>(std::stoul(id_text));
    if (!known(id)) ids.insert(id);
  }
  std::uint64_t cleaned = 0;
  for (RecordingId id : ids) {
    // Looked at again on its own, pending first, then the bit, as a claim
    // is (see TakeBackStaleClaim).
    const std::string id_text = std::to_string(id);
    if (!RunOne(cluster, {{"ZSCORE", keys_.Pending(), id_text}}, where).is_nil()) continue;
    if (RunOne(cluster, {{"GETBIT", keys_.Published(), id_text}}, where).integer == 1) continue;
    ForgetCopies(cluster, id);
    ++cleaned;
  }
  return cleaned;
}

}  // namespace plim::catalog
