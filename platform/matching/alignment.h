// The time alignment of a query with one reference recording.

#ifndef PLIM_PLATFORM_MATCHING_ALIGNMENT_H_
#define PLIM_PLATFORM_MATCHING_ALIGNMENT_H_

#include <cstdint>
#include <span>

namespace plim::matching {

// A query landmark found in the reference: the anchor frames on both sides.
struct Hit {
  std::uint32_t query_frame = 0;
  std::uint32_t reference_frame = 0;

  auto operator<=>(const Hit&) const = default;
};

// The line reference_frame = offset_frames + speed * query_frame that most
// hits agree with.
struct Alignment {
  double speed = 1;
  double offset_frames = 0;
  // Distinct query frames with a hit within kInlierToleranceFrames of the line.
  int aligned_query_frames = 0;
  // How many speeds were tried (they bound the chance of a false alignment).
  int speeds_searched = 0;
};

// Searches speeds within +-kMaxSpeedSkew, finest where the query is longest,
// and offsets, for the alignment of most hits; then refines it by a
// least-squares fit to its inliers. `hits` must be sorted and distinct;
// `query_frames` is the query's length in frames. Pure function.
Alignment AlignHits(std::span<const Hit> hits, double query_frames);

// The mean number of `hits` per offset window (2 * kInlierToleranceFrames
// wide) among the kBackgroundWindows windows on either side of `alignment`'s
// line, the two windows next to the line left out: how densely chance hits
// lie where the alignment was found. Pure function.
double CountBackgroundPerWindow(std::span<const Hit> hits, const Alignment& alignment);

}  // namespace plim::matching

#endif  // PLIM_PLATFORM_MATCHING_ALIGNMENT_H_
