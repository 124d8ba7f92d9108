#include "platform/matching/matcher.h"

#include <algorithm>
#include <cmath>

#include "platform/fingerprint/fingerprint_params.h"
#include "platform/matching/alignment.h"
#include "platform/matching/significance.h"

namespace plim::matching {
namespace {

using fingerprint::kFrameDurationS;

struct RecordingHit {
  catalog::RecordingId recording;
  Hit hit;

  auto operator<=>(const RecordingHit&) const = default;
};

// The least number of aligned query frames that would be accepted, given
// everything else about the candidate.
int AcceptanceThreshold(int hits, double reference_frames, double query_frames, int speeds,
                        double recordings) {
  for (int k = fingerprint::kMinAlignedLandmarks; k < 10000; ++k) {
    if (FalseMatchProbability(hits, k, reference_frames, query_frames, speeds, recordings) <
        fingerprint::kFalseMatchProbability) {
      return k;
    }
  }
  return 10000;
}

// The hashes that occur more than kMaxHashRepeatsInQuery times in `query`, sorted.
std::vector<std::uint32_t> RepeatedHashes(const std::vector<fingerprint::Landmark>& query) {
  std::vector<std::uint32_t> hashes;
  hashes.reserve(query.size());
  for (const fingerprint::Landmark& l : query) hashes.push_back(l.hash);
  std::sort(hashes.begin(), hashes.end());
  std::vector<std::uint32_t> repeated;
  for (std::size_t i = 0; i < hashes.size();) {
    std::size_t j = i;
    while (j < hashes.size() && hashes[j] == hashes[i]) ++j;
    if (j - i > static_cast<std::size_t>(fingerprint::kMaxHashRepeatsInQuery)) {
      repeated.push_back(hashes[i]);
    }
    i = j;
  }
  return repeated;
}

}  // namespace

MatchReport FindMatches(const catalog::Catalog::Reader& reader,
                        const std::vector<fingerprint::Landmark>& query, double query_duration_s) {
  MatchReport report;
  report.query_landmarks = query.size();

  std::vector<std::uint32_t> repeated = RepeatedHashes(query);
  std::vector<RecordingHit> hits;
  std::vector<catalog::Posting> postings;
  for (const fingerprint::Landmark& landmark : query) {
    if (std::binary_search(repeated.begin(), repeated.end(), landmark.hash)) continue;
    postings.clear();
    reader.Lookup(landmark.hash, postings);
    for (const catalog::Posting& p : postings) {
      hits.push_back({p.recording, {landmark.anchor_frame, p.anchor_frame}});
    }
  }
  std::sort(hits.begin(), hits.end());
  hits.erase(std::unique(hits.begin(), hits.end()), hits.end());

  // Runs of hits, one per recording, most hits first.
  struct Run {
    std::size_t begin, end;
  };
  std::vector<Run> runs;
  for (std::size_t i = 0; i < hits.size();) {
    std::size_t j = i;
    while (j < hits.size() && hits[j].recording == hits[i].recording) ++j;
    if (static_cast<int>(j - i) >= fingerprint::kMinAlignedLandmarks) runs.push_back({i, j});
    i = j;
  }
  auto more_hits = [](const Run& a, const Run& b) { return a.end - a.begin > b.end - b.begin; };
  std::size_t examined = std::min<std::size_t>(runs.size(), fingerprint::kCandidatesExamined);
  std::partial_sort(runs.begin(), runs.begin() + static_cast<std::ptrdiff_t>(examined), runs.end(),
                    more_hits);
  runs.resize(examined);

  const double query_frames = query_duration_s / kFrameDurationS;
  const double recordings = static_cast<double>(reader.RecordingCount());
  std::vector<Hit> recording_hits;
  for (const Run& run : runs) {
    recording_hits.clear();
    for (std::size_t i = run.begin; i < run.end; ++i) recording_hits.push_back(hits[i].hit);
    Alignment alignment = AlignHits(recording_hits, query_frames);

    MatchCandidate candidate;
    candidate.recording = hits[run.begin].recording;
    candidate.hits = static_cast<int>(recording_hits.size());
    candidate.aligned_landmarks = alignment.aligned_query_frames;
    candidate.speed = alignment.speed;
    candidate.offset_s = alignment.offset_frames * kFrameDurationS;

    std::optional<catalog::Recording> recording = reader.GetRecording(candidate.recording);
    double reference_frames = recording ? recording->duration_s / kFrameDurationS : 0;
    // A reference shorter than its last hit would understate the range.
    for (const Hit& h : recording_hits) {
      reference_frames = std::max(reference_frames, h.reference_frame + 1.0);
    }
    candidate.false_match_probability =
        FalseMatchProbability(candidate.hits, candidate.aligned_landmarks, reference_frames,
                              query_frames, alignment.speeds_searched, recordings);
    int threshold = AcceptanceThreshold(candidate.hits, reference_frames, query_frames,
                                        alignment.speeds_searched, recordings);
    candidate.accepted = candidate.aligned_landmarks >= threshold;
    candidate.confidence = static_cast<double>(candidate.aligned_landmarks) /
                           (candidate.aligned_landmarks + threshold);
    report.candidates.push_back(candidate);
  }

  std::sort(report.candidates.begin(), report.candidates.end(),
            [](const MatchCandidate& a, const MatchCandidate& b) {
              if (a.accepted != b.accepted) return a.accepted;
              if (a.aligned_landmarks != b.aligned_landmarks) {
                return a.aligned_landmarks > b.aligned_landmarks;
              }
              return a.recording < b.recording;
            });
  return report;
}

}  // namespace plim::matching
