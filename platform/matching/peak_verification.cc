#include "platform/matching/peak_verification.h"

#include <algorithm>
#include <cmath>

#include "platform/fingerprint/fingerprint_params.h"
#include "platform/fingerprint/peak_thinning.h"
#include "platform/matching/significance.h"

namespace plim::matching {
namespace {

using fingerprint::kMaxSpeedSkew;

// A reference peak is found when a query peak lies this close to where the
// alignment puts it, in time (frames) and in frequency (FFT bins, after the
// frequency scale). Peak positions are interpolated; noise moves them by a
// few tenths of a bin or a frame.
constexpr double kTimeToleranceFrames = 1.0;
constexpr double kBinTolerance = 1.0;
// Frequency scales are searched in steps no coarser than the tolerance
// allows at the top of the peak range.
constexpr double kScaleStep = 0.002;
constexpr int kHalfScales = static_cast<int>(kMaxSpeedSkew / kScaleStep + 0.5);
constexpr int kScales = 2 * kHalfScales + 1;
// The alignment from the landmarks may be off by a frame either way.
constexpr int kAlignmentSlackFrames = 1;
// Chance matches are counted at alignments shifted by up to this many query
// frames either way, one frame apart, leaving out those within
// kNearShiftFrames of the alignment. Up to about 1.5 s: a beat later the
// drums line up again, but a bar later, in music built of repeated bars,
// everything would.
constexpr int kMaxShiftFrames = 48;
constexpr int kNearShiftFrames = 4;
constexpr int kShifts = 2 * kMaxShiftFrames + 1;
// The landmarks chose the alignment among many, and they are made of the
// same peaks, so an unrelated recording's best alignment matches more peaks
// than its shifted ones do on average; and music is not random, so the
// shifted counts spread wider than chance alone would. An alignment counts
// only when it stands this many of their standard deviations above them.
constexpr double kMinStandoutSpreads = 5;

}  // namespace

QueryPeaks::QueryPeaks(const fingerprint::Constellation& query) {
  duration_frames_ = query.duration_s / fingerprint::kFrameDurationS;
  struct Entry {
    std::size_t block;
    float bin, time;
  };
  std::vector<Entry> entries;
  entries.reserve(query.peaks.size());
  std::array<int, fingerprint::kBandCount> per_band{};
  std::size_t blocks = 1;
  for (const fingerprint::Peak& peak : query.peaks) {
    const auto block = static_cast<std::size_t>(peak.TimeFrames() / kBlockFrames);
    blocks = std::max(blocks, block + 1);
    entries.push_back({block, static_cast<float>(peak.bin_q) / fingerprint::kBinSubdivisions,
                       static_cast<float>(peak.TimeFrames())});
    ++per_band[static_cast<std::size_t>(fingerprint::BandOf(peak))];
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.block != b.block ? a.block < b.block : a.bin < b.bin;
  });
  block_start_.assign(blocks + 1, 0);
  for (const Entry& e : entries) ++block_start_[e.block + 1];
  for (std::size_t b = 0; b < blocks; ++b) block_start_[b + 1] += block_start_[b];
  for (const Entry& e : entries) {
    bins_.push_back(e.bin);
    times_.push_back(e.time);
  }
  for (int band = 0; band < fingerprint::kBandCount; ++band) {
    const double bins = (fingerprint::kBandEdgesHz[band + 1] - fingerprint::kBandEdgesHz[band]) /
                        fingerprint::kBinWidthHz;
    density_[static_cast<std::size_t>(band)] =
        per_band[static_cast<std::size_t>(band)] / (std::max(1.0, duration_frames_) * bins);
  }
}

void QueryPeaks::Collect(double first_frame, double last_frame, double low_bin, double high_bin,
                         std::vector<float>& bins, std::vector<float>& times) const {
  if (last_frame < 0 || first_frame > last_frame) return;
  const std::size_t blocks = block_start_.size() - 1;
  const auto first = static_cast<std::size_t>(std::max(0.0, first_frame) / kBlockFrames);
  const auto last = std::min(blocks - 1, static_cast<std::size_t>(last_frame / kBlockFrames));
  for (std::size_t b = first; b <= last && b < blocks; ++b) {
    const float* begin = bins_.data() + block_start_[b];
    const float* end = bins_.data() + block_start_[b + 1];
    for (const float* p = std::lower_bound(begin, end, static_cast<float>(low_bin));
         p != end && *p <= high_bin; ++p) {
      const float time = times_[static_cast<std::size_t>(p - bins_.data())];
      if (time >= first_frame && time <= last_frame) {
        bins.push_back(*p);
        times.push_back(time);
      }
    }
  }
}

