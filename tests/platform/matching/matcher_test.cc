// Candidates ranked and judged over a real catalog of synthetic landmarks:
// the right recording must not be crowded out by recordings with more, but
// scattered, hits, and chance hits crowded around one offset must not pass
// for a match.

#include "platform/matching/matcher.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "platform/catalog/catalog.h"
#include "platform/fingerprint/fingerprint_params.h"
#include "tests/support/audio_fixtures.h"

namespace plim::matching {
namespace {

using fingerprint::Landmark;

struct Reference {
  std::vector<Landmark> landmarks;
  double duration_s = 200;
};

struct Scenario {
  const char* name;
  std::vector<Reference> references;  // ids 1, 2, ... in order
  std::vector<Landmark> query;        // a 10-s query
  catalog::RecordingId expected = 0;  // 0: nothing may be accepted
  double expected_offset_s = 0;
};

// Recording 1 holds 16 landmarks that the query holds 500 frames earlier;
// 30 others each hold all 400 of the query's other landmarks, at random
// places: 400 hits each, on no line.
Scenario Crowd() {
  Scenario s{"right recording among crowds of scattered hits", {}, {}, 1, 500 * 0.032};
  std::mt19937 rng(3);
  Reference right;
  for (std::uint32_t i = 0; i < 16; ++i) {
    right.landmarks.push_back({1000 + i, 500 + 8 * i});
    s.query.push_back({1000 + i, 8 * i});
  }
  s.references.push_back(right);
  std::vector<Landmark> noise;
  for (std::uint32_t j = 0; j < 400; ++j) {
    noise.push_back({100000 + j, static_cast<std::uint32_t>(rng() % 312)});
  }
  s.query.insert(s.query.end(), noise.begin(), noise.end());
  for (int k = 0; k < 30; ++k) {
    Reference crowd;
    for (const Landmark& l : noise) {
      crowd.landmarks.push_back({l.hash, static_cast<std::uint32_t>(rng() % 6000)});
    }
    s.references.push_back(crowd);
  }
  return s;
}

// One recording shares a loop with the query: 300 chance hits within 150
// frames of one offset, 14 of them on an exact line, which evenly spread
// hits would almost never give.
Scenario SharedLoop() {
  Scenario s{"chance hits crowded around one offset", {}, {}, 0, 0};
  std::mt19937 rng(5);
  Reference loop, other;
  for (std::uint32_t j = 0; j < 300; ++j) {
    const auto q = static_cast<std::uint32_t>(rng() % 312);
    const int spread = j < 14 ? 0 : static_cast<int>(rng() % 301) - 150;
    s.query.push_back({5000 + j, q});
    loop.landmarks.push_back({5000 + j, static_cast<std::uint32_t>(2000 + q + spread)});
    other.landmarks.push_back({90000 + j, j});
  }
  s.references = {loop, other};
  return s;
}

TEST(FindMatchesTest, RanksByAlignedEvidenceAndJudgesAgainstLocalChance) {
  for (const Scenario& s : {Crowd(), SharedLoop()}) {
    SCOPED_TRACE(s.name);
    plim::testing::TemporaryDirectory dir;
    auto catalog = catalog::Catalog::Open(dir.path(), catalog::Catalog::Mode::kReadWrite);
    std::vector<catalog::NewRecording> items;
    for (std::size_t i = 0; i < s.references.size(); ++i) {
      catalog::NewRecording item;
      item.recording.title = "Recording " + std::to_string(i + 1);
      item.recording.content_hash = "matcher-" + std::to_string(i + 1);
      item.recording.duration_s = s.references[i].duration_s;
      item.landmarks = s.references[i].landmarks;
      items.push_back(std::move(item));
    }
    catalog->Add(items);
    fingerprint::Constellation no_peaks;
    no_peaks.duration_s = 10.0;
    MatchReport report = FindMatches(catalog->NewReader(), s.query, no_peaks);
    ASSERT_FALSE(report.candidates.empty());
    const MatchCandidate& best = report.candidates.front();
    if (s.expected == 0) {
      EXPECT_FALSE(best.accepted) << "recording " << best.recording << " with "
                                  << best.aligned_landmarks << " aligned, p "
                                  << best.false_match_probability;
      continue;
    }
    EXPECT_TRUE(best.accepted);
    EXPECT_EQ(best.recording, s.expected);
    EXPECT_EQ(best.aligned_landmarks, 16);
    EXPECT_NEAR(best.offset_s, s.expected_offset_s, 0.05);
    EXPECT_NEAR(best.speed, 1.0, 0.002);
    for (std::size_t i = 1; i < report.candidates.size(); ++i) {
      EXPECT_FALSE(report.candidates[i].accepted) << report.candidates[i].recording;
    }
  }
}

}  // namespace
}  // namespace plim::matching
