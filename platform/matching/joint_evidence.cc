#include "platform/matching/joint_evidence.h"

#include <algorithm>

#include "platform/fingerprint/fingerprint_params.h"

namespace plim::matching {

JointEvidence JudgeTogether(const PeakEvidence& peaks, const OutlineEvidence& outline,
                            double searches) {
  JointEvidence joint;
  joint.outline = outline;
  joint.outline_standing =
      outline.spread_by_chance > 0
          ? (outline.correlation - outline.mean_by_chance) / outline.spread_by_chance
          : 0;
  // Two songs of one band share a drum kit, and their peaks line up better
  // than chance at a beat while their outlines do not.
  if (outline.correlation < kMinOutlineCorrelation || outline.probability > kMaxOutlineChance) {
    return joint;
  }
  joint.verdict.false_match_probability =
      std::min(1.0, searches * kOutlineLooks * std::max(1, peaks.scales_searched) *
                        CombinedProbability(PeakChanceAtAlignment(peaks), outline.probability));
  joint.verdict.acceptable =
      joint.verdict.false_match_probability < fingerprint::kFalseMatchProbability;
  return joint;
}

}  // namespace plim::matching
