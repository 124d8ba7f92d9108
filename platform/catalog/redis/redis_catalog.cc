#include "platform/catalog/redis/redis_catalog.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <unordered_map>

#include "platform/catalog/catalog_error.h"
#include "platform/catalog/copy_format.h"
#include "platform/catalog/peak_blocks.h"
#include "platform/catalog/record_format.h"
#include "platform/catalog/redis/redis_published.h"
#include "platform/foundation/ns_error.h"

namespace plim::catalog {
namespace {

// The layout version of Redis catalogs this build reads and writes.
constexpr int kRedisFormatVersion = 1;

[[noreturn]] void Fail(std::int64_t code, std::string description) {
  throw foundation::NSError(kCatalogErrorDomain, code, std::move(description));
}

// What the masters are set to that the catalog depends on: a line for each
// setting that is off, naming the masters. Best effort: a master that can't
// be asked now (a failover) is passed over, and servers that refuse CONFIG
// (renamed, or not in the user's ACL) are said so once.
std::vector<std::string> CheckServerSettings(RedisCluster& cluster) {
  struct Setting {
    const char* name;
    std::function<bool(const std::string&)> fine;
    const char* risk;
  };
  const auto at_least = [](long long least) {
    return [least](const std::string& value) { return std::atoll(value.c_str()) >= least; };
  };
  const std::vector<Setting> settings = {
      {"maxmemory-policy", [](const std::string& value) { return value == "noeviction"; },
       "Redis may drop keys when its memory is full, and the catalog would lose postings "
       "or records unnoticed: set it to noeviction"},
      {"hash-max-listpack-entries", at_least(kRedisHashListpackEntries),
       "the catalog's posting buckets are kept as hash tables, which take more memory: set "
       "it to 2048 or more"},
      {"hash-max-listpack-value", at_least(kRedisHashListpackValueBytes),
       "the catalog's posting buckets are kept as hash tables, which take more memory: set "
       "it to 1024 or more"},
  };
  std::vector<std::string> warnings;
  try {
    const std::vector<RedisAddress> masters = cluster.masters();
    for (const Setting& setting : settings) {
      const std::vector<RedisValue> replies =
          cluster.RunOnMasters({{"CONFIG", "GET", setting.name}, 2});
      std::string off_nodes, value;
      std::size_t off_count = 0;
      for (std::size_t m = 0; m < replies.size() && m < masters.size(); ++m) {
        const RedisValue& reply = replies[m];
        if (reply.is_error()) {
          return {"the settings of the Redis nodes can't be read (CONFIG GET was refused: " +
                  reply.text.substr(0, reply.text.find(' ')) +
                  "), so maxmemory-policy and hash-max-listpack-entries and -value are not "
                  "checked"};
        }
        // An older server that knows no such setting answers an empty list.
        if (reply.elements.size() != 2 || setting.fine(reply.elements[1].text)) continue;
        off_nodes += (off_count++ == 0 ? "" : ",") + masters[m].text();
        value = reply.elements[1].text;
      }
      if (!off_nodes.empty()) {
        warnings.push_back((off_count == 1 ? "the Redis node " + off_nodes + " has "
                                           : "the Redis nodes " + off_nodes + " have ") +
                           setting.name + " " + value + ": " + setting.risk);
      }
    }
  } catch (const foundation::NSError&) {
    // A master down: the catalog opened, and the next open checks again.
  }
  return warnings;
}

class RedisReader : public CatalogReader {
 public:
  RedisReader(const RedisCatalog& store)
      : store_(store),
        cluster_(store.Borrow()),
        published_(store.keys().Published(), store.location()) {}

  void Lookup(std::uint32_t hash, std::vector<Posting>& out) const override {
    auto cached = postings_.find(hash);
    if (cached == postings_.end()) {
      RedisValue reply =
          cluster_->Run(RedisCommand{{"HGET", store_.keys().Bucket(hash), RedisField(hash)}});
      std::vector<Posting> postings = Decode(reply);
      FetchPublished({&postings, 1});
      cached = postings_.emplace(hash, std::move(postings)).first;
    }
    for (const Posting& p : cached->second)
      if (IsPublished(p.recording)) out.push_back(p);
  }

