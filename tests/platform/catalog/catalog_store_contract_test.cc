// One contract, two stores: every case runs against the LMDB directory and
// against the Redis store on a local cluster (scripts/redis-cluster.sh),
// which this test starts and stops itself.

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <tuple>
#include <type_traits>

#include "platform/catalog/catalog_error.h"
#include "platform/catalog/copy_format.h"
#include "platform/catalog/lmdb/catalog.h"
#include "platform/catalog/peak_blocks.h"
#include "platform/catalog/redis/redis_catalog.h"
#include "platform/fingerprint/fingerprint_params.h"
#include "platform/foundation/ns_error.h"
#include "platform/matching/nomination.h"
#include "tests/platform/catalog/catalog_test_support.h"
#include "tests/platform/catalog/redis_test_cluster.h"
#include "tests/support/audio_fixtures.h"
#include "tests/support/thrown_error.h"

namespace plim::catalog {

namespace {
std::mutex lose_mutex;
std::function<bool(const RedisCommand&)> lose_reply_to;  // guarded by lose_mutex
}  // namespace

// Replaces the client's own (always false): loses the reply to the first
// command that lose_reply_to picks, once.
bool RedisReplyLostForTesting(const RedisCommand& command) {
  std::lock_guard<std::mutex> lock(lose_mutex);
  if (!lose_reply_to || !lose_reply_to(command)) return false;
  lose_reply_to = nullptr;
  return true;
}

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

namespace fs = std::filesystem;
using testing::AddToModel;
using testing::Expected;
using testing::ExpectIndexMatches;
using testing::RemoveFromModel;
using testing::SyntheticRecording;

class LmdbStore {
 public:
  std::string location() const { return dir_.file("catalog"); }
  std::size_t PictureCount() const {
    std::size_t count = 0;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir_.file("catalog/artwork"), error))
      count += entry.path().filename().string()[0] != '.';
    return count;
  }
  static bool Available() { return true; }
  // The bytes the store's servers have sent; none for LMDB.
  std::optional<std::uint64_t> BytesSent() const { return std::nullopt; }

 private:
  plim::testing::TemporaryDirectory dir_;
};

// A catalog of its own name on the shared test cluster, removed afterwards.
class RedisStore {
 public:
  RedisStore() : name_("contract-" + std::to_string(getpid()) + "-" + std::to_string(next_++)) {}
  ~RedisStore() {
    try {
      if (Available()) RedisCatalog::Open(location(), CatalogStore::Mode::kReadWrite)->Destroy();
    } catch (const foundation::NSError&) {
      // The cluster is gone; so is the catalog.
    }
  }
  std::string location() const { return testing::TestCluster().location_base() + name_; }
  std::size_t PictureCount() const {
    RedisCluster cluster(ParseRedisLocation(location()).seeds, 3, 12);
    return cluster.ScanKeys(name_ + ":a:*").size();
  }
  static bool Available() { return testing::TestCluster().running(); }
  // The bytes the masters have sent to their clients so far
  // (total_net_output_bytes of INFO stats, summed).
  std::optional<std::uint64_t> BytesSent() const {
    RedisCluster cluster(ParseRedisLocation(location()).seeds, 3, 12);
    std::uint64_t sent = 0;
    for (const RedisValue& reply : cluster.RunOnMasters({{"INFO", "stats"}, 1})) {
      const std::string field = "total_net_output_bytes:";
      const std::size_t at = reply.text.find(field);
      EXPECT_NE(at, std::string::npos) << reply.text;
      if (at != std::string::npos) sent += std::stoull(reply.text.substr(at + field.size()));
    }
    return sent;
  }

 private:
  static inline int next_ = 0;
  std::string name_;
};

template <typename Store>
class CatalogStoreContract : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Store::Available()) GTEST_SKIP() << testing::TestCluster().why_not_running();
  }
  std::unique_ptr<CatalogStore> Open(CatalogStore::Mode mode = CatalogStore::Mode::kReadWrite) {
    return OpenCatalogStore(store_.location(), mode);
  }
  Store store_;
};

// gtest names each run with its store's type.
using Stores = ::testing::Types<LmdbStore, RedisStore>;
TYPED_TEST_SUITE(CatalogStoreContract, Stores);

TYPED_TEST(CatalogStoreContract, AddLookUpAndRemoveKeepTheIndexExact) {
  Expected model;
  std::vector<NewRecording> items = {SyntheticRecording(1, 300, "/music/one.flac"),
                                     SyntheticRecording(2, 1, "/music/two.flac"),
                                     SyntheticRecording(3, 2000, "/music/three.flac")};
  // Peaks every 7 frames over several of the blocks they are kept in.
  for (NewRecording* item : {&items[1], &items[2]}) {
    for (std::uint32_t frame = 0; frame < 1600; frame += 7) {
      item->peaks.push_back({frame * fingerprint::kTimeSubdivisions,
                             static_cast<std::uint16_t>(100 * fingerprint::kBinSubdivisions), 20});
    }
  }
  // Outlines: one ending before its peaks do, one without peaks at all.
  // Their levels are whole stored steps below each frame's loudest band, so
  // that they are kept exactly.
  auto outline_of = [](std::size_t frames) {
    constexpr auto kStep =
        static_cast<std::size_t>(kOutlineStoredStepDb / fingerprint::kOutlineStepDb);
    fingerprint::BandOutline outline;
    for (std::size_t f = 0; f < frames; ++f) {
      for (std::size_t b = 0; b < fingerprint::kOutlineBands; ++b) {
        outline.levels.push_back(
            static_cast<std::uint8_t>(120 + f % 100 - kStep * ((f + 5 * b) % 16)));
      }
    }
    return outline;
  };
  items[2].outline = outline_of(700);
  items[0].outline = outline_of(300);
  {
    auto catalog = this->Open();
    std::vector<AddResult> results = catalog->Add(items);
    ASSERT_EQ(results.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(results[i].outcome, AddOutcome::kAdded);
      EXPECT_EQ(results[i].id, i + 1) << "ids start at 1, in batch order";
      AddToModel(model, results[i].id, items[i]);
    }
    ExpectIndexMatches(*catalog, model);

    std::optional<Recording> removed = catalog->Remove(2);
    ASSERT_TRUE(removed);
    EXPECT_EQ(removed->title, "Title 2");
    EXPECT_FALSE(catalog->Remove(2)) << "a second removal finds nothing";
    RemoveFromModel(model, 2);
    ExpectIndexMatches(*catalog, model);

    NewRecording later = SyntheticRecording(4, 50);
    EXPECT_EQ(catalog->Add({&later, 1})[0].id, 4u) << "a removed id is never reused";
    AddToModel(model, 4, later);
  }
  // Everything survives closing and reopening, read-only.
  auto catalog = this->Open(CatalogStore::Mode::kReadOnly);
  ExpectIndexMatches(*catalog, model);
  std::unique_ptr<CatalogReader> reader = catalog->NewCatalogReader();
  EXPECT_EQ(reader->RecordingCount(), 3u);
  EXPECT_DOUBLE_EQ(reader->TotalDurationS(), 1.5 * (1 + 3 + 4));
  std::optional<Recording> three = reader->GetRecording(3);
  ASSERT_TRUE(three);
  EXPECT_EQ(three->landmark_count, testing::DistinctPairs(items[2].landmarks).size());
  EXPECT_EQ(three->source_path, "/music/three.flac");
  EXPECT_EQ(reader->FindBySourcePath("/music/three.flac"), 3u);
  EXPECT_EQ(reader->FindByContentHash("content-3"), 3u);
  EXPECT_FALSE(reader->FindBySourcePath("/music/two.flac")) << "removed with its recording";
  EXPECT_FALSE(reader->FindByContentHash("content-2"));
  EXPECT_FALSE(reader->GetRecording(2));
  std::vector<RecordingId> listed;
  reader->ForEachRecording([&](RecordingId id, const Recording&) {
    listed.push_back(id);
    return true;
  });
  EXPECT_EQ(listed, (std::vector<RecordingId>{1, 3, 4}));
  std::vector<fingerprint::Peak> peaks;
  reader->ReadPeaks(3, 500, 1100, peaks);
  EXPECT_EQ(peaks.size(), (1100 - 504) / 7 + 1u) << "the peaks of frames 504 to 1099, every 7th";
  EXPECT_EQ(peaks.front().TimeFrames(), 504);
  EXPECT_EQ(peaks.front().bin_q, items[2].peaks.front().bin_q);
  // Reading ahead in a batch changes no answer, even when it covers less
  // than is read later, or recordings that are gone.
  std::unique_ptr<CatalogReader> ahead = catalog->NewCatalogReader();
  const CatalogReader::PeakRange ranges[] = {{3, 600, 700}, {2, 0, 100}, {9, 0, 100}};
  ahead->PrefetchRecordings(ranges);
  std::vector<fingerprint::Peak> ahead_peaks;
  ahead->ReadPeaks(3, 500, 1100, ahead_peaks);
  EXPECT_EQ(ahead_peaks, peaks);
  EXPECT_EQ(ahead->GetRecording(3)->source_path, "/music/three.flac");
  for (CatalogReader* r : {reader.get(), ahead.get()}) {
    fingerprint::BandOutline outline;
    EXPECT_EQ(r->ReadOutline(3, 600, 1100, outline), kOutlineFramesPerBlock)
        << "whole blocks, from the one holding frame 600";
    const auto& all = items[2].outline.levels;
    EXPECT_EQ(outline.levels,
              std::vector<std::uint8_t>(
                  all.begin() + kOutlineFramesPerBlock * fingerprint::kOutlineBands, all.end()));
    outline.levels.clear();
    EXPECT_EQ(r->ReadOutline(1, 0, 1e6, outline), 0u);
    EXPECT_EQ(outline, items[0].outline) << "kept without peaks";
  }
  if (this->store_.BytesSent()) {  // a store over a network
    // Blocks held are not fetched again: a recording read whole after a
    // stretch of it costs only the blocks it lacked.
    auto sent = [&] { return *this->store_.BytesSent(); };
    const CatalogReader::PeakRange whole{3, 0, 1100};
    const std::uint64_t idle_before = sent(), idle = sent() - idle_before;
    ahead->PrefetchRecordings({&whole, 1});
    const std::uint64_t before = sent();
    ahead->PrefetchRecordings({&whole, 1});
    EXPECT_LT(sent() - before, idle + 200) << "bytes sent for blocks held";
  }
  EXPECT_FALSE(ahead->GetRecording(2));
  peaks.clear();
  reader->ReadPeaks(2, 0, 1e6, peaks);
  reader->ReadPeaks(1, 0, 1e6, peaks);
  EXPECT_TRUE(peaks.empty()) << "removed with its recording, or never kept";
  EXPECT_THROW(catalog->Remove(1), foundation::NSError) << "read-only";
}

