#include "platform/matching/matcher.h"

#include <algorithm>
#include <cmath>
#include <span>
#include <utility>

#include "platform/fingerprint/fingerprint_params.h"
#include "platform/fingerprint/landmark_hasher.h"
#include "platform/fingerprint/radix_sort.h"
#include "platform/matching/alignment.h"
#include "platform/matching/peak_offsets.h"
#include "platform/matching/peak_verification.h"
#include "platform/matching/significance.h"

namespace plim::matching {
namespace {

using fingerprint::kFrameDurationS;
using fingerprint::kInlierToleranceFrames;

struct RecordingHit {
  catalog::RecordingId recording;
  Hit hit;
  std::uint32_t hash;
};

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
// hashes are kept, as many as fit.
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

  // The postings of each distinct hash, one after another.
  struct HashLookup {
    std::size_t first_landmark, last_landmark;  // [first, last) of by_hash
    std::size_t first_posting, last_posting;    // [first, last) of postings
    std::size_t Hits() const {
      return (last_landmark - first_landmark) * (last_posting - first_posting);
    }
  };
  std::vector<HashLookup> lookups;
  std::vector<catalog::Posting> postings;
  std::size_t total_hits = 0;
  for (std::size_t i = 0; i < by_hash.size();) {
    std::size_t j = i;
    while (j < by_hash.size() && by_hash[j].hash == by_hash[i].hash) ++j;
    // A hash the query holds very often is a sustained tone or a loop: it
    // says little about which recording this is and floods the search.
    if (j - i <= static_cast<std::size_t>(fingerprint::kMaxHashRepeatsInQuery)) {
      const std::size_t first_posting = postings.size();
      reader.Lookup(by_hash[i].hash, postings);
      lookups.push_back({i, j, first_posting, postings.size()});
      total_hits += lookups.back().Hits();
    }
    i = j;
  }
  // In a large catalog a hash's postings grow with it, and so would a
  // match's time. A rare hash says more about which recording this is than
  // a common one, and the right recording's hits are spread over common and
  // rare alike, so the rarest hashes are kept, whatever their number.
  if (total_hits > max_hits) {
    std::stable_sort(lookups.begin(), lookups.end(),
                     [](const HashLookup& a, const HashLookup& b) { return a.Hits() < b.Hits(); });
    std::size_t kept_hits = 0, kept = 0;
    while (kept < lookups.size() && kept_hits + lookups[kept].Hits() <= max_hits) {
      kept_hits += lookups[kept++].Hits();
    }
    lookups.resize(kept);
    total_hits = kept_hits;
  }
  std::vector<RecordingHit> hits;
  hits.reserve(total_hits);
  for (const HashLookup& lookup : lookups) {
    for (std::size_t k = lookup.first_landmark; k < lookup.last_landmark; ++k) {
      for (std::size_t p = lookup.first_posting; p < lookup.last_posting; ++p) {
        hits.push_back({postings[p].recording,
                        {by_hash[k].anchor_frame, postings[p].anchor_frame},
                        by_hash[k].hash});
      }
    }
  }
  SortByRecordingThenHit(hits);
  hits.erase(std::unique(hits.begin(), hits.end(), SameHit), hits.end());
  return hits;
}

// The band of reference-minus-query frame differences, as wide as the drift
// the fastest searched speed builds up over the query, that holds the most
// of one recording's hits: wherever the best alignment lies, its hits lie
// in one such band.
struct DifferenceBand {
  std::int64_t lowest = 0, highest = 0;
  int hits = 0;
};

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

// The least evidence that would be accepted, given everything else about
// the candidate.
int AcceptanceThreshold(const ChanceModel& model) {
  for (int k = fingerprint::kMinAlignedLandmarks; k < 10000; ++k) {
    if (FalseMatchProbability(model, k) < fingerprint::kFalseMatchProbability) return k;
  }
  return 10000;
}

// The alignment single peaks favour over the whole of a candidate's
// recording, checked as the landmarks' own is. Under heavy noise two or
// three surviving landmarks can nominate the right recording while chance
// hits outnumber them and misplace the query in it; the peaks' votes place
// it again. Every placement of the query in the recording was a chance to
// be fooled, so the bound is multiplied by how many fit in it.
struct Realignment {
  double offset_frames = 0;
  PeakEvidence evidence;
  double false_match_probability = 1;
};

Realignment RealignOnPeaks(const catalog::CatalogReader& reader, catalog::RecordingId recording,
                           double reference_frames, const fingerprint::Constellation& query_peaks,
                           const QueryPeaks& indexed_query, double candidates,
                           std::vector<fingerprint::Peak>& reference_peaks) {
  Realignment realignment;
  reference_peaks.clear();
  reader.ReadPeaks(recording, 0, reference_frames + 1, reference_peaks);
  const std::vector<PeakOffset> offsets =
      ReferencePeakIndex(reference_peaks).BestOffsets(query_peaks.peaks, 1.0, 1);
  if (offsets.empty()) return realignment;
  Alignment alignment;
  alignment.offset_frames = offsets.front().offset_frames;
  const double query_frames = indexed_query.duration_frames();
  const double margin = VerificationMarginFrames();
  auto before = [](const fingerprint::Peak& p, double frame) { return p.TimeFrames() < frame; };
  const auto first = std::lower_bound(reference_peaks.begin(), reference_peaks.end(),
                                      alignment.offset_frames - margin, before);
  const auto last = std::lower_bound(first, reference_peaks.end(),
                                     alignment.offset_frames + query_frames + margin, before);
  realignment.offset_frames = alignment.offset_frames;
  realignment.evidence = VerifyPeaks(indexed_query, {first, last}, alignment);
  const double placements = (reference_frames + query_frames) / std::max(1.0, query_frames);
  realignment.false_match_probability = std::min(
      1.0, std::max(1.0, placements) * PeakFalseMatchProbability(realignment.evidence, candidates));
  return realignment;
}

}  // namespace

