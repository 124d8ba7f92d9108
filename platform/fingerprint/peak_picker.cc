#include "platform/fingerprint/peak_picker.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/fingerprint/fast_math.h"

namespace plim::fingerprint {
namespace {

constexpr float kMinusInfinity = -std::numeric_limits<float>::infinity();
const int kMinBin = static_cast<int>(std::ceil(kMinPeakFrequencyHz / kBinWidthHz));
const int kMaxBin = static_cast<int>(std::floor(kMaxPeakFrequencyHz / kBinWidthHz));

// Sliding maximum over +-radius (van Herk / Gil-Werman): three comparisons a
// value, whatever the radius. `forward` and `backward` are scratch.
void SlidingMax(const std::vector<float>& in, int radius, std::vector<float>& forward,
                std::vector<float>& backward, std::vector<float>& out) {
  const int n = static_cast<int>(in.size());
  const int width = 2 * radius + 1;
  forward.resize(n);
  backward.resize(n);
  for (int i = 0; i < n; ++i) {
    forward[i] = (i % width == 0) ? in[i] : std::max(forward[i - 1], in[i]);
  }
  for (int i = n - 1; i >= 0; --i) {
    backward[i] = (i == n - 1 || (i + 1) % width == 0) ? in[i] : std::max(backward[i + 1], in[i]);
  }
  out.resize(n);
  for (int i = 0; i < n; ++i) {
    int lo = std::max(0, i - radius), hi = std::min(n - 1, i + radius);
    out[i] = std::max(backward[lo], forward[hi]);
  }
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

PeakPicker::PeakPicker() : band_of_bin_(kBinCount, -1) {
  for (int k = kMinBin; k <= kMaxBin && k < kBinCount; ++k) {
    double hz = k * kBinWidthHz;
    int band = 0;
    while (band + 1 < kBandCount && hz >= kBandEdgesHz[band + 1]) ++band;
    band_of_bin_[k] = band;
  }
}

void PeakPicker::AddFrame(const float* power) {
  // Columns leaving the window are recycled: no allocation per frame.
  Column column;
  if (!spare_columns_.empty()) {
    column = std::move(spare_columns_.back());
    spare_columns_.pop_back();
  }
  column.frame = frames_added_++;
  column.db.resize(kBinCount);
  float frame_max = kMinusInfinity;
  for (int k = 0; k < kBinCount; ++k) {
    column.db[k] = PowerToDb(power[k]);
    if (k >= kMinBin && k <= kMaxBin) frame_max = std::max(frame_max, column.db[k]);
  }
  column.frame_max_db = frame_max;
  SlidingMax(column.db, kPeakNeighbourBins, scratch_forward_, scratch_backward_,
             column.neighbourhood_db);

  // Prefix sums make the local mean one subtraction per bin.
  std::vector<double>& prefix = scratch_prefix_;
  prefix.assign(kBinCount + 1, 0.0);
  for (int k = 0; k < kBinCount; ++k) prefix[k + 1] = prefix[k] + column.db[k];
  column.local_mean_db.resize(kBinCount);
  for (int k = 0; k < kBinCount; ++k) {
    int lo = std::max(0, k - kProminenceSpanBins), hi = std::min(kBinCount - 1, k + kProminenceSpanBins);
    column.local_mean_db[k] = static_cast<float>((prefix[hi + 1] - prefix[lo]) / (hi - lo + 1));
  }
  columns_.push_back(std::move(column));
  while (columns_.size() > static_cast<std::size_t>(2 * kPeakNeighbourFrames + 1)) {
    spare_columns_.push_back(std::move(columns_.front()));
    columns_.pop_front();
  }
  // The frame kPeakNeighbourFrames back now has its whole neighbourhood.
  if (frames_added_ > kPeakNeighbourFrames) EvaluateFrame(columns_.size() - 1 - kPeakNeighbourFrames);
  DecideCandidates(frames_added_ - 1 - kPeakNeighbourFrames);
}

void PeakPicker::Flush() {
  // The last frames have no future neighbours; they compete only with the past.
  std::size_t unevaluated = std::min<std::size_t>(
      columns_.size(), static_cast<std::size_t>(std::min<std::int64_t>(frames_added_, kPeakNeighbourFrames)));
  for (std::size_t i = columns_.size() - unevaluated; i < columns_.size(); ++i) EvaluateFrame(i);
  DecideCandidates(std::numeric_limits<std::int64_t>::max());
  columns_.clear();
}

void PeakPicker::EvaluateFrame(std::size_t index) {
  const Column& centre = columns_[index];
  const float floor_db = std::max(kSilenceFloorDb, centre.frame_max_db - kFrameDynamicRangeDb);
  for (int k = kMinBin; k <= kMaxBin; ++k) {
    const float level = centre.db[k];
    if (level < floor_db || level < centre.neighbourhood_db[k]) continue;
    // On a plateau only the lowest bin counts.
    if (!(level > centre.db[k - 1])) continue;
    const float prominence = level - centre.local_mean_db[k];
    if (prominence < kMinProminenceDb) continue;
    // Earlier frames must be strictly lower, later ones not higher, so that
    // a level held over frames yields its first frame only.
    bool is_maximum = true;
    for (std::size_t j = 0; j < columns_.size() && is_maximum; ++j) {
      if (j == index || std::abs(columns_[j].frame - centre.frame) > kPeakNeighbourFrames) continue;
      float other = columns_[j].neighbourhood_db[k];
      is_maximum = j < index ? level > other : level >= other;
    }
    if (!is_maximum) continue;

    Candidate candidate;
    candidate.frame = centre.frame;
    candidate.bin = k + ParabolicOffset(centre.db[k - 1], level, centre.db[k + 1]);
    double dt = 0;
    if (index > 0 && index + 1 < columns_.size()) {
      dt = ParabolicOffset(columns_[index - 1].db[k], level, columns_[index + 1].db[k]);
    }
    candidate.time_frames = static_cast<double>(centre.frame) + dt;
    candidate.prominence_db = prominence;
    candidate.band = band_of_bin_[k];
    candidates_.push_back(candidate);
  }
}

bool PeakPicker::Outranks(const Candidate& a, const Candidate& b) const {
  if (a.prominence_db != b.prominence_db) return a.prominence_db > b.prominence_db;
  if (a.frame != b.frame) return a.frame < b.frame;
  return a.bin < b.bin;
}

void PeakPicker::DecideCandidates(std::int64_t known_through_frame) {
  // A candidate is decided once every candidate within kDensityWindowFrames
  // after it is known.
  while (undecided_ < candidates_.size() &&
         candidates_[undecided_].frame + kDensityWindowFrames <= known_through_frame) {
    const Candidate& c = candidates_[undecided_];
    int stronger = 0;
    for (const Candidate& other : candidates_) {
      if (other.frame > c.frame + kDensityWindowFrames) break;
      if (other.band != c.band || other.frame < c.frame - kDensityWindowFrames) continue;
      if (&other != &c && Outranks(other, c)) ++stronger;
    }
    if (stronger < kPeaksPerBandWindow) {
      Peak peak;
      peak.time_q = static_cast<std::uint32_t>(std::lround(std::max(0.0, c.time_frames) * kTimeSubdivisions));
      peak.bin_q = static_cast<std::uint16_t>(std::lround(c.bin * kBinSubdivisions));
      peak.prominence_db = static_cast<std::uint8_t>(std::min(255.0f, std::round(c.prominence_db)));
      peaks_.push_back(peak);
    }
    ++undecided_;
  }
  // Undecided and future candidates lie after known_through_frame -
  // kDensityWindowFrames, so older ones than a window before that are no
  // longer compared with anything.
  while (undecided_ > 0 && candidates_.front().frame + 2 * kDensityWindowFrames < known_through_frame) {
    candidates_.pop_front();
    --undecided_;
  }
}

}  // namespace plim::fingerprint
