// RedisCatalog::Verify: the published recordings' records, landmark lists,
// peak blocks and claims, then every copy and posting, then the totals.

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <utility>

#include "platform/catalog/copy_format.h"
#include "platform/catalog/peak_blocks.h"
#include "platform/catalog/record_format.h"
#include "platform/catalog/redis/redis_catalog.h"
#include "platform/catalog/redis/redis_published.h"

namespace plim::catalog {
namespace {

// Recordings whose keys are read in one pipeline; their peaks come whole.
constexpr std::size_t kRecordingsPerRound = 64;
constexpr std::size_t kBucketsPerRound = 256;

std::int64_t DurationUs(double duration_s) {
  if (!(duration_s > 0) || !std::isfinite(duration_s)) return 0;
  return std::llround(duration_s * 1e6);
}

class RedisWalk {
 public:
  RedisWalk(const RedisKeys& keys, std::string where, RedisCluster& cluster,
            VerificationReport& report)
      : keys_(keys), where_(std::move(where)), cluster_(cluster), report_(report) {}

  void Run() {
    // Ids being added or removed are half there by design: a writer is at
    // work, or clean takes back what a killed one left.
    for (const RedisValue& member :
         cluster_.Run(RedisCommand{{"ZRANGE", keys_.Pending(), "0", "-1"}}).elements)
      pending_.insert(static_cast<RecordingId>(RedisInteger(member)));
    std::vector<RecordingId> ids;
    RedisPublishedBits(keys_.Published(), where_)
        .Scan(cluster_, [&ids](std::span<const RecordingId> round) {
          ids.insert(ids.end(), round.begin(), round.end());
          return true;
        });
    published_.insert(ids.begin(), ids.end());
    for (std::size_t begin = 0; begin < ids.size(); begin += kRecordingsPerRound) {
      Recordings({ids.data() + begin, std::min(kRecordingsPerRound, ids.size() - begin)});
    }
    Claims();
    StaleClaims();
    Copies();
    Postings();
    Totals();
  }

 private:
  void Damage(RecordingId id, std::string what) {
    CatalogDamage damage{id, "", std::move(what)};
    if (auto it = index_of_.find(id); it != index_of_.end())
      damage.source_path = report_.recordings[it->second].second.source_path;
    report_.damage.push_back(std::move(damage));
  }

  void Recordings(std::span<const RecordingId> ids) {
    std::vector<RedisCommand> commands;
    for (RecordingId id : ids) {
      commands.push_back({{"GET", keys_.Record(id)}});
      commands.push_back({{"EXISTS", keys_.HashList(id)}});
      commands.push_back({{"HGETALL", keys_.Peaks(id)}});
    }
    const std::vector<RedisValue> replies = cluster_.Run(commands);
    for (std::size_t i = 0; i < ids.size(); ++i) {
      const RecordingId id = ids[i];
      const RedisValue& record = replies[3 * i];
      StoredValueState state = StoredValueState::kChecked;
      std::optional<Recording> recording;
      if (record.type == RedisValue::Type::kString)
        recording = DecodeRecording(record.text, &state);
      if (record.is_nil()) {
        Damage(id, "it is published without a record");
      } else if (!recording) {
        Damage(id, "its record is damaged, so its file is not known");
      } else {
        if (state == StoredValueState::kUnchecked) ++report_.unchecked_values;
        index_of_[id] = report_.recordings.size();
        report_.recordings.emplace_back(id, std::move(*recording));
      }
      if (replies[3 * i + 1].integer != 1) Damage(id, "its landmark list is missing");
      const RedisValue& blocks = replies[3 * i + 2];
      std::vector<fingerprint::Peak> peaks;
      for (std::size_t f = 0; f + 1 < blocks.elements.size(); f += 2) {
        ++report_.peak_blocks;
        const std::string& block = blocks.elements[f].text;
        peaks.clear();
        if (block.empty() || !std::all_of(block.begin(), block.end(), ::isdigit) ||
            block.size() > 9 ||
            !DecodePeakBlock(blocks.elements[f + 1].text, id,
                             static_cast<std::uint32_t>(std::stoul(block)), peaks)) {
          Damage(id, "its peak block " + block + " is damaged");
        }
      }
    }
  }

