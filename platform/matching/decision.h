// The last stage of matching: each candidate's verdicts, from every kind of
// evidence at every placement looked at, weighed into one; then the
// candidates ranked.

#ifndef PLIM_PLATFORM_MATCHING_DECISION_H_
#define PLIM_PLATFORM_MATCHING_DECISION_H_

#include <vector>

#include "platform/matching/matcher.h"
#include "platform/matching/peak_verification.h"
#include "platform/matching/significance.h"

namespace plim::matching {

// Folds `verdict` into `candidate`, which keeps the best of its verdicts:
// an acceptable one over any other, then the least chance. Returns whether
// `verdict` is now the candidate's, so that the caller records where it
// placed the query (Place). Pure with respect to everything else.
bool Weigh(MatchCandidate& candidate, const Verdict& verdict);

// Records in `candidate` a placement of the query (its start in the
// reference, in analysis frames, and its speed) and the peaks found there.
void Place(MatchCandidate& candidate, double offset_frames, double speed,
           const PeakEvidence& peaks);

// Sets each candidate's confidence from its chance (0.5 at the bound,
// rising towards 1 as the chance falls) and orders them: accepted first,
// then the least chance, the most aligned landmarks, the lowest id.
void RankCandidates(std::vector<MatchCandidate>& candidates);

}  // namespace plim::matching

#endif  // PLIM_PLATFORM_MATCHING_DECISION_H_
