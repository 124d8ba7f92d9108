// Candidates ranked and judged over a real catalog of synthetic landmarks
// and peaks: the right recording must not be crowded out by recordings with
// more, but scattered, hits; chance hits crowded around one offset must not
// pass for a match; and a recording whose few surviving landmarks are
// outnumbered by chance ones is still found where its peaks say.

#include "platform/matching/matcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "platform/catalog/lmdb/catalog.h"
#include "platform/fingerprint/fingerprint_params.h"
#include "tests/support/audio_fixtures.h"

namespace plim::matching {
namespace {

using fingerprint::Landmark;
using fingerprint::Peak;

struct Reference {
  std::vector<Landmark> landmarks;
  std::vector<Peak> peaks;  // ordered by time
  double duration_s = 200;
  fingerprint::BandOutline outline;
};

struct Scenario {
  const char* name;
  std::vector<Reference> references;  // ids 1, 2, ... in order
  std::vector<Landmark> query;        // a 10-s query
  catalog::RecordingId expected = 0;  // 0: nothing may be accepted
  double expected_offset_s = 0;
  std::vector<Peak> query_peaks = {};
  int expected_aligned_landmarks = 16;
  fingerprint::BandOutline query_outline = {};
};

Peak At(double frame, double bin) {
  return {static_cast<std::uint32_t>(frame * fingerprint::kTimeSubdivisions),
          static_cast<std::uint16_t>(bin * fingerprint::kBinSubdivisions), 20};
}

void SortByTime(std::vector<Peak>& peaks) {
  std::sort(peaks.begin(), peaks.end(), [](const Peak& a, const Peak& b) {
    return a.time_q != b.time_q ? a.time_q < b.time_q : a.bin_q < b.bin_q;
  });
}

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

// Recording 1 under heavy noise: one in `survive_one_in` of its peaks from
// frame 3000 on survive in `s`'s query among `noise_peaks` of the noise's,
// and so do 2 of its landmarks.
Reference BuriedAt3000(Scenario& s, std::mt19937& rng, unsigned survive_one_in, int noise_peaks) {
  std::uniform_real_distribution<double> bin(33, 480), query_frame(0, 312);
  Reference buried;
  for (int i = 0; i < 4200; ++i) {
    buried.peaks.push_back(At(std::uniform_real_distribution<double>(0, 6000)(rng), bin(rng)));
  }
  SortByTime(buried.peaks);
  for (const Peak& p : buried.peaks) {
    const double at = p.TimeFrames() - 3000;
    if (at >= 0 && at <= 312 && rng() % survive_one_in == 0) {
      s.query_peaks.push_back(At(at + 0.3, p.bin_q / 16.0 + 0.4));
    }
  }
  for (int i = 0; i < noise_peaks; ++i) s.query_peaks.push_back(At(query_frame(rng), bin(rng)));
  SortByTime(s.query_peaks);
  for (std::uint32_t i = 0; i < 2; ++i) {
    buried.landmarks.push_back({7000 + i, 3100 + 50 * i});
    s.query.push_back({7000 + i, 100 + 50 * i});
  }
  return buried;
}

// A quarter of recording 1's peaks survive among ten times as many of the
// noise's; 5 chance landmarks line up 2500 frames away.
Scenario Buried() {
  Scenario s{"a buried recording whose landmarks point elsewhere", {}, {}, 1, 3000 * 0.032};
  std::mt19937 rng(7);
  Reference buried = BuriedAt3000(s, rng, 4, 600);
  for (std::uint32_t i = 0; i < 5; ++i) {
    buried.landmarks.push_back({8000 + i, 500 + 40 * i});
    s.query.push_back({8000 + i, 40 * i});
  }
  s.references.push_back(buried);
  s.expected_aligned_landmarks = -1;  // not where the peaks put it
  return s;
}

// A band-energy outline `frames` long whose levels wander about 120 with
// a spread of 20 steps, each frame keeping 0.8 of the last one's departure.
fingerprint::BandOutline Wandering(std::size_t frames, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> step(0, 12);
  fingerprint::BandOutline outline;
  std::vector<double> level(fingerprint::kOutlineBands, 120);
  for (std::size_t f = 0; f < frames; ++f) {
    for (double& l : level) {
      l = std::clamp(120 + 0.8 * (l - 120) + step(rng), 0.0, 255.0);
      outline.levels.push_back(static_cast<std::uint8_t>(l));
    }
  }
  return outline;
}

// One in 16 of recording 1's peaks survive among seventy times as many of
// the noise's: too little alone. Its band-energy outline, under noise as
// strong as its own changes, decides; unless the query's outline is
// another recording's.
Scenario Outlined(bool same_outline) {
  Scenario s{same_outline ? "peaks too few, the outline agreeing"
                          : "peaks too few, the outline another recording's",
             {},
             {},
             same_outline ? 1u : 0u,
             3000 * 0.032};
  std::mt19937 rng(11);
  Reference buried = BuriedAt3000(s, rng, 16, 1000);
  buried.outline = Wandering(3125, 12);
  const fingerprint::BandOutline source = same_outline ? buried.outline : Wandering(3125, 13);
  std::normal_distribution<double> noise(0, 20);
  const std::size_t first = 3000 / fingerprint::kOutlineFrameSpan;
  for (std::size_t i = first * fingerprint::kOutlineBands;
       i < (first + 157) * fingerprint::kOutlineBands; ++i) {
    s.query_outline.levels.push_back(
        static_cast<std::uint8_t>(std::clamp(source.levels[i] + noise(rng), 0.0, 255.0)));
  }
  s.references.push_back(buried);
  s.expected_aligned_landmarks = -1;
  return s;
}

TEST(FindMatchesTest, RanksByAlignedEvidenceAndJudgesAgainstLocalChance) {
  for (const Scenario& s : {Crowd(), SharedLoop(), Buried(), Outlined(true), Outlined(false)}) {
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
      item.peaks = s.references[i].peaks;
      item.outline = s.references[i].outline;
      items.push_back(std::move(item));
    }
    catalog->Add(items);
    const fingerprint::Constellation query_peaks{s.query_peaks, 10.0, s.query_outline};
    MatchReport report = FindMatches(catalog->NewReader(), s.query, query_peaks);
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
    // A caller matching the same query twice holds each pass to half the bound.
    MatchEffort twice;
    twice.passes = 2;
    const MatchCandidate again =
        FindMatches(catalog->NewReader(), s.query, query_peaks, twice).candidates.front();
    EXPECT_NEAR(again.false_match_probability, 2 * best.false_match_probability,
                1e-9 * best.false_match_probability);
    if (s.expected_aligned_landmarks >= 0) {
      EXPECT_EQ(best.aligned_landmarks, s.expected_aligned_landmarks);
    }
    // Held to fewer hits than the query brings, a pass keeps its rarest
    // hashes, which are the right recording's here.
    MatchEffort budget;
    budget.max_hits = 100;
    const MatchReport held = FindMatches(catalog->NewReader(), s.query, query_peaks, budget);
    int held_hits = 0;
    for (const MatchCandidate& c : held.candidates) held_hits += c.hits;
    EXPECT_LE(held_hits, 100);
    EXPECT_EQ(held.candidates.front().recording, best.recording);
    EXPECT_EQ(held.candidates.front().aligned_landmarks, best.aligned_landmarks);
    EXPECT_NEAR(best.offset_s, s.expected_offset_s, 0.05);
    EXPECT_NEAR(best.speed, 1.0, 0.002);
    for (std::size_t i = 1; i < report.candidates.size(); ++i) {
      EXPECT_FALSE(report.candidates[i].accepted) << report.candidates[i].recording;
    }
  }
}

}  // namespace
}  // namespace plim::matching
