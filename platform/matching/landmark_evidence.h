// The second stage of matching: each nominated recording aligned on its
// landmarks, with the chance that unrelated audio aligns as many.

#ifndef PLIM_PLATFORM_MATCHING_LANDMARK_EVIDENCE_H_
#define PLIM_PLATFORM_MATCHING_LANDMARK_EVIDENCE_H_

#include <cstdint>
#include <span>
#include <vector>

#include "platform/matching/alignment.h"
#include "platform/matching/nomination.h"
#include "platform/matching/significance.h"

namespace plim::matching {

// One nominee's alignment and what its landmarks say for it.
struct LandmarkEvidence {
  Alignment alignment;
  // Every hit of the query on the recording, and the independent evidence
  // on the alignment's line (CountEvidence).
  int hits = 0;
  int aligned_landmarks = 0;
  // What chance alone would produce against the recording; its
  // reference_frames grows to the recording's length once known.
  ChanceModel model;

  // The chance that unrelated audio aligns as many landmarks; acceptable
  // with at least fingerprint::kMinAlignedLandmarks and a chance below
  // fingerprint::kFalseMatchProbability.
  Verdict Judge() const;
};

// Aligns nominees one after another, reusing its scratch space.
// Thread-compatible.
class NomineeAligner {
 public:
  // `query_frames`: the query's length in analysis frames; `recordings`:
  // every recording of the catalog in every pass, each a chance to be fooled.
  NomineeAligner(double query_frames, double recordings)
      : query_frames_(query_frames), recordings_(recordings) {}

  // Aligns the nominee whose hits are `hits` (one recording's, as
  // Nomination orders them) on those within its band of offsets.
  LandmarkEvidence Align(std::span<const RecordingHit> hits, const Nominee& nominee);

 private:
  double query_frames_;
  double recordings_;
  std::vector<Hit> all_hits_, band_hits_;  // scratch
  std::vector<std::uint32_t> hashes_;      // scratch
};

}  // namespace plim::matching

#endif  // PLIM_PLATFORM_MATCHING_LANDMARK_EVIDENCE_H_
