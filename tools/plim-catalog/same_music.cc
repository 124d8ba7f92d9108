#include "tools/plim-catalog/same_music.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "platform/fingerprint/fingerprint_params.h"
#include "platform/fingerprint/landmark_hasher.h"
#include "platform/matching/matcher.h"

namespace plim {
namespace {

namespace fp = fingerprint;

// A re-encoding keeps speed exactly; a few tenths of a percent allow for
// resampling that rounds the rate.
constexpr double kMaxSpeedSkew = 0.005;
constexpr double kMaxDurationShare = 0.03;
// How far from the reference's start the query may start: silence that an
// encoder added or trimmed.
constexpr double kMaxLeadS = 2.0;
// Of a stretch's peaks, the share that must be found again where the
// alignment puts them: most are in the same music re-encoded (MP3 at
// 128 kb/s, Vorbis), few by chance in other music.
constexpr double kMinStretchAgreement = 0.12;
// Of the stretches, those that must agree: a few may be lost to encoding
// artefacts, but an edit replaces a tenth of a song or more.
constexpr double kMinCoveredShare = 0.9;
// How far a re-encoded peak may move.
constexpr double kTimeToleranceFrames = 1.0;
constexpr double kBinTolerance = 1.0;

// The matcher has only to find the alignment, which a few excerpts show as
// well as the whole: the peaks of kNominatingExcerpts excerpts of
// kNominatingExcerptS spread over `query` (the first at its start, the last
// at its end), at their own times.
constexpr int kNominatingExcerpts = 3;
constexpr double kNominatingExcerptS = 20;

fp::Constellation NominatingQuery(const fp::Constellation& query) {
  if (query.duration_s <= kNominatingExcerpts * kNominatingExcerptS) return query;
  fp::Constellation excerpts{{}, query.duration_s, {}};
  const double step_s = (query.duration_s - kNominatingExcerptS) / (kNominatingExcerpts - 1);
  for (int i = 0; i < kNominatingExcerpts; ++i) {
    const double first_q = i * step_s / fp::kFrameDurationS * fp::kTimeSubdivisions;
    const double end_q =
        first_q + kNominatingExcerptS / fp::kFrameDurationS * fp::kTimeSubdivisions;
    for (const fp::Peak& peak : query.peaks) {
      if (peak.time_q >= first_q && peak.time_q < end_q) excerpts.peaks.push_back(peak);
    }
  }
  return excerpts;
}

}  // namespace

bool SimilarDurations(double a_s, double b_s) {
  return std::abs(a_s - b_s) <= kMaxDurationShare * std::max(a_s, b_s);
}

double CoveredShare(const std::vector<fp::Peak>& query, const std::vector<fp::Peak>& reference,
                    double offset_s, double speed) {
  const double stretch_frames = kCoverageStretchS / fp::kFrameDurationS;
  const double offset_frames = offset_s / fp::kFrameDurationS;
  const double time_tolerance_q = kTimeToleranceFrames * fp::kTimeSubdivisions;
  const double bin_tolerance_q = kBinTolerance * fp::kBinSubdivisions;
  std::vector<int> peaks_in, found_in;
  for (const fp::Peak& peak : query) {
    const auto stretch = static_cast<std::size_t>(peak.TimeFrames() / stretch_frames);
    if (stretch >= peaks_in.size()) {
      peaks_in.resize(stretch + 1, 0);
      found_in.resize(stretch + 1, 0);
    }
    ++peaks_in[stretch];
    const double at_q = (offset_frames + peak.TimeFrames() * speed) * fp::kTimeSubdivisions;
    auto it = std::lower_bound(
        reference.begin(), reference.end(), at_q - time_tolerance_q,
        [](const fp::Peak& p, double time_q) { return static_cast<double>(p.time_q) < time_q; });
    for (; it != reference.end() && it->time_q <= at_q + time_tolerance_q; ++it) {
      if (std::abs(static_cast<double>(it->bin_q) - peak.bin_q) <= bin_tolerance_q) {
        ++found_in[stretch];
        break;
      }
    }
  }
  int stretches = 0, covered = 0;
  for (std::size_t i = 0; i < peaks_in.size(); ++i) {
    if (peaks_in[i] == 0) continue;
    ++stretches;
    if (found_in[i] >= kMinStretchAgreement * peaks_in[i]) ++covered;
  }
  return stretches == 0 ? 0.0 : static_cast<double>(covered) / stretches;
}

std::vector<SameMusic> FindSameMusic(const catalog::CatalogReader& reader,
                                     const fp::Constellation& query, catalog::RecordingId self) {
  const fp::Constellation excerpts = NominatingQuery(query);
  const matching::MatchReport report =
      matching::FindMatches(reader, fp::QueryLandmarks(excerpts), excerpts);
  std::vector<SameMusic> same;
  std::vector<fp::Peak> reference;
  for (const matching::MatchCandidate& candidate : report.candidates) {
    if (!candidate.accepted) break;
    if (candidate.recording == self || std::abs(candidate.speed - 1) > kMaxSpeedSkew ||
        std::abs(candidate.offset_s) > kMaxLeadS) {
      continue;
    }
    std::optional<catalog::Recording> recording = reader.GetRecording(candidate.recording);
    if (!recording) continue;
    if (!SimilarDurations(recording->duration_s, query.duration_s)) continue;
    reference.clear();
    reader.ReadPeaks(candidate.recording, 0, recording->duration_s / fp::kFrameDurationS + 1,
                     reference);
    const double share = CoveredShare(query.peaks, reference, candidate.offset_s, candidate.speed);
    if (share >= kMinCoveredShare)
      same.push_back({candidate.recording, candidate.offset_s, candidate.speed, share});
  }
  return same;
}

}  // namespace plim
