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
  // query, so a finer step would find nothing new.
  double step = std::clamp(kInlierToleranceFrames / std::max(query_frames, 1.0),
                           fingerprint::kSpeedStep / 4, fingerprint::kSpeedStep * 4);
  int half_count = static_cast<int>(std::ceil(kMaxSpeedSkew / step));
  best.speeds_searched = 2 * half_count + 1;

  const double width = 2 * kInlierToleranceFrames;
  std::vector<double> offsets(hits.size());
  int best_count = -1;
  for (int i = -half_count; i <= half_count; ++i) {
    double speed = 1 + i * step;
    for (std::size_t j = 0; j < hits.size(); ++j) {
      offsets[j] = hits[j].reference_frame - speed * hits[j].query_frame;
    }
    std::sort(offsets.begin(), offsets.end());
    // The densest window of the given width over the sorted offsets.
    std::size_t lo = 0;
    for (std::size_t hi = 0; hi < offsets.size(); ++hi) {
      while (offsets[hi] - offsets[lo] > width) ++lo;
      int count = static_cast<int>(hi - lo + 1);
      // Ties go to the speed nearest 1, which the loop order does not give.
      bool better = count > best_count ||
                    (count == best_count && std::abs(speed - 1) < std::abs(best.speed - 1));
      if (better) {
        best_count = count;
        best.speed = speed;
        best.offset_frames = 0.5 * (offsets[lo] + offsets[hi]);
      }
    }
  }

  // Least-squares refinement on the inliers. The grid's line may be off by
  // up to its step over the query, leaving true hits just outside the
  // tolerance at one end; the first round takes a wider band to catch them.
  for (double tolerance : {2 * kInlierToleranceFrames, kInlierToleranceFrames}) {
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

}  // namespace plim::matching
