// Thinning a signature's peaks to a reference's, against a plain reading of
// its definition: every pair of peaks compared.

#include "platform/fingerprint/peak_thinning.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace plim::fingerprint {
namespace {

bool Stronger(const Peak& a, const Peak& b) {
  if (a.prominence_db != b.prominence_db) return a.prominence_db > b.prominence_db;
  if (a.time_q != b.time_q) return a.time_q < b.time_q;
  return a.bin_q < b.bin_q;
}

std::vector<Peak> ThinByDefinition(const std::vector<Peak>& peaks, int per_band_window) {
  std::vector<Peak> kept;
  for (const Peak& p : peaks) {
    int stronger = 0;
    for (const Peak& o : peaks) {
      const std::int64_t dt = static_cast<std::int64_t>(o.time_q) - p.time_q;
      if (BandOf(o) == BandOf(p) && std::abs(dt) <= kDensityWindowFrames * kTimeSubdivisions &&
          Stronger(o, p)) {
        ++stronger;
      }
    }
    if (stronger < per_band_window) kept.push_back(p);
  }
  return kept;
}

// Random peaks in time order: few prominence levels, so that ties are
// common, and times on a coarse grid, so that peaks often sit exactly at a
// window's edge.
std::vector<Peak> RandomPeaks(std::uint32_t seed, int count, int frames) {
  std::mt19937 rng(seed);
  const auto min_bin_q = static_cast<int>(kMinPeakFrequencyHz / kBinWidthHz * kBinSubdivisions);
  const auto max_bin_q = static_cast<int>(kMaxPeakFrequencyHz / kBinWidthHz * kBinSubdivisions);
  std::uniform_int_distribution<int> frame(0, frames), bin_q(min_bin_q, max_bin_q), level(6, 12);
  std::vector<Peak> peaks;
  for (int i = 0; i < count; ++i) {
    Peak p;
    p.time_q = static_cast<std::uint32_t>(frame(rng) * kTimeSubdivisions / 2);
    p.bin_q = static_cast<std::uint16_t>(bin_q(rng));
    p.prominence_db = static_cast<std::uint8_t>(level(rng));
    peaks.push_back(p);
  }
  std::sort(peaks.begin(), peaks.end(), [](const Peak& a, const Peak& b) {
    return a.time_q != b.time_q ? a.time_q < b.time_q : a.bin_q < b.bin_q;
  });
  return peaks;
}

TEST(PeakThinningTest, KeepsExactlyThePeaksWithFewerStrongerNeighbours) {
  struct Case {
    const char* name;
    int count, frames, per_band_window;
    std::uint32_t first_time_q = 0;
  };
  const Case cases[] = {
      {"sparse", 40, 400, 5},
      {"dense", 600, 300, 5},
      {"one per window", 300, 200, 1},
      {"all kept", 30, 100, 1000},
      {"none", 0, 100, 5},
      // Signature data from outside may put peaks there; no window wraps.
      {"at the end of the time range", 300, 200, 2, UINT32_MAX - 100 * kTimeSubdivisions},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Peak> peaks = RandomPeaks(static_cast<std::uint32_t>(c.count), c.count, c.frames);
    for (Peak& p : peaks) p.time_q += c.first_time_q;
    std::vector<Peak> thinned = StrongestPeaks(peaks, c.per_band_window);
    EXPECT_EQ(thinned, ThinByDefinition(peaks, c.per_band_window));
    if (c.per_band_window >= c.count) {
      EXPECT_EQ(thinned, peaks);
    }
  }
}

}  // namespace
}  // namespace plim::fingerprint
