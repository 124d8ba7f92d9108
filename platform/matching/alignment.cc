#include "platform/matching/alignment.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/fingerprint/fingerprint_params.h"

namespace plim::matching {
namespace {

using fingerprint::kInlierToleranceFrames;
using fingerprint::kMaxSpeedSkew;

// Distinct query frames among the hits within the tolerance of the line.
int CountAligned(std::span<const Hit> hits, double speed, double offset) {
  int count = 0;
  std::int64_t last_frame = -1;
  for (const Hit& h : hits) {  // sorted by query frame
    double residual = h.reference_frame - (offset + speed * h.query_frame);
    if (std::abs(residual) <= kInlierToleranceFrames && h.query_frame != last_frame) {
      ++count;
      last_frame = h.query_frame;
    }
  }
  return count;
}

}  // namespace

Alignment AlignHits(std::span<const Hit> hits, double query_frames) {
  Alignment best;
  if (hits.empty()) return best;
  // Speeds closer than this drift apart by less than the tolerance over the
  // query, so a finer step would find nothing new. Long queries are capped
  // at a step the least-squares refinement below can still close.
  double step = std::clamp(kInlierToleranceFrames / std::max(query_frames, 1.0),
                           fingerprint::kSpeedStep / 2, fingerprint::kSpeedStep * 4);
  int half_count = static_cast<int>(std::ceil(kMaxSpeedSkew / step));
  best.speeds_searched = 2 * half_count + 1;

  // Offsets are counted in cells of the tolerance's width; two neighbouring
  // cells make one window of twice the tolerance. Counting is linear in the
  // hits, whatever their number, unlike sorting them for every speed.
  std::uint32_t max_query = 0, min_reference = hits[0].reference_frame, max_reference = 0;
  for (const Hit& h : hits) {
    max_query = std::max(max_query, h.query_frame);
    min_reference = std::min(min_reference, h.reference_frame);
    max_reference = std::max(max_reference, h.reference_frame);
  }
  const double cell = kInlierToleranceFrames;
  const double lowest_offset = min_reference - (1 + kMaxSpeedSkew + step) * max_query - cell;
  const double highest_offset = max_reference + cell;
  const auto cell_count = static_cast<std::size_t>((highest_offset - lowest_offset) / cell) + 2;
  std::vector<int> counts(cell_count);
  int best_count = -1;
  for (int i = -half_count; i <= half_count; ++i) {
    const double speed = 1 + i * step;
    std::fill(counts.begin(), counts.end(), 0);
    for (const Hit& h : hits) {
      double offset = h.reference_frame - speed * h.query_frame;
      ++counts[static_cast<std::size_t>((offset - lowest_offset) / cell)];
    }
    for (std::size_t c = 0; c + 1 < cell_count; ++c) {
      int count = counts[c] + counts[c + 1];
      // Ties go to the speed nearest 1, which the loop order does not give.
      bool better = count > best_count ||
                    (count == best_count && std::abs(speed - 1) < std::abs(best.speed - 1));
      if (better) {
        best_count = count;
        best.speed = speed;
        best.offset_frames = lowest_offset + (static_cast<double>(c) + 1) * cell;
      }
    }
  }

  // Least-squares refinement on the inliers. The grid's line may be off by
  // up to its step over the query, leaving true hits just outside the
  // tolerance at one end; the first rounds take wider bands to catch them.
  for (double tolerance :
       {3 * kInlierToleranceFrames, 2 * kInlierToleranceFrames, kInlierToleranceFrames}) {
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (const Hit& h : hits) {
      double residual = h.reference_frame - (best.offset_frames + best.speed * h.query_frame);
      if (std::abs(residual) > tolerance) continue;
      n += 1;
      sx += h.query_frame;
      sy += h.reference_frame;
      sxx += static_cast<double>(h.query_frame) * h.query_frame;
      sxy += static_cast<double>(h.query_frame) * h.reference_frame;
    }
    double spread = n * sxx - sx * sx;
    // Too few, or too close together in time to fix a slope: keep the grid's.
    if (n < 3 || spread <= n * n * 4.0) break;
    double speed = (n * sxy - sx * sy) / spread;
    if (std::abs(speed - 1) > kMaxSpeedSkew + step) break;
    best.speed = speed;
    best.offset_frames = (sy - speed * sx) / n;
  }
  best.aligned_query_frames = CountAligned(hits, best.speed, best.offset_frames);
  return best;
}

double CountBackgroundPerWindow(std::span<const Hit> hits, const Alignment& alignment) {
  const double width = 2 * kInlierToleranceFrames;
  int near = 0;
  for (const Hit& h : hits) {
    double distance =
        std::abs(h.reference_frame - (alignment.offset_frames + alignment.speed * h.query_frame));
    if (distance > 2 * width && distance <= (fingerprint::kBackgroundWindows + 2) * width) ++near;
  }
  return near / (2.0 * fingerprint::kBackgroundWindows);
}

}  // namespace plim::matching
