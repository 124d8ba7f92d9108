// Peak checks on made-up constellations: the reference's peaks found again
// in a noisy query are evidence, but peaks that line up only because two
// pieces share a beat are not; and the peaks alone place a buried query in
// its recording.

#include "platform/matching/peak_verification.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/matching/peak_offsets.h"

namespace plim::matching {
namespace {

using fingerprint::Peak;

Peak At(double frame, double bin) {
  return {static_cast<std::uint32_t>(frame * fingerprint::kTimeSubdivisions),
          static_cast<std::uint16_t>(bin * fingerprint::kBinSubdivisions), 20};
}

// A 10-s query (312 frames) against a reference whose stretch from frame
// 1000 on the query holds, played `scale` higher.
struct Scenario {
  const char* name;
  std::vector<Peak> reference, query;
  double scale = 1;
  bool expect_match;
};

// Random peaks over [first, last) frames in the peak range, `per_frame` a frame.
std::vector<Peak> RandomPeaks(std::mt19937& rng, double first, double last, double per_frame) {
  std::uniform_real_distribution<double> frame(first, last), bin(33, 480);
  std::vector<Peak> peaks;
  for (int i = 0; i < static_cast<int>((last - first) * per_frame); ++i) {
    peaks.push_back(At(frame(rng), bin(rng)));
  }
  return peaks;
}

Scenario Buried(double scale) {
  // A quarter of the reference's peaks survive, among three times as many
  // of the noise's.
  Scenario s{"a quarter of the peaks under noise", {}, {}, scale, true};
  std::mt19937 rng(7);
  s.reference = RandomPeaks(rng, 900, 1400, 0.7);
  for (const Peak& p : s.reference) {
    const double at = p.TimeFrames() - 1000;
    if (at >= 0 && at <= 312 && rng() % 4 == 0) {
      s.query.push_back(At(at + 0.3, p.bin_q / 16.0 * scale + 0.4));
    }
  }
  for (const Peak& p : RandomPeaks(rng, 0, 312, 2.0)) s.query.push_back(p);
  return s;
}

Scenario SharedBeat() {
  // Both hit a drum every 16 frames, its peaks at the same bins, and share
  // nothing else: every beat-shifted alignment matches as well.
  Scenario s{"a shared beat", {}, {}, 1, false};
  std::mt19937 rng(9);
  for (int beat = 0; beat < 40; ++beat) {
    for (double bin : {40.0, 95.0, 210.0, 400.0}) {
      s.reference.push_back(At(900 + 16 * beat, bin));
      if (900 + 16 * beat >= 1000 && 16 * beat - 100 <= 312)
        s.query.push_back(At(16 * beat - 100, bin));
    }
  }
  for (const Peak& p : RandomPeaks(rng, 900, 1400, 0.5)) s.reference.push_back(p);
  for (const Peak& p : RandomPeaks(rng, 0, 312, 0.5)) s.query.push_back(p);
  return s;
}

TEST(PeakVerificationTest, CountsSurvivingPeaksButNotACommonBeat) {
  for (Scenario s : {Buried(1.0), Buried(1.04), SharedBeat()}) {
    SCOPED_TRACE(std::string(s.name) + " at scale " + std::to_string(s.scale));
    auto by_time = [](const Peak& a, const Peak& b) {
      return a.time_q != b.time_q ? a.time_q < b.time_q : a.bin_q < b.bin_q;
    };
    std::sort(s.reference.begin(), s.reference.end(), by_time);
    std::sort(s.query.begin(), s.query.end(), by_time);
    fingerprint::Constellation query{s.query, 10.0, {}};
    Alignment alignment;
    alignment.offset_frames = 1000;
    const PeakEvidence evidence = VerifyPeaks(QueryPeaks(query), s.reference, alignment);
    const double p = PeakFalseMatchProbability(evidence, 1000);
    if (s.expect_match) {
      EXPECT_NEAR(evidence.frequency_scale, s.scale, 0.003);
      EXPECT_GE(evidence.matched, evidence.reference_peaks / 5);
      EXPECT_TRUE(StandsOut(evidence));
      EXPECT_LT(p, 1e-12) << evidence.matched << " of " << evidence.reference_peaks;
    } else {
      EXPECT_FALSE(StandsOut(evidence))
          << evidence.matched << " against at most " << evidence.best_shifted << " shifted";
      EXPECT_EQ(p, 1);
    }
  }
}

TEST(PeakOffsetsTest, PlacesABuriedQueryInItsRecording) {
  std::mt19937 rng(11);
  const std::vector<Peak> reference = RandomPeaks(rng, 0, 5000, 0.7);
  const ReferencePeakIndex index(reference);
  // Mid-recording; starting before the recording (only the end of the
  // query holds it); and running past its end.
  for (double offset : {2345.0, -120.0, 4800.0}) {
    SCOPED_TRACE("query at frame " + std::to_string(offset));
    std::vector<Peak> query = RandomPeaks(rng, 0, 312, 2.0);
    for (const Peak& p : reference) {
      const double at = p.TimeFrames() - offset;
      if (at >= 0 && at <= 312 && rng() % 4 == 0) query.push_back(At(at + 0.3, p.bin_q / 16.0));
    }
    const std::vector<PeakOffset> best = index.BestOffsets(query, 1.0, 1);
    ASSERT_EQ(best.size(), 1u);
    EXPECT_NEAR(best[0].offset_frames, offset, 1.0);
  }
}

}  // namespace
}  // namespace plim::matching
