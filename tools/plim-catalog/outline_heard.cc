#include "tools/plim-catalog/outline_heard.h"

#include <algorithm>
#include <cmath>

#include "platform/matching/outline_evidence.h"

namespace plim {

std::optional<std::pair<double, double>> OutlineHeardSpan(const catalog::CatalogReader& reader,
                                                          const fingerprint::BandOutline& window,
                                                          double window_start_s,
                                                          const StreamAlignment& alignment) {
  const auto segment_frames = static_cast<std::size_t>(
      std::lround(kOutlineHeardSegmentS / fingerprint::kOutlineFrameDurationS));
  const auto step_frames = static_cast<std::size_t>(
      std::lround(kOutlineHeardStepS / fingerprint::kOutlineFrameDurationS));
  if (window.frames() < segment_frames) return std::nullopt;
  // The reference's analysis frame at a time of the stream.
  const auto frames_at = [&](double stream_s) {
    return (stream_s - alignment.anchor_s) * alignment.speed / fingerprint::kFrameDurationS;
  };
  const double window_end_s =
      window_start_s + static_cast<double>(window.frames()) * fingerprint::kOutlineFrameDurationS;
  const double reach_frames = kOutlineNullReachS / fingerprint::kFrameDurationS;
  fingerprint::BandOutline levels;
  const std::size_t first_frame = reader.ReadOutline(
      alignment.recording, std::max(0.0, frames_at(window_start_s) - reach_frames),
      frames_at(window_end_s) + reach_frames, levels);
  if (levels.frames() == 0) return std::nullopt;
  const matching::ReferenceOutline reference(levels, first_frame);

  std::optional<std::pair<double, double>> span;
  fingerprint::BandOutline segment;
  int missed = 0;  // segments not heard in a row
  for (std::size_t from = 0; from + segment_frames <= window.frames(); from += step_frames) {
    const auto begin =
        window.levels.begin() + static_cast<std::ptrdiff_t>(from * fingerprint::kOutlineBands);
    segment.levels.assign(
        begin, begin + static_cast<std::ptrdiff_t>(segment_frames * fingerprint::kOutlineBands));
    const matching::QueryOutline query(segment, alignment.speed);
    const double from_s =
        window_start_s + static_cast<double>(from) * fingerprint::kOutlineFrameDurationS;
    bool heard = false;
    if (query.usable()) {
      const matching::OutlineEvidence e = matching::OutlineNear(
          matching::OutlineCorrelation(query, reference), frames_at(from_s), 1);
      heard = e.spread_by_chance > 0 &&
              e.correlation - e.mean_by_chance >= kOutlineHeardSpreads * e.spread_by_chance;
    }
    if (!heard) {
      // A segment or two may fall short between heard ones: a passage
      // quieter still, or louder noise.
      if (!span || ++missed > kOutlineMissesAllowed) break;
      continue;
    }
    missed = 0;
    // A segment heard counts for its first step: the rest may be heard
    // only through the part before it.
    if (!span) span.emplace(from_s, from_s);
    span->second = from_s + kOutlineHeardStepS;
  }
  return span;
}

}  // namespace plim
