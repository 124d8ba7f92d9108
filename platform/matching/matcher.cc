#include "platform/matching/matcher.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <span>
#include <utility>

#include "platform/fingerprint/fingerprint_params.h"
#include "platform/fingerprint/landmark_hasher.h"
#include "platform/matching/alignment.h"
#include "platform/matching/decision.h"
#include "platform/matching/joint_evidence.h"
#include "platform/matching/landmark_evidence.h"
#include "platform/matching/nomination.h"
#include "platform/matching/outline_evidence.h"
#include "platform/matching/peak_verification.h"
#include "platform/matching/realignment.h"

namespace plim::matching {
namespace {

using fingerprint::kFrameDurationS;

// What every stage needs of the query and the search.
struct QueryContext {
  const catalog::CatalogReader& reader;
  const fingerprint::Constellation& peaks;
  QueryPeaks indexed_peaks;
  QueryOutline outline;
  double frames;
  // Any recording of the catalog could have been the one nominated, in
  // every pass the caller makes.
  double candidates_bound;
};

// A nominated recording on its way through the stages.
struct Examined {
  MatchCandidate candidate;
  LandmarkEvidence landmarks;
  // The peaks where its landmarks place the query.
  PeakEvidence peaks;
  // The recording's outline, once read, and the query's correlation with
  // it at speed 1, once made.
  ReferenceOutline outline;
  std::optional<OutlineCorrelation> correlation;
};

void ShowOutline(MatchCandidate& candidate, const JointEvidence& joint) {
  candidate.outline_correlation = joint.outline.correlation;
  candidate.outline_standing = joint.outline_standing;
}

// Judges the candidate where its landmarks place the query: the landmarks
// and the peaks there (`range` of them prefetched).
void ExamineAtLandmarks(const QueryContext& query, Examined& e,
                        const catalog::CatalogReader::PeakRange& range,
                        std::vector<fingerprint::Peak>& reference_peaks) {
  MatchCandidate& candidate = e.candidate;
  const Alignment& alignment = e.landmarks.alignment;
  std::optional<catalog::Recording> recording = query.reader.GetRecording(candidate.recording);
  if (recording) {
    e.landmarks.model.reference_frames =
        std::max(e.landmarks.model.reference_frames, recording->duration_s / kFrameDurationS);
  }
  reference_peaks.clear();
  query.reader.ReadPeaks(candidate.recording, range.first_frame, range.last_frame, reference_peaks);
  e.peaks = VerifyPeaks(query.indexed_peaks, reference_peaks, alignment);
  Place(candidate, alignment.offset_frames, alignment.speed, e.peaks);
  Weigh(candidate, e.landmarks.Judge());
  Weigh(candidate, JudgePeaks(e.peaks, query.candidates_bound));
}

// Judges a candidate its landmarks and peaks did not name by its outline
// with those peaks, where its landmarks place the query; the whole outline
// is read, for the realignment to search too.
void ExamineOutlineAtLandmarks(const QueryContext& query, Examined& e) {
  MatchCandidate& candidate = e.candidate;
  const Alignment& alignment = e.landmarks.alignment;
  fingerprint::BandOutline outline;
  const std::size_t first_frame = query.reader.ReadOutline(
      candidate.recording, 0, e.landmarks.model.reference_frames + 1, outline);
  e.outline = ReferenceOutline(outline, first_frame);
  const OutlineCorrelation& at_speed_1 = e.correlation.emplace(query.outline, e.outline);
  // Within this of speed 1 the query drifts by less than a third of an
  // outline frame over its length, and the correlation at speed 1 serves.
  // At another speed only the placements around the alignment are
  // correlated: chance, the same query's correlation where the recording
  // is not playing, is what it is at speed 1, and the realignment needs
  // that one anyway.
  constexpr double kSameSpeed = 0.002;
  constexpr int kSlack = 1;
  const OutlineEvidence outline_there =
      std::abs(alignment.speed - 1) < kSameSpeed
          ? OutlineNear(at_speed_1, alignment.offset_frames, kSlack)
          : OutlineNear(OutlineCorrelation(QueryOutline(query.peaks.outline, alignment.speed),
                                           e.outline, alignment.offset_frames, kSlack),
                        at_speed_1, alignment.offset_frames, kSlack);
  const JointEvidence joint = JudgeTogether(e.peaks, outline_there, query.candidates_bound);
  ShowOutline(candidate, joint);
  Weigh(candidate, joint.verdict);
}

// Judges the candidate placed again over its whole recording: by its
// peaks' votes, and, when `consult_outline` and its outline was read, by
// the outline there and at the outline's own best placement, each with
// the peaks found there.
void ExamineRealigned(const QueryContext& query, Examined& e, bool consult_outline,
                      std::vector<fingerprint::Peak>& reference_peaks) {
  MatchCandidate& candidate = e.candidate;
  const double reference_frames = e.landmarks.model.reference_frames;
  const Realignment realigned =
      RealignOnPeaks(query.reader, candidate.recording, reference_frames, query.peaks,
                     query.indexed_peaks, query.candidates_bound, reference_peaks);
  if (Weigh(candidate, realigned.verdict)) {
    Place(candidate, realigned.offset_frames, 1, realigned.evidence);
  }
  if (candidate.accepted || !consult_outline || !query.outline.usable() ||
      e.outline.frames() == 0) {
    return;
  }
  if (!e.correlation) e.correlation = OutlineCorrelation(query.outline, e.outline);
  const OutlineCorrelation& correlation = *e.correlation;
  const double placements = Placements(reference_frames, query.frames);
  const JointEvidence voted =
      JudgeTogether(realigned.evidence, OutlineNear(correlation, realigned.offset_frames, 1),
                    query.candidates_bound * placements);
  if (Weigh(candidate, voted.verdict)) {
    Place(candidate, realigned.offset_frames, 1, realigned.evidence);
    ShowOutline(candidate, voted);
  }
  const OutlineEvidence best = BestOutlinePlacement(correlation);
  const PeakEvidence peaks_there =
      PeaksAt(reference_peaks, query.indexed_peaks, best.offset_frames);
  const JointEvidence placed = JudgeTogether(peaks_there, best, query.candidates_bound);
  if (Weigh(candidate, placed.verdict)) {
    Place(candidate, best.offset_frames, 1, peaks_there);
    ShowOutline(candidate, placed);
  }
}

}  // namespace

MatchReport FindMatches(const catalog::CatalogReader& reader,
                        const std::vector<fingerprint::Landmark>& query,
                        const fingerprint::Constellation& query_peaks, const MatchEffort& effort) {
  MatchReport report;
  report.query_landmarks = query.size();
  const double query_frames = query_peaks.duration_s / kFrameDurationS;
  const Nomination nomination =
      Nominate(reader, query, query_frames, effort.max_hits, effort.nominated_candidates);
  const double catalog_recordings = static_cast<double>(reader.RecordingCount());

  // First every nominee's alignment from its landmarks, then the records
  // and peaks they need in one batch (one round trip for a store over a
  // network), then the checks.
  NomineeAligner aligner(query_frames, catalog_recordings * effort.passes);
  const double peak_margin = VerificationMarginFrames();
  std::vector<Examined> examined;
  std::vector<catalog::CatalogReader::PeakRange> ranges;
  for (const Nominee& nominee : nomination.nominees) {
    const std::span<const RecordingHit> hits(nomination.hits.data() + nominee.begin,
                                             nominee.end - nominee.begin);
    Examined e;
    e.landmarks = aligner.Align(hits, nominee);
    e.candidate.recording = hits.front().recording;
    e.candidate.hits = e.landmarks.hits;
    e.candidate.aligned_landmarks = e.landmarks.aligned_landmarks;
    const Alignment& alignment = e.landmarks.alignment;
    ranges.push_back({e.candidate.recording,
                      alignment.offset_frames - peak_margin * alignment.speed,
                      alignment.offset_frames + (query_frames + peak_margin) * alignment.speed});
    examined.push_back(std::move(e));
  }
  reader.PrefetchRecordings(ranges);

  const QueryContext context{
      reader,
      query_peaks,
      QueryPeaks(query_peaks),
      QueryOutline(query_peaks.outline),
      query_frames,
      std::max(catalog_recordings, static_cast<double>(examined.size())) * effort.passes};
  std::vector<fingerprint::Peak> reference_peaks;
  for (std::size_t i = 0; i < examined.size(); ++i)
    ExamineAtLandmarks(context, examined[i], ranges[i], reference_peaks);

  // Reads the whole recordings of the candidates `chosen` picks, in one
  // batch (for a store over a network; what is held is not read again).
  auto prefetch_whole = [&](const auto& chosen) {
    ranges.clear();
    for (std::size_t i = 0; i < examined.size(); ++i) {
      if (chosen(i)) {
        ranges.push_back(
            {examined[i].candidate.recording, 0, examined[i].landmarks.model.reference_frames + 1});
      }
    }
    reader.PrefetchRecordings(ranges);
  };

  // The best nominated of those refused are judged by their outlines...
  auto consult_outline = [&](std::size_t i) {
    return i < effort.outline_candidates && !examined[i].candidate.accepted &&
           context.outline.usable();
  };
  prefetch_whole(consult_outline);
  for (std::size_t i = 0; i < examined.size(); ++i)
    if (consult_outline(i)) ExamineOutlineAtLandmarks(context, examined[i]);

  // ...and the best of those still refused are placed again from their
  // peaks over their whole recordings.
  auto realign = [&](std::size_t i) {
    return i < effort.realigned_candidates && !examined[i].candidate.accepted;
  };
  prefetch_whole(realign);
  for (std::size_t i = 0; i < examined.size(); ++i) {
    if (realign(i)) {
      ExamineRealigned(context, examined[i], i < effort.outline_candidates, reference_peaks);
    }
    report.candidates.push_back(examined[i].candidate);
  }
  RankCandidates(report.candidates);
  return report;
}

MatchReport MatchQuery(const catalog::CatalogReader& reader,
                       const fingerprint::Constellation& query_peaks, const MatchEffort& effort) {
  MatchEffort first = effort;
  first.realigned_candidates = 0;
  first.outline_candidates = 0;
  first.passes = 2;
  first.max_hits = std::min(effort.max_hits, fingerprint::kMaxHitsFirstPass);
  MatchReport report =
      FindMatches(reader, fingerprint::StrongQueryLandmarks(query_peaks), query_peaks, first);
  if (!report.candidates.empty() && report.candidates.front().accepted) return report;
  // What the strong landmarks do not name is a hard query, under noise or
  // voices, whose right recording often has too few surviving landmarks
  // to be among the first nominated: twice as many are examined.
  MatchEffort second = effort;
  second.passes = 2;
  second.nominated_candidates *= 2;
  second.realigned_candidates *= 2;
  second.outline_candidates *= 2;
  return FindMatches(reader, fingerprint::QueryLandmarks(query_peaks), query_peaks, second);
}

}  // namespace plim::matching
