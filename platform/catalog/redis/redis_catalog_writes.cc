// RedisCatalog::Add, Remove, Correct and CleanLeftovers: the publication
// order that lets readers and other writers ignore a half-written recording.

#include <chrono>
#include <cmath>
#include <map>
#include <set>

#include "platform/catalog/artwork_files.h"
#include "platform/catalog/catalog_error.h"
#include "platform/catalog/peak_blocks.h"
#include "platform/catalog/prepared_recording.h"
#include "platform/catalog/record_format.h"
#include "platform/catalog/redis/redis_catalog.h"
#include "platform/catalog/redis/redis_published.h"
#include "platform/catalog/redis/redis_writing.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/utf8.h"

namespace plim::catalog {
namespace {

// Appends posting blobs to buckets of one group. For each key in turn,
// ARGV holds a count n, then n arguments: pairs of field and blob. A blob
// the field holds already at a posting boundary is not added again: a
// batch repeated after a lost reply must not store its postings twice.
constexpr char kAppendPostings[] = R"lua(
local a = 1
for k = 1, #KEYS do
  local n = tonumber(ARGV[a])
  for i = a + 1, a + n, 2 do
    local f, b = ARGV[i], ARGV[i + 1]
    local cur = redis.call('HGET', KEYS[k], f)
    if not cur then
      redis.call('HSET', KEYS[k], f, b)
    else
      local at, found = 1, false
      while true do
        local s = string.find(cur, b, at, true)
        if not s then break end
        if (s - 1) % 6 == 0 then found = true break end
        at = s + 1
      end
      if not found then redis.call('HSET', KEYS[k], f, cur .. b) end
    end
  end
  a = a + n + 1
end
return 0)lua";

// Removes the postings of one recording (ARGV[1], its 3 id bytes) from
// buckets of one group: for each key, a count n, then n fields.
constexpr char kRemovePostings[] = R"lua(
local id = ARGV[1]
local a = 2
for k = 1, #KEYS do
  local n = tonumber(ARGV[a])
  for i = a + 1, a + n do
    local cur = redis.call('HGET', KEYS[k], ARGV[i])
    if cur then
      local kept = {}
      for j = 1, #cur, 6 do
        if string.sub(cur, j, j + 2) ~= id then kept[#kept + 1] = string.sub(cur, j, j + 5) end
      end
      if #kept == 0 then redis.call('HDEL', KEYS[k], ARGV[i])
      else redis.call('HSET', KEYS[k], ARGV[i], table.concat(kept)) end
    end
  end
  a = a + n + 1
end
return 0)lua";

constexpr char kDeleteIfEqual[] = R"lua(
if redis.call('GET', KEYS[1]) == ARGV[1] then return redis.call('DEL', KEYS[1]) end
return 0)lua";

// The totals and a picture's use count change once for each change that
// names itself by a mark (+ID for a recording's arrival, -ID for its
// leaving), so that a script repeated after a lost reply finds its mark and
// does nothing; the writer takes the mark away once the reply is in.

// KEYS: the stats hash. ARGV: the mark, landmarks, microseconds to add.
constexpr char kAddToTotals[] = R"lua(
if redis.call('HSETNX', KEYS[1], ARGV[1], 1) == 0 then return 0 end
redis.call('HINCRBY', KEYS[1], 'landmarks', ARGV[2])
redis.call('HINCRBY', KEYS[1], 'duration_us', ARGV[3])
return 1)lua";

// KEYS: the picture, its use count, its marks. ARGV: the bytes, the mark.
constexpr char kUsePicture[] = R"lua(
if redis.call('SADD', KEYS[3], ARGV[2]) == 0 then return 0 end
redis.call('SET', KEYS[1], ARGV[1])
return redis.call('INCR', KEYS[2]))lua";

// KEYS: as kUsePicture. ARGV: the mark.
constexpr char kReleasePicture[] = R"lua(
if redis.call('SADD', KEYS[3], ARGV[1]) == 0 then return 0 end
local n = redis.call('DECR', KEYS[2])
if n <= 0 then redis.call('DEL', KEYS[1], KEYS[2]) end
return n)lua";

// Raises the id counter to ARGV[1] unless it is there already.
constexpr char kRaiseNextId[] = R"lua(
local n = tonumber(redis.call('GET', KEYS[1]) or '0')
if n < tonumber(ARGV[1]) then redis.call('SET', KEYS[1], ARGV[1]) end
return 0)lua";