  // Readers find a recording by its audio and by its path through these.
  void Claims() {
    std::vector<RedisCommand> commands;
    std::vector<std::pair<RecordingId, const char*>> of_command;
    for (const auto& [id, recording] : report_.recordings) {
      commands.push_back({{"GET", keys_.Content(recording.content_hash)}});
      of_command.push_back({id, "the entry of its audio"});
      if (recording.source_path.empty()) continue;
      commands.push_back({{"GET", keys_.Path(recording.source_path)}});
      of_command.push_back({id, "the entry of its path"});
    }
    for (std::size_t begin = 0; begin < commands.size(); begin += kBucketsPerRound) {
      const std::size_t n = std::min(kBucketsPerRound, commands.size() - begin);
      const std::vector<RedisValue> replies = cluster_.Run({commands.data() + begin, n});
      for (std::size_t i = 0; i < n; ++i) {
        const auto [id, what] = of_command[begin + i];
        if (RedisInteger(replies[i], 0) != static_cast<long long>(id))
          Damage(id, std::string(what) + " is missing or names another recording");
      }
    }
  }

  // A claim whose recording is not published (its bit lost in a
  // failover) makes every add of that audio a copy of nothing.
  void StaleClaims() {
    const std::vector<std::string> claims = cluster_.ScanKeys(keys_.prefix() + "c:*");
    for (std::size_t begin = 0; begin < claims.size(); begin += kBucketsPerRound) {
      const std::size_t n = std::min(kBucketsPerRound, claims.size() - begin);
      std::vector<RedisCommand> commands;
      for (std::size_t i = 0; i < n; ++i) commands.push_back({{"GET", claims[begin + i]}});
      const std::vector<RedisValue> replies = cluster_.Run(commands);
      for (std::size_t i = 0; i < n; ++i) {
        if (replies[i].is_nil()) continue;
        const auto id = static_cast<RecordingId>(RedisInteger(replies[i]));
        if (published_.contains(id) || pending_.contains(id)) continue;
        Damage(id,
               "the entry " + claims[begin + i] + " claims its audio, but it is not " +
                   "published, so that audio can't be added again (clean takes the claim back)");
      }
    }
  }

  // A removal finds a recording's copies through its index only: a copy
  // left out of it would outlive its recording. A catalog not yet indexed
  // is indexed by its next writer.
  void Copies() {
    if (cluster_.Run(RedisCommand{{"HGET", keys_.Meta(), kRedisCopiesIndexedField}}).text != "1")
      return;
    cluster_.ScanHash(
        keys_.Copies(), kRedisCopiesPerRound, [&](std::span<const RedisValue> fields) {
          std::vector<RedisCommand> commands;
          std::vector<std::pair<RecordingId, std::string>> of_command;
          for (std::size_t i = 0; i + 1 < fields.size(); i += 2) {
            const std::optional<RecordingCopy> copy = DecodeRecordingCopy(fields[i + 1].text);
            if (!copy) {
              Damage(0, "the copy at " + fields[i].text + " can't be read");
              continue;
            }
            if (!published_.contains(copy->id)) continue;  // ignored, as readers do
            commands.push_back({{"SISMEMBER", keys_.CopiesOf(copy->id), fields[i].text}});
            of_command.emplace_back(copy->id, fields[i].text);
          }
          const std::vector<RedisValue> replies = cluster_.Run(commands);
          for (std::size_t i = 0; i < replies.size(); ++i) {
            if (replies[i].integer == 1) continue;
            Damage(of_command[i].first,
                   "its copy " + of_command[i].second +
                       " is missing from its index of copies, so removing it " +
                       "would leave the copy behind");
          }
        });
  }