double VerificationMarginFrames() {
  return (kMaxShiftFrames + kTimeToleranceFrames + 1) * (1 + kMaxSpeedSkew);
}

PeakEvidence VerifyPeaks(const QueryPeaks& query, std::span<const fingerprint::Peak> reference,
                         const Alignment& alignment) {
  PeakEvidence evidence;
  evidence.scales_searched = kScales * (2 * kAlignmentSlackFrames + 1);
  const double query_frames = query.duration_frames();
  // found[shift][scale], built as a two-dimensional difference array: each
  // (reference peak, query peak) pair near enough in frequency adds one to
  // the rectangle of shifts and scales at which it is a match. The peak
  // picker keeps query peaks a dozen bins and several frames apart, so a
  // reference peak meets at most one query peak in any one rectangle cell.
  std::vector<int> found(static_cast<std::size_t>(kShifts + 1) * (kScales + 1), 0);
  auto add = [&](int shift_first, int shift_last, int scale_first, int scale_last) {
    auto at = [&](int shift, int scale) -> int& {
      return found[static_cast<std::size_t>(shift) * (kScales + 1) +
                   static_cast<std::size_t>(scale)];
    };
    ++at(shift_first, scale_first);
    --at(shift_first, scale_last + 1);
    --at(shift_last + 1, scale_first);
    ++at(shift_last + 1, scale_last + 1);
  };
  // How many reference peaks land inside the query at each shift.
  std::vector<int> inside(kShifts + 1, 0);
  double predicted = 0;
  const double box = 2 * kTimeToleranceFrames * 2 * kBinTolerance;
  std::vector<float> bins, times;
  for (const fingerprint::Peak& peak : reference) {
    const double at = (peak.TimeFrames() - alignment.offset_frames) / alignment.speed;
    // Shifts s with 0 <= at + s <= query_frames.
    const int first_inside = std::max(-kMaxShiftFrames, static_cast<int>(std::ceil(-at)));
    const int last_inside =
        std::min(kMaxShiftFrames, static_cast<int>(std::floor(query_frames - at)));
    if (first_inside > last_inside) continue;
    ++inside[static_cast<std::size_t>(first_inside + kMaxShiftFrames)];
    --inside[static_cast<std::size_t>(last_inside + kMaxShiftFrames + 1)];
    if (at >= 0 && at <= query_frames) {
      ++evidence.reference_peaks;
      predicted += query.DensityPerFrameBin(fingerprint::BandOf(peak)) * box;
    }
    const double reference_bin = static_cast<double>(peak.bin_q) / fingerprint::kBinSubdivisions;
    bins.clear();
    times.clear();
    query.Collect(at + first_inside - kTimeToleranceFrames, at + last_inside + kTimeToleranceFrames,
                  (1 - kMaxSpeedSkew) * reference_bin - kBinTolerance,
                  (1 + kMaxSpeedSkew) * reference_bin + kBinTolerance, bins, times);
    for (std::size_t k = 0; k < bins.size(); ++k) {
      // The scales f with |bin - f * reference_bin| <= kBinTolerance...
      const double low = (bins[k] - kBinTolerance) / reference_bin;
      const double high = (bins[k] + kBinTolerance) / reference_bin;
      const int scale_first =
          std::max(-kHalfScales, static_cast<int>(std::ceil((low - 1) / kScaleStep)));
      const int scale_last =
          std::min(kHalfScales, static_cast<int>(std::floor((high - 1) / kScaleStep)));
      if (scale_first > scale_last) continue;
      // ... and the shifts s with |times[k] - (at + s)| <= kTimeToleranceFrames.
      const double lag = times[k] - at;
      const int shift_first =
          std::max(first_inside, static_cast<int>(std::ceil(lag - kTimeToleranceFrames)));
      const int shift_last =
          std::min(last_inside, static_cast<int>(std::floor(lag + kTimeToleranceFrames)));
      if (shift_first > shift_last) continue;
      add(shift_first + kMaxShiftFrames, shift_last + kMaxShiftFrames, scale_first + kHalfScales,
          scale_last + kHalfScales);
    }
  }
  if (evidence.reference_peaks == 0) return evidence;
  for (int shift = 0; shift <= kShifts; ++shift) {
    for (int scale = 0; scale <= kScales; ++scale) {
      const std::size_t i =
          static_cast<std::size_t>(shift) * (kScales + 1) + static_cast<std::size_t>(scale);
      if (shift > 0) found[i] += found[i - (kScales + 1)];
      if (scale > 0) found[i] += found[i - 1];
      if (shift > 0 && scale > 0) found[i] -= found[i - (kScales + 1) - 1];
    }
  }
  for (int shift = 1; shift <= kShifts; ++shift) {
    inside[static_cast<std::size_t>(shift)] += inside[static_cast<std::size_t>(shift) - 1];
  }
  auto count = [&](int shift, int scale) {
    return found[static_cast<std::size_t>(shift + kMaxShiftFrames) * (kScales + 1) +
                 static_cast<std::size_t>(scale + kHalfScales)];
  };

  // The best alignment within the slack; ties go to the scale nearest 1.
  int best_shift = 0, best_scale = 0;
  for (int shift = -kAlignmentSlackFrames; shift <= kAlignmentSlackFrames; ++shift) {
    for (int scale = -kHalfScales; scale <= kHalfScales; ++scale) {
      const int c = count(shift, scale), b = count(best_shift, best_scale);
      if (c > b || (c == b && std::abs(scale) < std::abs(best_scale))) {
        best_shift = shift;
        best_scale = scale;
      }
    }
  }
  evidence.matched = count(best_shift, best_scale);
  evidence.frequency_scale = 1 + best_scale * kScaleStep;

  // The shifted alignments' counts at the chosen scale, each scaled to as
  // many reference peaks as the alignment has.
  double sum = 0, sum_of_squares = 0;
  int shifts = 0;
  for (int shift = -kMaxShiftFrames; shift <= kMaxShiftFrames; ++shift) {
    if (std::abs(shift - best_shift) <= kNearShiftFrames) continue;
    const int n = inside[static_cast<std::size_t>(shift + kMaxShiftFrames)];
    if (n * 2 < evidence.reference_peaks) continue;  // mostly outside the query
    const int c = count(shift, best_scale);
    evidence.best_shifted = std::max(evidence.best_shifted, c);
    const double scaled = static_cast<double>(c) * evidence.reference_peaks / n;
    sum += scaled;
    sum_of_squares += scaled * scaled;
    ++shifts;
  }
  const double measured = shifts > 0 ? sum / shifts : 0;
  evidence.expected_by_chance = std::max(predicted, measured);
  const double variance =
      shifts > 1 ? (sum_of_squares - sum * measured) / (shifts - 1) : evidence.expected_by_chance;
  evidence.spread_by_chance = std::sqrt(std::max(variance, evidence.expected_by_chance));
  return evidence;
}

