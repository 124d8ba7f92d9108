// The excerpts a long query is matched by: bounded in total, spread from
// start to end, peaks at their own times.

#include "platform/matching/long_query.h"

#include <gtest/gtest.h>

namespace plim::matching {
namespace {

// One peak every tenth of a second for `duration_s`.
fingerprint::Constellation EvenPeaks(double duration_s) {
  fingerprint::Constellation c;
  c.duration_s = duration_s;
  const double q_per_s = fingerprint::kTimeSubdivisions / fingerprint::kFrameDurationS;
  for (double t = 0; t < duration_s; t += 0.1) {
    c.peaks.push_back({static_cast<std::uint32_t>(t * q_per_s), 100, 10});
  }
  return c;
}

TEST(LongQueryTest, KeepsShortQueriesWholeAndLongOnesToSpreadExcerpts) {
  const double q_per_s = fingerprint::kTimeSubdivisions / fingerprint::kFrameDurationS;
  for (double duration_s : {10.0, kMaxQueryExcerptsS, 600.0, 4 * 3600.0}) {
    SCOPED_TRACE(duration_s);
    const fingerprint::Constellation query = EvenPeaks(duration_s);
    const fingerprint::Constellation bounded = BoundLongQuery(query);
    EXPECT_EQ(bounded.duration_s, query.duration_s);
    if (duration_s <= kMaxQueryExcerptsS) {
      EXPECT_EQ(bounded, query);
      continue;
    }
    // At most the excerpts' length of peaks, a peak per tenth of a second.
    EXPECT_LE(bounded.peaks.size(), kMaxQueryExcerptsS * 10 + kQueryExcerpts);
    EXPECT_GE(bounded.peaks.size(), kMaxQueryExcerptsS * 10 - kQueryExcerpts);
    ASSERT_FALSE(bounded.peaks.empty());
    EXPECT_LT(bounded.peaks.front().time_q / q_per_s, 0.2);
    EXPECT_GT(bounded.peaks.back().time_q / q_per_s, duration_s - 0.2);
    int gaps = 0;  // between excerpts
    for (std::size_t i = 1; i < bounded.peaks.size(); ++i) {
      ASSERT_LT(bounded.peaks[i - 1].time_q, bounded.peaks[i].time_q) << "in time order, once";
      if ((bounded.peaks[i].time_q - bounded.peaks[i - 1].time_q) / q_per_s > 1) ++gaps;
    }
    EXPECT_EQ(gaps, kQueryExcerpts - 1);
  }
}

}  // namespace
}  // namespace plim::matching
