#include "platform/matching/landmark_evidence.h"

#include <algorithm>

#include "platform/fingerprint/fingerprint_params.h"

namespace plim::matching {

Verdict LandmarkEvidence::Judge() const {
  Verdict verdict;
  verdict.false_match_probability = FalseMatchProbability(model, aligned_landmarks);
  verdict.acceptable = aligned_landmarks >= fingerprint::kMinAlignedLandmarks &&
                       verdict.false_match_probability < fingerprint::kFalseMatchProbability;
  return verdict;
}

LandmarkEvidence NomineeAligner::Align(std::span<const RecordingHit> hits, const Nominee& nominee) {
  all_hits_.clear();
  band_hits_.clear();
  // The line is searched for among the band's hits (and a margin for the
  // refinement's wider first rounds), which is all it can hold.
  const double margin = 4 * fingerprint::kInlierToleranceFrames;
  for (const RecordingHit& h : hits) {
    all_hits_.push_back(h.hit);
    const double difference = static_cast<double>(h.hit.reference_frame) - h.hit.query_frame;
    if (difference >= nominee.band.lowest - margin && difference <= nominee.band.highest + margin) {
      band_hits_.push_back(h.hit);
    }
  }
  LandmarkEvidence e;
  e.alignment = AlignHits(band_hits_, query_frames_);
  e.hits = static_cast<int>(all_hits_.size());
  e.aligned_landmarks = CountEvidence(hits, e.alignment, hashes_);
  e.model.hits = e.hits;
  e.model.query_frames = query_frames_;
  e.model.speeds_searched = e.alignment.speeds_searched;
  e.model.recordings = recordings_;
  e.model.background_per_window = CountBackgroundPerWindow(all_hits_, e.alignment);
  // A reference shorter than its last hit would understate the range.
  for (const Hit& h : all_hits_) {
    e.model.reference_frames = std::max(e.model.reference_frames, h.reference_frame + 1.0);
  }
  return e;
}

}  // namespace plim::matching
