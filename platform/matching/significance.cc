#include "platform/matching/significance.h"

#include <algorithm>
#include <cmath>

#include "platform/fingerprint/fingerprint_params.h"

namespace plim::matching {

double LogPoissonTail(int k, double lambda) {
  if (k <= 0) return 0;
  if (lambda <= 0) return -INFINITY;
  // Sum the terms from k upward in log space; past the mode they shrink at
  // least geometrically once j > lambda, so a few hundred suffice.
  // lgamma_r: std::lgamma sets the global signgam, a data race when
  // several threads match at once.
  int sign = 0;
  double log_term = -lambda + k * std::log(lambda) - lgamma_r(k + 1.0, &sign);
  double log_sum = log_term;
  for (int j = k + 1; j < k + 1000; ++j) {
    log_term += std::log(lambda) - std::log(static_cast<double>(j));
    double larger = std::max(log_sum, log_term);
    log_sum = larger + std::log1p(std::exp(-std::abs(log_sum - log_term)));
    if (j > lambda && log_term < log_sum - 40) break;
  }
  return std::min(0.0, log_sum);
}

namespace {

constexpr double kWindowFrames = 2 * fingerprint::kInlierToleranceFrames;

// Offsets a query can take against the reference, over every speed.
double OffsetRangeFrames(const ChanceModel& model) {
  return model.reference_frames + model.query_frames * (1 + fingerprint::kMaxSpeedSkew) +
         kWindowFrames;
}

// The number of distinct alignments (offset windows times independent
// speeds) searched against one recording. At least 1.
double AlignmentsSearched(const ChanceModel& model) {
  const double offset_windows = OffsetRangeFrames(model) / kWindowFrames;
  // Speeds closer than the tolerance over the query's length see the same
  // hits; counting all of them would only loosen the bound.
  const double independent_speeds =
      std::min<double>(model.speeds_searched,
                       1 + 2 * fingerprint::kMaxSpeedSkew * model.query_frames / kWindowFrames);
  return std::max(1.0, offset_windows) * std::max(1.0, independent_speeds);
}

}  // namespace

double FalseMatchProbability(const ChanceModel& model, int aligned) {
  const double lambda =
      std::max(model.background_per_window, model.hits * kWindowFrames / OffsetRangeFrames(model));
  const double log_trials =
      std::log(AlignmentsSearched(model)) + std::log(std::max(1.0, model.recordings));
  return std::min(1.0, std::exp(log_trials + LogPoissonTail(aligned, lambda)));
}

}  // namespace plim::matching