  std::vector<std::size_t> PostingCounts(std::span<const std::uint32_t> hashes) const override {
    // A list this reader holds is counted as Lookup reads it (the bits of
    // its recordings came with it); the others' lengths come from HSTRLEN,
    // one command a hash (each names one field), all of them in one
    // pipeline. The first chunk of the published bitmap comes with them
    // when not held: it is all of a catalog of fewer than 32,768
    // recordings, whose lists then need no round for their bits.
    std::vector<std::size_t> counts(hashes.size());
    std::vector<RedisCommand> commands;
    std::vector<std::size_t> hash_of_command;
    for (std::size_t i = 0; i < hashes.size(); ++i) {
      auto held = postings_.find(hashes[i]);
      if (held == postings_.end()) {
        commands.push_back({{"HSTRLEN", store_.keys().Bucket(hashes[i]), RedisField(hashes[i])}});
        hash_of_command.push_back(i);
      } else {
        counts[i] = static_cast<std::size_t>(
            std::count_if(held->second.begin(), held->second.end(),
                          [&](const Posting& p) { return IsPublished(p.recording); }));
      }
    }
    if (commands.empty()) return counts;
    const RecordingId first_id = 1;
    const std::vector<std::uint32_t> chunks = published_.AddReads({&first_id, 1}, commands);
    std::vector<RedisValue> replies = cluster_->Run(commands);
    for (std::size_t c = 0; c < hash_of_command.size(); ++c) {
      const RedisValue& reply = replies[c];
      if (reply.type != RedisValue::Type::kInteger) Damaged(reply.text);
      if (reply.integer < 0 || reply.integer % kRedisPostingBytes != 0)
        Damaged("a malformed posting list");
      counts[hash_of_command[c]] = static_cast<std::size_t>(reply.integer) / kRedisPostingBytes;
    }
    for (std::size_t i = 0; i < chunks.size(); ++i)
      published_.Keep(chunks[i], replies[hash_of_command.size() + i]);
    return counts;
  }

  void Prefetch(std::span<const std::uint32_t> query_hashes) const override {
    // A new query: what the last one read of records and peaks is let go,
    // so that a reader kept for many queries does not hold the catalog.
    records_.clear();
    peak_blocks_.clear();
    std::vector<std::uint32_t> hashes;
    for (std::uint32_t hash : query_hashes)
      if (!postings_.contains(hash)) hashes.push_back(hash);
    std::sort(hashes.begin(), hashes.end());
    hashes.erase(std::unique(hashes.begin(), hashes.end()), hashes.end());
    // One HMGET per bucket, all of them in one pipeline.
    std::vector<RedisCommand> commands;
    std::vector<std::size_t> first_of_command;
    for (std::size_t i = 0; i < hashes.size(); ++i) {
      std::string bucket = store_.keys().Bucket(hashes[i]);
      if (commands.empty() || commands.back().args[1] != bucket) {
        commands.push_back({{"HMGET", std::move(bucket)}});
        first_of_command.push_back(i);
      }
      commands.back().args.push_back(RedisField(hashes[i]));
    }
    if (commands.empty()) return;
    std::vector<RedisValue> replies = cluster_->Run(commands);
    std::vector<std::vector<Posting>> lists(hashes.size());
    for (std::size_t c = 0; c < replies.size(); ++c) {
      const RedisValue& reply = replies[c];
      const std::size_t fields = commands[c].args.size() - 2;
      if (reply.is_error() || reply.elements.size() != fields) Damaged(reply.text);
      for (std::size_t f = 0; f < fields; ++f)
        lists[first_of_command[c] + f] = Decode(reply.elements[f]);
    }
    // The recordings the lists name are known only now: their bits come in
    // one more round, for all the lists at once.
    FetchPublished(lists);
    for (std::size_t i = 0; i < hashes.size(); ++i) postings_[hashes[i]] = std::move(lists[i]);
  }