  void Postings() {
    const std::vector<std::string> buckets = cluster_.ScanKeys(keys_.prefix() + "p:*");
    report_.index_chunks = buckets.size();
    std::vector<Posting> postings;
    for (std::size_t begin = 0; begin < buckets.size(); begin += kBucketsPerRound) {
      const std::size_t n = std::min(kBucketsPerRound, buckets.size() - begin);
      std::vector<RedisCommand> commands;
      for (std::size_t i = 0; i < n; ++i) commands.push_back({{"HGETALL", buckets[begin + i]}});
      const std::vector<RedisValue> replies = cluster_.Run(commands);
      for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t f = 1; f < replies[i].elements.size(); f += 2) {
          postings.clear();
          if (!DecodeRedisPostings(replies[i].elements[f].text, postings)) {
            Damage(0, "the index key " + buckets[begin + i] + " holds a malformed posting list");
            continue;
          }
          report_.postings += postings.size();
          for (const Posting& p : postings) ++postings_of_[p.recording];
        }
      }
    }
    for (const auto& [id, count] : postings_of_) {
      if (published_.contains(id) || pending_.contains(id)) continue;
      Damage(0, "the index holds " + std::to_string(count) + " postings of recording " +
                    std::to_string(id) + ", which is not in the catalog");
    }
    for (const auto& [id, recording] : report_.recordings) {
      const std::uint64_t found = postings_of_[id];
      if (found != recording.landmark_count) {
        Damage(id, "the index holds " + std::to_string(found) + " of its " +
                       std::to_string(recording.landmark_count) + " landmarks");
      }
    }
  }

  // Readers take the landmark and duration totals from the stats hash, and
  // writers the next id from its counter: each must agree with the records.
  void Totals() {
    std::uint64_t landmarks = 0;
    std::int64_t duration_us = 0;
    RecordingId last_id = 0;
    for (const auto& [id, recording] : report_.recordings) {
      landmarks += recording.landmark_count;
      duration_us += DurationUs(recording.duration_s);
      last_id = std::max(last_id, id);
    }
    const std::vector<RedisValue> replies = cluster_.Run(std::vector<RedisCommand>{
        {{"HMGET", keys_.Stats(), "landmarks", "duration_us"}}, {{"GET", keys_.NextId()}}});
    const std::vector<RedisValue>& stats = replies[0].elements;
    // With a record unreadable, the sums are not known.
    if (report_.Intact() && stats.size() == 2) {
      if (RedisInteger(stats[0]) != static_cast<long long>(landmarks)) {
        Damage(0, "the landmark count it keeps (" + std::to_string(RedisInteger(stats[0])) +
                      ") is not the sum of its recordings' (" + std::to_string(landmarks) + ")");
      }
      if (RedisInteger(stats[1]) != duration_us) {
        Damage(0, "the total duration it keeps (" + std::to_string(RedisInteger(stats[1])) +
                      " microseconds) is not the sum of its recordings' (" +
                      std::to_string(duration_us) + " microseconds)");
      }
    }
    if (RedisInteger(replies[1]) < static_cast<long long>(last_id)) {
      Damage(0, "the last id it gave (" + std::to_string(RedisInteger(replies[1])) +
                    ") is below its recordings' (" + std::to_string(last_id) +
                    "): an add would write over one");
    }
  }

  const RedisKeys& keys_;
  const std::string where_;  // the catalog's location, for messages
  RedisCluster& cluster_;
  VerificationReport& report_;
  std::set<RecordingId> published_, pending_;
  std::map<RecordingId, std::size_t> index_of_;  // into report_.recordings
  std::map<RecordingId, std::uint64_t> postings_of_;
};

}  // namespace

VerificationReport RedisCatalog::Verify() const {
  VerificationReport report;
  Lease cluster = Borrow();
  RedisWalk(keys_, location(), *cluster, report).Run();
  return report;
}

}  // namespace plim::catalog
