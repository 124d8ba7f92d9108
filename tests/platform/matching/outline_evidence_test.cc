// The outline's correlation checked against a plain reading of its
// definition (Pearson over every cell, each frame's common level, each
// band's neighbourhood mean and each band's mean removed on both sides),
// and the placement it picks under noise and at another speed.

#include "platform/matching/outline_evidence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace plim::matching {
namespace {

using fingerprint::BandOutline;
using fingerprint::kOutlineBands;

BandOutline RandomOutline(std::size_t frames, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> step(0, 6);
  BandOutline outline;
  std::vector<double> level(kOutlineBands, 120);
  for (std::size_t f = 0; f < frames; ++f) {
    for (double& l : level) {
      l = std::clamp(l + step(rng), 20.0, 235.0);
      outline.levels.push_back(static_cast<std::uint8_t>(std::lround(l)));
    }
  }
  return outline;
}

// Frames [first, first + count) of `outline` with Gaussian noise of `sd` steps.
BandOutline Excerpt(const BandOutline& outline, std::size_t first, std::size_t count, double sd,
                    std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0, sd);
  BandOutline excerpt;
  for (std::size_t i = first * kOutlineBands; i < (first + count) * kOutlineBands; ++i) {
    excerpt.levels.push_back(static_cast<std::uint8_t>(
        std::clamp(std::lround(outline.levels[i] + noise(rng)), 0L, 255L)));
  }
  return excerpt;
}

// `outline`'s levels less each frame's mean over its bands, then less each
// band's mean over the frames within 8 on either side.
std::vector<double> Prepared(const BandOutline& outline) {
  const std::size_t frames = outline.frames();
  std::vector<double> values(outline.levels.begin(), outline.levels.end());
  for (std::size_t f = 0; f < frames; ++f) {
    double mean = 0;
    for (int b = 0; b < kOutlineBands; ++b) mean += values[f * kOutlineBands + b];
    for (int b = 0; b < kOutlineBands; ++b) values[f * kOutlineBands + b] -= mean / kOutlineBands;
  }
  std::vector<double> local(values.size());
  for (std::size_t f = 0; f < frames; ++f) {
    for (int b = 0; b < kOutlineBands; ++b) {
      double sum = 0;
      int n = 0;
      for (std::size_t g = f >= 8 ? f - 8 : 0; g <= f + 8 && g < frames; ++g, ++n) {
        sum += values[g * kOutlineBands + b];
      }
      local[f * kOutlineBands + b] = values[f * kOutlineBands + b] - sum / n;
    }
  }
  return local;
}

double PlainCorrelation(const BandOutline& query_outline, const BandOutline& reference_outline,
                        std::size_t placement) {
  const std::size_t t = query_outline.frames();
  const std::vector<double> query = Prepared(query_outline);
  const std::vector<double> reference = Prepared(reference_outline);
  double products = 0, query_squares = 0, reference_squares = 0;
  for (int b = 0; b < kOutlineBands; ++b) {
    double query_mean = 0, reference_mean = 0;
    for (std::size_t f = 0; f < t; ++f) {
      query_mean += query[f * kOutlineBands + b];
      reference_mean += reference[(placement + f) * kOutlineBands + b];
    }
    query_mean /= static_cast<double>(t);
    reference_mean /= static_cast<double>(t);
    for (std::size_t f = 0; f < t; ++f) {
      const double q = query[f * kOutlineBands + b] - query_mean;
      const double r = reference[(placement + f) * kOutlineBands + b] - reference_mean;
      products += q * r;
      query_squares += q * q;
      reference_squares += r * r;
    }
  }
  return products / std::sqrt(query_squares * reference_squares);
}

TEST(OutlineEvidenceTest, CorrelationIsPearsonsAtEveryPlacement) {
  const BandOutline reference = RandomOutline(900, 1);
  const BandOutline query = Excerpt(reference, 300, 156, 20, 2);
  const OutlineCorrelation correlation(QueryOutline(query), ReferenceOutline(reference, 0));
  // The query's padded last frames are left out.
  const std::size_t used = 156 - kPaddedOutlineFrames;
  const BandOutline used_query{{query.levels.begin(), query.levels.begin() + used * kOutlineBands}};
  ASSERT_EQ(correlation.placements(), 900 - used + 1);
  for (std::size_t o = 0; o < correlation.placements(); o += 7) {
    EXPECT_NEAR(correlation.score(o), PlainCorrelation(used_query, reference, o), 2e-3) << o;
  }
  // Correlated at a few placements only: the same scores, cut at the ends.
  const auto last = static_cast<std::int64_t>(correlation.placements()) - 1;
  const struct {
    std::int64_t centre;  // outline frames
    std::int64_t first;
    std::size_t placements;
  } few[] = {{400, 399, 3},       {0, 0, 2},  {-1, 0, 1},      {last, last - 1, 2},
             {last + 1, last, 1}, {-2, 0, 0}, {last + 2, 0, 0}};
  for (const auto& f : few) {
    const OutlineCorrelation near(QueryOutline(query), ReferenceOutline(reference, 0),
                                  static_cast<double>(f.centre * fingerprint::kOutlineFrameSpan),
                                  1);
    ASSERT_EQ(near.placements(), f.placements) << f.centre;
    if (f.placements == 0) continue;
    EXPECT_EQ(near.first_frame(), static_cast<std::size_t>(f.first)) << f.centre;
    for (std::size_t o = 0; o < near.placements(); ++o)
      EXPECT_EQ(near.score(o), correlation.score(near.first_frame() + o)) << f.centre;
  }
}

