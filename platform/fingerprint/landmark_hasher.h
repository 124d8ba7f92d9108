// Landmarks from a constellation: the hashes the catalog indexes and the
// hashes a query looks up.

#ifndef PLIM_PLATFORM_FINGERPRINT_LANDMARK_HASHER_H_
#define PLIM_PLATFORM_FINGERPRINT_LANDMARK_HASHER_H_

#include <vector>

#include "platform/fingerprint/constellation.h"
#include "platform/fingerprint/landmark.h"

namespace plim::fingerprint {

// The landmarks of a reference recording: one per peak triplet (an anchor
// and two of the first kTargetsPerAnchor peaks in its target zone) among the
// constellation's strongest peaks (kPeaksPerBandWindow a band window), each
// in exactly one hash cell. Ordered by (hash, anchor_frame), the order
// lookups take, without repeats. Pure function.
std::vector<Landmark> ReferenceLandmarks(const Constellation& constellation);

// The landmarks a query looks up: the same triplets as ReferenceLandmarks,
// and those of every anchor with two of its first kQueryTargetsPerAnchor
// peaks among all the constellation holds (noise reorders peaks); each
// also in the neighbouring cells of every field that lies near a cell edge
// (see the probe margins in fingerprint_params.h), so that noise and speed
// changes that move a field across an edge still find the reference's cell.
// Every reference landmark of the same constellation is among them. Ordered
// by (hash, anchor_frame), without repeats. Pure function.
std::vector<Landmark> QueryLandmarks(const Constellation& constellation);

// The first of QueryLandmarks: only the reference's own triplets, from the
// strongest peaks, with the same probes. A quarter as many, and they name
// almost every clip that is not buried in noise. Ordered by (hash,
// anchor_frame), without repeats. Pure function.
std::vector<Landmark> StrongQueryLandmarks(const Constellation& constellation);

}  // namespace plim::fingerprint

#endif  // PLIM_PLATFORM_FINGERPRINT_LANDMARK_HASHER_H_