  std::optional<Recording> GetRecording(RecordingId id) const override {
    if (published_.Holds(id) && !published_.Contains(id)) return std::nullopt;
    auto cached = records_.find(id);
    if (cached == records_.end()) {
      // The record is asked for with the bit when that is not held: one round.
      std::vector<RedisCommand> commands;
      const std::vector<std::uint32_t> chunks = published_.AddReads({&id, 1}, commands);
      commands.push_back({{"GET", store_.keys().Record(id)}});
      std::vector<RedisValue> replies = cluster_->Run(commands);
      for (std::size_t i = 0; i < chunks.size(); ++i) published_.Keep(chunks[i], replies[i]);
      cached = records_.emplace(id, std::move(replies.back())).first;
    }
    if (!IsPublished(id) || cached->second.is_nil()) return std::nullopt;
    return DecodeRecord(id, cached->second);
  }

  void PrefetchRecordings(std::span<const PeakRange> ranges) const override {
    // Every record and peak block not yet held, in one pipeline with the
    // bits of their recordings that are not held either: a recording whose
    // bit comes with them is read before it is known to be published, and
    // given out only if it is.
    std::vector<RecordingId> ids;
    for (const PeakRange& range : ranges) ids.push_back(range.recording);
    std::vector<RedisCommand> commands;
    const std::vector<std::uint32_t> chunks = published_.AddReads(ids, commands);
    std::vector<RecordingId> record_of_command(commands.size(), 0);
    // The blocks each HMGET asks for, in its order (none for a GET): a
    // recording read again over a wider range (the whole of it, after the
    // stretch its landmarks placed) fetches only what it lacks.
    std::vector<std::vector<std::uint32_t>> blocks_of_command(commands.size());
    for (const PeakRange& range : ranges) {
      if (published_.Holds(range.recording) && !published_.Contains(range.recording)) continue;
      if (!records_.contains(range.recording)) {
        commands.push_back({{"GET", store_.keys().Record(range.recording)}});
        record_of_command.push_back(range.recording);
        blocks_of_command.emplace_back();
      }
      if (!(range.last_frame >= range.first_frame) || range.last_frame < 0) continue;
      std::vector<std::uint32_t> missing;
      for (std::uint32_t block = PeakBlockOf(range.first_frame);
           block <= PeakBlockOf(range.last_frame); ++block) {
        if (!peak_blocks_.contains({range.recording, block})) missing.push_back(block);
      }
      if (missing.empty()) continue;
      RedisCommand blocks{{"HMGET", store_.keys().Peaks(range.recording)}};
      for (std::uint32_t block : missing) blocks.args.push_back(std::to_string(block));
      commands.push_back(std::move(blocks));
      record_of_command.push_back(range.recording);
      blocks_of_command.push_back(std::move(missing));
    }
    if (commands.empty()) return;
    std::vector<RedisValue> replies = cluster_->Run(commands);
    for (std::size_t i = 0; i < chunks.size(); ++i) published_.Keep(chunks[i], replies[i]);
    for (std::size_t c = chunks.size(); c < replies.size(); ++c) {
      const std::vector<std::uint32_t>& blocks = blocks_of_command[c];
      if (blocks.empty()) {
        records_.emplace(record_of_command[c], std::move(replies[c]));
        continue;
      }
      if (replies[c].is_error()) Damaged(replies[c].text);
      if (replies[c].elements.size() != blocks.size()) Damaged("a short reply to a read of peaks");
      for (std::size_t i = 0; i < blocks.size(); ++i) {
        peak_blocks_[{record_of_command[c], blocks[i]}] = std::move(replies[c].elements[i]);
      }
    }
  }

