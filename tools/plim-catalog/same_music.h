// Whether a recording's music is already in the catalog end to end: the
// same song in another file or format, as opposed to an excerpt, an edit
// or a remix that shares only part of it.

#ifndef PLIM_TOOLS_PLIM_CATALOG_SAME_MUSIC_H_
#define PLIM_TOOLS_PLIM_CATALOG_SAME_MUSIC_H_

#include <vector>

#include "platform/catalog/catalog_store.h"
#include "platform/fingerprint/constellation.h"

namespace plim {

// A recording of the catalog that holds the same music as a query.
struct SameMusic {
  catalog::RecordingId id = 0;
  double offset_s = 0;       // where the query starts in it
  double speed = 1;          // the query's speed relative to it
  double covered_share = 0;  // of the query's stretches with peaks, those found in it (0 to 1)
};

// The recordings of `reader`, other than `self`, whose music is the same as
// `query`'s (a constellation of reference peaks, fingerprint::ReferencePeaks,
// with the query's duration) from end to end: the matcher accepts it, at
// nearly the same speed and from near its start, the two last nearly as
// long, and the query's peaks are found in it stretch after stretch over
// nearly all of its length. Best first; empty when none is.
// Thread-compatible (one reader per thread); throws what the catalog throws.
std::vector<SameMusic> FindSameMusic(const catalog::CatalogReader& reader,
                                     const fingerprint::Constellation& query,
                                     catalog::RecordingId self = 0);

// The share of `query`'s stretches of kCoverageStretchS that hold peaks and
// whose peaks are found in `reference` where `offset_s` and `speed` put
// them (0 to 1; 0 when no stretch holds peaks). Both are ordered by time.
// Pure.
double CoveredShare(const std::vector<fingerprint::Peak>& query,
                    const std::vector<fingerprint::Peak>& reference, double offset_s, double speed);

inline constexpr double kCoverageStretchS = 8;

// Whether two durations are close enough for the same music: encoders add
// or trim a little silence at either end, an edit or an excerpt far more.
// Pure.
bool SimilarDurations(double a_s, double b_s);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_SAME_MUSIC_H_