std::string Mark(char sign, RecordingId id) {
  std::string mark(1, sign);
  return mark.append(std::to_string(id));
}
std::string Arrival(RecordingId id) { return Mark('+', id); }
std::string Leaving(RecordingId id) { return Mark('-', id); }

// Per bucket key, the script arguments for it; buckets of one group.
using BucketArguments = std::map<std::string, std::vector<std::string>>;

// One call of `script` over the buckets of a group, after `leading` arguments.
RedisCommand GroupScript(const char* script, BucketArguments& buckets,
                         std::vector<std::string> leading) {
  std::vector<std::string> keys;
  for (auto& [key, args] : buckets) {
    keys.push_back(key);
    leading.push_back(std::to_string(args.size()));
    for (std::string& arg : args) leading.push_back(std::move(arg));
  }
  return Script(script, std::move(keys), std::move(leading));
}

std::int64_t DurationUs(double duration_s) {
  if (!(duration_s > 0) || !std::isfinite(duration_s)) return 0;
  return std::llround(duration_s * 1e6);
}

double NowS() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

std::vector<AddResult> RedisCatalog::Add(std::span<const NewRecording> batch) {
  RequireWritable();
  if (!fingerprint_matches_) {
    FailCatalog(
        kCatalogErrorFingerprintMismatch,
        "The catalog at " + location() + " was built with fingerprint version " +
            std::to_string(fingerprint_version_) +
            ", so nothing can be added to it: bring it up to date with plim-catalog rebuild");
  }
  const std::string where = location();
  std::vector<PreparedRecording> prepared;
  for (const NewRecording& item : batch) prepared.push_back(Prepare(item, where));
  Lease cluster = Borrow();
  std::vector<AddResult> results;
  std::vector<RedisCommand> commands;
  for (const PreparedRecording& p : prepared) {
    const Recording& recording = p.recording;
    const std::string content_key = keys_.Content(recording.content_hash);
    if (RedisValue same = RunOne(*cluster, {{"GET", content_key}}, where); !same.is_nil()) {
      const auto holder = static_cast<RecordingId>(RedisInteger(same));
      if (!TakeBackStaleClaim(*cluster, content_key, holder)) {
        results.push_back({AddOutcome::kDuplicate, holder, 0});
        continue;
      }
    }
    RecordingId id = p.requested_id;
    if (id != 0) {
      if (RunOne(*cluster, {{"EXISTS", keys_.Record(id)}}, where).integer != 0) {
        FailCatalog(kCatalogErrorInvalidArgument, "A recording added to the catalog at " + where +
                                                      " asks for id " + std::to_string(id) +
                                                      ", which is already taken");
      }
      RunOne(*cluster, Script(kRaiseNextId, {keys_.NextId()}, {std::to_string(id)}), where);
    } else {
      // Repeated after a lost reply, INCR skips an id that nothing holds.
      id = static_cast<RecordingId>(RunOne(*cluster, {{"INCR", keys_.NextId()}}, where).integer);
    }
    if (id > kRedisMaxRecordingId) {
      FailCatalog(kCatalogErrorCannotWrite,
                  "The catalog at " + where + " has run out of recording ids");
    }
    RunOne(*cluster,
           {{"ZADD", keys_.Pending(), std::to_string(static_cast<long long>(NowS())),
             std::to_string(id)}},
           where);

    // Its hashes first, so that a cleaner finds its postings; then the
    // postings, grouped per bucket; then the peaks.
    std::vector<std::uint32_t> hashes;
    std::map<std::uint32_t, BucketArguments> by_group;
    for (std::size_t i = 0; i < p.landmarks.size();) {
      std::size_t j = i;
      std::vector<std::uint32_t> frames;
      while (j < p.landmarks.size() && p.landmarks[j].hash == p.landmarks[i].hash)
        frames.push_back(p.landmarks[j++].anchor_frame);
      const std::uint32_t hash = p.landmarks[i].hash;
      hashes.push_back(hash);
      std::vector<std::string>& args = by_group[RedisKeys::GroupOf(hash)][keys_.Bucket(hash)];
      args.push_back(RedisField(hash));
      args.push_back(EncodeRedisPostings(id, frames));
      i = j;
    }
    RunOne(*cluster, {{"SET", keys_.HashList(id), EncodeHashList(hashes, 0)}}, where);
    for (auto& [group, buckets] : by_group)
      commands.push_back(GroupScript(kAppendPostings, buckets, {}));
    RunAll(*cluster, commands, where);
    RedisCommand peaks{{"HSET", keys_.Peaks(id)}};
    ForEachPeakBlock(p.peaks, *p.outline, id, [&](std::uint32_t block, std::string value) {
      peaks.args.push_back(std::to_string(block));
      peaks.args.push_back(std::move(value));
    });
    if (peaks.args.size() > 2) RunOne(*cluster, std::move(peaks), where);
    Recording stored = recording;
    if (p.artwork != nullptr) {
      UsePicture(*cluster, p.artwork_file, p.artwork->bytes, id);
      stored.artwork_file = p.artwork_file;
    }
    RunOne(*cluster, {{"SET", keys_.Record(id), EncodeRecording(stored)}}, where);
    // The audio is claimed last: of writers adding the same audio at once,
    // the first to claim it publishes, and the others take back their work.
    // A claim repeated after its reply was lost finds itself.
    if (RunOne(*cluster, {{"SET", content_key, std::to_string(id), "NX"}}, where).is_nil()) {
      const auto holder =
          static_cast<RecordingId>(RedisInteger(RunOne(*cluster, {{"GET", content_key}}, where)));
      if (holder != id) {
        Erase(*cluster, id);
        results.push_back({AddOutcome::kDuplicate, holder, 0});
        continue;
      }
    }
    AddResult result;
    result.id = id;
    std::optional<RecordingId> old;
    if (!recording.source_path.empty()) {
      RedisValue owner = RunOne(*cluster, {{"GET", keys_.Path(recording.source_path)}}, where);
      if (!owner.is_nil()) old = static_cast<RecordingId>(RedisInteger(owner));
    }
    RunOne(*cluster, {{"SETBIT", keys_.Published(), std::to_string(id), "1"}}, where);
    if (!recording.source_path.empty()) {
      commands.push_back({{"SET", keys_.Path(recording.source_path), std::to_string(id)}});
      RunAll(*cluster, commands, where);
      ForgetCopyAt(*cluster, recording.source_path);
    }
    commands.push_back(Script(kAddToTotals, {keys_.Stats()},
                              {Arrival(id), std::to_string(p.landmarks.size()),
                               std::to_string(DurationUs(recording.duration_s))}));
    RunAll(*cluster, commands, where);
    commands.push_back({{"HDEL", keys_.Stats(), Arrival(id)}});
    commands.push_back({{"ZREM", keys_.Pending(), std::to_string(id)}});
    RunAll(*cluster, commands, where);
    if (old && *old != id && Remove(*old)) {
      result.outcome = AddOutcome::kReplaced;
      result.replaced_id = *old;
    }
    results.push_back(result);
  }
  return results;
}

