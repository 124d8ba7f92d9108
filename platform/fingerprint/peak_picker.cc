#include "platform/fingerprint/peak_picker.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/fingerprint/fast_math.h"

namespace plim::fingerprint {
namespace {

constexpr float kMinusInfinity = -std::numeric_limits<float>::infinity();
constexpr int kScanBytes = sizeof(std::uint64_t);

constexpr int CeilToInt(double positive) {
  int whole = static_cast<int>(positive);
  return whole < positive ? whole + 1 : whole;
}
constexpr int kMinBin = CeilToInt(kMinPeakFrequencyHz / kBinWidthHz);
constexpr int kMaxBin = static_cast<int>(kMaxPeakFrequencyHz / kBinWidthHz);
// A peak's frequency is interpolated from the bins on either side of it.
static_assert(kMinBin >= 1 && kMaxBin + 1 < kBinCount,
              "the peak range must lie inside the spectrum");

// Maxima over the neighbourhood of a bin come from spans of the largest power
// of two bins that fits in it: two of them, overlapping, cover it exactly,
// and max ignores the overlap. The spans are built by doubling, in
// log2(kSpanBins) straight passes that vectorise, where a sliding window
// would take one dependent step per bin.
constexpr int kNeighbourhoodBins = 2 * kPeakNeighbourBins + 1;
constexpr int kSpanBins =
    static_cast<int>(std::bit_floor(static_cast<unsigned>(kNeighbourhoodBins)));
static_assert(kMaxBin - kMinBin + 1 >= kSpanBins,
              "the peak range must be wider than a neighbourhood");

// span[i] = max(in[i .. i + kSpanBins - 1]) for i <= kBinCount - kSpanBins.
PLIM_INLINE_INTO_CLONES void BuildSpanMax(const float* in, std::vector<float>& span) {
  span.assign(in, in + kBinCount);
  // After the pass for `width`, span[i] = max(in[i .. i + 2 * width - 1]).
  for (int width = 1; width < kSpanBins; width *= 2) {
    for (int i = 0; i + 2 * width <= kBinCount; ++i) span[i] = std::max(span[i], span[i + width]);
  }
}

// out[k] = max(in[k - kPeakNeighbourBins .. k + kPeakNeighbourBins]),
// clipped to the spectrum, for k in the peak range; `span` is in's.
PLIM_INLINE_INTO_CLONES void NeighbourhoodMax(const float* in, const std::vector<float>& span,
                                              float* out) {
  const int first_whole = std::max(kMinBin, kPeakNeighbourBins);
  const int last_whole = std::min(kMaxBin, kBinCount - 1 - kPeakNeighbourBins);
  for (int k = first_whole; k <= last_whole; ++k) {
    out[k] = std::max(span[k - kPeakNeighbourBins], span[k + kPeakNeighbourBins + 1 - kSpanBins]);
  }
  // Bins whose neighbourhood the edge of the spectrum cuts, if the peak range
  // reaches that far.
  auto clipped = [&](int k) {
    int lo = std::max(0, k - kPeakNeighbourBins),
        hi = std::min(kBinCount - 1, k + kPeakNeighbourBins);
    out[k] = *std::max_element(in + lo, in + hi + 1);
  };
  for (int k = kMinBin; k < first_whole; ++k) clipped(k);
  for (int k = std::max(kMinBin, last_whole + 1); k <= kMaxBin; ++k) clipped(k);
}

// max(in[kMinBin .. kMaxBin]) from in's spans, which tile the range (the
// last one overlapping its neighbour).
PLIM_INLINE_INTO_CLONES float PeakRangeMax(const std::vector<float>& span) {
  float range_max = span[kMaxBin + 1 - kSpanBins];
  for (int i = kMinBin; i + kSpanBins <= kMaxBin + 1; i += kSpanBins)
    range_max = std::max(range_max, span[i]);
  return range_max;
}

// The mean level of the +-kProminenceSpanBins bins around `bin`, clipped to
// the spectrum. Summed in double: the levels are floats, so the sum is exact
// (and so the same in any order) unless some level lies within about 1e-4 dB
// of zero.
float LocalMeanDb(const float* db, int bin) {
  int lo = std::max(0, bin - kProminenceSpanBins),
      hi = std::min(kBinCount - 1, bin + kProminenceSpanBins);
  double sum = 0;
  for (int k = lo; k <= hi; ++k) sum += db[k];
  return static_cast<float>(sum / (hi - lo + 1));
}

// The offset in (-0.5, 0.5) of the vertex of the parabola through three
// levels around a maximum.
double ParabolicOffset(float left, float centre, float right) {
  double curvature = static_cast<double>(left) - 2.0 * centre + right;
  if (!(curvature < 0)) return 0;
  double offset = 0.5 * (static_cast<double>(left) - right) / curvature;
  return std::clamp(offset, -0.5, 0.5);
}

}  // namespace

PeakPicker::PeakPicker()
    : columns_(kWindowFrames),
      bands_(kBandCount),
      band_of_bin_(kBinCount, -1),
      absent_frame_db_(kBinCount, kMinusInfinity),
      scratch_span_max_(kBinCount),
      scratch_is_maximum_(kBinCount + kScanBytes, 0),
      earlier_power_(kSmoothingFrames - 1, std::vector<float>(kBinCount)),
      scratch_smoothed_(kBinCount) {
  for (Column& column : columns_) {
    column.db.resize(kBinCount);
    column.neighbourhood_db.resize(kBinCount);
  }
  for (int k = kMinBin; k <= kMaxBin; ++k) band_of_bin_[k] = BandOfFrequency(k * kBinWidthHz);
}

PLIM_CLONE_FOR_AVX2 void PeakPicker::AddFrame(const float* power) {
  // The column of the frame kWindowFrames back, no longer needed, is reused.
  Column& column = ColumnOf(frames_added_);
  float* db = column.db.data();
  // Levels are taken from the power averaged over this frame and the
  // kSmoothingFrames - 1 before it (the first frame stands in for those
  // before the audio): noise fluctuates from frame to frame while the
  // partials of music persist, so the average lets more of the music's
  // peaks outrank the noise's. Averaging only earlier frames delays every
  // peak alike, in references and queries.
  if (frames_added_ == 0) {
    for (std::vector<float>& earlier : earlier_power_) earlier.assign(power, power + kBinCount);
  }
  // Summed newest first, so that the result does not depend on where the
  // ring of earlier frames starts.
  const auto ring = static_cast<std::int64_t>(earlier_power_.size());
  float* smoothed = scratch_smoothed_.data();
  std::copy(power, power + kBinCount, smoothed);
  for (std::int64_t back = 1; back <= ring; ++back) {
    const float* earlier =
        earlier_power_[static_cast<std::size_t>((frames_added_ - back + ring * 2) % ring)].data();
    for (int k = 0; k < kBinCount; ++k) smoothed[k] += earlier[k];
  }
  for (int k = 0; k < kBinCount; ++k) smoothed[k] *= 1.0f / kSmoothingFrames;
  earlier_power_[static_cast<std::size_t>(frames_added_ % ring)].assign(power, power + kBinCount);
  PowersToDb(smoothed, kBinCount, db);
  BuildSpanMax(db, scratch_span_max_);
  column.floor_db =
      std::max(kSilenceFloorDb, PeakRangeMax(scratch_span_max_) - kFrameDynamicRangeDb);
  NeighbourhoodMax(db, scratch_span_max_, column.neighbourhood_db.data());
  ++frames_added_;

  // The frame kPeakNeighbourFrames back now has its whole neighbourhood.
  if (frames_added_ > kPeakNeighbourFrames) EvaluateFrame(frames_added_ - 1 - kPeakNeighbourFrames);
  DecideCandidates(frames_added_ - 1 - kPeakNeighbourFrames);
}

void PeakPicker::Flush() {
  // The last frames have no future neighbours; they compete only with the past.
  for (std::int64_t frame = std::max<std::int64_t>(0, frames_added_ - kPeakNeighbourFrames);
       frame < frames_added_; ++frame) {
    EvaluateFrame(frame);
  }
  DecideCandidates(std::numeric_limits<std::int64_t>::max());
}

PLIM_CLONE_FOR_AVX2 void PeakPicker::EvaluateFrame(std::int64_t frame) {
  const Column& centre = ColumnOf(frame);
  const float* db = centre.db.data();
  const float* own = centre.neighbourhood_db.data();
  const float floor_db = centre.floor_db;
  // Frames outside the audio compare as -infinity, below every level.
  const float* earlier[kPeakNeighbourFrames];
  const float* later[kPeakNeighbourFrames];
  for (int d = 1; d <= kPeakNeighbourFrames; ++d) {
    earlier[d - 1] =
        frame - d >= 0 ? ColumnOf(frame - d).neighbourhood_db.data() : absent_frame_db_.data();
    later[d - 1] = frame + d < frames_added_ ? ColumnOf(frame + d).neighbourhood_db.data()
                                             : absent_frame_db_.data();
  }

  // Every bin is put through the cheap tests at once, without a branch, so
  // that the loop vectorises; the few bins that pass are examined after.
  std::uint8_t* is_maximum = scratch_is_maximum_.data();
  for (int k = kMinBin; k <= kMaxBin; ++k) {
    const float level = db[k];
    // On a plateau only the lowest bin counts. Earlier frames must be
    // strictly lower, later ones not higher, so that a level held over frames
    // yields its first frame only.
    bool maximum = !(level < floor_db) & !(level < own[k]) & (level > db[k - 1]);
    for (int d = 0; d < kPeakNeighbourFrames; ++d) {
      maximum &= (level > earlier[d][k]) & (level >= later[d][k]);
    }
    is_maximum[k] = maximum;
  }

  // Most bins fail: they are skipped a word of flags at a time (the flags
  // past the peak range stay 0).
  for (int start = kMinBin; start <= kMaxBin; start += kScanBytes) {
    std::uint64_t flags;
    std::memcpy(&flags, is_maximum + start, kScanBytes);
    if (flags == 0) continue;
    for (int k = start; k < start + kScanBytes; ++k) {
      if (is_maximum[k]) ConsiderCandidate(frame, k);
    }
  }
}

void PeakPicker::ConsiderCandidate(std::int64_t frame, int bin) {
  const float* db = ColumnOf(frame).db.data();
  const float level = db[bin];
  const float prominence = level - LocalMeanDb(db, bin);
  if (prominence < kMinProminenceDb) return;

  Candidate candidate;
  candidate.frame = frame;
  candidate.bin = bin + ParabolicOffset(db[bin - 1], level, db[bin + 1]);
  double dt = 0;
  if (frame > 0 && frame + 1 < frames_added_) {
    dt = ParabolicOffset(ColumnOf(frame - 1).db[bin], level, ColumnOf(frame + 1).db[bin]);
  }
  candidate.time_frames = static_cast<double>(frame) + dt;
  candidate.prominence_db = prominence;
  bands_[band_of_bin_[bin]].candidates.push_back(candidate);
}

bool PeakPicker::Outranks(const Candidate& a, const Candidate& b) const {
  if (a.prominence_db != b.prominence_db) return a.prominence_db > b.prominence_db;
  if (a.frame != b.frame) return a.frame < b.frame;
  return a.bin < b.bin;
}

void PeakPicker::DecideCandidates(std::int64_t known_through_frame) {
  for (Band& band : bands_) {
    std::deque<Candidate>& candidates = band.candidates;
    // A candidate is decided once every candidate within kDensityWindowFrames
    // after it is known.
    while (band.undecided < candidates.size() &&
           candidates[band.undecided].frame + kDensityWindowFrames <= known_through_frame) {
      const Candidate& c = candidates[band.undecided];
      int stronger = 0;
      for (const Candidate& other : candidates) {
        if (other.frame > c.frame + kDensityWindowFrames) break;
        if (other.frame < c.frame - kDensityWindowFrames) continue;
        if (&other != &c && Outranks(other, c)) ++stronger;
      }
      if (stronger < kSignaturePeaksPerBandWindow) {
        Peak peak;
        peak.time_q = static_cast<std::uint32_t>(
            std::lround(std::max(0.0, c.time_frames) * kTimeSubdivisions));
        peak.bin_q = static_cast<std::uint16_t>(std::lround(c.bin * kBinSubdivisions));
        peak.prominence_db =
            static_cast<std::uint8_t>(std::min(255.0f, std::round(c.prominence_db)));
        peaks_.push_back(peak);
      }
      ++band.undecided;
    }
    // Undecided and future candidates lie after known_through_frame -
    // kDensityWindowFrames, so older ones than a window before that are no
    // longer compared with anything.
    while (band.undecided > 0 &&
           candidates.front().frame + 2 * kDensityWindowFrames < known_through_frame) {
      candidates.pop_front();
      --band.undecided;
    }
  }
}

}  // namespace plim::fingerprint
