#include "platform/matching/matcher.h"

#include <algorithm>
#include <cmath>
#include <span>
#include <utility>

#include "platform/fingerprint/fingerprint_params.h"
#include "platform/fingerprint/landmark_hasher.h"
#include "platform/matching/alignment.h"
#include "platform/matching/nomination.h"
#include "platform/matching/outline_evidence.h"
#include "platform/matching/peak_offsets.h"
#include "platform/matching/peak_verification.h"
#include "platform/matching/significance.h"

namespace plim::matching {
namespace {

using fingerprint::kFrameDurationS;
using fingerprint::kInlierToleranceFrames;

// The least evidence that would be accepted, given everything else about
// the candidate.
int AcceptanceThreshold(const ChanceModel& model) {
  for (int k = fingerprint::kMinAlignedLandmarks; k < 10000; ++k) {
    if (FalseMatchProbability(model, k) < fingerprint::kFalseMatchProbability) return k;
  }
  return 10000;
}

// How far an outline's correlation stands above its chance placements, in
// their spreads.
double Standing(const OutlineEvidence& outline) {
  return outline.spread_by_chance > 0
             ? (outline.correlation - outline.mean_by_chance) / outline.spread_by_chance
             : 0;
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

// The reference's peaks checked at the query placed at `offset_frames`, at
// speed 1; `reference_peaks` are all of the recording's, in time order.
PeakEvidence PeaksAt(const std::vector<fingerprint::Peak>& reference_peaks,
                     const QueryPeaks& indexed_query, double offset_frames) {
  Alignment alignment;
  alignment.offset_frames = offset_frames;
  const double margin = VerificationMarginFrames();
  auto before = [](const fingerprint::Peak& p, double frame) { return p.TimeFrames() < frame; };
  const auto first = std::lower_bound(reference_peaks.begin(), reference_peaks.end(),
                                      offset_frames - margin, before);
  const auto last =
      std::lower_bound(first, reference_peaks.end(),
                       offset_frames + indexed_query.duration_frames() + margin, before);
  return VerifyPeaks(indexed_query, {first, last}, alignment);
}

// How many placements of the query fit in a recording: each a chance to be fooled.
double Placements(double reference_frames, double query_frames) {
  return std::max(1.0, (reference_frames + query_frames) / std::max(1.0, query_frames));
}

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
  realignment.offset_frames = offsets.front().offset_frames;
  realignment.evidence = PeaksAt(reference_peaks, indexed_query, realignment.offset_frames);
  realignment.false_match_probability =
      std::min(1.0, Placements(reference_frames, indexed_query.duration_frames()) *
                        PeakFalseMatchProbability(realignment.evidence, candidates));
  return realignment;
}

// The outline is consulted at up to three alignments of a candidate (its
// landmarks', its peaks' votes' and the outline's own best placement): each
// was a chance to be fooled.
constexpr double kOutlineLooks = 3;
// Below this correlation, or more likely than this by chance, an outline
// is no evidence.
constexpr double kMinOutlineCorrelation = 0.1;
constexpr double kMaxOutlineChance = 0.01;

// The peaks and the outline at one alignment, judged together: the chance
// of both at once, times the searches that chose the alignment.
struct JointEvidence {
  double false_match_probability = 1;
  OutlineEvidence outline;
  bool acceptable = false;
};

JointEvidence JudgeTogether(const PeakEvidence& peaks, const OutlineEvidence& outline,
                            double searches) {
  JointEvidence joint;
  joint.outline = outline;
  // Peaks alone must stand out from their shifted alignments; together
  // with an outline they need not, but only when the outline itself says
  // something. Two songs of one band share a drum kit, and their peaks
  // line up better than chance at a beat while their outlines do not.
  if (outline.correlation < kMinOutlineCorrelation || outline.probability > kMaxOutlineChance) {
    return joint;
  }
  joint.false_match_probability =
      std::min(1.0, searches * kOutlineLooks * std::max(1, peaks.scales_searched) *
                        CombinedProbability(PeakChanceAtAlignment(peaks), outline.probability));
  joint.acceptable = joint.false_match_probability < fingerprint::kFalseMatchProbability;
  return joint;
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
  const std::vector<RecordingHit>& hits = nomination.hits;
  const std::vector<Nominee>& runs = nomination.nominees;
  const std::size_t examined = runs.size();

  // Every recording of the catalog, in every pass the caller makes, was a
  // chance to be fooled.
  const double catalog_recordings = static_cast<double>(reader.RecordingCount());
  const double recordings = catalog_recordings * effort.passes;
  const QueryPeaks indexed_query(query_peaks);
  const QueryOutline query_outline(query_peaks.outline);
  const double peak_margin = VerificationMarginFrames();
  const double log_bound = -std::log(fingerprint::kFalseMatchProbability);

  // First every candidate's alignment from its landmarks, then the records
  // and peaks they need in one batch (one round trip for a store over a
  // network), then the checks.
  struct Examined {
    MatchCandidate candidate;
    Alignment alignment;
    ChanceModel model;
    // The recording's outline, from outline frame outline_first_frame on,
    // once read.
    fingerprint::BandOutline outline;
    std::size_t outline_first_frame = 0;
  };
  std::vector<Examined> candidates;
  std::vector<catalog::CatalogReader::PeakRange> ranges;
  std::vector<Hit> all_hits, band_hits;
  std::vector<std::uint32_t> hashes;
  for (const Nominee& run : runs) {
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

    // The outline where the landmarks put the query, at their speed.
    if (candidate.accepted || i >= effort.outline_candidates || !query_outline.usable()) continue;
    e.outline_first_frame =
        reader.ReadOutline(candidate.recording, 0, e.model.reference_frames + 1, e.outline);
    const QueryOutline at_speed(query_peaks.outline, e.alignment.speed);
    const JointEvidence joint =
        JudgeTogether(peaks,
                      OutlineNear(OutlineCorrelation(at_speed, e.outline, e.outline_first_frame),
                                  e.alignment.offset_frames, 1),
                      candidates_bound);
    candidate.outline_correlation = joint.outline.correlation;
    candidate.outline_standing = Standing(joint.outline);
    if (joint.false_match_probability < candidate.false_match_probability) {
      candidate.false_match_probability = joint.false_match_probability;
      candidate.accepted = joint.acceptable;
    }
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
      auto place = [&](double offset_frames, const PeakEvidence& peaks, double probability,
                       bool acceptable) {
        if (probability >= candidate.false_match_probability) return;
        candidate.offset_s = offset_frames * kFrameDurationS;
        candidate.speed = 1;
        candidate.reference_peaks = peaks.reference_peaks;
        candidate.matched_peaks = peaks.matched;
        candidate.frequency_scale = peaks.frequency_scale;
        candidate.false_match_probability = probability;
        candidate.accepted = acceptable;
      };
      place(realigned.offset_frames, realigned.evidence, realigned.false_match_probability,
            realigned.evidence.matched >= fingerprint::kMinMatchedPeaks &&
                realigned.false_match_probability < fingerprint::kFalseMatchProbability);
      const Examined& e = candidates[i];
      if (!candidate.accepted && i < effort.outline_candidates && query_outline.usable() &&
          !e.outline.levels.empty()) {
        // The outline where the peaks' votes put the query, and the
        // outline's own best placement with the peaks there.
        const OutlineCorrelation correlation(query_outline, e.outline, e.outline_first_frame);
        const double placements = Placements(e.model.reference_frames, query_frames);
        const JointEvidence voted =
            JudgeTogether(realigned.evidence, OutlineNear(correlation, realigned.offset_frames, 1),
                          candidates_bound * placements);
        const OutlineEvidence best = BestOutlinePlacement(correlation);
        const PeakEvidence peaks_there =
            PeaksAt(reference_peaks, indexed_query, best.offset_frames);
        const JointEvidence placed = JudgeTogether(peaks_there, best, candidates_bound);
        struct Look {
          double offset_frames;
          const PeakEvidence& peaks;
          const JointEvidence& joint;
        };
        for (const Look& look : {Look{realigned.offset_frames, realigned.evidence, voted},
                                 Look{best.offset_frames, peaks_there, placed}}) {
          if (look.joint.false_match_probability < candidate.false_match_probability) {
            candidate.outline_correlation = look.joint.outline.correlation;
            candidate.outline_standing = Standing(look.joint.outline);
          }
          place(look.offset_frames, look.peaks, look.joint.false_match_probability,
                look.joint.acceptable);
        }
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