bool StandsOut(const PeakEvidence& evidence) {
  return evidence.matched >= evidence.best_shifted &&
         evidence.matched - evidence.expected_by_chance >=
             kMinStandoutSpreads * evidence.spread_by_chance;
}

double PeakChanceAtAlignment(const PeakEvidence& evidence) {
  if (evidence.matched <= 0 || evidence.matched <= evidence.best_shifted) return 1;
  return std::exp(LogPoissonTail(evidence.matched, evidence.expected_by_chance));
}

double PeakFalseMatchProbability(const PeakEvidence& evidence, double candidates) {
  if (evidence.matched <= 0 || !StandsOut(evidence)) return 1;
  const double log_p = std::log(std::max(1, evidence.scales_searched)) +
                       std::log(std::max(1.0, candidates)) +
                       LogPoissonTail(evidence.matched, evidence.expected_by_chance);
  return std::min(1.0, std::exp(log_p));
}

Verdict JudgePeaks(const PeakEvidence& evidence, double candidates, double searches) {
  Verdict verdict;
  verdict.false_match_probability =
      std::min(1.0, searches * PeakFalseMatchProbability(evidence, candidates));
  verdict.acceptable = evidence.matched >= fingerprint::kMinMatchedPeaks &&
                       verdict.false_match_probability < fingerprint::kFalseMatchProbability;
  return verdict;
}

}  // namespace plim::matching
