#include "platform/fingerprint/landmark_hasher.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "platform/fingerprint/peak_thinning.h"
#include "platform/fingerprint/radix_sort.h"

namespace plim::fingerprint {
namespace {

// One hash field as a continuous position in cell units, with the cells to
// look in: the one it lies in and, for a query near an edge, its neighbour.
struct Field {
  int bits;
  int cells[2];
  int cell_count;
};

Field MakeField(double position, int bits, double probe_margin) {
  const int max_cell = (1 << bits) - 1;
  Field field{bits, {0, 0}, 1};
  double cell = std::floor(position);
  double fraction = position - cell;
  int home = static_cast<int>(std::clamp(cell, 0.0, static_cast<double>(max_cell)));
  field.cells[0] = home;
  if (probe_margin > 0) {
    int neighbour = fraction < probe_margin       ? home - 1
                    : fraction > 1 - probe_margin ? home + 1
                                                  : -1;
    if (neighbour >= 0 && neighbour <= max_cell && neighbour != home) {
      field.cells[1] = neighbour;
      field.cell_count = 2;
    }
  }
  return field;
}

// How one side forms its landmarks: how many targets each anchor takes, and
// how close to a cell edge a field must lie to be looked up on both sides.
struct Margins {
  int targets;
  double anchor, delta, ratio, span;
};

constexpr Margins kNoProbes{kTargetsPerAnchor, 0, 0, 0, 0};
constexpr Margins kQueryProbes{kQueryTargetsPerAnchor, kAnchorProbeMargin, kDeltaProbeMargin,
                               kRatioProbeMargin, kSpanProbeMargin};

// Appends the landmarks of the triplet (a, b, c), t_a < t_b <= t_c, in every
// combination of the fields' cells.
void HashTriplet(const Peak& a, const Peak& b, const Peak& c, const Margins& margins,
                 std::vector<Landmark>& out) {
  const double fa = a.FrequencyHz(), fb = b.FrequencyHz(), fc = c.FrequencyHz();
  const double ta = a.TimeFrames(), tb = b.TimeFrames(), tc = c.TimeFrames();
  const double span = tc - ta;
  const std::array<Field, 5> fields = {
      MakeField(std::log2(fa / kMinPeakFrequencyHz) * kAnchorCellsPerOctave, kAnchorBits,
                margins.anchor),
      MakeField((std::log2(fb / fa) + kMaxTargetOctaves) * kDeltaCellsPerOctave, kDeltaBits,
                margins.delta),
      MakeField((std::log2(fc / fa) + kMaxTargetOctaves) * kDeltaCellsPerOctave, kDeltaBits,
                margins.delta),
      MakeField((tb - ta) / span * kRatioCells, kRatioBits, margins.ratio),
      MakeField(std::log2(span) * kSpanCellsPerOctave, kSpanBits, margins.span),
  };
  const auto anchor_frame = static_cast<std::uint32_t>(a.time_q / kTimeSubdivisions);
  // Every combination of each field's one or two cells.
  int combinations = 1;
  for (const Field& f : fields) combinations *= f.cell_count;
  for (int combo = 0; combo < combinations; ++combo) {
    std::uint32_t hash = 0;
    int rest = combo;
    for (const Field& f : fields) {
      int cell = f.cells[rest % f.cell_count];
      rest /= f.cell_count;
      hash = (hash << f.bits) | static_cast<std::uint32_t>(cell);
    }
    out.push_back({hash, anchor_frame});
  }
}

// Sorts by (hash, anchor_frame).
void SortByHash(std::vector<Landmark>& landmarks) {
  RadixSortBy<11>(landmarks, 64, [](const Landmark& l) {
    return static_cast<std::uint64_t>(l.hash) << 32 | l.anchor_frame;
  });
}

// Appends the landmarks of every triplet of `peaks` (ordered by time): each
// anchor with two of its first `margins.targets` targets.
void AppendTriplets(const std::vector<Peak>& peaks, const Margins& margins,
                    std::vector<Landmark>& landmarks) {
  std::array<std::size_t, std::max(kTargetsPerAnchor, kQueryTargetsPerAnchor)> targets;
  for (std::size_t i = 0; i < peaks.size(); ++i) {
    const Peak& anchor = peaks[i];
    const double ta = anchor.TimeFrames(), fa = anchor.FrequencyHz();
    int found = 0;
    for (std::size_t j = i + 1; j < peaks.size() && found < margins.targets; ++j) {
      double dt = peaks[j].TimeFrames() - ta;
      if (dt > kMaxTargetDtFrames) break;
      if (dt < kMinTargetDtFrames) continue;
      if (std::abs(std::log2(peaks[j].FrequencyHz() / fa)) > kMaxTargetOctaves) continue;
      targets[found++] = j;
    }
    for (int x = 0; x < found; ++x) {
      for (int y = x + 1; y < found; ++y) {
        HashTriplet(anchor, peaks[targets[x]], peaks[targets[y]], margins, landmarks);
      }
    }
  }
}

std::vector<Landmark> SortedDistinct(std::vector<Landmark> landmarks) {
  SortByHash(landmarks);
  landmarks.erase(std::unique(landmarks.begin(), landmarks.end()), landmarks.end());
  return landmarks;
}

}  // namespace

std::vector<Landmark> ReferenceLandmarks(const Constellation& constellation) {
  std::vector<Landmark> landmarks;
  AppendTriplets(StrongestPeaks(constellation.peaks, kPeaksPerBandWindow), kNoProbes, landmarks);
  return SortedDistinct(std::move(landmarks));
}

namespace {

// The reference's own triplets, from the same strongest peaks, which the
// same audio reproduces exactly, with the query's probes.
void AppendStrongTriplets(const Constellation& constellation, std::vector<Landmark>& landmarks) {
  Margins strongest = kQueryProbes;
  strongest.targets = kTargetsPerAnchor;
  AppendTriplets(StrongestPeaks(constellation.peaks, kPeaksPerBandWindow), strongest, landmarks);
}

}  // namespace

std::vector<Landmark> StrongQueryLandmarks(const Constellation& constellation) {
  std::vector<Landmark> landmarks;
  AppendStrongTriplets(constellation, landmarks);
  return SortedDistinct(std::move(landmarks));
}

std::vector<Landmark> QueryLandmarks(const Constellation& constellation) {
  std::vector<Landmark> landmarks;
  AppendStrongTriplets(constellation, landmarks);
  // ... and triplets over every peak kept, for when noise has reordered them.
  AppendTriplets(constellation.peaks, kQueryProbes, landmarks);
  return SortedDistinct(std::move(landmarks));
}

}  // namespace plim::fingerprint
