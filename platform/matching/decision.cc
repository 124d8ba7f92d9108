#include "platform/matching/decision.h"

#include <algorithm>
#include <cmath>

#include "platform/fingerprint/fingerprint_params.h"

namespace plim::matching {

bool Weigh(MatchCandidate& candidate, const Verdict& verdict) {
  const bool better = verdict.acceptable != candidate.accepted
                          ? verdict.acceptable
                          : verdict.false_match_probability < candidate.false_match_probability;
  if (!better) return false;
  candidate.false_match_probability = verdict.false_match_probability;
  candidate.accepted = verdict.acceptable;
  return true;
}

void Place(MatchCandidate& candidate, double offset_frames, double speed,
           const PeakEvidence& peaks) {
  candidate.offset_s = offset_frames * fingerprint::kFrameDurationS;
  candidate.speed = speed;
  candidate.reference_peaks = peaks.reference_peaks;
  candidate.matched_peaks = peaks.matched;
  candidate.frequency_scale = peaks.frequency_scale;
}

void RankCandidates(std::vector<MatchCandidate>& candidates) {
  const double log_bound = -std::log(fingerprint::kFalseMatchProbability);
  for (MatchCandidate& c : candidates) {
    const double log_chance = -std::log(std::max(c.false_match_probability, 1e-300));
    c.confidence = log_chance / (log_chance + log_bound);
  }
  std::sort(candidates.begin(), candidates.end(),
            [](const MatchCandidate& a, const MatchCandidate& b) {
              if (a.accepted != b.accepted) return a.accepted;
              if (a.false_match_probability != b.false_match_probability) {
                return a.false_match_probability < b.false_match_probability;
              }
              if (a.aligned_landmarks != b.aligned_landmarks) {
                return a.aligned_landmarks > b.aligned_landmarks;
              }
              return a.recording < b.recording;
            });
}

}  // namespace plim::matching
