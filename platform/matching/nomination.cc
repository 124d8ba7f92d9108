#include "platform/matching/nomination.h"

#include <algorithm>
#include <cmath>

#include "platform/fingerprint/fingerprint_params.h"
#include "platform/fingerprint/radix_sort.h"

namespace plim::matching {
namespace {

using fingerprint::kInlierToleranceFrames;

bool SameHit(const RecordingHit& a, const RecordingHit& b) {
  return a.recording == b.recording && a.hit == b.hit;
}

// Sorts `hits` by recording, then hit, then hash (so that of the hits one
// frame pair gets from several hashes, the same one is kept whatever order
// the postings came in). A large catalog gives a query millions of hits
// over thousands of recordings, a few each: a radix sort on the recording,
// then a comparison sort of each recording's hits, takes a fraction of the
// time of one comparison sort of them all.
void SortByRecordingThenHit(std::vector<RecordingHit>& hits) {
  fingerprint::RadixSortBy<16>(hits, 32, [](const RecordingHit& h) { return h.recording; });
  for (std::size_t i = 0; i < hits.size();) {
    std::size_t j = i;
    while (j < hits.size() && hits[j].recording == hits[i].recording) ++j;
    std::sort(hits.begin() + static_cast<std::ptrdiff_t>(i),
              hits.begin() + static_cast<std::ptrdiff_t>(j),
              [](const RecordingHit& a, const RecordingHit& b) {
                return a.hit != b.hit ? a.hit < b.hit : a.hash < b.hash;
              });
    i = j;
  }
}

// Every hit of `query` in the catalog, by recording, then query frame, then
// reference frame; one per (recording, query frame, reference frame). When
// the query's hashes would bring more than `max_hits` hits, only its rarest
// hashes are kept, as many as fit; the lists of the others are not read.
std::vector<RecordingHit> CollectHits(const catalog::CatalogReader& reader,
                                      const std::vector<fingerprint::Landmark>& query,
                                      std::size_t max_hits) {
  // Each distinct hash is looked up once, in ascending order, which walks
  // the index forwards instead of jumping about it. Landmarks come in that
  // order from the hasher; others are sorted here.
  auto hash_order = [](const fingerprint::Landmark& a, const fingerprint::Landmark& b) {
    return a.hash != b.hash ? a.hash < b.hash : a.anchor_frame < b.anchor_frame;
  };
  std::vector<fingerprint::Landmark> sorted;
  const std::vector<fingerprint::Landmark>* by_hash_pointer = &query;
  if (!std::is_sorted(query.begin(), query.end(), hash_order)) {
    sorted = query;
    std::sort(sorted.begin(), sorted.end(), hash_order);
    by_hash_pointer = &sorted;
  }
  const std::vector<fingerprint::Landmark>& by_hash = *by_hash_pointer;

  // Each distinct hash, with the hits its postings would bring.
  struct HashLookup {
    std::size_t first_landmark, last_landmark;  // [first, last) of by_hash
    std::size_t postings;                       // the length of its list
    std::size_t Hits() const { return (last_landmark - first_landmark) * postings; }
  };
  std::vector<HashLookup> lookups;
  std::vector<std::uint32_t> hashes;
  for (std::size_t i = 0; i < by_hash.size();) {
    std::size_t j = i;
    while (j < by_hash.size() && by_hash[j].hash == by_hash[i].hash) ++j;
    // A hash the query holds very often is a sustained tone or a loop: it
    // says little about which recording this is and floods the search.
    if (j - i <= static_cast<std::size_t>(fingerprint::kMaxHashRepeatsInQuery)) {
      lookups.push_back({i, j, 0});
      hashes.push_back(by_hash[i].hash);
    }
    i = j;
  }
  // The lengths of the lists first, which the store knows without reading
  // them (one round trip over a network).
  const std::vector<std::size_t> counts = reader.PostingCounts(hashes);
  std::size_t total_hits = 0;
  for (std::size_t k = 0; k < lookups.size(); ++k) {
    lookups[k].postings = counts[k];
    total_hits += lookups[k].Hits();
  }
  // In a large catalog a hash's postings grow with it, and so would a
  // match's time. A rare hash says more about which recording this is than
  // a common one, and the right recording's hits are spread over common and
  // rare alike, so the rarest hashes are kept, whatever their number: in
  // order of their hits (ties by hash), as long as the sum fits. Only their
  // lists are read, so what a query reads is bounded by the budget, not by
  // the catalog. (A count is exact but for postings of recordings not
  // published, which Lookup leaves out: the hits then fall below the
  // budget, never above it.)
  if (total_hits > max_hits) {
    std::stable_sort(lookups.begin(), lookups.end(),
                     [](const HashLookup& a, const HashLookup& b) { return a.Hits() < b.Hits(); });
    std::size_t kept_hits = 0, kept = 0;
    while (kept < lookups.size() && kept_hits + lookups[kept].Hits() <= max_hits) {
      kept_hits += lookups[kept++].Hits();
    }
    lookups.resize(kept);
    // Back in ascending hash order, for the lookups.
    std::sort(lookups.begin(), lookups.end(), [](const HashLookup& a, const HashLookup& b) {
      return a.first_landmark < b.first_landmark;
    });
    total_hits = kept_hits;
  }
  // A hash without postings needs no lookup (a count is never below what
  // Lookup appends).
  std::erase_if(lookups, [](const HashLookup& lookup) { return lookup.postings == 0; });
  hashes.clear();
  for (const HashLookup& lookup : lookups) hashes.push_back(by_hash[lookup.first_landmark].hash);
  reader.Prefetch(hashes);  // a store over a network fetches them in one batch
  std::vector<RecordingHit> hits;
  hits.reserve(total_hits);
  std::vector<catalog::Posting> postings;
  for (const HashLookup& lookup : lookups) {
    postings.clear();
    reader.Lookup(by_hash[lookup.first_landmark].hash, postings);
    for (std::size_t k = lookup.first_landmark; k < lookup.last_landmark; ++k) {
      for (const catalog::Posting& posting : postings) {
        hits.push_back(
            {posting.recording, {by_hash[k].anchor_frame, posting.anchor_frame}, by_hash[k].hash});
      }
    }
  }
  SortByRecordingThenHit(hits);
  hits.erase(std::unique(hits.begin(), hits.end(), SameHit), hits.end());
  return hits;
}

DifferenceBand FindBestBand(std::span<const RecordingHit> hits, double query_frames,
                            std::vector<std::int64_t>& differences) {
  differences.clear();
  for (const RecordingHit& h : hits) {
    differences.push_back(static_cast<std::int64_t>(h.hit.reference_frame) - h.hit.query_frame);
  }
  std::sort(differences.begin(), differences.end());
  const auto width = static_cast<std::int64_t>(
      std::ceil(fingerprint::kMaxSpeedSkew * query_frames + 2 * kInlierToleranceFrames));
  DifferenceBand best;
  for (std::size_t begin = 0, end = 0; end < differences.size(); ++end) {
    while (differences[end] - differences[begin] > width) ++begin;
    if (static_cast<int>(end - begin + 1) > best.hits) {
      best = {differences[begin], differences[begin] + width, static_cast<int>(end - begin + 1)};
    }
  }
  return best;
}

}  // namespace

// The independent evidence for `alignment`: the distinct query frames with a
// hit on its line, but no more than the distinct hashes among those hits. A
// hash repeated at regular times in both query and reference (a loop, a
// drum pattern) lines up once per repeat; it is one piece of evidence.
int CountEvidence(std::span<const RecordingHit> hits, const Alignment& alignment,
                  std::vector<std::uint32_t>& hashes) {
  hashes.clear();
  for (const RecordingHit& h : hits) {
    double residual =
        h.hit.reference_frame - (alignment.offset_frames + alignment.speed * h.hit.query_frame);
    if (std::abs(residual) <= kInlierToleranceFrames) hashes.push_back(h.hash);
  }
  std::sort(hashes.begin(), hashes.end());
  const auto distinct =
      static_cast<int>(std::unique(hashes.begin(), hashes.end()) - hashes.begin());
  return std::min(distinct, alignment.aligned_query_frames);
}

Nomination Nominate(const catalog::CatalogReader& reader,
                    const std::vector<fingerprint::Landmark>& query, double query_frames,
                    std::size_t max_hits, std::size_t candidates) {
  Nomination nomination;
  nomination.hits = CollectHits(reader, query, max_hits);
  const std::vector<RecordingHit>& hits = nomination.hits;
  // Ranking by the band rather than by all hits keeps a recording with
  // many scattered chance hits from crowding out the right one.
  std::vector<Nominee>& runs = nomination.nominees;
  std::vector<std::int64_t> differences;
  for (std::size_t i = 0; i < hits.size();) {
    std::size_t j = i;
    while (j < hits.size() && hits[j].recording == hits[i].recording) ++j;
    if (static_cast<int>(j - i) >= fingerprint::kMinBandHits) {
      DifferenceBand band = FindBestBand({hits.data() + i, j - i}, query_frames, differences);
      if (band.hits >= fingerprint::kMinBandHits) runs.push_back({i, j, band});
    }
    i = j;
  }
  auto better_band = [](const Nominee& a, const Nominee& b) { return a.band.hits > b.band.hits; };
  const std::size_t examined = std::min(runs.size(), candidates);
  std::partial_sort(runs.begin(), runs.begin() + static_cast<std::ptrdiff_t>(examined), runs.end(),
                    better_band);
  runs.resize(examined);
  return nomination;
}

}  // namespace plim::matching