TEST(OutlineEvidenceTest, FindsThePlacementAndJudgesItAgainstTheOthers) {
  struct Case {
    const char* name;
    double noise_sd;  // level steps added to the query
    double speed;     // the query's speed over the reference's
    bool related;     // the query is cut from the reference
    bool found;       // the truth is expected to stand out
    bool swells;      // both share slow swells at the truth (a fade, a crescendo)
  } cases[] = {
      {"clean", 0, 1, true, true, false},
      {"noise louder than the changes", 25, 1, true, true, false},
      {"two percent faster", 4, 1.02, true, true, false},
      {"another recording", 4, 1, false, false, false},
      {"another recording with the same swells", 4, 1, false, false, true},
  };
  const std::size_t truth = 1234;
  // Swells of 8 s, in every band at its own phase, 40 steps deep.
  auto add_swells = [](BandOutline& outline, std::size_t first) {
    for (std::size_t k = 0; k < 156; ++k) {
      for (int b = 0; b < kOutlineBands; ++b) {
        std::uint8_t& level = outline.levels[(first + k) * kOutlineBands + b];
        level = static_cast<std::uint8_t>(
            std::clamp(level + std::lround(40 * std::sin(k * 0.05 + b)), 0L, 255L));
      }
    }
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BandOutline reference = RandomOutline(2800, 3);
    BandOutline query;
    if (c.related) {
      // A faster query spans more reference frames in the same time.
      const BandOutline spanned = Excerpt(
          reference, truth, static_cast<std::size_t>(std::ceil(156 * c.speed)) + 1, c.noise_sd, 4);
      for (std::size_t k = 0; k < 156; ++k) {
        const auto j = static_cast<std::size_t>(std::lround(k * c.speed));
        query.levels.insert(query.levels.end(), spanned.levels.begin() + j * kOutlineBands,
                            spanned.levels.begin() + (j + 1) * kOutlineBands);
      }
    } else {
      query = RandomOutline(156, 5);
    }
    if (c.swells) {
      add_swells(reference, truth);
      add_swells(query, 0);
    }
    // Read from the recording's second block on, as a reader hands it over.
    const std::size_t first = 256;
    const BandOutline stretch{
        {reference.levels.begin() + first * kOutlineBands, reference.levels.end()}};
    const OutlineCorrelation correlation(QueryOutline(query, c.speed),
                                         ReferenceOutline(stretch, first));
    const OutlineEvidence best = BestOutlinePlacement(correlation);
    const OutlineEvidence near =
        OutlineNear(correlation, truth * fingerprint::kOutlineFrameSpan, 1);
    // The few placements around the truth at the query's speed, against
    // chance at speed 1.
    const double truth_frames = truth * fingerprint::kOutlineFrameSpan;
    const OutlineEvidence near_only = OutlineNear(
        OutlineCorrelation(QueryOutline(query, c.speed), ReferenceOutline(stretch, first),
                           truth_frames, 1),
        OutlineCorrelation(QueryOutline(query), ReferenceOutline(stretch, first)), truth_frames, 1);
    EXPECT_EQ(near_only.correlation, near.correlation);
    if (c.found) {
      EXPECT_EQ(best.offset_frames, truth * fingerprint::kOutlineFrameSpan);
      EXPECT_LT(near.probability, 1e-3);
      EXPECT_GT(near.correlation, near.best_elsewhere);
      EXPECT_GT(near.placements_compared, 2000);
      EXPECT_LT(near_only.probability, 1e-3);
    } else {
      EXPECT_GT(best.probability * best.placements_searched, 1e-3);
      EXPECT_GT(near.probability, 1e-3);
      EXPECT_GT(near_only.probability, 1e-3);
    }
  }
}

TEST(OutlineEvidenceTest, TooShortOrFlatIsNoEvidence) {
  const BandOutline reference = RandomOutline(400, 6);
  BandOutline flat;
  flat.levels.assign(156 * kOutlineBands, 90);
  const BandOutline cases[] = {Excerpt(reference, 10, 40, 0, 7), flat};
  for (const BandOutline& query : cases) {
    EXPECT_FALSE(QueryOutline(query).usable());
    EXPECT_EQ(OutlineCorrelation(QueryOutline(query), ReferenceOutline(reference, 0)).placements(),
              0u);
  }
  const BandOutline longer_than_reference = RandomOutline(300, 8);
  EXPECT_EQ(OutlineCorrelation(QueryOutline(longer_than_reference),
                               ReferenceOutline(Excerpt(reference, 0, 250, 0, 9), 0))
                .placements(),
            0u);
  EXPECT_EQ(
      BestOutlinePlacement(OutlineCorrelation(QueryOutline(flat), ReferenceOutline(reference, 0)))
          .probability,
      1);
}

TEST(OutlineEvidenceTest, CombinedProbabilityIsThatOfTheProductOfTwoUniforms) {
  EXPECT_DOUBLE_EQ(CombinedProbability(1, 1), 1);
  EXPECT_DOUBLE_EQ(CombinedProbability(0.5, 1), 0.5 * (1 - std::log(0.5)));
  EXPECT_NEAR(CombinedProbability(1e-4, 1e-4), 1e-8 * (1 + 8 * std::log(10)), 1e-12);
  EXPECT_GT(CombinedProbability(1e-4, 1e-4), 1e-8) << "more than the bare product";
}

}  // namespace
}  // namespace plim::matching
