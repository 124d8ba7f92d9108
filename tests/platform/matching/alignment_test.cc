// The search for the time alignment of a query with a reference, and the
// chance that an alignment is a coincidence.

#include "platform/matching/alignment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "platform/fingerprint/fingerprint_params.h"
#include "platform/matching/significance.h"

namespace plim::matching {
namespace {

struct AlignmentCase {
  const char* name;
  double speed;
  double offset_frames;
  int true_hits;
  int random_hits;
};

// Test names, not bytes, in failure messages and CTest's list.
void PrintTo(const AlignmentCase& c, std::ostream* os) { *os << c.name; }

class AlignHitsTest : public ::testing::TestWithParam<AlignmentCase> {};

TEST_P(AlignHitsTest, FindsTheLineAmongRandomHits) {
  const AlignmentCase& c = GetParam();
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> query_frame(0, 312), jitter(-0.6, 0.6), anywhere(0, 6000);
  std::vector<Hit> hits;
  for (int i = 0; i < c.true_hits; ++i) {
    double q = std::round(query_frame(rng));
    double r = c.offset_frames + c.speed * q + jitter(rng);
    hits.push_back({static_cast<std::uint32_t>(q), static_cast<std::uint32_t>(std::lround(r))});
  }
  for (int i = 0; i < c.random_hits; ++i) {
    hits.push_back(
        {static_cast<std::uint32_t>(query_frame(rng)), static_cast<std::uint32_t>(anywhere(rng))});
  }
  std::sort(hits.begin(), hits.end());
  hits.erase(std::unique(hits.begin(), hits.end()), hits.end());

  Alignment alignment = AlignHits(hits, 312);
  EXPECT_NEAR(alignment.speed, c.speed, 0.004);
  EXPECT_NEAR(alignment.offset_frames, c.offset_frames, 2.0);
  EXPECT_GE(alignment.aligned_query_frames, c.true_hits * 8 / 10);
  EXPECT_LE(alignment.aligned_query_frames, c.true_hits + 3);
}

INSTANTIATE_TEST_SUITE_P(Matching, AlignHitsTest,
                         ::testing::Values(AlignmentCase{"SameSpeed", 1.0, 1500, 60, 200},
                                           AlignmentCase{"Faster3Percent", 1.03, 800, 60, 200},
                                           AlignmentCase{"Slower5Percent", 0.95, 2500, 40, 400},
                                           AlignmentCase{"FewHitsManyDecoys", 1.01, 100, 15, 1000}),
                         [](const auto& info) { return info.param.name; });

TEST(AlignHitsTest, NoHitsNoAlignment) { EXPECT_EQ(AlignHits({}, 312).aligned_query_frames, 0); }

TEST(SignificanceTest, PoissonTailMatchesDirectSums) {
  struct Case {
    int k;
    double lambda;
    double probability;
  };
  // 1 - sum_{j<k} e^-l l^j / j!
  const Case cases[] = {
      {0, 3.0, 1.0},
      {1, 0.5, 1 - std::exp(-0.5)},
      {3, 2.0, 1 - std::exp(-2.0) * (1 + 2.0 + 2.0)},
      // Far out, the terms fall by lambda / j each: e^-l l^10 / 10! (1 + l/11 + ...).
      {10, 0.1, std::exp(-0.1) * 1e-10 / 3628800 * (1 + 0.1 / 11 + 0.01 / 132)},
  };
  for (const Case& c : cases) {
    EXPECT_NEAR(std::exp(LogPoissonTail(c.k, c.lambda)), c.probability, c.probability * 1e-3)
        << c.k << " " << c.lambda;
  }
  // Far in the tail the probability underflows; its log must not.
  double log_p = LogPoissonTail(400, 0.01);
  EXPECT_TRUE(std::isfinite(log_p));
  EXPECT_LT(log_p, -2000);
}

TEST(SignificanceTest, BiggerCatalogsLongerReferencesAndDenserChanceNeedMoreEvidence) {
  // Hits at the same density (200 per 6000 frames) over a reference of
  // `reference_frames`, and `background` hits per window around the line.
  auto p = [](int aligned, double reference_frames, double recordings, double background = 0) {
    ChanceModel model;
    model.hits = static_cast<int>(200 * reference_frames / 6000);
    model.reference_frames = reference_frames;
    model.query_frames = 312;
    model.speeds_searched = 25;
    model.recordings = recordings;
    model.background_per_window = background;
    return FalseMatchProbability(model, aligned);
  };
  EXPECT_LT(p(20, 6000, 1), p(20, 6000, 1e6));
  EXPECT_LT(p(20, 6000, 100), p(20, 60000, 100));
  EXPECT_LT(p(30, 6000, 100), p(20, 6000, 100));
  EXPECT_LE(p(0, 6000, 100), 1.0);
  // The evidence a clean 10-s excerpt gives (about a hundred aligned
  // landmarks) is decisive even against a million recordings, while the
  // handful chance gives is not, even against one.
  EXPECT_LT(p(100, 6000, 1e6), 1e-12);
  EXPECT_GT(p(5, 6000, 1), 1e-6);
  // Chance hits crowded around the line (a shared loop) explain an
  // alignment that evenly spread ones would not; a background sparser than
  // the even spread changes nothing.
  EXPECT_LT(p(14, 6000, 100), 1e-8);
  EXPECT_GT(p(14, 6000, 100, 4.0), 1e-2);
  EXPECT_EQ(p(14, 6000, 100, 0.01), p(14, 6000, 100));
}

TEST(SignificanceTest, BackgroundCountsTheHitsBesideTheLineOnly) {
  Alignment line;
  line.speed = 1.02;
  line.offset_frames = 1000;
  std::vector<Hit> hits;
  auto at = [&](std::uint32_t q, double distance) {
    hits.push_back({q, static_cast<std::uint32_t>(std::lround(1000 + 1.02 * q + distance))});
  };
  const double width = 2 * fingerprint::kInlierToleranceFrames;
  for (std::uint32_t q = 0; q < 50; ++q) at(q * 6, 0);  // on the line: not background
  at(10, 1.5 * width);                                  // beside it: left out
  at(20, 3 * width);                                    // counted, either side
  at(30, -3 * width);
  at(40, (fingerprint::kBackgroundWindows + 1) * width);  // counted: last window
  at(50, (fingerprint::kBackgroundWindows + 3) * width);  // too far: not counted
  std::sort(hits.begin(), hits.end());
  EXPECT_DOUBLE_EQ(CountBackgroundPerWindow(hits, line),
                   3.0 / (2 * fingerprint::kBackgroundWindows));
}

}  // namespace
}  // namespace plim::matching