std::optional<Recording> RedisCatalog::Erase(RedisCluster& cluster, RecordingId id) {
  const std::string where = location();
  const std::string id_text = std::to_string(id);
  const bool was_published =
      RunOne(cluster, {{"SETBIT", keys_.Published(), id_text, "0"}}, where).integer == 1;
  std::optional<Recording> recording =
      DecodeStored(RunOne(cluster, {{"GET", keys_.Record(id)}}, where), id, where);
  RunOne(cluster, {{"DEL", keys_.Record(id)}}, where);
  std::vector<RedisCommand> commands;
  if (recording) {
    commands.push_back(Script(kDeleteIfEqual, {keys_.Content(recording->content_hash)}, {id_text}));
    if (!recording->source_path.empty())
      commands.push_back(Script(kDeleteIfEqual, {keys_.Path(recording->source_path)}, {id_text}));
    if (was_published) {
      commands.push_back(
          Script(kAddToTotals, {keys_.Stats()},
                 {Leaving(id), std::to_string(-static_cast<long long>(recording->landmark_count)),
                  std::to_string(-DurationUs(recording->duration_s))}));
    }
  }
  commands.push_back({{"DEL", keys_.Peaks(id)}});
  RunAll(cluster, commands, where);
  RunOne(cluster, {{"HDEL", keys_.Stats(), Leaving(id)}}, where);
  RedisValue list = RunOne(cluster, {{"GET", keys_.HashList(id)}}, where);
  std::vector<std::uint32_t> hashes;
  if (!list.is_nil() && !DecodeHashList(list.text, hashes)) {
    FailCatalog(kCatalogErrorDamaged, "The Redis catalog at " + where +
                                          " is damaged: the landmarks of " + "recording " +
                                          id_text + " can't be read");
  }
  std::map<std::uint32_t, BucketArguments> by_group;
  for (std::uint32_t hash : hashes)
    by_group[RedisKeys::GroupOf(hash)][keys_.Bucket(hash)].push_back(RedisField(hash));
  for (auto& [group, buckets] : by_group)
    commands.push_back(GroupScript(kRemovePostings, buckets, {RedisIdBytes(id)}));
  RunAll(cluster, commands, where);
  if (recording && !recording->artwork_file.empty())
    ReleasePicture(cluster, recording->artwork_file, id);
  // Copies after the bit: a reader ignores those of an unpublished id.
  ForgetCopies(cluster, id);
  commands.push_back({{"DEL", keys_.HashList(id)}});
  commands.push_back({{"ZREM", keys_.Pending(), id_text}});
  RunAll(cluster, commands, where);
  return recording;
}

