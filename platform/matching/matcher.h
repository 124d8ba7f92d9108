// Finds the recordings of a catalog that a query's landmarks come from, and
// decides which of them are matches.

#ifndef PLIM_PLATFORM_MATCHING_MATCHER_H_
#define PLIM_PLATFORM_MATCHING_MATCHER_H_

#include <cstdint>
#include <vector>

#include "platform/catalog/catalog_store.h"
#include "platform/fingerprint/constellation.h"
#include "platform/fingerprint/fingerprint_params.h"
#include "platform/fingerprint/landmark.h"

namespace plim::matching {

// One recording the query's landmarks point at, with its best time alignment.
struct MatchCandidate {
  catalog::RecordingId recording = 0;
  // The evidence for the alignment: distinct query anchor times whose
  // landmarks agree with it, counted no more often than the distinct
  // hashes among those landmarks.
  int aligned_landmarks = 0;
  // Every hit of the query's landmarks on this recording, aligned or not.
  int hits = 0;
  // Where the query's start lies in the reference, in seconds.
  double offset_s = 0;
  // The query's speed relative to the reference (1.03: played 3% faster).
  double speed = 1;
  // The reference's peaks that the aligned query spans, and how many of
  // them the query holds where the alignment puts them.
  int reference_peaks = 0;
  int matched_peaks = 0;
  // The query's frequencies over the reference's.
  double frequency_scale = 1;
  // The correlation of the query's band-energy outline with the
  // reference's where the candidate is placed, and how far it stands above
  // the same correlation at the reference's other placements, in spreads;
  // 0 when the outline was not consulted.
  double outline_correlation = 0;
  double outline_standing = 0;
  // The chance that unrelated audio does as well: the least of the bound
  // for its aligned landmarks (over every offset and speed searched and
  // every recording in the catalog), the bound for its matched peaks (over
  // every frequency scale and candidate examined) and the bound for its
  // peaks and outline together (over the placements searched too).
  double false_match_probability = 1;
  // 0 to 1: 0.5 at the least evidence that would be accepted, rising
  // towards 1 as the chance of a false match falls.
  double confidence = 0;
  // Whether the candidate counts as a match.
  bool accepted = false;
};

struct MatchReport {
  // Accepted candidates first, then the rest; each group best first.
  std::vector<MatchCandidate> candidates;
  std::size_t query_landmarks = 0;
};

// Looks up `query` (fingerprint::QueryLandmarks of `query_peaks`, a
// signature's constellation) through `reader`, aligns the
// recordings hit best, and checks each alignment against the recording's
// kept peaks. A candidate is accepted only when its false-match probability
// is below fingerprint::kFalseMatchProbability and it aligns at least
// fingerprint::kMinAlignedLandmarks landmarks or matches
// fingerprint::kMinMatchedPeaks peaks. Pure with respect to the catalog;
// thread-compatible (one reader per thread). Throws what the catalog throws.
// How much FindMatches spends on a query beyond its landmarks. The default
// suits one clip answered once; a long recording matched window by window,
// each window overlapping the next, can spend less on each.
struct MatchEffort {
  // How many recordings (those the query's landmarks point at most, in one
  // band of offsets) are examined.
  std::size_t nominated_candidates = fingerprint::kCandidatesExamined;
  // Of the candidates not accepted where their landmarks put the query, how
  // many (the best nominated first) are placed again from their peaks
  // over the whole recording.
  std::size_t realigned_candidates = fingerprint::kCandidatesExamined;
  // How many times the caller matches the same query (MatchQuery's two
  // passes): each was a chance to be fooled, so each is held to this share
  // of kFalseMatchProbability.
  double passes = 1;
  // The most hits a pass gathers: beyond it, the query's commonest hashes
  // are left out (fingerprint::kMaxHitsPerPass).
  std::size_t max_hits = fingerprint::kMaxHitsPerPass;
  // Of the candidates not accepted on their landmarks or peaks, how many
  // (the best nominated first) have their band-energy outlines consulted.
  std::size_t outline_candidates = fingerprint::kCandidatesExamined;
};

MatchReport FindMatches(const catalog::CatalogReader& reader,
                        const std::vector<fingerprint::Landmark>& query,
                        const fingerprint::Constellation& query_peaks,
                        const MatchEffort& effort = {});

// Matches the query whose peaks are `query_peaks` in two passes: first by
// its StrongQueryLandmarks, with no candidate placed again nor its outline
// consulted, which names most clips for a quarter of the lookups; then,
// when that accepts nothing, by all its QueryLandmarks as FindMatches
// does, with `effort` but twice the candidates nominated, placed again and
// checked by their outlines.
// Each pass is held to half the false-match bound, the first to
// fingerprint::kMaxHitsFirstPass hits. The report is the
// accepting pass's, or the second's. Same threading and errors as
// FindMatches.
MatchReport MatchQuery(const catalog::CatalogReader& reader,
                       const fingerprint::Constellation& query_peaks,
                       const MatchEffort& effort = {});

}  // namespace plim::matching

#endif  // PLIM_PLATFORM_MATCHING_MATCHER_H_