// A reader that tells how much of the catalog it was asked to read.
class CountingReader : public CatalogReader {
 public:
  explicit CountingReader(const CatalogReader& reader) : reader_(reader) {}

  // Counted through a const reader, as the catalog's own caches are.
  mutable std::size_t lists_read = 0, postings_read = 0;
  mutable std::set<std::uint32_t> hashes_read;  // looked up or fetched ahead

  void Lookup(std::uint32_t hash, std::vector<Posting>& out) const override {
    const std::size_t before = out.size();
    reader_.Lookup(hash, out);
    ++lists_read;
    postings_read += out.size() - before;
    hashes_read.insert(hash);
  }
  std::vector<std::size_t> PostingCounts(std::span<const std::uint32_t> hashes) const override {
    return reader_.PostingCounts(hashes);
  }
  void Prefetch(std::span<const std::uint32_t> hashes) const override {
    hashes_read.insert(hashes.begin(), hashes.end());
    reader_.Prefetch(hashes);
  }
  std::optional<Recording> GetRecording(RecordingId id) const override {
    return reader_.GetRecording(id);
  }
  void ReadPeaks(RecordingId id, double first_frame, double last_frame,
                 std::vector<fingerprint::Peak>& out) const override {
    reader_.ReadPeaks(id, first_frame, last_frame, out);
  }
  std::size_t ReadOutline(RecordingId id, double first_frame, double last_frame,
                          fingerprint::BandOutline& out) const override {
    return reader_.ReadOutline(id, first_frame, last_frame, out);
  }
  std::optional<RecordingId> FindByContentHash(std::string_view hash) const override {
    return reader_.FindByContentHash(hash);
  }
  std::optional<RecordingId> FindBySourcePath(std::string_view path) const override {
    return reader_.FindBySourcePath(path);
  }
  void ForEachRecording(
      const std::function<bool(RecordingId, const Recording&)>& visit) const override {
    reader_.ForEachRecording(visit);
  }
  std::optional<RecordingCopy> FindCopy(std::string_view path) const override {
    return reader_.FindCopy(path);
  }
  void ForEachCopy(const std::function<bool(const RecordingCopy&)>& visit) const override {
    reader_.ForEachCopy(visit);
  }
  std::optional<Artwork> ReadArtwork(std::string_view file) const override {
    return reader_.ReadArtwork(file);
  }
  std::uint64_t RecordingCount() const override { return reader_.RecordingCount(); }
  std::uint64_t LandmarkCount() const override { return reader_.LandmarkCount(); }
  double TotalDurationS() const override { return reader_.TotalDurationS(); }

 private:
  const CatalogReader& reader_;
};

// The hits a query's landmarks bring when every list is read and only the
// rarest hashes are kept, as many hits as fit in `max_hits` (in order of
// their hits, ties by hash, while the sum fits): (recording, query frame,
// reference frame, hash), distinct in the first three.
std::set<std::tuple<RecordingId, std::uint32_t, std::uint32_t, std::uint32_t>> RarestHits(
    const CatalogReader& reader, const std::vector<fingerprint::Landmark>& query,
    std::size_t max_hits) {
  std::map<std::uint32_t, std::vector<std::uint32_t>> frames_of_hash;
  for (const fingerprint::Landmark& l : query) frames_of_hash[l.hash].push_back(l.anchor_frame);
  struct Kept {
    std::uint32_t hash;
    std::vector<Posting> postings;
    std::size_t hits;
  };
  std::vector<Kept> all;
  for (const auto& [hash, frames] : frames_of_hash) {
    if (frames.size() > static_cast<std::size_t>(fingerprint::kMaxHashRepeatsInQuery)) continue;
    Kept k{hash, {}, 0};
    reader.Lookup(hash, k.postings);
    k.hits = k.postings.size() * frames.size();
    all.push_back(std::move(k));
  }
  std::stable_sort(all.begin(), all.end(),
                   [](const Kept& a, const Kept& b) { return a.hits < b.hits; });
  std::size_t total = 0;
  for (const Kept& k : all) total += k.hits;
  std::size_t sum = 0, kept = all.size();
  if (total > max_hits) {
    for (kept = 0; kept < all.size() && sum + all[kept].hits <= max_hits; ++kept)
      sum += all[kept].hits;
  }
  std::set<std::tuple<RecordingId, std::uint32_t, std::uint32_t, std::uint32_t>> hits;
  std::set<std::tuple<RecordingId, std::uint32_t, std::uint32_t>> pairs;
  // Of the hashes giving one frame pair, the smallest is the one kept.
  std::vector<std::tuple<RecordingId, std::uint32_t, std::uint32_t, std::uint32_t>> every;
  for (std::size_t i = 0; i < kept; ++i) {
    for (std::uint32_t frame : frames_of_hash[all[i].hash])
      for (const Posting& p : all[i].postings)
        every.emplace_back(p.recording, frame, p.anchor_frame, all[i].hash);
  }
  std::sort(every.begin(), every.end());
  for (const auto& [recording, query_frame, reference_frame, hash] : every) {
    if (pairs.insert({recording, query_frame, reference_frame}).second)
      hits.insert({recording, query_frame, reference_frame, hash});
  }
  return hits;
}