MatchReport FindMatches(const catalog::CatalogReader& reader,
                        const std::vector<fingerprint::Landmark>& query,
                        const fingerprint::Constellation& query_peaks, const MatchEffort& effort) {
  MatchReport report;
  report.query_landmarks = query.size();
  reader.Prefetch(query);  // a store over a network fetches every hash in one batch
  const std::vector<RecordingHit> hits = CollectHits(reader, query, effort.max_hits);
  const double query_frames = query_peaks.duration_s / kFrameDurationS;

  // Runs of hits, one per recording, best band first. Ranking by the band
  // rather than by all hits keeps a recording with many scattered chance
  // hits from crowding out the right one.
  struct Run {
    std::size_t begin, end;
    DifferenceBand band;
  };
  std::vector<Run> runs;
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
  auto better_band = [](const Run& a, const Run& b) { return a.band.hits > b.band.hits; };
  std::size_t examined = std::min<std::size_t>(runs.size(), fingerprint::kCandidatesExamined);
  std::partial_sort(runs.begin(), runs.begin() + static_cast<std::ptrdiff_t>(examined), runs.end(),
                    better_band);
  runs.resize(examined);

  // Every recording of the catalog, in every pass the caller makes, was a
  // chance to be fooled.
  const double catalog_recordings = static_cast<double>(reader.RecordingCount());
  const double recordings = catalog_recordings * effort.passes;
  const QueryPeaks indexed_query(query_peaks);
  const double peak_margin = VerificationMarginFrames();
  const double log_bound = -std::log(fingerprint::kFalseMatchProbability);

  // First every candidate's alignment from its landmarks, then the records
  // and peaks they need in one batch (one round trip for a store over a
  // network), then the checks.
  struct Examined {
    MatchCandidate candidate;
    Alignment alignment;
    ChanceModel model;
  };
  std::vector<Examined> candidates;
  std::vector<catalog::CatalogReader::PeakRange> ranges;
  std::vector<Hit> all_hits, band_hits;
  std::vector<std::uint32_t> hashes;
  for (const Run& run : runs) {
    const std::span<const RecordingHit> run_hits(hits.data() + run.begin, run.end - run.begin);
    all_hits.clear();
    band_hits.clear();
    // The line is searched for among the band's hits (and a margin for the
    // refinement's wider first rounds), which is all it can hold.
    const double margin = 4 * kInlierToleranceFrames;
    for (const RecordingHit& h : run_hits) {
      all_hits.push_back(h.hit);
      const double difference = static_cast<double>(h.hit.reference_frame) - h.hit.query_frame;
      if (difference >= run.band.lowest - margin && difference <= run.band.highest + margin) {
        band_hits.push_back(h.hit);
      }
    }
    Examined e;
    e.alignment = AlignHits(band_hits, query_frames);
    e.candidate.recording = hits[run.begin].recording;
    e.candidate.hits = static_cast<int>(all_hits.size());
    e.candidate.aligned_landmarks = CountEvidence(run_hits, e.alignment, hashes);
    e.candidate.speed = e.alignment.speed;
    e.candidate.offset_s = e.alignment.offset_frames * kFrameDurationS;
    e.model.hits = e.candidate.hits;
    e.model.query_frames = query_frames;
    e.model.speeds_searched = e.alignment.speeds_searched;
    e.model.recordings = recordings;
    e.model.background_per_window = CountBackgroundPerWindow(all_hits, e.alignment);
    // A reference shorter than its last hit would understate the range.
    for (const Hit& h : all_hits) {
      e.model.reference_frames = std::max(e.model.reference_frames, h.reference_frame + 1.0);
    }
    ranges.push_back(
        {e.candidate.recording, e.alignment.offset_frames - peak_margin * e.alignment.speed,
         e.alignment.offset_frames + (query_frames + peak_margin) * e.alignment.speed});
    candidates.push_back(e);
  }
  reader.PrefetchRecordings(ranges);

  // Any recording of the catalog could have been the one nominated.
  const double candidates_bound =
      std::max(catalog_recordings, static_cast<double>(examined)) * effort.passes;
  std::vector<fingerprint::Peak> reference_peaks;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    Examined& e = candidates[i];
    MatchCandidate& candidate = e.candidate;
    std::optional<catalog::Recording> recording = reader.GetRecording(candidate.recording);
    if (recording) {
      e.model.reference_frames =
          std::max(e.model.reference_frames, recording->duration_s / kFrameDurationS);
    }
    const double landmark_probability = FalseMatchProbability(e.model, candidate.aligned_landmarks);
    const bool landmarks_accepted = candidate.aligned_landmarks >= AcceptanceThreshold(e.model);

    // The same alignment, checked on the reference's peaks.
    const catalog::CatalogReader::PeakRange& range = ranges[i];
    reference_peaks.clear();
    reader.ReadPeaks(candidate.recording, range.first_frame, range.last_frame, reference_peaks);
    const PeakEvidence peaks = VerifyPeaks(indexed_query, reference_peaks, e.alignment);
    candidate.reference_peaks = peaks.reference_peaks;
    candidate.matched_peaks = peaks.matched;
    candidate.frequency_scale = peaks.frequency_scale;
    const double peak_probability = PeakFalseMatchProbability(peaks, candidates_bound);
    const bool peaks_accepted = peaks.matched >= fingerprint::kMinMatchedPeaks &&
                                peak_probability < fingerprint::kFalseMatchProbability;
    candidate.false_match_probability = std::min(landmark_probability, peak_probability);
    candidate.accepted = landmarks_accepted || peaks_accepted;
  }

  // The best nominated of those refused are placed again from their peaks,
  // over their whole recordings, read in one batch.
  ranges.clear();
  for (std::size_t i = 0; i < candidates.size() && i < effort.realigned_candidates; ++i) {
    if (!candidates[i].candidate.accepted) {
      ranges.push_back(
          {candidates[i].candidate.recording, 0, candidates[i].model.reference_frames + 1});
    }
  }
  reader.PrefetchRecordings(ranges);
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    MatchCandidate& candidate = candidates[i].candidate;
    if (!candidate.accepted && i < effort.realigned_candidates) {
      const Realignment realigned =
          RealignOnPeaks(reader, candidate.recording, candidates[i].model.reference_frames,
                         query_peaks, indexed_query, candidates_bound, reference_peaks);
      if (realigned.false_match_probability < candidate.false_match_probability) {
        candidate.offset_s = realigned.offset_frames * kFrameDurationS;
        candidate.speed = 1;
        candidate.reference_peaks = realigned.evidence.reference_peaks;
        candidate.matched_peaks = realigned.evidence.matched;
        candidate.frequency_scale = realigned.evidence.frequency_scale;
        candidate.false_match_probability = realigned.false_match_probability;
        candidate.accepted =
            realigned.evidence.matched >= fingerprint::kMinMatchedPeaks &&
            realigned.false_match_probability < fingerprint::kFalseMatchProbability;
      }
    }
    const double log_chance = -std::log(std::max(candidate.false_match_probability, 1e-300));
    candidate.confidence = log_chance / (log_chance + log_bound);
    report.candidates.push_back(candidate);
  }

  std::sort(report.candidates.begin(), report.candidates.end(),
            [](const MatchCandidate& a, const MatchCandidate& b) {
              if (a.accepted != b.accepted) return a.accepted;
              if (a.false_match_probability != b.false_match_probability) {
                return a.false_match_probability < b.false_match_probability;
              }
              if (a.aligned_landmarks != b.aligned_landmarks) {
                return a.aligned_landmarks > b.aligned_landmarks;
              }
              return a.recording < b.recording;
            });
  return report;
}

MatchReport MatchQuery(const catalog::CatalogReader& reader,
                       const fingerprint::Constellation& query_peaks, const MatchEffort& effort) {
  MatchEffort first = effort;
  first.realigned_candidates = 0;
  first.passes = 2;
  first.max_hits = std::min(effort.max_hits, fingerprint::kMaxHitsFirstPass);
  MatchReport report =
      FindMatches(reader, fingerprint::StrongQueryLandmarks(query_peaks), query_peaks, first);
  if (!report.candidates.empty() && report.candidates.front().accepted) return report;
  MatchEffort second = effort;
  second.passes = 2;
  return FindMatches(reader, fingerprint::QueryLandmarks(query_peaks), query_peaks, second);
}

}  // namespace plim::matching
