// The streaming peak picker against a plain reading of its definition: the
// whole spectrogram held at once and every neighbourhood searched bin by bin.
// The picker's windows, edges and early decisions must change nothing.

#include "platform/fingerprint/peak_picker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "platform/fingerprint/fast_math.h"

namespace plim::fingerprint {
namespace {

using Spectrogram = std::vector<std::vector<float>>;  // [frame][bin]

const int kFirstPeakBin = static_cast<int>(std::ceil(kMinPeakFrequencyHz / kBinWidthHz));
const int kLastPeakBin = static_cast<int>(std::floor(kMaxPeakFrequencyHz / kBinWidthHz));

double Parabola(double left, double centre, double right) {
  double curvature = left - 2 * centre + right;
  return curvature < 0 ? std::clamp(0.5 * (left - right) / curvature, -0.5, 0.5) : 0;
}

int BandOf(int bin) {
  int band = 0;
  while (band + 1 < kBandCount && bin * kBinWidthHz >= kBandEdgesHz[band + 1]) ++band;
  return band;
}

// The peaks of `db`, found with no window, no streaming and no shortcut.
std::vector<Peak> ReferencePeaks(const Spectrogram& db) {
  struct Found {
    int frame, bin;
    float prominence;
    double time, frequency;
  };
  const int frames = static_cast<int>(db.size());
  std::vector<Found> found;
  for (int t = 0; t < frames; ++t) {
    float frame_max =
        *std::max_element(db[t].begin() + kFirstPeakBin, db[t].begin() + kLastPeakBin + 1);
    float floor_db = std::max(kSilenceFloorDb, frame_max - kFrameDynamicRangeDb);
    for (int k = kFirstPeakBin; k <= kLastPeakBin; ++k) {
      float level = db[t][k];
      bool peak = level >= floor_db && level > db[t][k - 1];
      for (int u = std::max(0, t - kPeakNeighbourFrames);
           u <= std::min(frames - 1, t + kPeakNeighbourFrames); ++u) {
        for (int j = std::max(0, k - kPeakNeighbourBins);
             j <= std::min(kBinCount - 1, k + kPeakNeighbourBins); ++j) {
          // Earlier frames strictly lower; the same and later ones not higher.
          if (u < t ? !(level > db[u][j]) : level < db[u][j]) peak = false;
        }
      }
      if (!peak) continue;
      double sum = 0;
      int lo = std::max(0, k - kProminenceSpanBins),
          hi = std::min(kBinCount - 1, k + kProminenceSpanBins);
      for (int j = lo; j <= hi; ++j) sum += db[t][j];
      float prominence = level - static_cast<float>(sum / (hi - lo + 1));
      if (prominence < kMinProminenceDb) continue;
      double dt = t > 0 && t + 1 < frames ? Parabola(db[t - 1][k], level, db[t + 1][k]) : 0;
      found.push_back({t, k, prominence, t + dt, k + Parabola(db[t][k - 1], level, db[t][k + 1])});
    }
  }
  std::vector<Peak> peaks;
  for (const Found& c : found) {
    int stronger = 0;
    for (const Found& o : found) {
      if (&o == &c || BandOf(o.bin) != BandOf(c.bin) ||
          std::abs(o.frame - c.frame) > kDensityWindowFrames)
        continue;
      if (o.prominence != c.prominence
              ? o.prominence > c.prominence
              : (o.frame != c.frame ? o.frame < c.frame : o.frequency < c.frequency)) {
        ++stronger;
      }
    }
    if (stronger >= kSignaturePeaksPerBandWindow) continue;
    peaks.push_back(
        {static_cast<std::uint32_t>(std::lround(std::max(0.0, c.time) * kTimeSubdivisions)),
         static_cast<std::uint16_t>(std::lround(c.frequency * kBinSubdivisions)),
         static_cast<std::uint8_t>(std::min(255.0f, std::round(c.prominence)))});
  }
  return peaks;
}

bool ByTimeThenBin(const Peak& a, const Peak& b) {
  return a.time_q != b.time_q ? a.time_q < b.time_q : a.bin_q < b.bin_q;
}

// Power spectra of `frames` frames: noise at a few coarse levels below 0 dB,
// with loud components over it, some held from one frame to the next, some
// two bins wide, so that equal levels across bins and frames are common; and
// now and then a silent frame.
std::vector<std::vector<float>> MakePowers(std::uint32_t seed, int frames) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> coarse(0, 3), bin(0, kBinCount - 2), chance(0, 99);
  std::vector<std::vector<float>> powers(frames, std::vector<float>(kBinCount));
  std::vector<int> held;
  for (std::vector<float>& frame : powers) {
    if (chance(random) < 3) continue;  // digital silence
    for (float& p : frame) p = std::pow(10.0f, static_cast<float>(coarse(random) - 4) / 2);
    std::vector<int> loud;
    for (int k : held) {
      if (chance(random) < 40) loud.push_back(k);
    }
    for (int n = chance(random) % 40; n > 0; --n) loud.push_back(bin(random));
    for (int k : loud) {
      frame[k] = std::pow(10.0f, static_cast<float>(coarse(random) - 1) / 2 * 3);
      if (chance(random) < 30) frame[k + 1] = frame[k];
    }
    held = loud;
  }
  return powers;
}

TEST(PeakPickerTest, FindsWhatTheDefinitionFinds) {
  struct Case {
    std::string name;
    int frames;
  };
  // Fewer frames than a neighbourhood, about one, and many windows' worth.
  const Case cases[] = {{"none", 0},  {"one", 1},   {"three", 3},  {"four", 4},
                        {"seven", 7}, {"eight", 8}, {"forty", 40}, {"long", 600}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (std::uint32_t seed = 1; seed <= 3; ++seed) {
      std::vector<std::vector<float>> powers = MakePowers(seed * 100 + c.frames, c.frames);
      Spectrogram db(powers.size(), std::vector<float>(kBinCount));
      PeakPicker picker;
      for (std::size_t t = 0; t < powers.size(); ++t) {
        // Levels come from the power averaged with the frames before,
        // newest first; the first frame stands in for those before it.
        std::vector<float> smoothed = powers[t];
        for (std::size_t back = 1; back < kSmoothingFrames; ++back) {
          const std::vector<float>& earlier = powers[t >= back ? t - back : 0];
          for (int k = 0; k < kBinCount; ++k) smoothed[k] += earlier[k];
        }
        for (float& p : smoothed) p *= 1.0f / kSmoothingFrames;
        PowersToDb(smoothed.data(), kBinCount, db[t].data());
        picker.AddFrame(powers[t].data());
      }
      picker.Flush();
      std::vector<Peak> expected = ReferencePeaks(db), actual = picker.peaks();
      std::sort(expected.begin(), expected.end(), ByTimeThenBin);
      std::sort(actual.begin(), actual.end(), ByTimeThenBin);
      EXPECT_EQ(actual, expected) << "seed " << seed;
      if (c.frames >= 40) {
        EXPECT_GT(expected.size(), static_cast<std::size_t>(c.frames) / 2);  // not vacuous
      }
    }
  }
}

}  // namespace
}  // namespace plim::fingerprint
