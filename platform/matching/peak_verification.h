// Checks a candidate alignment peak by peak.
//
// Landmarks need two or three peaks each to survive; under heavy noise few
// do, but single peaks survive far more often. Once the landmarks have
// nominated a recording and roughly aligned it, the reference's own peaks
// are looked for in the query at the aligned times: a peak of the reference
// found where the alignment puts it is evidence, and the query's extra peaks
// (the noise's) cost nothing, since the search runs from the reference into
// the query.

#ifndef PLIM_PLATFORM_MATCHING_PEAK_VERIFICATION_H_
#define PLIM_PLATFORM_MATCHING_PEAK_VERIFICATION_H_

#include <array>
#include <span>
#include <vector>

#include "platform/fingerprint/constellation.h"
#include "platform/matching/alignment.h"
#include "platform/matching/significance.h"

namespace plim::matching {

// A query's peaks, indexed by frame for the lookups of VerifyPeaks. Built
// once per query; immutable after, so threads may share it.
class QueryPeaks {
 public:
  explicit QueryPeaks(const fingerprint::Constellation& query);

  double duration_frames() const { return duration_frames_; }
  // Peaks per frame and per bin in `band`: how likely a chance peak lies
  // near any given point of it.
  double DensityPerFrameBin(int band) const { return density_[static_cast<std::size_t>(band)]; }
  // Appends the bin (in FFT bins) and time (in frames) of every peak whose
  // time lies in [first_frame, last_frame] and bin in [low_bin, high_bin].
  void Collect(double first_frame, double last_frame, double low_bin, double high_bin,
               std::vector<float>& bins, std::vector<float>& times) const;

 private:
  // Peaks are kept in blocks of kBlockFrames frames, each block ordered by
  // bin, so that a lookup reads only the few peaks near in both.
  static constexpr int kBlockFrames = 32;

  double duration_frames_ = 0;
  std::array<double, fingerprint::kBandCount> density_{};
  // The peaks of block b: bins_[block_start_[b] .. block_start_[b + 1]),
  // their times in times_ at the same places.
  std::vector<std::uint32_t> block_start_;
  std::vector<float> bins_;
  std::vector<float> times_;
};

// What the reference's peaks say about one alignment.
struct PeakEvidence {
  // Reference peaks that fall within the query once aligned, and how many
  // of them the query holds where the alignment puts them.
  int reference_peaks = 0;
  int matched = 0;
  // How many would be found by chance: the greater of what the query's peak
  // density predicts and what the same search finds, on average, at
  // alignments shifted in time, where the recording is not playing.
  double expected_by_chance = 0;
  // The standard deviation of the shifted alignments' counts (at least
  // that of a Poisson count at expected_by_chance), and the most any of
  // them found.
  double spread_by_chance = 0;
  int best_shifted = 0;
  // The query's frequencies over the reference's (pitch changes move them).
  double frequency_scale = 1;
  // The frequency scales and offsets tried: each was a chance to be fooled.
  int scales_searched = 0;
};

// Looks for `reference` peaks (ordered by time, covering the aligned query
// and VerificationMarginFrames() beyond it on both sides at least) in
// `query` along `alignment`, at every frequency scale within
// +-kMaxSpeedSkew. Pure function.
PeakEvidence VerifyPeaks(const QueryPeaks& query, std::span<const fingerprint::Peak> reference,
                         const Alignment& alignment);

// How far beyond the aligned query, in query frames, VerifyPeaks reads the
// reference (its shifted alignments).
double VerificationMarginFrames();

// Whether `evidence` stands out from the shifted alignments: it matches
// more peaks than any of them, by kMinStandoutSpreads of their spread over
// their mean. Two unrelated recordings that share a tempo and a drum kit
// line up at every beat; the true alignment of the same recording stands
// out from them. Pure function.
bool StandsOut(const PeakEvidence& evidence);

// The chance, bounded from above, that unrelated audio matches `evidence`
// as well, over every frequency scale and offset searched for each of
// `candidates` recordings: the Poisson tail of its matched peaks at the
// expected chance count, times those searches; 1 when the evidence does
// not stand out (StandsOut). Pure function.
double PeakFalseMatchProbability(const PeakEvidence& evidence, double candidates);

// The verdict of `evidence` found by a search `searches` times as wide as
// one alignment's (1 for the candidate's own): PeakFalseMatchProbability
// times the searches, acceptable with fingerprint::kMinMatchedPeaks matched
// and a chance below fingerprint::kFalseMatchProbability. Pure function.
Verdict JudgePeaks(const PeakEvidence& evidence, double candidates, double searches = 1);

// The chance of `evidence` at its one alignment, for combining with other
// evidence of the same alignment: the Poisson tail of its matched peaks at
// the expected chance count; 1 when a shifted alignment matched as many.
// No search is counted. Pure function.
double PeakChanceAtAlignment(const PeakEvidence& evidence);

}  // namespace plim::matching

#endif  // PLIM_PLATFORM_MATCHING_PEAK_VERIFICATION_H_
