#include "platform/matching/outline_evidence.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <span>

#include "platform/fingerprint/fast_math.h"

namespace plim::matching {
namespace {

using fingerprint::kOutlineBands;

// Centred query levels are kept in half steps: fine enough that rounding
// costs nothing measurable, coarse enough that a whole query's products
// with reference levels (each within +-255 once a frame's common level is
// out, the query's within twice that) add up within 32 bits.
constexpr double kScale = 2;
static_assert(kMaxOutlineQueryFrames * kOutlineBands * (2 * 255.0 * kScale) * 255.0 < 2147483647.0,
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

// How often a placement where the recording is not playing stands `z`
// spreads above the others, or more. Music is not noise: a shared chord, a
// shared tempo or a held note make the tail far heavier than a normal
// one. Measured on the benchmark's corpus (19,000 candidates of other
// recordings at each kind of placement, every noise condition), and fitted
// above what was seen: a tenth as likely for each further 1 / slope
// spreads, from 1% at `one_in_hundred`.
struct ChanceTail {
  double one_in_hundred;
  double slope;
  double At(double z) const {
    return z <= one_in_hundred ? 1.0
                               : std::min(1.0, std::pow(10.0, -2 - slope * (z - one_in_hundred)));
  }
};
// Near a placement found otherwise (+-1 frame): 1% stand 3 spreads out.
constexpr ChanceTail kNearTail{3.0, 0.7};
// The best of a whole recording's placements: 1% stand 5 spreads out.
constexpr ChanceTail kBestTail{5.0, 0.6};

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
  // Each frame's level common to all bands is taken out: a fade, a pause or
  // a crescendo moves every band together, and would correlate with any
  // other recording's. What is left is how the balance of the bands moves.
  std::vector<double> values(levels.begin(), levels.end());
  for (std::size_t k = 0; k < frames_; ++k) {
    const auto frame = std::span(values).subspan(k * kOutlineBands, kOutlineBands);
    const double common =
        std::round(std::accumulate(frame.begin(), frame.end(), 0.0) / kOutlineBands);
    for (double& v : frame) v -= common;
  }
  std::array<double, kOutlineBands> mean{};
  for (std::size_t k = 0; k < frames_; ++k) {
    for (int b = 0; b < kOutlineBands; ++b) mean[b] += values[k * kOutlineBands + b];
  }
  for (double& m : mean) m /= static_cast<double>(frames_);
  centred_.resize(levels.size());
  double sum_of_squares = 0;
  for (std::size_t k = 0; k < frames_; ++k) {
    for (int b = 0; b < kOutlineBands; ++b) {
      const std::size_t i = k * kOutlineBands + static_cast<std::size_t>(b);
      const double d = values[i] - mean[b];
      const auto c = static_cast<std::int16_t>(std::lround(d * kScale));
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

OutlineCorrelation::OutlineCorrelation(const QueryOutline& query,
                                       const fingerprint::BandOutline& reference,
                                       std::size_t first_frame)
    : first_frame_(first_frame) {
  const std::size_t t = query.frames_;
  const std::size_t r = reference.frames();
  if (!query.usable_ || r < t) return;
  std::vector<std::int16_t> levels(
      reference.levels.begin(),
      reference.levels.begin() + static_cast<std::ptrdiff_t>(r * kOutlineBands));
  // The same common level taken out, as from the query.
  for (std::size_t k = 0; k < r; ++k) {
    const auto frame = std::span(levels).subspan(k * kOutlineBands, kOutlineBands);
    const auto common = static_cast<std::int16_t>(
        std::lround(std::accumulate(frame.begin(), frame.end(), 0.0) / kOutlineBands));
    for (std::int16_t& v : frame) v = static_cast<std::int16_t>(v - common);
  }
  // Each band's running sums of levels and squared levels, for the
  // reference side's mean and spread at every placement.
  std::vector<std::int64_t> sums((r + 1) * kOutlineBands, 0), squares((r + 1) * kOutlineBands, 0);
  for (std::size_t k = 0; k < r; ++k) {
    for (int b = 0; b < kOutlineBands; ++b) {
      const std::size_t i = k * kOutlineBands + static_cast<std::size_t>(b);
      sums[i + kOutlineBands] = sums[i] + levels[i];
      squares[i + kOutlineBands] = squares[i] + std::int64_t{levels[i]} * levels[i];
    }
  }
  scores_.resize(r - t + 1);
  const double frames = static_cast<double>(t);
  for (std::size_t o = 0; o + t <= r; ++o) {
    double products =
        DotProduct(query.centred_.data(), levels.data() + o * kOutlineBands, t * kOutlineBands);
    double spread = 0;
    for (int b = 0; b < kOutlineBands; ++b) {
      const auto s1 =
          static_cast<double>(sums[(o + t) * kOutlineBands + b] - sums[o * kOutlineBands + b]);
      const auto s2 = static_cast<double>(squares[(o + t) * kOutlineBands + b] -
                                          squares[o * kOutlineBands + b]);
      // The query's rounding left its bands not quite centred.
      products -= static_cast<double>(query.band_sums_[b]) * s1 / frames;
      spread += s2 - s1 * s1 / frames;
    }
    scores_[o] = spread > 0 ? static_cast<float>(products / (query.norm_ * std::sqrt(spread))) : 0;
  }
  query_frames_ = t;
}

namespace {

OutlineEvidence Judge(const OutlineCorrelation& correlation, std::size_t best, int searched,
                      const ChanceTail& tail) {
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
  evidence.probability =
      tail.At((evidence.correlation - evidence.mean_by_chance) / evidence.spread_by_chance);
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
  return Judge(correlation, best, 2 * slack + 1, kNearTail);
}

OutlineEvidence BestOutlinePlacement(const OutlineCorrelation& correlation) {
  if (correlation.placements() == 0) return {};
  std::size_t best = 0;
  for (std::size_t o = 1; o < correlation.placements(); ++o) {
    if (correlation.score(o) > correlation.score(best)) best = o;
  }
  return Judge(correlation, best, static_cast<int>(correlation.placements()), kBestTail);
}

double CombinedProbability(double a, double b) {
  const double x = std::clamp(a, 0.0, 1.0) * std::clamp(b, 0.0, 1.0);
  if (x <= 0) return 0;
  return std::min(1.0, x * (1 - std::log(x)));
}

}  // namespace plim::matching