void RedisCatalog::UsePicture(RedisCluster& cluster, const std::string& file,
                              const std::string& bytes, RecordingId user) {
  const std::string where = location();
  RunOne(
      cluster,
      Script(kUsePicture, {keys_.Picture(file), keys_.PictureUses(file), keys_.PictureMarks(file)},
             {bytes, Arrival(user)}),
      where);
  RunOne(cluster, {{"SREM", keys_.PictureMarks(file), Arrival(user)}}, where);
}

void RedisCatalog::ReleasePicture(RedisCluster& cluster, const std::string& file,
                                  RecordingId user) {
  const std::string where = location();
  RunOne(cluster,
         Script(kReleasePicture,
                {keys_.Picture(file), keys_.PictureUses(file), keys_.PictureMarks(file)},
                {Leaving(user)}),
         where);
  RunOne(cluster, {{"SREM", keys_.PictureMarks(file), Leaving(user)}}, where);
}

bool RedisCatalog::TakeBackStaleClaim(RedisCluster& cluster, const std::string& content_key,
                                      RecordingId holder) {
  const std::string where = location();
  const std::string id_text = std::to_string(holder);
  // Pending first, then the bit: a writer publishing `holder` stands in the
  // pending set from before its claim until after its bit, so an id seen
  // neither pending nor published afterwards lost its bit (a failover), or
  // was removed all but its claim.
  if (!RunOne(cluster, {{"ZSCORE", keys_.Pending(), id_text}}, where).is_nil()) return false;
  if (RunOne(cluster, {{"GETBIT", keys_.Published(), id_text}}, where).integer == 1) return false;
  RunOne(cluster,
         {{"ZADD", keys_.Pending(), std::to_string(static_cast<long long>(NowS())), id_text}},
         where);
  Erase(cluster, holder);
  RunOne(cluster, Script(kDeleteIfEqual, {content_key}, {id_text}), where);
  return true;
}

std::optional<Recording> RedisCatalog::Remove(RecordingId id) {
  RequireWritable();
  const std::string where = location();
  Lease cluster = Borrow();
  if (RunOne(*cluster, {{"GETBIT", keys_.Published(), std::to_string(id)}}, where).integer != 1)
    return std::nullopt;
  RunOne(*cluster,
         {{"ZADD", keys_.Pending(), std::to_string(static_cast<long long>(NowS())),
           std::to_string(id)}},
         where);
  std::optional<Recording> removed = Erase(*cluster, id);
  if (removed && !removed->artwork_file.empty())
    removed->artwork_url = where + "/artwork/" + removed->artwork_file;
  return removed;
}

