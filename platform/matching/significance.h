// How likely chance alone is to produce an alignment.

#ifndef PLIM_PLATFORM_MATCHING_SIGNIFICANCE_H_
#define PLIM_PLATFORM_MATCHING_SIGNIFICANCE_H_

namespace plim::matching {

// The natural log of P(X >= k) for X ~ Poisson(lambda); 0 (certainty) for
// k <= 0. lambda >= 0. Accurate far into the tail, where the probability
// itself would underflow a double. Pure function.
double LogPoissonTail(int k, double lambda);

// The chance, bounded from above, that hits scattered at random over a
// reference recording line up as well as `aligned` did.
//   hits:              the query's hits on that recording
//   aligned:           distinct query frames on the best line
//   reference_frames:  the recording's length, in frames
//   query_frames:      the query's length, in frames
//   speeds_searched:   the speeds tried
//   recordings:        recordings in the catalog, each a chance to be fooled
// Every (offset window, independent speed, recording) is one trial; the
// result is their number times the chance of one (Bonferroni), at most 1.
double FalseMatchProbability(int hits, int aligned, double reference_frames, double query_frames,
                             int speeds_searched, double recordings);

}  // namespace plim::matching

#endif  // PLIM_PLATFORM_MATCHING_SIGNIFICANCE_H_