  void ReadPeaks(RecordingId id, double first_frame, double last_frame,
                 std::vector<fingerprint::Peak>& out) const override {
    if (!(last_frame >= first_frame) || last_frame < 0) return;
    FetchPeakBlocks(id, first_frame, last_frame);
    if (!IsPublished(id)) return;
    const auto first_q = static_cast<std::uint64_t>(
        std::max(0.0, std::ceil(first_frame * fingerprint::kTimeSubdivisions)));
    const auto last_q = static_cast<std::uint64_t>(
        std::min(std::floor(last_frame * fingerprint::kTimeSubdivisions), 4294967295.0));
    std::vector<fingerprint::Peak> block_peaks;
    for (std::uint32_t block = PeakBlockOf(first_frame); block <= PeakBlockOf(last_frame);
         ++block) {
      if (!DecodeHeldBlock(id, block, block_peaks, nullptr)) continue;
      for (const fingerprint::Peak& peak : block_peaks)
        if (peak.time_q >= first_q && peak.time_q <= last_q) out.push_back(peak);
    }
  }

  std::size_t ReadOutline(RecordingId id, double first_frame, double last_frame,
                          fingerprint::BandOutline& out) const override {
    const std::uint32_t first_block = PeakBlockOf(std::max(0.0, first_frame));
    const std::size_t first_outline_frame = std::size_t{first_block} * kOutlineFramesPerBlock;
    if (!(last_frame >= first_frame) || last_frame < 0) return first_outline_frame;
    FetchPeakBlocks(id, first_frame, last_frame);
    if (!IsPublished(id)) return first_outline_frame;
    std::vector<fingerprint::Peak> block_peaks;
    AppendOutlineBlocks(first_block, PeakBlockOf(last_frame), out.levels,
                        [&](std::uint32_t block, std::vector<std::uint8_t>* levels) {
                          return DecodeHeldBlock(id, block, block_peaks, levels);
                        });
    return first_outline_frame;
  }

 private:
  // Makes sure recording `id`'s bit is held, and every peak block covering
  // [first_frame, last_frame] when it is published.
  void FetchPeakBlocks(RecordingId id, double first_frame, double last_frame) const {
    bool all_held = published_.Holds(id);
    for (std::uint32_t block = PeakBlockOf(first_frame);
         block <= PeakBlockOf(last_frame) && all_held; ++block)
      all_held = peak_blocks_.contains({id, block});
    if (!all_held) {
      const PeakRange range{id, first_frame, last_frame};
      PrefetchRecordings({&range, 1});
    }
  }

  // Decodes held block `block` of recording `id` into `peaks` (cleared
  // first), appending its outline levels to `outline` when given; false
  // when the recording has no such block.
  bool DecodeHeldBlock(RecordingId id, std::uint32_t block, std::vector<fingerprint::Peak>& peaks,
                       std::vector<std::uint8_t>* outline) const {
    auto held = peak_blocks_.find({id, block});
    if (held == peak_blocks_.end()) Damaged("a short reply to a read of peaks");
    const RedisValue& value = held->second;
    if (value.is_nil()) return false;
    peaks.clear();
    if (!DecodePeakBlock(value.text, id, block, peaks, false, outline)) {
      Damaged("the peaks of recording " + std::to_string(id) + " can't be read");
    }
    return true;
  }

 public:
  std::optional<RecordingId> FindByContentHash(std::string_view content_hash) const override {
    if (content_hash.empty()) return std::nullopt;
    return PublishedId(store_.keys().Content(content_hash));
  }

  std::optional<RecordingId> FindBySourcePath(std::string_view source_path) const override {
    if (source_path.empty()) return std::nullopt;
    return PublishedId(store_.keys().Path(source_path));
  }