std::optional<Recording> RedisCatalog::Correct(RecordingId id, const MetadataChange& change) {
  RequireWritable();
  const std::string where = location();
  Lease cluster = Borrow();
  if (RunOne(*cluster, {{"GETBIT", keys_.Published(), std::to_string(id)}}, where).integer != 1)
    return std::nullopt;
  std::optional<Recording> r =
      DecodeStored(RunOne(*cluster, {{"GET", keys_.Record(id)}}, where), id, where);
  if (!r) return std::nullopt;
  ApplyMetadataChange(*r, change);
  std::string released;
  if ((change.artwork && !change.artwork->bytes.empty()) || change.artwork_url) {
    released = r->artwork_file;
    r->artwork_file.clear();
    r->artwork_url.clear();
    if (change.artwork && !change.artwork->bytes.empty()) {
      r->artwork_file = ArtworkFileName(change.artwork->bytes, change.artwork->mime_type);
      UsePicture(*cluster, r->artwork_file, change.artwork->bytes, id);
    } else {
      r->artwork_url = foundation::toValidUTF8(*change.artwork_url);
    }
  }
  RunOne(*cluster, {{"SET", keys_.Record(id), EncodeRecording(*r)}}, where);
  if (!released.empty()) ReleasePicture(*cluster, released, id);
  if (!r->artwork_file.empty()) r->artwork_url = where + "/artwork/" + r->artwork_file;
  return r;
}

std::uint64_t RedisCatalog::CleanLeftovers(double min_age_s) {
  RequireWritable();
  const std::string where = location();
  Lease cluster = Borrow();
  const auto before = static_cast<long long>(std::floor(NowS() - min_age_s));
  RedisValue stale =
      RunOne(*cluster, {{"ZRANGEBYSCORE", keys_.Pending(), "-inf", std::to_string(before)}}, where);
  std::uint64_t cleaned = 0;
  for (const RedisValue& member : stale.elements) {
    const auto id = static_cast<RecordingId>(RedisInteger(member));
    if (RunOne(*cluster, {{"GETBIT", keys_.Published(), member.text}}, where).integer == 1) {
      // Wholly added (a writer killed after publishing, perhaps before it
      // took away its mark on the totals), or a removal that never began:
      // nothing to take back.
      std::vector<RedisCommand> done = {{{"HDEL", keys_.Stats(), Arrival(id)}},
                                        {{"ZREM", keys_.Pending(), member.text}}};
      RunAll(*cluster, done, where);
      continue;
    }
    Erase(*cluster, id);
    ++cleaned;
  }
  // Claims of audio whose recording is not published: each would have
  // every later add of that audio called a copy of nothing. The pending
  // set and the bitmap (in chunks) are read once; each claim they leave
  // unexplained is looked at again on its own before it is taken back.
  std::set<RecordingId> pending;
  for (const RedisValue& member :
       RunOne(*cluster, {{"ZRANGE", keys_.Pending(), "0", "-1"}}, where).elements)
    pending.insert(static_cast<RecordingId>(RedisInteger(member)));
  RedisPublishedBits bits(keys_.Published(), where);
  bits.Scan(*cluster, [](std::span<const RecordingId>) { return true; });
  const auto published = [&bits](RecordingId id) { return bits.Contains(id); };
  const std::vector<std::string> claims = cluster->ScanKeys(keys_.prefix() + "c:*");
  for (std::size_t begin = 0; begin < claims.size(); begin += kCommandsPerRound) {
    std::vector<RedisCommand> commands;
    for (std::size_t i = begin; i < std::min(claims.size(), begin + kCommandsPerRound); ++i)
      commands.push_back({{"GET", claims[i]}});
    const std::vector<RedisValue> holders = cluster->Run(commands);
    for (std::size_t i = 0; i < holders.size(); ++i) {
      if (holders[i].is_nil()) continue;  // taken away since the scan
      const auto holder = static_cast<RecordingId>(RedisInteger(holders[i]));
      if (published(holder) || pending.contains(holder)) continue;
      if (TakeBackStaleClaim(*cluster, commands[i].args[1], holder)) ++cleaned;
    }
  }
  // Indexes of copies whose recording went while a copy was being added.
  cleaned += CleanCopyIndexes(
      *cluster, [&](RecordingId id) { return published(id) || pending.contains(id); });
  return cleaned;
}

void RedisCatalog::Destroy() {
  Lease cluster = Borrow();
  std::vector<RedisCommand> commands;
  for (std::string& key : cluster->ScanKeys(keys_.prefix() + "*"))
    commands.push_back({{"DEL", std::move(key)}});
  RunAll(*cluster, commands, location());
}

std::vector<std::optional<Recording>> RedisCatalog::CorrectAll(
    std::span<const Correction> changes) {
  std::vector<std::optional<Recording>> corrected;
  for (const Correction& c : changes) corrected.push_back(Correct(c.id, c.change));
  return corrected;
}

}  // namespace plim::catalog
