// The index at the edges of its layout, and its two tables (page-sized
// chunks and fresh postings) kept exact through folds, removals and
// replacements.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

#include "platform/catalog/catalog_error.h"
#include "platform/catalog/lmdb/catalog.h"
#include "platform/catalog/lmdb/index_layout.h"
#include "platform/foundation/ns_error.h"
#include "tests/platform/catalog/catalog_test_support.h"
#include "tests/support/audio_fixtures.h"
#include "tests/support/thrown_error.h"

namespace plim::catalog {
namespace {

using ::testing::HasSubstr;

using fingerprint::Landmark;
using testing::AddToModel;
using testing::Expected;
using testing::ExpectIndexMatches;
using testing::RemoveFromModel;

constexpr std::uint32_t kBucketSpan = std::uint32_t{1} << kIndexLowHashBits;

NewRecording MakeRecording(std::uint32_t seed, std::vector<Landmark> landmarks,
                           const std::string& source_path = "") {
  NewRecording item = testing::SyntheticRecording(seed, 0, source_path);
  item.landmarks = std::move(landmarks);
  return item;
}

// `count` landmarks of `hash` at successive frames from `first_frame`.
std::vector<Landmark> SameHash(std::uint32_t hash, std::uint32_t first_frame, std::uint32_t count) {
  std::vector<Landmark> landmarks;
  for (std::uint32_t i = 0; i < count; ++i) landmarks.push_back({hash, first_frame + i});
  return landmarks;
}

std::vector<Landmark> Join(std::vector<Landmark> a, const std::vector<Landmark>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Landmarks all over the hash range: a few recordings of these fold every
// bucket of the fresh table into the chunks.
NewRecording Filler(std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<Landmark> landmarks;
  for (std::uint32_t i = 0; i < 3000; ++i) {
    landmarks.push_back({static_cast<std::uint32_t>(rng()) & kMaxIndexedHash, i});
  }
  return MakeRecording(seed, std::move(landmarks));
}

TEST(PostingIndexTest, KeepsPostingsExactAtTheEdgesOfTheLayout) {
  struct Case {
    const char* name;
    std::vector<std::vector<Landmark>> recordings;  // added in turn, as ids 1, 2, ...
    std::vector<RecordingId> removed;
  };
  const std::uint32_t edge = 5 * kBucketSpan;  // the first hash of bucket 5
  const std::uint32_t last_frame = kMaxIndexedAnchorFrame;
  std::vector<Case> cases = {
      {"largest and smallest hash and frame",
       {{{kMaxIndexedHash, last_frame}, {0, 0}, {kMaxIndexedHash, 0}, {0, last_frame}}},
       {}},
      {"neighbouring hashes in one bucket",
       {{{edge + 7, 1}, {edge + 8, 2}, {edge + 9, 3}}, {{edge + 8, 4}, {edge + 10, 4}}},
       {}},
      {"neighbouring hashes across a bucket edge",
       {{{edge - 1, 1}, {edge, 2}}, {{edge - 1, 3}, {edge, 4}}},
       {}},
      {"one hash over several chunks",
       {SameHash(edge + 8, 0, 1500), {{edge + 7, 9}, {edge + 9, 9}}, SameHash(edge + 8, 100, 700)},
       {}},
      {"removal leaves another recording's postings of the same hashes",
       {Join(SameHash(edge + 8, 0, 600), {{edge + 9, 5}}),
        Join(SameHash(edge + 8, 0, 600), {{edge + 9, 5}})},
       {1}},
      {"removal of the middle one of three sharing a chunk",
       {SameHash(edge + 8, 0, 300), SameHash(edge + 8, 0, 300), SameHash(edge + 8, 0, 300)},
       {2}},
      {"frames beyond the field are left out",
       {{{edge, last_frame},
         {edge, last_frame + 1},
         {edge, 0xFFFFFFFF},
         {edge + 1, last_frame + 1}}},
       {1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    plim::testing::TemporaryDirectory dir;
    auto catalog = Catalog::Open(dir.path(), Catalog::Mode::kReadWrite);
    Expected model;
    std::uint32_t seed = 0;
    for (const std::vector<Landmark>& landmarks : c.recordings) {
      NewRecording item = MakeRecording(++seed, landmarks);
      RecordingId id = catalog->Add({&item, 1})[0].id;
      ASSERT_EQ(id, seed);
      AddToModel(model, id, item);
      std::uint64_t indexable = 0;
      for (const auto& [hash, frame] : testing::DistinctPairs(landmarks)) {
        indexable += frame <= kMaxIndexedAnchorFrame;
      }
      EXPECT_EQ(catalog->NewReader().GetRecording(id)->landmark_count, indexable);
    }
    ExpectIndexMatches(*catalog, model);
    for (std::uint32_t filler = 1000; filler < 1006; ++filler) {
      NewRecording item = Filler(filler);
      AddToModel(model, catalog->Add({&item, 1})[0].id, item);
    }
    ExpectIndexMatches(*catalog, model);
    for (RecordingId id : c.removed) {
      ASSERT_TRUE(catalog->Remove(id));
      RemoveFromModel(model, id);
    }
    ExpectIndexMatches(*catalog, model);
    // A hash wider than the index holds is none of those it shares low bits with.
    Catalog::Reader reader = catalog->NewReader();
    std::vector<Posting> postings;
    for (const auto& [hash, expected] : model) {
      const std::uint32_t wide = hash | (kMaxIndexedHash + 1);
      reader.Lookup(wide, postings);
      EXPECT_EQ(reader.PostingCounts({&wide, 1}), std::vector<std::size_t>{0});
    }
    EXPECT_TRUE(postings.empty());
  }
}

TEST(PostingIndexTest, RefusesWhatItCantIndexAndKeepsNothingOfIt) {
  struct Case {
    const char* name;
    std::uint64_t next_id;  // as left by earlier adds
    std::vector<Landmark> landmarks;
    std::int64_t code;
    std::string description_part;
  };
  std::vector<Case> cases = {
      {"no recording ids left",
       kMaxIndexedRecordingId + std::uint64_t{1},
       {{1, 1}},
       kCatalogErrorCannotWrite,
       "has run out of recording ids"},
      {"a hash wider than the index holds",
       2,
       {{1, 1}, {kMaxIndexedHash + 1, 1}},
       kCatalogErrorInvalidArgument,
       "landmark hash wider than"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    plim::testing::TemporaryDirectory dir;
    NewRecording first = MakeRecording(1, {{7, 7}});
    Catalog::Open(dir.path(), Catalog::Mode::kReadWrite)->Add({&first, 1});
    testing::SetMetaNumber(dir.path(), "next_id", c.next_id);
    auto catalog = Catalog::Open(dir.path(), Catalog::Mode::kReadWrite);
    NewRecording refused = MakeRecording(2, c.landmarks);
    const foundation::NSError error = plim::testing::ThrownError([&] {
      catalog->Add({&refused, 1});
    });
    EXPECT_EQ(error.code(), c.code);
    EXPECT_THAT(error.description(), HasSubstr(c.description_part));
    Catalog::Reader reader = catalog->NewReader();
    EXPECT_EQ(reader.RecordingCount(), 1u);
    EXPECT_EQ(reader.LandmarkCount(), 1u);
  }

  // The largest id is used, and its postings read back whole.
  plim::testing::TemporaryDirectory dir;
  Catalog::Open(dir.path(), Catalog::Mode::kReadWrite);
  testing::SetMetaNumber(dir.path(), "next_id", kMaxIndexedRecordingId);
  auto catalog = Catalog::Open(dir.path(), Catalog::Mode::kReadWrite);
  NewRecording last = MakeRecording(3, {{kMaxIndexedHash, kMaxIndexedAnchorFrame}});
  ASSERT_EQ(catalog->Add({&last, 1})[0].id, kMaxIndexedRecordingId);
  std::vector<Posting> postings;
  catalog->NewReader().Lookup(kMaxIndexedHash, postings);
  EXPECT_EQ(postings, (std::vector<Posting>{{kMaxIndexedRecordingId, kMaxIndexedAnchorFrame}}));
}

// Adds, replacements and removals at random, over hashes crowded around
// bucket edges so that recordings share chunks, with the whole index
// checked against a model as the fresh table fills and folds.
TEST(PostingIndexTest, StaysExactThroughFoldsReplacementsAndRemovals) {
  std::mt19937 rng(11);
  std::vector<std::uint32_t> crowded;
  for (std::uint32_t bucket : {1u, 2u, 100u, kIndexBucketCount - 1}) {
    for (std::uint32_t offset = 0; offset < 6; ++offset) {
      crowded.push_back(bucket * kBucketSpan + offset);
      crowded.push_back(bucket * kBucketSpan - 1 - offset);
    }
  }
  plim::testing::TemporaryDirectory dir;
  auto catalog = Catalog::Open(dir.path(), Catalog::Mode::kReadWrite);
  Expected model;
  std::map<std::string, RecordingId> by_path;  // the recordings there are
  for (std::uint32_t step = 1; step <= 48; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    const std::uint32_t choice = rng() % 8;
    if (choice < 2 && !by_path.empty()) {
      auto it = std::next(by_path.begin(), static_cast<std::ptrdiff_t>(rng() % by_path.size()));
      ASSERT_TRUE(catalog->Remove(it->second));
      RemoveFromModel(model, it->second);
      by_path.erase(it);
    } else {
      // Some paths come back with new audio: a replacement.
      const std::string path = "/music/" + std::to_string(rng() % 24) + ".flac";
      std::vector<Landmark> landmarks;
      const std::uint32_t count = 200 + rng() % 1500;
      for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t hash = rng() % 3 == 0 ? static_cast<std::uint32_t>(rng()) & kMaxIndexedHash
                                            : crowded[rng() % crowded.size()];
        landmarks.push_back({hash, static_cast<std::uint32_t>(rng() % 4000)});
      }
      NewRecording item = MakeRecording(step, std::move(landmarks), path);
      AddResult result = catalog->Add({&item, 1})[0];
      if (result.outcome == AddOutcome::kReplaced) RemoveFromModel(model, result.replaced_id);
      EXPECT_EQ(result.outcome == AddOutcome::kReplaced, by_path.count(path) == 1);
      AddToModel(model, result.id, item);
      by_path[path] = result.id;
    }
    if (step % 4 == 0) ExpectIndexMatches(*catalog, model);
  }
}

}  // namespace
}  // namespace plim::catalog
