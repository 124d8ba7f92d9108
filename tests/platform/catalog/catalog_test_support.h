// Synthetic recordings and index checks shared by the catalog's tests.

#ifndef PLIM_TESTS_PLATFORM_CATALOG_CATALOG_TEST_SUPPORT_H_
#define PLIM_TESTS_PLATFORM_CATALOG_CATALOG_TEST_SUPPORT_H_

#include <gtest/gtest.h>
#include <lmdb.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/catalog/lmdb/catalog.h"
#include "platform/catalog/lmdb/index_layout.h"

namespace plim::catalog::testing {

// Every synthetic recording has this landmark (at frame = its seed), so the
// postings of this one hash count the recordings a snapshot holds.
inline constexpr std::uint32_t kSharedHash = 0x3FFFFFF;

// `count` landmarks drawn from a small hash space, so that recordings share
// index keys, with a few (hash, frame) pairs repeated as a fingerprint may.
inline std::vector<fingerprint::Landmark> SyntheticLandmarks(std::uint32_t seed, int count) {
  std::mt19937 rng(seed);
  std::vector<fingerprint::Landmark> landmarks;
  for (int i = 0; i < count; ++i) {
    landmarks.push_back(
        {static_cast<std::uint32_t>(rng() % 4096), static_cast<std::uint32_t>(i / 2)});
  }
  for (int i = 0; i < std::min(count, 10); ++i)
    landmarks.push_back(landmarks[static_cast<std::size_t>(i)]);
  landmarks.push_back({kSharedHash, seed});
  return landmarks;
}

inline NewRecording SyntheticRecording(std::uint32_t seed, int landmark_count,
                                       const std::string& source_path = "") {
  NewRecording item;
  item.recording.title = "Title " + std::to_string(seed);
  item.recording.artist = "Artist " + std::to_string(seed % 3);
  item.recording.content_hash = "content-" + std::to_string(seed);
  item.recording.duration_s = 1.5 * seed;
  item.recording.source_path = source_path;
  item.landmarks = SyntheticLandmarks(seed, landmark_count);
  return item;
}

inline std::set<std::pair<std::uint32_t, std::uint32_t>> DistinctPairs(
    const std::vector<fingerprint::Landmark>& landmarks) {
  std::set<std::pair<std::uint32_t, std::uint32_t>> pairs;
  for (const auto& l : landmarks) pairs.insert({l.hash, l.anchor_frame});
  return pairs;
}

// Runs `change` in one write transaction on table `table` of the LMDB
// catalog in `dir`, behind the catalog's back (no Catalog may have it
// open): to damage it, or as another plim or a long history would.
inline void ChangeTable(const std::string& dir, const char* table, unsigned flags,
                        const std::function<void(MDB_txn*, MDB_dbi)>& change) {
  MDB_env* env = nullptr;
  ASSERT_EQ(mdb_env_create(&env), 0);
  mdb_env_set_maxdbs(env, 16);
  ASSERT_EQ(mdb_env_open(env, dir.c_str(), 0, 0644), 0);
  MDB_txn* txn = nullptr;
  MDB_dbi dbi;
  ASSERT_EQ(mdb_txn_begin(env, nullptr, 0, &txn), 0);
  ASSERT_EQ(mdb_dbi_open(txn, table, flags, &dbi), 0);
  change(txn, dbi);
  ASSERT_EQ(mdb_txn_commit(txn), 0);
  mdb_env_close(env);
}

// Writes `value` to the meta table of the catalog in `dir` behind its back.
inline void SetMetaNumber(const std::string& dir, const std::string& key, std::uint64_t value) {
  ChangeTable(dir, "meta", 0, [&](MDB_txn* txn, MDB_dbi meta) {
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    MDB_val k{key.size(), const_cast<char*>(key.data())}, v{sizeof bytes, bytes};
    ASSERT_EQ(mdb_put(txn, meta, &k, &v, 0), 0);
  });
}

// What the index should hold: every hash's postings, in lookup order.
using Expected = std::map<std::uint32_t, std::vector<Posting>>;

// Adds the postings of `item`, added as recording `id`, as the index keeps
// them: distinct, and none for a frame beyond the index's field.
inline void AddToModel(Expected& model, RecordingId id, const NewRecording& item) {
  std::set<std::uint32_t> touched;
  for (const auto& [hash, frame] : DistinctPairs(item.landmarks)) {
    if (frame > kMaxIndexedAnchorFrame) continue;
    model[hash].push_back({id, frame});
    touched.insert(hash);
  }
  for (std::uint32_t hash : touched) {
    std::sort(model[hash].begin(), model[hash].end(), [](const Posting& a, const Posting& b) {
      return a.recording != b.recording ? a.recording < b.recording
                                        : a.anchor_frame < b.anchor_frame;
    });
  }
}

inline void RemoveFromModel(Expected& model, RecordingId id) {
  for (auto& [hash, postings] : model) {
    std::erase_if(postings, [&](const Posting& p) { return p.recording == id; });
  }
}

// Every hash the model knows (including those emptied by removals) looks up
// exactly the model's postings, in order, the catalog counts them all, the
// lengths of the lists are as many (or, with `counts_exact` false, while a
// killed writer's postings of an unpublished recording remain, no fewer),
// and a directory catalog verifies intact.
inline void ExpectIndexMatches(const CatalogStore& catalog, const Expected& model,
                               bool counts_exact = true) {
  std::unique_ptr<CatalogReader> reading = catalog.NewCatalogReader();
  const CatalogReader& reader = *reading;
  std::uint64_t total = 0;
  std::vector<Posting> postings;
  // Ascending, as a query looks hashes up, then descending through the same
  // reader: where the last lookup ended must never leak into the next.
  for (const auto& [hash, expected] : model) {
    postings.clear();
    reader.Lookup(hash, postings);
    ASSERT_EQ(postings, expected) << "hash " << hash;
    total += expected.size();
  }
  for (auto it = model.rbegin(); it != model.rend(); ++it) {
    postings.clear();
    reader.Lookup(it->first, postings);
    ASSERT_EQ(postings, it->second) << "hash " << it->first << ", looked up descending";
  }
  EXPECT_EQ(reader.LandmarkCount(), total);
  // The lengths of the lists, read without them (by a reader that has not
  // read them), agree: ascending one by one, then all at once descending.
  std::unique_ptr<CatalogReader> counting = catalog.NewCatalogReader();
  std::vector<std::uint32_t> hashes;
  std::vector<std::size_t> sizes;
  for (const auto& [hash, expected] : model) {
    hashes.push_back(hash);
    sizes.push_back(expected.size());
    const std::size_t count = counting->PostingCounts({&hash, 1}).at(0);
    ASSERT_TRUE(counts_exact ? count == expected.size() : count >= expected.size())
        << "hash " << hash << ": " << count << " counted, " << expected.size() << " looked up";
  }
  std::reverse(hashes.begin(), hashes.end());
  std::reverse(sizes.begin(), sizes.end());
  if (counts_exact) {
    EXPECT_EQ(counting->PostingCounts(hashes), sizes);
    EXPECT_EQ(reader.PostingCounts(hashes), sizes) << "counted from the lists read";
  }
  // And the lists looked up after they were counted are the same.
  for (const auto& [hash, expected] : model) {
    postings.clear();
    counting->Lookup(hash, postings);
    ASSERT_EQ(postings, expected) << "hash " << hash << ", looked up after a count";
  }
  // And a whole walk of the catalog finds it intact: nothing an add, fold,
  // replacement or removal leaves may look like damage.
  if (const auto* directory = dynamic_cast<const Catalog*>(&catalog)) {
    const VerificationReport report = directory->Verify();
    EXPECT_TRUE(report.Intact()) << report.damage.front().what;
    EXPECT_EQ(report.postings, total);
  }
}

// A tmpfs mounted at `path` (an existing directory) with mount `options`
// for the object's life. mounted() is false when this process may not
// mount one (it is not root).
class TmpfsMount {
 public:
  TmpfsMount(std::string path, const char* options)
      : path_(std::move(path)),
        mounted_(geteuid() == 0 && mount("tmpfs", path_.c_str(), "tmpfs", 0, options) == 0) {}
  ~TmpfsMount() {
    if (mounted_) umount(path_.c_str());
  }
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;

  bool mounted() const { return mounted_; }

 private:
  std::string path_;
  bool mounted_;
};

}  // namespace plim::catalog::testing

#endif  // PLIM_TESTS_PLATFORM_CATALOG_CATALOG_TEST_SUPPORT_H_