  void ForEachRecording(
      const std::function<bool(RecordingId, const Recording&)>& visit) const override {
    constexpr std::size_t kBatch = 256;
    published_.Scan(*cluster_, [&](std::span<const RecordingId> ids) {
      for (std::size_t begin = 0; begin < ids.size(); begin += kBatch) {
        std::vector<RedisCommand> commands;
        for (std::size_t i = begin; i < std::min(ids.size(), begin + kBatch); ++i)
          commands.push_back({{"GET", store_.keys().Record(ids[i])}});
        std::vector<RedisValue> replies = cluster_->Run(commands);
        for (std::size_t i = 0; i < replies.size(); ++i) {
          if (replies[i].is_nil()) continue;  // removed since
          if (!visit(ids[begin + i], DecodeRecord(ids[begin + i], replies[i]))) return false;
        }
      }
      return true;
    });
  }

  std::optional<RecordingCopy> FindCopy(std::string_view path) const override {
    if (path.empty()) return std::nullopt;
    RedisValue reply =
        cluster_->Run(RedisCommand{{"HGET", store_.keys().Copies(), std::string(path)}});
    if (reply.is_nil()) return std::nullopt;
    RecordingCopy copy = DecodeCopy(reply);
    if (!IsPublished(copy.id)) return std::nullopt;
    return copy;
  }

  void ForEachCopy(const std::function<bool(const RecordingCopy&)>& visit) const override {
    // In batches, so that no node sends a large archive's copies in one
    // reply; the map orders them and drops those a scan gives twice.
    std::map<std::string, RecordingCopy> copies;
    cluster_->ScanHash(store_.keys().Copies(), kRedisCopiesPerRound,
                       [&](std::span<const RedisValue> fields) {
                         for (std::size_t i = 1; i < fields.size(); i += 2) {
                           RecordingCopy copy = DecodeCopy(fields[i]);
                           copies.insert_or_assign(copy.path, std::move(copy));
                         }
                       });
    std::vector<RecordingId> ids;
    for (const auto& [path, copy] : copies) ids.push_back(copy.id);
    published_.Fetch(*cluster_, ids);
    for (const auto& [path, copy] : copies)
      if (IsPublished(copy.id) && !visit(copy)) return;
  }

  std::optional<Artwork> ReadArtwork(std::string_view artwork_file) const override {
    RedisValue reply = cluster_->Run(RedisCommand{{"GET", store_.keys().Picture(artwork_file)}});
    if (reply.type != RedisValue::Type::kString) return std::nullopt;
    return Artwork{std::move(reply.text), ""};
  }

  // Counted by the node, as the bitmap is now: not what this reader holds.
  std::uint64_t RecordingCount() const override {
    const RedisValue reply = cluster_->Run(RedisCommand{{"BITCOUNT", store_.keys().Published()}});
    if (reply.type != RedisValue::Type::kInteger) Damaged(reply.text);
    return static_cast<std::uint64_t>(reply.integer);
  }

  std::uint64_t LandmarkCount() const override {
    return static_cast<std::uint64_t>(Stat("landmarks"));
  }
  double TotalDurationS() const override { return static_cast<double>(Stat("duration_us")) / 1e6; }

 private:
  [[noreturn]] void Damaged(const std::string& what) const {
    Fail(kCatalogErrorDamaged,
         "The Redis catalog at " + store_.location() + " is damaged: " + what);
  }

  std::vector<Posting> Decode(const RedisValue& value) const {
    std::vector<Posting> postings;
    if (value.is_nil()) return postings;
    if (value.type != RedisValue::Type::kString || !DecodeRedisPostings(value.text, postings))
      Damaged("a malformed posting list");
    std::sort(postings.begin(), postings.end(), [](const Posting& a, const Posting& b) {
      return a.recording != b.recording ? a.recording < b.recording
                                        : a.anchor_frame < b.anchor_frame;
    });
    return postings;
  }

  Recording DecodeRecord(RecordingId id, const RedisValue& value) const {
    std::optional<Recording> recording;
    if (value.type == RedisValue::Type::kString) recording = DecodeRecording(value.text);
    if (!recording) Damaged("recording " + std::to_string(id) + " can't be read");
    if (!recording->artwork_file.empty())
      recording->artwork_url = store_.location() + "/artwork/" + recording->artwork_file;
    return std::move(*recording);
  }

