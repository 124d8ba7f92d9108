#include "platform/matching/outline_evidence.h"

#include <algorithm>
#include <cmath>
#include <numeric>
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

PLIM_CLONE_FOR_AVX2 std::int32_t DotProduct(const std::int16_t* a, const std::int16_t* b,
                                            std::size_t n) {
  std::int32_t sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += static_cast<std::int32_t>(a[i]) * b[i];
  return sum;
}

// Each band's level less its mean over the frames within kLocalFrames on
// either side (about half a second): slow swells, fades and a held level
// are what unrelated music shares, and what made chance correlations
// stand out far more often than a normal tail allows. What is left is how
// the band moves against its neighbourhood, which noise does not undo.
constexpr std::size_t kLocalFrames = 8;

// Takes each frame's level common to all bands out of `levels` (frames x
// kOutlineBands), then each band's neighbourhood mean, and returns the
// result in 1/kScale level steps. Every value summed here is a whole level
// less a multiple of 1/32, so sums of them are exact in a double and a
// running sum gives what a sum over each neighbourhood would: the whole
// outline of each candidate passes through here, and nothing its size but
// the result is allocated.
std::vector<std::int16_t> LocalLevels(std::span<const std::uint8_t> levels, std::size_t frames) {
  static_assert(kOutlineBands == 32, "a frame's common level is an exact division");
  // A fade, a pause or a crescendo moves every band together, and would
  // correlate with any other recording's.
  std::vector<double> common(frames);
  for (std::size_t k = 0; k < frames; ++k) {
    const auto frame = levels.subspan(k * kOutlineBands, kOutlineBands);
    common[k] = std::accumulate(frame.begin(), frame.end(), 0.0) / kOutlineBands;
  }
  auto value = [&](std::size_t k, int b) {
    return levels[k * kOutlineBands + static_cast<std::size_t>(b)] - common[k];
  };
  // Each band's sum over the neighbourhood [first, end) of frame k.
  std::array<double, kOutlineBands> around{};
  std::size_t first = 0, end = 0;
  std::vector<std::int16_t> local(frames * kOutlineBands);
  for (std::size_t k = 0; k < frames; ++k) {
    for (; end < std::min(frames, k + kLocalFrames + 1); ++end)
      for (int b = 0; b < kOutlineBands; ++b) around[b] += value(end, b);
    for (; first + kLocalFrames < k; ++first)
      for (int b = 0; b < kOutlineBands; ++b) around[b] -= value(first, b);
    const double share = 1.0 / static_cast<double>(end - first);
    std::int16_t* out = local.data() + k * kOutlineBands;
    for (int b = 0; b < kOutlineBands; ++b) {
      const double d = std::clamp(value(k, b) - around[b] * share, -kMaxLocalSteps, kMaxLocalSteps);
      out[b] = static_cast<std::int16_t>(std::nearbyint(d * kScale));
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
  const std::vector<std::int16_t>& levels = reference.levels_;
  // Each band's sums of levels and squared levels over the placement give
  // the reference side's mean and spread there, carried from one
  // placement to the next.
  std::array<std::int64_t, kOutlineBands> sums{}, squares{};
  for (std::size_t i = 0; i < t * kOutlineBands; ++i) {
    sums[i % kOutlineBands] += levels[i];
    squares[i % kOutlineBands] += std::int64_t{levels[i]} * levels[i];
  }
  scores_.resize(r - t + 1);
  const double per_frame = 1.0 / static_cast<double>(t);
  for (std::size_t o = 0;; ++o) {
    double products =
        DotProduct(query.centred_.data(), levels.data() + o * kOutlineBands, t * kOutlineBands);
    double spread = 0;
    for (int b = 0; b < kOutlineBands; ++b) {
      const auto s1 = static_cast<double>(sums[b]);
      const auto s2 = static_cast<double>(squares[b]);
      // The query's rounding left its bands not quite centred.
      products -= static_cast<double>(query.band_sums_[b]) * s1 * per_frame;
      spread += s2 - s1 * s1 * per_frame;
    }
    scores_[o] = spread > 0 ? static_cast<float>(products / (query.norm_ * std::sqrt(spread))) : 0;
    if (o + t == r) break;
    const std::int16_t* leaving = levels.data() + o * kOutlineBands;
    const std::int16_t* coming = levels.data() + (o + t) * kOutlineBands;
    for (int b = 0; b < kOutlineBands; ++b) {
      sums[b] += coming[b] - leaving[b];
      squares[b] += std::int64_t{coming[b]} * coming[b] - std::int64_t{leaving[b]} * leaving[b];
    }
  }
  query_frames_ = t;
}

namespace {

OutlineEvidence Judge(const OutlineCorrelation& correlation, std::size_t best, int searched) {
  const std::size_t query_frames = correlation.query_frames();
  OutlineEvidence evidence;
  evidence.correlation = correlation.score(best);
  evidence.offset_frames =
      static_cast<double>(correlation.first_frame() + best) * fingerprint::kOutlineFrameSpan;
  evidence.placements_searched = searched;
  // Placements overlapping the judged one by more than half share its music.
  const std::size_t apart = query_frames / 2;
  double sum = 0, sum_of_squares = 0;
  int n = 0;
  evidence.best_elsewhere = -1;
  for (std::size_t o = 0; o < correlation.placements(); ++o) {
    if (o + apart >= best && o <= best + apart) continue;
    const double s = correlation.score(o);
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

}  // namespace

OutlineEvidence OutlineNear(const OutlineCorrelation& correlation, double offset_frames,
                            int slack) {
  const double placement = offset_frames / fingerprint::kOutlineFrameSpan -
                           static_cast<double>(correlation.first_frame());
  const auto centre = static_cast<std::int64_t>(std::lround(placement));
  const std::int64_t first = std::max<std::int64_t>(0, centre - slack);
  const std::int64_t last = std::min<std::int64_t>(
      static_cast<std::int64_t>(correlation.placements()) - 1, centre + slack);
  if (first > last) return {};
  auto best = static_cast<std::size_t>(first);
  for (auto o = static_cast<std::size_t>(first); o <= static_cast<std::size_t>(last); ++o) {
    if (correlation.score(o) > correlation.score(best)) best = o;
  }
  return Judge(correlation, best, 2 * slack + 1);
}

OutlineEvidence BestOutlinePlacement(const OutlineCorrelation& correlation) {
  if (correlation.placements() == 0) return {};
  std::size_t best = 0;
  for (std::size_t o = 1; o < correlation.placements(); ++o) {
    if (correlation.score(o) > correlation.score(best)) best = o;
  }
  return Judge(correlation, best, static_cast<int>(correlation.placements()));
}

double CombinedProbability(double a, double b) {
  const double x = std::clamp(a, 0.0, 1.0) * std::clamp(b, 0.0, 1.0);
  if (x <= 0) return 0;
  return std::min(1.0, x * (1 - std::log(x)));
}

}  // namespace plim::matching
