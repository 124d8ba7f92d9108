#include "platform/matching/realignment.h"

#include <algorithm>

#include "platform/matching/alignment.h"
#include "platform/matching/peak_offsets.h"

namespace plim::matching {

double Placements(double reference_frames, double query_frames) {
  return std::max(1.0, (reference_frames + query_frames) / std::max(1.0, query_frames));
}

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
  realignment.verdict = JudgePeaks(realignment.evidence, candidates,
                                   Placements(reference_frames, indexed_query.duration_frames()));
  return realignment;
}

}  // namespace plim::matching