// Nomination reads the lengths of a query's lists first, then only the
// lists of its rarest hashes, as many as the budget of hits holds: one very
// common hash, whose list alone is many times the budget, is never read,
// and the recording the query comes from is still the one nominated, on
// the very hits that reading every list and keeping the rarest would give.
TYPED_TEST(CatalogStoreContract, NominationReadsOnlyTheRarestListsTheBudgetHolds) {
  constexpr std::uint32_t kCommon = 0x2ABCDEF;  // in every recording, 20,001 postings
  constexpr std::uint32_t kShift = 40;          // query frame = reference frame - kShift
  auto catalog = this->Open();
  // The recording to find: 200 hashes of its own, 40 it shares with 1 to 4
  // of the others (so that the budget falls among them), and the common one.
  NewRecording wanted = SyntheticRecording(1, 0, "/wanted.ogg");
  wanted.landmarks.clear();
  for (std::uint32_t k = 0; k < 200; ++k) wanted.landmarks.push_back({0x100000 + 97 * k, 50 + k});
  for (std::uint32_t k = 0; k < 40; ++k) wanted.landmarks.push_back({0x300000 + 89 * k, 300 + k});
  wanted.landmarks.push_back({kCommon, 60});
  std::vector<NewRecording> others;
  for (std::uint32_t seed = 2; seed <= 5; ++seed) {
    NewRecording other = SyntheticRecording(seed, 0);
    other.landmarks.clear();
    for (std::uint32_t frame = 0; frame < 5000; ++frame)
      other.landmarks.push_back({kCommon, frame});
    for (std::uint32_t k = 0; k < 40; ++k) {
      if (k % 5 >= seed - 1) other.landmarks.push_back({0x300000 + 89 * k, 1000 + 7 * k + seed});
    }
    others.push_back(std::move(other));
  }
  const RecordingId wanted_id = catalog->Add({&wanted, 1})[0].id;
  catalog->Add(others);

  // The query holds 20 of its own hashes twice, so that a hash's hits are
  // its postings times its repeats: 220 hits of its own hashes, 40 x 1-5 =
  // 120 of the shared ones, and 20,001 of the common one.
  std::vector<fingerprint::Landmark> query;
  for (const fingerprint::Landmark& l : wanted.landmarks)
    query.push_back({l.hash, l.anchor_frame - kShift});
  for (std::uint32_t k = 0; k < 20; ++k) query.push_back({0x100000 + 97 * k, 50 + k - kShift + 3});
  struct Case {
    std::size_t max_hits;
    bool common_read;
  };
  for (const Case& c : {Case{100'000, true}, Case{20'000, false}, Case{290, false},
                        Case{200, false}, Case{150, false}}) {
    SCOPED_TRACE("budget " + std::to_string(c.max_hits));
    const std::optional<std::uint64_t> sent_before = this->store_.BytesSent();
    std::unique_ptr<CatalogReader> reader = catalog->NewCatalogReader();
    const CountingReader counting(*reader);
    const matching::Nomination nomination =
        matching::Nominate(counting, query, 400, c.max_hits, 10);
    const std::optional<std::uint64_t> sent_after = this->store_.BytesSent();

    EXPECT_LE(counting.postings_read, c.max_hits);
    EXPECT_EQ(counting.lists_read, counting.hashes_read.size())
        << "each list fetched ahead is looked up, and none twice";
    EXPECT_EQ(counting.hashes_read.contains(kCommon), c.common_read);
    std::set<std::tuple<RecordingId, std::uint32_t, std::uint32_t, std::uint32_t>> hits;
    for (const matching::RecordingHit& h : nomination.hits) {
      hits.insert({h.recording, static_cast<std::uint32_t>(h.hit.query_frame),
                   static_cast<std::uint32_t>(h.hit.reference_frame), h.hash});
    }
    EXPECT_EQ(hits.size(), nomination.hits.size());
    EXPECT_EQ(hits, RarestHits(*catalog->NewCatalogReader(), query, c.max_hits))
        << "the hits of reading every list and keeping the rarest";
    ASSERT_FALSE(nomination.nominees.empty());
    const matching::Nominee& best = nomination.nominees.front();
    EXPECT_EQ(nomination.hits[best.begin].recording, wanted_id);
    EXPECT_GE(best.band.hits, static_cast<int>(std::min<std::size_t>(c.max_hits, 200)) - 10);
    EXPECT_LE(best.band.lowest, std::int64_t{kShift});
    EXPECT_GE(best.band.highest, std::int64_t{kShift});
    if (sent_before && !c.common_read) {
      // The common list alone is 120 kB (6 bytes a posting); what was sent
      // is the lengths, the lists kept, the published bitmap and INFO.
      EXPECT_LT(*sent_after - *sent_before, 6 * c.max_hits + 30'000) << "bytes sent";
    }
  }
}

TYPED_TEST(CatalogStoreContract, AddOutcomes) {
  struct Case {
    const char* name;
    std::vector<NewRecording> first_batch;
    std::vector<NewRecording> second_batch;
    std::vector<AddOutcome> second_outcomes;
    std::uint64_t recordings_after;
  };
  const NewRecording a = SyntheticRecording(1, 20, "/a.ogg");
  const NewRecording same_audio_other_path = SyntheticRecording(1, 20, "/b.ogg");
  const NewRecording new_audio_same_path = SyntheticRecording(2, 20, "/a.ogg");
  const NewRecording unrelated = SyntheticRecording(2, 20, "/b.ogg");
  const AddOutcome added = AddOutcome::kAdded, duplicate = AddOutcome::kDuplicate;
  std::vector<Case> cases = {
      {"same audio again", {a}, {same_audio_other_path}, {duplicate}, 1},
      {"same audio twice in one batch", {}, {a, same_audio_other_path}, {added, duplicate}, 1},
      {"changed file at a known path", {a}, {new_audio_same_path}, {AddOutcome::kReplaced}, 1},
      {"unrelated", {a}, {unrelated}, {added}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TypeParam store;
    auto catalog = OpenCatalogStore(store.location(), CatalogStore::Mode::kReadWrite);
    catalog->Add(c.first_batch);
    std::vector<AddResult> results = catalog->Add(c.second_batch);
    std::vector<AddOutcome> outcomes;
    for (const AddResult& r : results) outcomes.push_back(r.outcome);
    EXPECT_EQ(outcomes, c.second_outcomes);
    std::unique_ptr<CatalogReader> reader = catalog->NewCatalogReader();
    EXPECT_EQ(reader->RecordingCount(), c.recordings_after);
    std::vector<Posting> shared;
    reader->Lookup(testing::kSharedHash, shared);
    EXPECT_EQ(shared.size(), c.recordings_after) << "a replaced recording leaves no postings";
    std::uint64_t landmarks = 0;
    reader->ForEachRecording([&](RecordingId, const Recording& r) {
      landmarks += r.landmark_count;
      return true;
    });
    EXPECT_EQ(reader->LandmarkCount(), landmarks);
  }
}

TYPED_TEST(CatalogStoreContract, CopiesFollowTheirRecording) {
  auto catalog = this->Open();
  catalog->Add(std::vector<NewRecording>{SyntheticRecording(1, 20, "/a.ogg"),
                                         SyntheticRecording(2, 20, "/b.ogg")});
  const RecordingCopy copy{1, "/c.ogg", 10, 20};
  EXPECT_TRUE(catalog->AddCopy(copy));
  EXPECT_TRUE(catalog->AddCopy({1, "/d.ogg", 1, 1}));
  EXPECT_TRUE(catalog->AddCopy({2, "/e.ogg", 1, 1}));
  EXPECT_FALSE(catalog->AddCopy({99, "/f.ogg", 1, 1})) << "no recording 99";
  // Two adds of one file at once: the second finds the first's recording,
  // which is the same file and no copy of it.
  EXPECT_FALSE(catalog->AddCopy({1, "/a.ogg", 10, 20})) << "recording 1's own file";
  EXPECT_FALSE(catalog->NewCatalogReader()->FindCopy("/a.ogg"));
  EXPECT_EQ(catalog->NewCatalogReader()->FindCopy("/c.ogg"), copy);
  // A recording added from a copy's path takes its place.
  catalog->Add(std::vector<NewRecording>{SyntheticRecording(3, 20, "/c.ogg")});
  EXPECT_FALSE(catalog->NewCatalogReader()->FindCopy("/c.ogg"));
  EXPECT_EQ(catalog->RemoveCopy("/e.ogg")->id, 2u);
  EXPECT_TRUE(catalog->NewCatalogReader()->GetRecording(2)) << "the recording stays";
  EXPECT_TRUE(catalog->AddCopy({2, "/g.ogg", 1, 1}));
  EXPECT_TRUE(catalog->AddCopy({1, "/h.ogg", 1, 1}));
  EXPECT_TRUE(catalog->AddCopy({2, "/h.ogg", 1, 1})) << "a copy of 1 becomes one of 2";
  const auto copies_left = [&] {
    std::vector<std::string> left;
    catalog->NewCatalogReader()->ForEachCopy([&](const RecordingCopy& c) {
      left.push_back(c.path);
      return true;
    });
    return left;
  };
  // What the Redis store holds, whatever readers see, and the HGETALL
  // calls its masters have run.
  std::optional<RedisCluster> admin;
  std::optional<RedisKeys> keys;
  if constexpr (std::is_same_v<TypeParam, RedisStore>) {
    admin.emplace(ParseRedisLocation(this->store_.location()).seeds, 3, 12);
    keys.emplace(ParseRedisLocation(this->store_.location()).name);
  }
  const auto stored_copies = [&] { return admin->Run({{"HLEN", keys->Copies()}}).integer; };
  const auto hgetall_calls = [&] {
    long long calls = 0;
    for (const RedisValue& reply : admin->RunOnMasters({{"INFO", "commandstats"}, 1})) {
      const std::size_t at = reply.text.find("cmdstat_hgetall:calls=");
      if (at != std::string::npos) calls += std::stoll(reply.text.substr(at + 22));
    }
    return calls;
  };
  const long long hgetall_before = admin ? hgetall_calls() : 0;
  catalog->Remove(1);
  if (admin) {
    EXPECT_EQ(hgetall_calls(), hgetall_before) << "a removal reads no whole hash";
  }
  EXPECT_EQ(copies_left(), (std::vector<std::string>{"/g.ogg", "/h.ogg"}))
      << "a removed recording's copies go with it, and only its own";
  if (admin) {
    EXPECT_EQ(stored_copies(), 2) << "a removed recording's copies are deleted, not hidden";
    // A catalog written before copies were indexed is indexed by its next
    // writer.
    for (const std::string& key : admin->ScanKeys(keys->prefix() + "o:*"))
      admin->Run({{"DEL", key}});
    admin->Run({{"HDEL", keys->Meta(), "copies_indexed"}});
    catalog = this->Open();
  }
  catalog->Remove(2);
  EXPECT_TRUE(copies_left().empty());
  if (admin) {
    EXPECT_EQ(stored_copies(), 0);
  }
}

TYPED_TEST(CatalogStoreContract, KeepsEachPictureOnceAndCorrectsInPlace) {
  auto catalog = this->Open();
  const std::string png = std::string("\x89PNG\r\n\x1a\n", 8);
  std::vector<NewRecording> items = {SyntheticRecording(1, 300, "/music/one.flac"),
                                     SyntheticRecording(2, 50), SyntheticRecording(3, 5)};
  items[0].artwork = items[1].artwork = Artwork{png + "old", "image/png"};
  items[2].recording.artwork_url = "https://example.org/cover.jpg";
  items[0].recording.title = "Caf\xE9";  // a Latin-1 byte
  catalog->Add(items);
  Expected model;
  for (RecordingId id : {1, 2, 3}) AddToModel(model, id, items[id - 1]);
  EXPECT_EQ(this->store_.PictureCount(), 1u);
  const Recording before = *catalog->NewCatalogReader()->GetRecording(1);
  EXPECT_EQ(before.title, "Caf\xEF\xBF\xBD") << "texts are kept as valid UTF-8";
  EXPECT_THAT(before.artwork_url, HasSubstr(before.artwork_file));
  EXPECT_EQ(catalog->NewCatalogReader()->ReadArtwork(before.artwork_file)->bytes, png + "old");
  EXPECT_EQ(catalog->NewCatalogReader()->GetRecording(2)->artwork_url, before.artwork_url);
  EXPECT_EQ(catalog->NewCatalogReader()->GetRecording(3)->artwork_url,
            "https://example.org/cover.jpg");

  MetadataChange change;
  change.title = "Fixed";
  change.genres = std::vector<std::string>{"Jazz", "Funk"};
  change.artwork = Artwork{png + "new", "image/png"};
  std::optional<Recording> after = catalog->Correct(1, change);
  ASSERT_TRUE(after);
  Recording expected = before;
  expected.title = "Fixed";
  expected.genres = {"Jazz", "Funk"};
  expected.artwork_file = after->artwork_file;
  expected.artwork_url = after->artwork_url;
  EXPECT_EQ(*after, expected) << "only the fields changed, not the audio, path or landmarks";
  EXPECT_NE(after->artwork_file, before.artwork_file);
  EXPECT_EQ(*catalog->NewCatalogReader()->GetRecording(1), *after);
  EXPECT_EQ(this->store_.PictureCount(), 2u) << "the old picture stays for recording 2";
  ExpectIndexMatches(*catalog, model);

  catalog->Remove(2);
  EXPECT_EQ(this->store_.PictureCount(), 1u) << "the old picture went with its last user";
  change = {};
  change.artwork_url = "https://example.org/cover.jpg";
  EXPECT_EQ(catalog->Correct(1, change)->artwork_url, "https://example.org/cover.jpg");
  EXPECT_EQ(this->store_.PictureCount(), 0u);
  EXPECT_FALSE(catalog->Correct(99, change));

  // Several at once, in order: a later change of one recording sees the
  // earlier one, and a missing recording changes nothing of the others.
  MetadataChange retitle, new_artist;
  retitle.title = "Again";
  new_artist.artist = "Someone";
  const CatalogStore::Correction changes[] = {{1, retitle}, {99, retitle}, {1, new_artist}};
  std::vector<std::optional<Recording>> results = catalog->CorrectAll(changes);
  ASSERT_EQ(results.size(), 3u);
  EXPECT_FALSE(results[1]);
  ASSERT_TRUE(results[0] && results[2]);
  EXPECT_EQ(results[0]->title, "Again");
  EXPECT_EQ(results[2]->title, "Again");
  EXPECT_EQ(results[2]->artist, "Someone");
  EXPECT_EQ(*catalog->NewCatalogReader()->GetRecording(1), *results[2]);
}

TYPED_TEST(CatalogStoreContract, ConcurrentWritersNeitherLoseNorMixRecordings) {
  constexpr int kWriters = 4, kEach = 12;
  {
    auto catalog = this->Open();
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
      writers.emplace_back([&, w] {
        // Each writer adds its own recordings, and every writer also adds the
        // same shared one, which must be stored once.
        for (int i = 0; i < kEach; ++i) {
          NewRecording item = SyntheticRecording(static_cast<std::uint32_t>(100 * (w + 1) + i), 40);
          catalog->Add({&item, 1});
        }
        NewRecording shared = SyntheticRecording(7, 40);
        catalog->Add({&shared, 1});
      });
    }
    for (std::thread& t : writers) t.join();
  }
  auto catalog = this->Open(CatalogStore::Mode::kReadOnly);
  std::unique_ptr<CatalogReader> reader = catalog->NewCatalogReader();
  EXPECT_EQ(reader->RecordingCount(), kWriters * kEach + 1u);
  Expected model;
  reader->ForEachRecording([&](RecordingId id, const Recording& r) {
    const auto seed = static_cast<std::uint32_t>(std::stoul(r.content_hash.substr(8)));
    AddToModel(model, id, SyntheticRecording(seed, 40));
    return true;
  });
  ExpectIndexMatches(*catalog, model);
}

// What a writer killed halfway leaves is never seen, and clean clears it.
// Only the Redis store can be left so; LMDB's own crash test covers it.
TEST(RedisCatalogTest, AWriterKilledHalfwayLeavesNothingVisibleAndCleanClearsIt) {
  if (!testing::TestCluster().running()) GTEST_SKIP() << testing::TestCluster().why_not_running();
  RedisStore store;
  auto catalog = RedisCatalog::Open(store.location(), CatalogStore::Mode::kReadWrite);
  RedisCluster watcher(ParseRedisLocation(store.location()).seeds, 3, 12);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Adds large recordings one after another until killed.
    try {
      auto writer = RedisCatalog::Open(store.location(), CatalogStore::Mode::kReadWrite);
      for (std::uint32_t seed = 1;; ++seed) {
        NewRecording item = SyntheticRecording(seed, 20000);
        writer->Add({&item, 1});
      }
    } catch (...) {
    }
    _exit(1);
  }
  // Killed once it has published one recording and is under way with another.
  for (;;) {
    RedisValue published = watcher.Run(RedisCommand{{"BITCOUNT", catalog->keys().Published()}});
    RedisValue started = watcher.Run(RedisCommand{{"EXISTS", catalog->keys().HashList(2)}});
    if (published.integer >= 1 && started.integer == 1) break;
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);

  std::unique_ptr<CatalogReader> reader = catalog->NewCatalogReader();
  const std::uint64_t visible = reader->RecordingCount();
  // The one the writer was at when killed (it may just have published it).
  RedisValue pending = watcher.Run(RedisCommand{{"ZRANGE", catalog->keys().Pending(), "0", "-1"}});
  ASSERT_LE(pending.elements.size(), 1u);
  Expected model;
  reader->ForEachRecording([&](RecordingId id, const Recording& r) {
    AddToModel(model, id, SyntheticRecording(static_cast<std::uint32_t>(id), 20000));
    EXPECT_EQ(r.content_hash, "content-" + std::to_string(id));
    return true;
  });
  // No posting of the unfinished one is looked up, though its lists count them.
  ExpectIndexMatches(*catalog, model, /*counts_exact=*/false);
  const RecordingId unfinished = static_cast<RecordingId>(visible + 1);
  const bool caught_halfway =
      pending.elements.size() == 1 && RedisInteger(pending.elements[0]) == unfinished;
  EXPECT_EQ(catalog->CleanLeftovers(0), caught_halfway ? 1u : 0u);
  EXPECT_EQ(watcher.Run(RedisCommand{{"ZCARD", catalog->keys().Pending()}}).integer, 0);
  for (const std::string& key :
       {catalog->keys().HashList(unfinished), catalog->keys().Peaks(unfinished),
        catalog->keys().Record(unfinished)}) {
    EXPECT_EQ(watcher.Run(RedisCommand{{"EXISTS", key}}).integer, 0) << key;
  }
  // Adding it again completes it.
  NewRecording again = SyntheticRecording(unfinished, 20000);
  AddResult result = catalog->Add({&again, 1})[0];
  EXPECT_EQ(result.outcome, AddOutcome::kAdded);
  AddToModel(model, result.id, again);
  ExpectIndexMatches(*catalog, model);
}