  RecordingCopy DecodeCopy(const RedisValue& value) const {
    std::optional<RecordingCopy> copy;
    if (value.type == RedisValue::Type::kString) copy = DecodeRecordingCopy(value.text);
    if (!copy) Damaged("a copy of a recording can't be read");
    return std::move(*copy);
  }

  std::optional<RecordingId> PublishedId(const std::string& key) const {
    RedisValue reply = cluster_->Run(RedisCommand{{"GET", key}});
    const long long id = RedisInteger(reply, 0);
    if (id <= 0 || !IsPublished(static_cast<RecordingId>(id))) return std::nullopt;
    return static_cast<RecordingId>(id);
  }

  long long Stat(const char* field) const {
    return RedisInteger(cluster_->Run(RedisCommand{{"HGET", store_.keys().Stats(), field}}), 0);
  }

  // The reader's view of which recordings exist: each chunk of the
  // published bitmap as it was when first read, kept for later queries.
  bool IsPublished(RecordingId id) const {
    if (!published_.Holds(id)) published_.Fetch(*cluster_, {&id, 1});
    return published_.Contains(id);
  }
  // Reads the bits not held of the recordings that `lists` name, all at
  // once (see RedisPublishedBits::Fetch). Every list this reader holds has
  // its recordings' bits held: they are read before the list is kept.
  void FetchPublished(std::span<const std::vector<Posting>> lists) const {
    std::vector<RecordingId> ids;
    for (const std::vector<Posting>& list : lists)
      for (const Posting& p : list)
        if (!published_.Holds(p.recording)) ids.push_back(p.recording);
    published_.Fetch(*cluster_, ids);
  }

