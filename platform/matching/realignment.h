// A stage of matching for candidates their landmarks did not name: the
// query placed again over the whole recording by its single peaks.

#ifndef PLIM_PLATFORM_MATCHING_REALIGNMENT_H_
#define PLIM_PLATFORM_MATCHING_REALIGNMENT_H_

#include <vector>

#include "platform/catalog/catalog_store.h"
#include "platform/fingerprint/constellation.h"
#include "platform/matching/peak_verification.h"

namespace plim::matching {

// The placement single peaks favour over the whole of a recording, checked
// as the landmarks' own is.
struct Realignment {
  // Where the query's start lies in the reference, in analysis frames, at speed 1.
  double offset_frames = 0;
  PeakEvidence evidence;
  // The peaks' verdict there, their chance times every placement that fits
  // in the recording: each was a chance to be fooled.
  Verdict verdict;
};

// How many placements of a query `query_frames` long fit in a recording
// `reference_frames` long: each a chance to be fooled. At least 1. Pure.
double Placements(double reference_frames, double query_frames);

// The reference's peaks checked at the query placed at `offset_frames`, at
// speed 1; `reference_peaks` are all of the recording's, in time order. Pure.
PeakEvidence PeaksAt(const std::vector<fingerprint::Peak>& reference_peaks,
                     const QueryPeaks& indexed_query, double offset_frames);

// Under heavy noise two or three surviving landmarks can nominate the right
// recording while chance hits outnumber them and misplace the query in it;
// the peaks' votes place it again. Reads all of `recording`'s peaks
// (`reference_frames` long) through `reader` into `reference_peaks`, which
// the caller keeps for checks at other placements. `candidates`: how many
// recordings could have been examined. Throws what the catalog throws.
Realignment RealignOnPeaks(const catalog::CatalogReader& reader, catalog::RecordingId recording,
                           double reference_frames, const fingerprint::Constellation& query_peaks,
                           const QueryPeaks& indexed_query, double candidates,
                           std::vector<fingerprint::Peak>& reference_peaks);

}  // namespace plim::matching

#endif  // PLIM_PLATFORM_MATCHING_REALIGNMENT_H_