TEST(RedisCatalogTest, LocationsAndUnreachableNodes) {
  EXPECT_EQ(KeySlot("123456789"), 0x31C3);  // the cluster's own check value
  EXPECT_EQ(KeySlot("x:{user1000}.following"), KeySlot("user1000"));
  EXPECT_EQ(ParseRedisLocation("redis://10.0.0.5:7000/radio").text(),
            "redis://10.0.0.5:7000/radio");
  EXPECT_EQ(ParseRedisLocation("redis://db").text(), "redis://db:6379/plim");
  // Credentials and several seeds; the password is taken as written.
  const RedisLocation full = ParseRedisLocation("redis://ops:s3cret/@:x@h:1,k/radio");
  EXPECT_EQ(full.text(), "redis://h:1,k:6379/radio");
  EXPECT_EQ(full.credentials.user, "ops");
  EXPECT_EQ(full.credentials.password, "s3cret/@:x");
  EXPECT_EQ(ParseRedisLocation("redis://:s3cret@h").credentials.user, "");
  for (const char* bad :
       {"redis://", "redis://h:/x", "redis://h:99999", "redis://h:1/a b", "redis://h:1,/x",
        "redis://default:s3cret", "redis://u:s3cret@h:99999", "redis://u:s3cret@h:1/a b"}) {
    const foundation::NSError error = plim::testing::ThrownError([&] { ParseRedisLocation(bad); });
    EXPECT_EQ(error.code(), kCatalogErrorInvalidArgument) << bad;
    EXPECT_THAT(error.description(), Not(HasSubstr("s3cret"))) << bad;
  }
  // Nothing listens on port 1; a socket that takes connections and never
  // answers is a hung node. Either error names the address, well within the
  // 18 s plim-shazamkit waits.
  const int silent = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(listen(silent, 4), 0);
  getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string hung = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  for (const std::string& node : {std::string("127.0.0.1:1"), hung}) {
    const auto start = std::chrono::steady_clock::now();
    const foundation::NSError error = plim::testing::ThrownError([&] {
      RedisCatalog::Open("redis://u:s3cret@" + node + "/x", CatalogStore::Mode::kReadOnly);
    });
    EXPECT_EQ(error.code(), kCatalogErrorCannotOpen);
    EXPECT_THAT(error.description(), HasSubstr(node));
    EXPECT_THAT(error.description(), Not(HasSubstr("s3cret")));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(18)) << node;
  }
  close(silent);
}