  const RedisCatalog& store_;
  RedisCatalog::Lease cluster_;
  // Caches of one reader, used from one thread.
  mutable std::unordered_map<std::uint32_t, std::vector<Posting>> postings_;
  mutable std::unordered_map<RecordingId, RedisValue> records_;  // GET replies
  mutable std::map<std::pair<RecordingId, std::uint32_t>, RedisValue> peak_blocks_;
  mutable RedisPublishedBits published_;
};

}  // namespace

RedisCatalog::Lease::Lease(const RedisCatalog& owner, std::unique_ptr<RedisCluster> cluster)
    : owner_(&owner), cluster_(std::move(cluster)) {}

RedisCatalog::Lease::~Lease() {
  if (!cluster_) return;
  std::lock_guard<std::mutex> lock(owner_->pool_mutex_);
  owner_->idle_.push_back(std::move(cluster_));
}

RedisCatalog::Lease RedisCatalog::Borrow() const {
  {
    std::lock_guard<std::mutex> lock(pool_mutex_);
    if (!idle_.empty()) {
      std::unique_ptr<RedisCluster> cluster = std::move(idle_.back());
      idle_.pop_back();
      return Lease(*this, std::move(cluster));
    }
  }
  return Lease(*this,
               std::make_unique<RedisCluster>(location_.seeds, timeouts_.command_s,
                                              timeouts_.retry_window_s, location_.credentials));
}

RedisCatalog::RedisCatalog(RedisLocation location, RedisTimeouts timeouts, bool read_only,
                           bool fingerprint_matches, std::uint32_t fingerprint_version)
    : location_(std::move(location)),
      keys_(location_.name),
      timeouts_(timeouts),
      read_only_(read_only),
      fingerprint_matches_(fingerprint_matches),
      fingerprint_version_(fingerprint_version) {}

RedisCatalog::~RedisCatalog() = default;

std::unique_ptr<RedisCatalog> RedisCatalog::Open(std::string_view location_text, Mode mode,
                                                 const OpenOptions& options,
                                                 const RedisTimeouts& timeouts) {
  RedisLocation location = ParseRedisLocation(location_text);
  if (const char* password = std::getenv(kRedisPasswordVariable);
      location.credentials.password.empty() && password != nullptr) {
    location.credentials.password = password;
  }
  RedisCluster cluster(location.seeds, timeouts.command_s, timeouts.retry_window_s,
                       location.credentials);
  const RedisKeys keys(location.name);
  const bool read_only = mode == Mode::kReadOnly;
  if (!read_only) {
    cluster.Run(std::vector<RedisCommand>{
        {{"HSETNX", keys.Meta(), "format", std::to_string(kRedisFormatVersion)}},
        {{"HSETNX", keys.Meta(), "fingerprint_version",
          std::to_string(options.fingerprint_version)}}});
  }
  RedisValue meta =
      cluster.Run(RedisCommand{{"HMGET", keys.Meta(), "format", "fingerprint_version"}});
  if (meta.is_error()) {
    Fail(kCatalogErrorCannotOpen,
         "The Redis catalog at " + location.text() + " can't be opened: " + meta.text);
  }
  if (meta.elements.size() != 2 || meta.elements[0].is_nil()) {
    Fail(kCatalogErrorNoCatalog,
         "There is no catalog at " + location.text() + ": add recordings with plim-catalog add");
  }
  if (RedisInteger(meta.elements[0]) != kRedisFormatVersion) {
    Fail(kCatalogErrorNewerFormat, "The Redis catalog at " + location.text() +
                                       " has layout version " + meta.elements[0].text +
                                       ", which this plim can't read");
  }
  const auto version = static_cast<std::uint32_t>(RedisInteger(meta.elements[1]));
  const bool matches = version == options.fingerprint_version;
  if (!matches && !options.accept_other_fingerprint_version) {
    Fail(kCatalogErrorFingerprintMismatch,
         "The catalog at " + location.text() + " was built with fingerprint version " +
             std::to_string(version) + ", and this plim uses version " +
             std::to_string(options.fingerprint_version) +
             ": bring it up to date with plim-catalog rebuild");
  }
  auto catalog = std::unique_ptr<RedisCatalog>(
      new RedisCatalog(std::move(location), timeouts, read_only, matches, version));
  if (!read_only) catalog->IndexCopies(cluster);
  catalog->warnings_ = CheckServerSettings(cluster);
  return catalog;
}

std::unique_ptr<CatalogReader> RedisCatalog::NewCatalogReader() const {
  return std::make_unique<RedisReader>(*this);
}

DiskUsage RedisCatalog::MeasureDiskUsage() const {
  // The bytes of this catalog's own keys: the nodes' used_memory would count
  // every other catalog in the cluster, and the nodes' own needs.
  Lease cluster = Borrow();
  const std::vector<std::string> keys = cluster->ScanKeys(keys_.prefix() + "*");
  const std::string picture_prefix = keys_.prefix() + "a:";  // NAME:a:{FILE}
  constexpr std::size_t kBatch = 4096;
  DiskUsage usage;
  for (std::size_t begin = 0; begin < keys.size(); begin += kBatch) {
    std::vector<RedisCommand> commands;
    for (std::size_t i = begin; i < std::min(keys.size(), begin + kBatch); ++i)
      commands.push_back({{"MEMORY", "USAGE", keys[i]}, 2});
    std::vector<RedisValue> replies = cluster->Run(commands);
    for (std::size_t i = 0; i < replies.size(); ++i) {
      if (replies[i].is_error()) {
        Fail(kCatalogErrorCannotOpen,
             "The Redis catalog at " + location() + " can't be measured: " + replies[i].text);
      }
      // Nil for a key removed since the scan.
      const auto bytes = static_cast<std::uint64_t>(std::max(0LL, RedisInteger(replies[i])));
      (commands[i].args[2].starts_with(picture_prefix) ? usage.artwork_bytes
                                                       : usage.database_used_bytes) += bytes;
    }
  }
  usage.database_file_bytes = usage.database_used_bytes;
  return usage;
}

void RedisCatalog::RequireWritable() const {
  if (read_only_) {
    Fail(kCatalogErrorInvalidArgument,
         "The catalog at " + location() + " was opened read-only: it can't be changed");
  }
}

}  // namespace plim::catalog
