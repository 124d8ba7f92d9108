// How likely chance alone is to produce an alignment.

#ifndef PLIM_PLATFORM_MATCHING_SIGNIFICANCE_H_
#define PLIM_PLATFORM_MATCHING_SIGNIFICANCE_H_

namespace plim::matching {

// The natural log of P(X >= k) for X ~ Poisson(lambda); 0 (certainty) for
// k <= 0. lambda >= 0. Accurate far into the tail, where the probability
// itself would underflow a double. Pure function.
double LogPoissonTail(int k, double lambda);

// What chance alone would produce against one candidate recording.
struct ChanceModel {
  int hits = 0;                 // the query's hits on the recording
  double reference_frames = 0;  // the recording's length, in frames
  double query_frames = 0;      // the query's length, in frames
  int speeds_searched = 1;      // the speeds tried
  double recordings = 1;        // recordings in the catalog, each a chance to be fooled
  // Hits per offset window (2 * kInlierToleranceFrames wide) around the
  // alignment found (CountBackgroundPerWindow).
  double background_per_window = 0;
};

// The chance, bounded from above, that chance hits line up as well as
// `aligned` pieces of evidence did. Chance hits are counted in one offset
// window as a Poisson variable whose mean is the greater of the hits spread
// evenly over every offset and the density measured around the alignment:
// music is not random, and where a query resembles a reference without
// being it (a shared loop, a held chord) chance hits crowd together. Every
// (offset window, independent speed, recording) is one trial; the result is
// their number times the chance of one (Bonferroni), at most 1. Pure.
double FalseMatchProbability(const ChanceModel& model, int aligned);

// What one kind of evidence says of a candidate at one placement: the
// chance, bounded from above, that unrelated audio does as well, and
// whether the evidence is enough to name the candidate.
struct Verdict {
  double false_match_probability = 1;
  bool acceptable = false;
};

}  // namespace plim::matching

#endif  // PLIM_PLATFORM_MATCHING_SIGNIFICANCE_H_
