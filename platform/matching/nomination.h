// The first stage of matching: the recordings a query's landmarks point
// at, each with the hits that nominate it.

#ifndef PLIM_PLATFORM_MATCHING_NOMINATION_H_
#define PLIM_PLATFORM_MATCHING_NOMINATION_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/catalog/catalog_store.h"
#include "platform/fingerprint/landmark.h"
#include "platform/matching/alignment.h"

namespace plim::matching {

// A query landmark's hash found in a recording: the two frames and the hash.
struct RecordingHit {
  catalog::RecordingId recording;
  Hit hit;
  std::uint32_t hash;
};

// The band of reference-minus-query frame differences, as wide as the drift
// the fastest searched speed builds up over the query, that holds the most
// of one recording's hits: wherever the best alignment lies, its hits lie
// in one such band.
struct DifferenceBand {
  std::int64_t lowest = 0, highest = 0;
  int hits = 0;
};

// One nominated recording: its hits are Nomination::hits[begin, end), and
// `band` the band of offsets that holds most of them.
struct Nominee {
  std::size_t begin = 0, end = 0;
  DifferenceBand band;
};

struct Nomination {
  // Every hit of the query, by recording, then query frame, then reference
  // frame; one per (recording, query frame, reference frame).
  std::vector<RecordingHit> hits;
  // At most `candidates` recordings with at least
  // fingerprint::kMinBandHits hits in one band of offsets, most there first.
  std::vector<Nominee> nominees;
};

// Looks up every distinct hash of `query` (a query `query_frames` long)
// through `reader`, and nominates the recordings whose hits crowd into one
// band of offsets, at most `candidates` of them. When the query's hashes
// would bring more than `max_hits` hits, only its rarest hashes are kept,
// as many as fit: the lengths of their lists are read first
// (CatalogReader::PostingCounts), and then only the lists kept, so that the
// postings read are at most `max_hits` however large the catalog.
// Thread-compatible (one reader per thread); throws what the catalog throws.
Nomination Nominate(const catalog::CatalogReader& reader,
                    const std::vector<fingerprint::Landmark>& query, double query_frames,
                    std::size_t max_hits, std::size_t candidates);

// The independent evidence for `alignment` among `hits` (one recording's):
// the distinct query frames with a hit on its line, but no more than the
// distinct hashes among those hits. `hashes` is scratch. Pure.
int CountEvidence(std::span<const RecordingHit> hits, const Alignment& alignment,
                  std::vector<std::uint32_t>& hashes);

}  // namespace plim::matching

#endif  // PLIM_PLATFORM_MATCHING_NOMINATION_H_
