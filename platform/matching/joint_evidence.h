// A kind of evidence for candidates neither their landmarks nor their peaks
// name alone: the peaks and the band-energy outline at one placement,
// judged together.

#ifndef PLIM_PLATFORM_MATCHING_JOINT_EVIDENCE_H_
#define PLIM_PLATFORM_MATCHING_JOINT_EVIDENCE_H_

#include "platform/matching/outline_evidence.h"
#include "platform/matching/peak_verification.h"
#include "platform/matching/significance.h"

namespace plim::matching {

// The outline is consulted at up to three placements of a candidate (its
// landmarks', its peaks' votes' and the outline's own best): each was a
// chance to be fooled.
inline constexpr double kOutlineLooks = 3;
// Below this correlation, or more likely than this by chance, an outline
// is no evidence.
inline constexpr double kMinOutlineCorrelation = 0.1;
inline constexpr double kMaxOutlineChance = 0.01;

struct JointEvidence {
  OutlineEvidence outline;
  // How far the outline's correlation stands above its chance placements,
  // in their spreads (0 when they have no spread).
  double outline_standing = 0;
  // The chance of the peaks and the outline at once, times the searches
  // that chose the placement; 1 when the outline says nothing.
  Verdict verdict;
};

// Judges `peaks` and `outline`, found at one placement, together; the
// placement was chosen among `searches` (the candidates that could have
// been examined, times the placements searched in each). Peaks alone must
// stand out from their shifted alignments; together with an outline they
// need not, but only when the outline itself is within kMaxOutlineChance
// and correlates at kMinOutlineCorrelation at least. Pure function.
JointEvidence JudgeTogether(const PeakEvidence& peaks, const OutlineEvidence& outline,
                            double searches);

}  // namespace plim::matching

#endif  // PLIM_PLATFORM_MATCHING_JOINT_EVIDENCE_H_
