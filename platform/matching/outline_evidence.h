// Checks a candidate by its band-energy outline (fingerprint/band_outline.h).
//
// Peaks say where the music's partials are; under loud noise or voices most
// of them are lost. The outline says how loud each band is over time, which
// noise flattens but does not erase: correlated with the reference's
// outline where the recording is playing, it stands out from the same
// correlation at the reference's other offsets. Those other offsets are
// this query's chance distribution against this recording, measured rather
// than assumed.

#ifndef PLIM_PLATFORM_MATCHING_OUTLINE_EVIDENCE_H_
#define PLIM_PLATFORM_MATCHING_OUTLINE_EVIDENCE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/fingerprint/band_outline.h"

namespace plim::matching {

// The last outline frames of a stretch of audio, whose analysis frames
// reach past its end and were padded with silence: their sudden drop in
// every band would correlate with any pause in a reference.
inline constexpr std::size_t kPaddedOutlineFrames =
    (fingerprint::kFftSize / fingerprint::kHopSize + fingerprint::kOutlineFrameSpan - 1) /
    fingerprint::kOutlineFrameSpan;

// A query's outline made ready for correlation at one speed: its last
// kPaddedOutlineFrames left out, resampled onto the reference's time axis,
// each frame's level common to all bands taken out, then each band's mean
// over its neighbourhood (half a second each way), then each band's mean.
// At most kMaxOutlineQueryFrames of it are used. Immutable; threads may share
// it.
class QueryOutline {
 public:
  // `outline` is the query's; `speed` the query's speed relative to the
  // reference (1.02: played 2% faster).
  explicit QueryOutline(const fingerprint::BandOutline& outline, double speed = 1);

  // Outline frames it spans on the reference's time axis.
  std::size_t frames() const { return frames_; }
  // Whether it is long enough and varies enough to be evidence at all.
  bool usable() const { return usable_; }

 private:
  friend class OutlineCorrelation;
  std::size_t frames_ = 0;
  bool usable_ = false;
  // frames_ x kOutlineBands, in 1/kScale level steps, each band's mean removed.
  std::vector<std::int16_t> centred_;
  // What rounding left of each band's sum (near 0).
  std::array<std::int32_t, fingerprint::kOutlineBands> band_sums_{};
  double norm_ = 0;  // of the exactly centred values, in level steps
};

// The longest stretch of a query that is correlated, in outline frames
// (about 20 s).
inline constexpr std::size_t kMaxOutlineQueryFrames = 320;

// A stretch of a reference's outline made ready for correlation, the same
// way as a query's (each frame's common level and each band's
// neighbourhood mean taken out), once for every query placed in it.
// Immutable; threads may share it.
class ReferenceOutline {
 public:
  ReferenceOutline() = default;
  // `outline` holds the reference's outline frames from outline frame
  // `first_frame` of the recording on.
  ReferenceOutline(const fingerprint::BandOutline& outline, std::size_t first_frame);

  std::size_t frames() const { return frames_; }

 private:
  friend class OutlineCorrelation;
  std::size_t first_frame_ = 0;
  std::size_t frames_ = 0;
  std::vector<std::int16_t> levels_;  // frames_ x kOutlineBands, in 1/kScale level steps
};

// The correlation of a query's outline with a stretch of a reference's at
// every placement of the query in it.
class OutlineCorrelation {
 public:
  OutlineCorrelation(const QueryOutline& query, const ReferenceOutline& reference);
  // The same at the placements within `slack` outline frames of the query
  // starting at `offset_frames` (analysis frames) only; none when they lie
  // outside the stretch.
  OutlineCorrelation(const QueryOutline& query, const ReferenceOutline& reference,
                     double offset_frames, int slack);

  // Placements compared: the query starting at each outline frame of the
  // stretch from which it fits, or at each of the few asked for.
  std::size_t placements() const { return scores_.size(); }
  // The Pearson correlation (every band's mean removed on both sides) of
  // the query starting at recording outline frame first_frame + placement.
  float score(std::size_t placement) const { return scores_[placement]; }
  std::size_t first_frame() const { return first_frame_; }
  // The query's length in outline frames.
  std::size_t query_frames() const { return query_frames_; }

 private:
  std::size_t first_frame_ = 0;
  std::size_t query_frames_ = 0;
  std::vector<float> scores_;
};

// What the outline says about one placement of the query.
struct OutlineEvidence {
  // The best correlation within the placements searched, and where: the
  // query's start in the reference, in analysis frames.
  double correlation = 0;
  double offset_frames = 0;
  // The correlations of the placements away from it (the query shifted by
  // more than half its length): their mean, their spread and how many.
  double mean_by_chance = 0;
  double spread_by_chance = 0;
  int placements_compared = 0;
  // The best of them.
  double best_elsewhere = 0;
  // The chance that a search of the same extent where the recording is not
  // playing does as well, from the standing (correlation - mean) / spread,
  // under a tail measured on real music (the search is counted); 1 when
  // there is too little to compare or the correlation does not beat every
  // other placement.
  double probability = 1;
  // Placements searched for the best: each was a chance to be fooled.
  int placements_searched = 0;
};

// The evidence for the query starting near `offset_frames` (analysis
// frames; the best within +-`slack` outline frames of it). Pure.
OutlineEvidence OutlineNear(const OutlineCorrelation& correlation, double offset_frames, int slack);

// The same for a correlation `near` made at a few placements only, judged
// against `chance`: the same query's with the same reference at every
// placement, at a speed that may differ from near's by a few percent.
// Pure.
OutlineEvidence OutlineNear(const OutlineCorrelation& near, const OutlineCorrelation& chance,
                            double offset_frames, int slack);

// The evidence for the best placement of all. Pure.
OutlineEvidence BestOutlinePlacement(const OutlineCorrelation& correlation);

// The chance that two independent pieces of evidence with one-sided
// probabilities `a` and `b` are together as unlikely: x (1 - ln x) for
// x = a b. Pure.
double CombinedProbability(double a, double b);

}  // namespace plim::matching

#endif  // PLIM_PLATFORM_MATCHING_OUTLINE_EVIDENCE_H_