// Verify finds each kind of damage a Redis catalog can take, and takes
// what a writer at work has half written for no damage.
TEST(RedisCatalogTest, VerifyNamesWhatIsDamaged) {
  if (!testing::TestCluster().running()) GTEST_SKIP() << testing::TestCluster().why_not_running();
  struct Case {
    const char* name;
    std::vector<std::vector<std::string>> changes;  // commands run behind the catalog's back
    std::string damage;                             // in the one damage found; "" for intact
  };
  const std::string name = "verify-" + std::to_string(getpid());
  const std::string location = testing::TestCluster().location_base() + name;
  const RedisKeys keys(name);
  const std::string stray_bucket = keys.Bucket(0x1234567), stray_field = RedisField(0x1234567);
  const std::string stray_posting = EncodeRedisPostings(9, {1});
  const std::vector<Case> cases = {
      {"intact", {}, ""},
      {"a peak block's bytes", {{"HSET", keys.Peaks(2), "1", "not a block"}}, "peak block 1"},
      {"a posting lost",  // recording 1's of the hash all share
       {{"HSET", keys.Bucket(testing::kSharedHash), RedisField(testing::kSharedHash),
         EncodeRedisPostings(2, {2})}},
       "landmarks"},
      {"a posting of no recording",
       {{"HSET", stray_bucket, stray_field, stray_posting}},
       "postings of recording 9, which is not in the catalog"},
      {"a writer at work",
       {{"ZADD", keys.Pending(), "0", "9"}, {"HSET", stray_bucket, stray_field, stray_posting}},
       ""},
      {"a record's bytes", {{"SET", keys.Record(1), "not a record"}}, "its record is damaged"},
      {"the totals", {{"HINCRBY", keys.Stats(), "landmarks", "1"}}, "the landmark count it keeps"},
      {"the entry of its audio", {{"DEL", keys.Content("content-2")}}, "entry of its audio"},
      {"a copy out of its index",
       {{"HSET", keys.Copies(), "/c.ogg", EncodeRecordingCopy({1, "/c.ogg", 1, 1})}},
       "missing from its index of copies"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto catalog = RedisCatalog::Open(location, CatalogStore::Mode::kReadWrite);
    std::vector<NewRecording> items = {SyntheticRecording(1, 20, "/a.ogg"),
                                       SyntheticRecording(2, 20, "/b.ogg")};
    for (std::uint32_t frame = 0; frame < 1600; frame += 7)
      items[1].peaks.push_back({frame * fingerprint::kTimeSubdivisions, 100, 20});
    catalog->Add(items);
    RedisCluster watcher(ParseRedisLocation(location).seeds, 3, 12);
    for (const std::vector<std::string>& change : c.changes)
      ASSERT_FALSE(watcher.Run(RedisCommand{change}).is_error());
    const VerificationReport report = catalog->Verify();
    EXPECT_EQ(report.recordings.size(), 2u - (c.damage == "its record is damaged"));
    EXPECT_GT(report.peak_blocks, 1u);
    if (c.damage.empty()) {
      EXPECT_TRUE(report.Intact()) << report.damage.front().what;
    } else {
      ASSERT_EQ(report.damage.size(), 1u) << report.damage.front().what;
      EXPECT_THAT(report.damage[0].what, HasSubstr(c.damage));
    }
    catalog->Destroy();
  }
}

// A failover can lose a recording's published bit while its claim of the
// audio, on another master, survives: the audio must not stay claimed by
// nothing. Verify names the claim, clean takes it back, and add takes it
// back by itself; a claim of a recording still being written stands.
TEST(RedisCatalogTest, AClaimWithoutAPublishedRecordIsTakenBack) {
  if (!testing::TestCluster().running()) GTEST_SKIP() << testing::TestCluster().why_not_running();
  struct Case {
    const char* name;
    bool writer_at_work;  // the id stays in the pending set, freshly
    bool clean_first;
    AddOutcome outcome;
    std::uint64_t cleaned;
  };
  const std::vector<Case> cases = {
      {"add takes it back", false, false, AddOutcome::kAdded, 0},
      {"clean takes it back", false, true, AddOutcome::kAdded, 1},
      {"a writer at work", true, true, AddOutcome::kDuplicate, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RedisStore store;
    auto catalog = RedisCatalog::Open(store.location(), CatalogStore::Mode::kReadWrite);
    const NewRecording item = SyntheticRecording(1, 40, "/a.ogg");
    ASSERT_EQ(catalog->Add({&item, 1}).front().id, 1u);
    RedisCluster watcher(ParseRedisLocation(store.location()).seeds, 3, 12);
    if (c.writer_at_work)
      watcher.Run(RedisCommand{{"ZADD", catalog->keys().Pending(), "99999999999", "1"}});
    watcher.Run(RedisCommand{{"SETBIT", catalog->keys().Published(), "1", "0"}});
    if (!c.writer_at_work) {
      const VerificationReport report = catalog->Verify();
      ASSERT_FALSE(report.damage.empty());
      EXPECT_THAT(report.damage[0].what, HasSubstr("not published"));
    }
    if (c.clean_first) {
      EXPECT_EQ(catalog->CleanLeftovers(3600), c.cleaned);
    }
    const AddResult again = catalog->Add({&item, 1}).front();
    EXPECT_EQ(again.outcome, c.outcome);
    if (c.writer_at_work) continue;
    EXPECT_EQ(again.id, 2u);
    EXPECT_EQ(catalog->NewCatalogReader()->FindByContentHash(item.recording.content_hash), 2u);
    EXPECT_EQ(watcher.Run(RedisCommand{{"EXISTS", catalog->keys().Record(1)}}).integer, 0);
    EXPECT_EQ(catalog->CleanLeftovers(0), 0u);
  }
}

// A reply lost after its command took effect makes the client send the
// command again: the totals, a picture's use count and the claim of the
// audio must change once all the same.
TEST(RedisCatalogTest, CommandsRepeatedAfterALostReplyTakeEffectOnce) {
  if (!testing::TestCluster().running()) GTEST_SKIP() << testing::TestCluster().why_not_running();
  struct Case {
    const char* name;
    std::string key_part;  // of the key that routes the write whose reply is lost
    bool on_remove;        // lost while recording 1 goes, or else while both arrive
  };
  const std::vector<Case> cases = {
      {"the totals as recordings arrive", ":stats", false},
      {"the totals as one leaves", ":stats", true},
      {"a picture's uses as recordings arrive", ":a:{", false},
      {"a picture's uses as one leaves", ":a:{", true},
      {"the claim of the audio", ":c:", false},
  };
  const std::string png = std::string("\x89PNG\r\n\x1a\n", 8);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RedisStore store;
    auto catalog = RedisCatalog::Open(store.location(), CatalogStore::Mode::kReadWrite);
    std::vector<NewRecording> items = {SyntheticRecording(1, 30, "/a.ogg"),
                                       SyntheticRecording(2, 40, "/b.ogg")};
    items[0].artwork = items[1].artwork = Artwork{png + "cover", "image/png"};
    const auto lose_once = [&] {
      std::lock_guard<std::mutex> lock(lose_mutex);
      lose_reply_to = [part = c.key_part](const RedisCommand& command) {
        const std::string& verb = command.args[0];
        return (verb == "EVAL" || verb == "SET" || verb == "HINCRBY") &&
               command.args[command.key_index].find(part) != std::string::npos;
      };
    };
    if (!c.on_remove) lose_once();
    catalog->Add(items);
    if (c.on_remove) {
      lose_once();
      ASSERT_TRUE(catalog->Remove(1));
    }
    {
      std::lock_guard<std::mutex> lock(lose_mutex);
      EXPECT_FALSE(lose_reply_to) << "no such write was made";
      lose_reply_to = nullptr;
    }
    const std::size_t left = c.on_remove ? 1 : 2;
    EXPECT_EQ(catalog->NewCatalogReader()->RecordingCount(), left);
    const VerificationReport report = catalog->Verify();
    EXPECT_TRUE(report.Intact()) << report.damage.front().what;
    // The picture stays while a recording uses it, and goes with the last.
    for (RecordingId id = c.on_remove ? 2 : 1; id <= 2; ++id) {
      EXPECT_EQ(store.PictureCount(), 1u) << "before recording " << id << " goes";
      ASSERT_TRUE(catalog->Remove(id));
    }
    EXPECT_EQ(store.PictureCount(), 0u);
    EXPECT_EQ(catalog->NewCatalogReader()->LandmarkCount(), 0u);
  }
}

// A reader reads only the parts of the published bitmap that hold the ids
// it asks about: with a recording at id 2^23 the bitmap is 1 MiB, and none
// of these reads sends a tenth of it. What reads all of it, in parts,
// still finds the recordings of every part.
TEST(RedisCatalogTest, ReadersReadOnlyThePartsOfThePublishedBitmapTheyNeed) {
  if (!testing::TestCluster().running()) GTEST_SKIP() << testing::TestCluster().why_not_running();
  RedisStore store;
  auto catalog = RedisCatalog::Open(store.location(), CatalogStore::Mode::kReadWrite);
  static constexpr RecordingId kFar = RecordingId{1} << 23;
  catalog->Add(std::vector<NewRecording>{SyntheticRecording(1, 20, "/a.ogg")});
  RedisCluster admin(ParseRedisLocation(store.location()).seeds, 3, 12);
  admin.Run(RedisCommand{{"SET", catalog->keys().NextId(), std::to_string(kFar - 1)}});
  ASSERT_EQ(catalog->Add(std::vector<NewRecording>{SyntheticRecording(2, 20, "/far.ogg")})[0].id,
            kFar);
  ASSERT_TRUE(catalog->AddCopy({kFar, "/far-copy.ogg", 1, 1}));
  const std::vector<std::pair<const char*, std::function<void(const CatalogReader&)>>> reads = {
      {"find by path",
       [](const CatalogReader& r) { EXPECT_EQ(r.FindBySourcePath("/far.ogg"), kFar); }},
      {"query",
       [](const CatalogReader& r) {
         const std::uint32_t hashes[] = {testing::kSharedHash};
         EXPECT_EQ(r.PostingCounts(hashes), std::vector<std::size_t>{2});
         r.Prefetch(hashes);
         std::vector<Posting> shared;
         r.Lookup(testing::kSharedHash, shared);
         ASSERT_EQ(shared.size(), 2u);
         EXPECT_EQ(shared[1].recording, kFar);
         EXPECT_EQ(r.GetRecording(kFar)->title, "Title 2");
       }},
      {"count", [](const CatalogReader& r) { EXPECT_EQ(r.RecordingCount(), 2u); }},
      {"copies", [](const CatalogReader& r) { EXPECT_EQ(r.FindCopy("/far-copy.ogg")->id, kFar); }},
  };
  for (const auto& [name, read] : reads) {
    SCOPED_TRACE(name);
    const std::uint64_t sent_before = *store.BytesSent();
    read(*catalog->NewCatalogReader());
    EXPECT_LT(*store.BytesSent() - sent_before, 100'000u) << "bytes sent";
  }
  std::vector<RecordingId> listed;
  catalog->NewCatalogReader()->ForEachRecording([&](RecordingId id, const Recording&) {
    listed.push_back(id);
    return true;
  });
  EXPECT_EQ(listed, (std::vector<RecordingId>{1, kFar}));
  const VerificationReport report = catalog->Verify();
  EXPECT_EQ(report.recordings.size(), 2u);
  EXPECT_TRUE(report.Intact()) << report.damage.front().what;
  EXPECT_EQ(catalog->CleanLeftovers(0), 0u) << "no claim taken for one of nothing";
}

// A catalog's size is its own keys' memory, not the cluster's.
TEST(RedisCatalogTest, MeasuresOnlyItsOwnKeys) {
  if (!testing::TestCluster().running()) GTEST_SKIP() << testing::TestCluster().why_not_running();
  RedisStore full, empty;
  auto catalog = RedisCatalog::Open(full.location(), CatalogStore::Mode::kReadWrite);
  std::vector<NewRecording> items;
  for (std::uint32_t seed = 1; seed <= 20; ++seed) items.push_back(SyntheticRecording(seed, 300));
  catalog->Add(items);
  const DiskUsage usage = catalog->MeasureDiskUsage();
  const std::uint64_t posting_bytes = 20 * 300 * 6;
  EXPECT_GT(usage.database_used_bytes, posting_bytes);
  EXPECT_LT(usage.database_used_bytes, 20 * posting_bytes);
  EXPECT_EQ(usage.artwork_bytes, 0u);
  const DiskUsage nothing =
      RedisCatalog::Open(empty.location(), CatalogStore::Mode::kReadWrite)->MeasureDiskUsage();
  EXPECT_LT(nothing.database_used_bytes, 1000u) << "its meta hash alone";
}

// A slot that no node serves (a failover under way, or slots taken away
// by hand) fails every write and read that needs it, after the retry
// window, naming the slot: nothing is said added that was not, and no
// reader answers from the rest of the data. On a node of its own, since
// its slots are taken away.
TEST(RedisCatalogTest, ASlotWithoutANodeFailsWritesAndReadsNamingIt) {
  testing::RedisTestCluster& node = testing::TestSingleNode();
  if (!node.running()) GTEST_SKIP() << node.why_not_running();
  const std::string location = node.location_base() + "unserved";
  auto catalog = RedisCatalog::Open(location, CatalogStore::Mode::kReadWrite, OpenOptions(),
                                    RedisTimeouts{3, 0.5});
  catalog->Add(std::vector<NewRecording>{SyntheticRecording(1, 20, "/a.ogg")});
  RedisCluster admin(ParseRedisLocation(location).seeds, 3, 0.5);
  admin.RunOnMasters({{"CONFIG", "SET", "cluster-require-full-coverage", "no"}});
  struct Case {
    const char* name;
    std::string key;  // its slot is taken away
    std::function<void(CatalogStore&)> operation;
  };
  const std::vector<Case> cases = {
      {"add", catalog->keys().Published(),
       [](CatalogStore& c) { c.Add(std::vector<NewRecording>{SyntheticRecording(2, 20)}); }},
      {"count", catalog->keys().Published(),
       [](CatalogStore& c) { c.NewCatalogReader()->RecordingCount(); }},
      {"lookup", catalog->keys().Bucket(testing::kSharedHash),
       [](CatalogStore& c) {
         std::vector<Posting> postings;
         c.NewCatalogReader()->Lookup(testing::kSharedHash, postings);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string slot = std::to_string(KeySlot(c.key));
    ASSERT_EQ(admin.RunOnMasters({{"CLUSTER", "DELSLOTS", slot}})[0].text, "OK");
    const foundation::NSError error = plim::testing::ThrownError([&] { c.operation(*catalog); });
    EXPECT_EQ(error.code(), kCatalogErrorCannotOpen);
    EXPECT_THAT(error.description(), HasSubstr("hash slot " + slot + " "));
    EXPECT_THAT(error.description(), HasSubstr(ParseRedisLocation(location).seeds[0].text()));
    ASSERT_EQ(admin.RunOnMasters({{"CLUSTER", "ADDSLOTS", slot}})[0].text, "OK");
  }
  catalog->CleanLeftovers(0);
  EXPECT_EQ(catalog->NewCatalogReader()->RecordingCount(), 1u);
  catalog->Destroy();
}

// A node that asks for credentials is reached with the location's, or with
// the password in the environment, and from any of several seeds; the
// wrong password is refused in words that never hold it.
TEST(RedisCatalogTest, CredentialsAndSeveralSeeds) {
  testing::RedisTestCluster& node = testing::TestSingleNode();
  if (!node.running()) GTEST_SKIP() << node.why_not_running();
  const std::string address = "127.0.0.1:" + std::to_string(node.base_port());
  RedisCluster admin(ParseRedisLocation(node.location_base()).seeds, 3, 12);
  ASSERT_EQ(
      admin.RunOnMasters({{"ACL", "SETUSER", "ops", "on", ">s3cret", "~*", "&*", "+@all"}})[0].text,
      "OK");
  auto catalog = RedisCatalog::Open("redis://ops:s3cret@" + address + "/creds",
                                    CatalogStore::Mode::kReadWrite);
  catalog->Add(std::vector<NewRecording>{SyntheticRecording(1, 20)});
  const std::string down = "127.0.0.1:1";  // nothing listens there
  setenv(kRedisPasswordVariable, "s3cret", 1);
  for (const std::string& location :
       {"redis://ops@" + address + "/creds", "redis://ops@" + down + "," + address + "/creds"}) {
    EXPECT_EQ(RedisCatalog::Open(location, CatalogStore::Mode::kReadOnly)
                  ->NewCatalogReader()
                  ->RecordingCount(),
              1u)
        << location;
  }
  unsetenv(kRedisPasswordVariable);
  const foundation::NSError refused = plim::testing::ThrownError([&] {
    RedisCatalog::Open("redis://ops:n0t-it@" + address + "/creds", CatalogStore::Mode::kReadOnly);
  });
  EXPECT_EQ(refused.code(), kCatalogErrorCannotOpen);
  EXPECT_THAT(refused.description(),
              HasSubstr(address + ": the user name or password was refused"));
  EXPECT_THAT(refused.description(), Not(HasSubstr("n0t-it")));
  catalog->Destroy();
  admin.RunOnMasters({{"ACL", "DELUSER", "ops"}});
}

// A batch over several masters is written to each before any reply is
// read: one BLPOP that waits 0.4 s on each master takes 0.4 s in all, not
// 0.4 s a master.
TEST(RedisCatalogTest, ABatchGoesToEveryMasterBeforeAnyReplyIsRead) {
  if (!testing::TestCluster().running()) GTEST_SKIP() << testing::TestCluster().why_not_running();
  RedisCluster cluster(ParseRedisLocation(testing::TestCluster().location_base() + "x").seeds, 3,
                       12);
  std::vector<RedisCommand> waits;
  for (const RedisValue& range : cluster.Run(RedisCommand{{"CLUSTER", "SLOTS"}}).elements) {
    std::string key;
    for (int n = 0; key.empty() || KeySlot(key) < range.elements.at(0).integer ||
                    KeySlot(key) > range.elements.at(1).integer;
         ++n) {
      key = "nothing-to-pop-" + std::to_string(n);
    }
    waits.push_back({{"BLPOP", key, "0.4"}});
  }
  ASSERT_EQ(waits.size(), 3u);
  const auto start = std::chrono::steady_clock::now();
  for (const RedisValue& reply : cluster.Run(waits)) EXPECT_TRUE(reply.is_nil());
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 0.8);
}

// The server settings the catalog depends on are checked at open: an
// eviction policy that may drop postings, and hash encodings that double
// the memory, are each one warning naming the node; servers that refuse
// CONFIG are said so once, and still open.
TEST(RedisCatalogTest, WarnsOfServerSettingsThatRiskTheCatalog) {
  testing::RedisTestCluster& node = testing::TestSingleNode();
  if (!node.running()) GTEST_SKIP() << node.why_not_running();
  const std::string address = "127.0.0.1:" + std::to_string(node.base_port());
  RedisCluster admin(ParseRedisLocation(node.location_base()).seeds, 3, 12);
  const RedisCommand no_config{
      {"ACL", "SETUSER", "no-config", "on", ">pw", "~*", "&*", "+@all", "-config"}};
  ASSERT_EQ(admin.RunOnMasters(no_config)[0].text, "OK");
  struct Case {
    const char* name;
    std::vector<std::string> setting;  // CONFIG SET's name and value; restored after
    std::string user;
    std::string warning;  // "" for none
  };
  const std::vector<Case> cases = {
      {"as the script sets them", {}, "", ""},
      {"eviction",
       {"maxmemory-policy", "allkeys-lru"},
       "",
       "the Redis node " + address + " has maxmemory-policy allkeys-lru"},
      {"few hash entries",
       {"hash-max-listpack-entries", "512"},
       "",
       "hash-max-listpack-entries 512"},
      {"short hash values", {"hash-max-listpack-value", "64"}, "", "hash-max-listpack-value 64"},
      {"CONFIG refused", {}, "no-config:pw@", "can't be read"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string before;
    if (!c.setting.empty()) {
      before = admin.RunOnMasters({{"CONFIG", "GET", c.setting[0]}, 2})[0].elements.at(1).text;
      admin.RunOnMasters({{"CONFIG", "SET", c.setting[0], c.setting[1]}, 2});
    }
    const std::vector<std::string> warnings =
        RedisCatalog::Open("redis://" + c.user + address + "/settings",
                           CatalogStore::Mode::kReadWrite)
            ->warnings();
    if (!c.setting.empty()) admin.RunOnMasters({{"CONFIG", "SET", c.setting[0], before}, 2});
    if (c.warning.empty()) {
      EXPECT_TRUE(warnings.empty()) << warnings.front();
    } else {
      ASSERT_EQ(warnings.size(), 1u);
      EXPECT_THAT(warnings[0], HasSubstr(c.warning));
    }
  }
  RedisCatalog::Open(node.location_base() + "settings", CatalogStore::Mode::kReadWrite)->Destroy();
  admin.RunOnMasters({{"ACL", "DELUSER", "no-config"}});
}

// Last, since it leaves the cluster a master short: a master killed while
// clients look up and add. Its replica takes over; meanwhile a lookup
// either fails with a clear error or answers exactly, and an add that
// failed completes when run again.
TEST(RedisCatalogTest, AMasterKilledFailsOverWithoutAWrongAnswer) {
  if (!testing::TestCluster().running()) GTEST_SKIP() << testing::TestCluster().why_not_running();
  RedisStore store;
  auto catalog = RedisCatalog::Open(store.location(), CatalogStore::Mode::kReadWrite);
  std::vector<NewRecording> items;
  Expected model;
  for (std::uint32_t seed = 1; seed <= 20; ++seed) items.push_back(SyntheticRecording(seed, 300));
  catalog->Add(items);
  for (RecordingId id = 1; id <= 20; ++id) AddToModel(model, id, items[id - 1]);

  const std::string pid_file = testing::TestCluster().data_directory() + "/" +
                               std::to_string(testing::TestCluster().base_port() + 1) + ".pid";
  std::ifstream pid_stream(pid_file);
  pid_t master = 0;
  ASSERT_TRUE(pid_stream >> master) << pid_file;
  ASSERT_EQ(kill(master, SIGKILL), 0);

  int failures = 0, answers = 0;
  std::uint32_t next_seed = 21;
  while (answers < 3) {
    try {
      NewRecording item = SyntheticRecording(next_seed, 300);
      AddResult added = catalog->Add({&item, 1})[0];
      AddToModel(model, added.id, item);
      ++next_seed;
      ExpectIndexMatches(*catalog, model);
      ++answers;
    } catch (const foundation::NSError& error) {
      EXPECT_EQ(error.code(), kCatalogErrorCannotOpen) << error.description();
      EXPECT_THAT(error.description(), HasSubstr("can't be reached"));
      ASSERT_LT(++failures, 10) << "the cluster never recovered";
      catalog->CleanLeftovers(0);
    }
  }
  EXPECT_EQ(catalog->NewCatalogReader()->RecordingCount(), next_seed - 1);
}

}  // namespace
}  // namespace plim::catalog
