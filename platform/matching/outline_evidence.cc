#include "platform/matching/outline_evidence.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <span>

#include "platform/fingerprint/fast_math.h"

namespace plim::matching {
namespace {

using fingerprint::kOutlineBands;

// Levels are kept in half steps: fine enough that rounding costs nothing
// measurable, coarse enough that a whole query's products with reference
// levels (each clamped to kMaxLocalSteps, the query's centred within twice
// that) add up within 32 bits.
constexpr double kScale = 2;
// Beyond this many level steps from its neighbourhood a cell is an edge of
// silence, not music: clamped.
constexpr double kMaxLocalSteps = 127;
static_assert(kMaxOutlineQueryFrames * kOutlineBands * (2 * kMaxLocalSteps * kScale) *
                      (kMaxLocalSteps * kScale) <
                  2147483647.0,
              "a placement's sum of products fits 32 bits");

// Shorter than this (3 s), a query's outline is too short to tell apart
// from chance; flatter than a half-step spread, it says nothing.
constexpr std::size_t kMinQueryFrames = 47;
constexpr double kMinSpreadSteps = 1;
// Fewer placements away from the one judged than this give no measure of chance.
constexpr int kMinPlacementsCompared = 200;

// products[o] = the sum of query[i] * levels[o * kOutlineBands + i] over
// i < n, for o < placements. Four placements at a time share each load of
// the query, which halves the loads that bound one placement alone; the sums
// are exact, so their order does not matter.
PLIM_CLONE_FOR_AVX2 void DotProducts(const std::int16_t* query, const std::int16_t* levels,
                                     std::size_t n, std::size_t placements,
                                     std::int32_t* products) {
  constexpr std::size_t kBlock = 4;
  std::size_t o = 0;
  for (; o + kBlock <= placements; o += kBlock) {
    const std::int16_t* b = levels + o * kOutlineBands;
    std::int32_t sum[kBlock] = {};
    for (std::size_t i = 0; i < n; ++i) {
      const std::int32_t q = query[i];
      for (std::size_t k = 0; k < kBlock; ++k) sum[k] += q * b[k * kOutlineBands + i];
    }
    std::copy_n(sum, kBlock, products + o);
  }
  for (; o < placements; ++o) {
    const std::int16_t* b = levels + o * kOutlineBands;
    std::int32_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += static_cast<std::int32_t>(query[i]) * b[i];
    products[o] = sum;
  }
}

// Each band's level less its mean over the frames within kLocalFrames on
// either side (about half a second): slow swells, fades and a held level
// are what unrelated music shares, and what made chance correlations
// stand out far more often than a normal tail allows. What is left is how
// the band moves against its neighbourhood, which noise does not undo.
constexpr std::size_t kLocalFrames = 8;

// Takes each frame's level common to all bands out of `levels` (frames x
// kOutlineBands), then each band's neighbourhood mean, and returns the
// result in 1/kScale level steps. A frame's common level is its levels'
// sum over 32, so 32 times a level less it is a whole number, and running
// sums of those give exactly what a sum over each neighbourhood would: the
// whole outline of each candidate passes through here, and nothing its
// size but the result is allocated.
PLIM_CLONE_FOR_AVX2 std::vector<std::int16_t> LocalLevels(std::span<const std::uint8_t> levels,
                                                          std::size_t frames) {
  static_assert(kOutlineBands == 32, "a frame's common level is an exact division");
  // A fade, a pause or a crescendo moves every band together, and would
  // correlate with any other recording's.
  std::vector<std::int32_t> frame_sums(frames);
  for (std::size_t k = 0; k < frames; ++k) {
    std::int32_t sum = 0;
    for (int b = 0; b < kOutlineBands; ++b) sum += levels[k * kOutlineBands + b];
    frame_sums[k] = sum;
  }
  // 32 times band b's level in frame k less the frame's common level.
  auto scaled_value = [&](std::size_t k, int b) {
    return kOutlineBands * std::int32_t{levels[k * kOutlineBands + b]} - frame_sums[k];
  };
  // 32 times each band's sum over the neighbourhood [first, end) of frame k.
  std::array<std::int32_t, kOutlineBands> around{};
  std::size_t first = 0, end = 0;
  std::vector<std::int16_t> local(frames * kOutlineBands);
  for (std::size_t k = 0; k < frames; ++k) {
    for (; end < std::min(frames, k + kLocalFrames + 1); ++end)
      for (int b = 0; b < kOutlineBands; ++b) around[b] += scaled_value(end, b);
    for (; first + kLocalFrames < k; ++first)
      for (int b = 0; b < kOutlineBands; ++b) around[b] -= scaled_value(first, b);
    const double share = 1.0 / static_cast<double>(end - first);
    const double common = frame_sums[k] / double{kOutlineBands};
    // Rounding first and clamping after gives what clamping first would:
    // the bound is a whole number of steps.
    constexpr auto kMaxScaled = static_cast<std::int32_t>(kMaxLocalSteps * kScale);
    std::int16_t* out = local.data() + k * kOutlineBands;
    for (int b = 0; b < kOutlineBands; ++b) {
      const double value = levels[k * kOutlineBands + b] - common;
      const double mean = around[b] / double{kOutlineBands} * share;
      const auto steps = static_cast<std::int32_t>(std::nearbyint((value - mean) * kScale));
      out[b] = static_cast<std::int16_t>(std::clamp(steps, -kMaxScaled, kMaxScaled));
    }
  }
  return local;
}

// How often one placement where the recording is not playing stands `z`
// spreads above the others, or more: 1% at kOneInHundred, a tenth as
// likely for each further 1 / kSlope. Measured on the benchmark's corpus
// (the noisy queries against every other recording, 1.4e8 placements: 2.7e-3
// stand 3 spreads out, 7.4e-5 4, 1.6e-6 5, 6.4e-8 6, none 7, with 32 bands
// as with 16) and fitted above what was seen, by a factor of 2 to 10.
constexpr double kOneInHundred = 2.7;
constexpr double kSlope = 1.35;
double PlacementTail(double z) {
  return z <= kOneInHundred ? 1.0 : std::pow(10.0, -2 - kSlope * (z - kOneInHundred));
}

// scores[o] = the Pearson correlation of the query's `frames` centred
// frames (each band's leftover sum in `band_sums`, norm `norm`) with
// `levels` from frame o on, for every o < scores.size().
PLIM_CLONE_FOR_AVX2 void Correlate(const std::int16_t* centred,
                                   const std::array<std::int32_t, kOutlineBands>& band_sums,
                                   double norm, const std::int16_t* levels, std::size_t frames,
                                   std::span<float> scores) {
  std::vector<std::int32_t> products(scores.size());
  DotProducts(centred, levels, frames * kOutlineBands, scores.size(), products.data());
  // Each band's sum of levels over the placement, and the sum of all
  // squared levels, give the reference side's mean and spread there,
  // carried from one placement to the next. All are whole numbers: `frames`
  // times the centred products and the spread are exact in 64 bits, and
  // only their ratio is rounded.
  std::array<std::int32_t, kOutlineBands> sums{};
  std::int64_t squares = 0;
  for (std::size_t i = 0; i < frames * kOutlineBands; ++i) {
    sums[i % kOutlineBands] += levels[i];
    squares += std::int64_t{levels[i]} * levels[i];
  }
  const auto t = static_cast<std::int64_t>(frames);
  for (std::size_t o = 0;; ++o) {
    // The query's rounding left its bands not quite centred.
    std::int64_t uncentred = 0, sums_squared = 0;
    for (int b = 0; b < kOutlineBands; ++b) {
      uncentred += std::int64_t{band_sums[b]} * sums[b];
      sums_squared += std::int64_t{sums[b]} * sums[b];
    }
    const auto centred_products = static_cast<double>(t * products[o] - uncentred);
    const auto spread = static_cast<double>(t * squares - sums_squared);
    scores[o] = spread > 0 ? static_cast<float>(centred_products /
                                                (norm * std::sqrt(spread * static_cast<double>(t))))
                           : 0;
    if (o + 1 == scores.size()) break;
    const std::int16_t* leaving = levels + o * kOutlineBands;
    const std::int16_t* coming = leaving + frames * kOutlineBands;
    for (int b = 0; b < kOutlineBands; ++b) {
      sums[b] += coming[b] - leaving[b];
      squares += std::int32_t{coming[b]} * coming[b] - std::int32_t{leaving[b]} * leaving[b];
    }
  }
}

}  // namespace

QueryOutline::QueryOutline(const fingerprint::BandOutline& outline, double speed) {
  const std::size_t source_frames =
      outline.frames() > kPaddedOutlineFrames ? outline.frames() - kPaddedOutlineFrames : 0;
  if (source_frames == 0 || !(speed > 0)) return;
  frames_ = std::min(kMaxOutlineQueryFrames,
                     static_cast<std::size_t>(static_cast<double>(source_frames) * speed));
  // Frame k of the reference's time axis is the query's frame k / speed.
  std::vector<std::uint8_t> levels(frames_ * kOutlineBands);
  for (std::size_t k = 0; k < frames_; ++k) {
    const auto j = std::min(source_frames - 1,
                            static_cast<std::size_t>(std::lround(static_cast<double>(k) / speed)));
    std::copy_n(outline.levels.begin() + static_cast<std::ptrdiff_t>(j * kOutlineBands),
                kOutlineBands, levels.begin() + static_cast<std::ptrdiff_t>(k * kOutlineBands));
  }
  if (frames_ < kMinQueryFrames) return;
  const std::vector<std::int16_t> local = LocalLevels(levels, frames_);
  std::array<double, kOutlineBands> mean{};
  for (std::size_t k = 0; k < frames_; ++k) {
    for (int b = 0; b < kOutlineBands; ++b) mean[b] += local[k * kOutlineBands + b];
  }
  for (double& m : mean) m /= static_cast<double>(frames_);
  centred_.resize(levels.size());
  double sum_of_squares = 0;
  for (std::size_t k = 0; k < frames_; ++k) {
    for (int b = 0; b < kOutlineBands; ++b) {
      const std::size_t i = k * kOutlineBands + static_cast<std::size_t>(b);
      const auto c = static_cast<std::int16_t>(std::lround(local[i] - mean[b]));
      centred_[i] = c;
      band_sums_[b] += c;
      sum_of_squares += static_cast<double>(c) * c;
    }
  }
  for (std::int64_t s : band_sums_) {
    sum_of_squares -=
        static_cast<double>(s) * static_cast<double>(s) / static_cast<double>(frames_);
  }
  norm_ = std::sqrt(std::max(0.0, sum_of_squares));
  const double cells = static_cast<double>(frames_ * kOutlineBands);
  usable_ = norm_ / kScale >= kMinSpreadSteps * std::sqrt(cells);
}

ReferenceOutline::ReferenceOutline(const fingerprint::BandOutline& outline, std::size_t first_frame)
    : first_frame_(first_frame), frames_(outline.frames()) {
  levels_ = LocalLevels(std::span(outline.levels).first(frames_ * kOutlineBands), frames_);
}

OutlineCorrelation::OutlineCorrelation(const QueryOutline& query, const ReferenceOutline& reference)
    : first_frame_(reference.first_frame_) {
  const std::size_t t = query.frames_;
  const std::size_t r = reference.frames_;
  if (!query.usable_ || r < t) return;
  scores_.resize(r - t + 1);
  Correlate(query.centred_.data(), query.band_sums_, query.norm_, reference.levels_.data(), t,
            scores_);
  query_frames_ = t;
}

OutlineCorrelation::OutlineCorrelation(const QueryOutline& query, const ReferenceOutline& reference,
                                       double offset_frames, int slack)
    : first_frame_(reference.first_frame_) {
  const std::size_t t = query.frames_;
  const std::size_t r = reference.frames_;
  if (!query.usable_ || r < t) return;
  const std::int64_t centre = std::lround(offset_frames / fingerprint::kOutlineFrameSpan -
                                          static_cast<double>(reference.first_frame_));
  const std::int64_t first = std::max<std::int64_t>(0, centre - slack);
  const std::int64_t end = std::min(static_cast<std::int64_t>(r - t + 1), centre + slack + 1);
  if (first >= end) return;
  first_frame_ += static_cast<std::size_t>(first);
  scores_.resize(static_cast<std::size_t>(end - first));
  Correlate(query.centred_.data(), query.band_sums_, query.norm_,
            reference.levels_.data() + static_cast<std::size_t>(first) * kOutlineBands, t, scores_);
  query_frames_ = t;
}

namespace {

// Judges `correlation` found with the query starting at `offset_frames`
// against `chance`'s placements away from there.
OutlineEvidence Judge(const OutlineCorrelation& chance, double correlation, double offset_frames,
                      int searched) {
  OutlineEvidence evidence;
  evidence.correlation = correlation;
  evidence.offset_frames = offset_frames;
  evidence.placements_searched = searched;
  const std::int64_t judged = std::lround(offset_frames / fingerprint::kOutlineFrameSpan) -
                              static_cast<std::int64_t>(chance.first_frame());
  // Placements overlapping the judged one by more than half share its music.
  const auto apart = static_cast<std::int64_t>(chance.query_frames() / 2);
  double sum = 0, sum_of_squares = 0;
  int n = 0;
  evidence.best_elsewhere = -1;
  for (std::size_t o = 0; o < chance.placements(); ++o) {
    if (std::abs(static_cast<std::int64_t>(o) - judged) <= apart) continue;
    const double s = chance.score(o);
    sum += s;
    sum_of_squares += s * s;
    evidence.best_elsewhere = std::max(evidence.best_elsewhere, s);
    ++n;
  }
  evidence.placements_compared = n;
  if (n < kMinPlacementsCompared) return evidence;
  evidence.mean_by_chance = sum / n;
  evidence.spread_by_chance =
      std::sqrt(std::max(1e-6, (sum_of_squares - sum * evidence.mean_by_chance) / (n - 1)));
  if (evidence.correlation <= evidence.best_elsewhere) return evidence;
  // Each placement searched was a chance to be fooled.
  evidence.probability =
      std::min(1.0, searched * PlacementTail((evidence.correlation - evidence.mean_by_chance) /
                                             evidence.spread_by_chance));
  return evidence;
}

double OffsetFrames(const OutlineCorrelation& correlation, std::size_t placement) {
  return static_cast<double>(correlation.first_frame() + placement) *
         fingerprint::kOutlineFrameSpan;
}

}  // namespace

OutlineEvidence OutlineNear(const OutlineCorrelation& near, const OutlineCorrelation& chance,
                            double offset_frames, int slack) {
  const double placement =
      offset_frames / fingerprint::kOutlineFrameSpan - static_cast<double>(near.first_frame());
  const auto centre = static_cast<std::int64_t>(std::lround(placement));
  const std::int64_t first = std::max<std::int64_t>(0, centre - slack);
  const std::int64_t last =
      std::min<std::int64_t>(static_cast<std::int64_t>(near.placements()) - 1, centre + slack);
  if (first > last) return {};
  auto best = static_cast<std::size_t>(first);
  for (auto o = static_cast<std::size_t>(first); o <= static_cast<std::size_t>(last); ++o) {
    if (near.score(o) > near.score(best)) best = o;
  }
  return Judge(chance, near.score(best), OffsetFrames(near, best), 2 * slack + 1);
}

OutlineEvidence OutlineNear(const OutlineCorrelation& correlation, double offset_frames,
                            int slack) {
  return OutlineNear(correlation, correlation, offset_frames, slack);
}

OutlineEvidence BestOutlinePlacement(const OutlineCorrelation& correlation) {
  if (correlation.placements() == 0) return {};
  std::size_t best = 0;
  for (std::size_t o = 1; o < correlation.placements(); ++o) {
    if (correlation.score(o) > correlation.score(best)) best = o;
  }
  return Judge(correlation, correlation.score(best), OffsetFrames(correlation, best),
               static_cast<int>(correlation.placements()));
}

double CombinedProbability(double a, double b) {
  const double x = std::clamp(a, 0.0, 1.0) * std::clamp(b, 0.0, 1.0);
  if (x <= 0) return 0;
  return std::min(1.0, x * (1 - std::log(x)));
}

}  // namespace plim::matching
