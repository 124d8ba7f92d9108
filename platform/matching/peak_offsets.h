// Finds where in a reference recording a query lines up best, from single
// peaks.
//
// Landmarks nominate a recording even when only two or three of them
// survive the noise, but so few can also point at the wrong place in it:
// chance hits outnumber them. Single peaks survive far more often. Every
// pair of a query peak and a reference peak in the same bin votes for the
// offset that would put them together; where the recording plays, a
// quarter of the query's peaks or more vote for one offset, while chance
// spreads its votes over the whole recording.

#ifndef PLIM_PLATFORM_MATCHING_PEAK_OFFSETS_H_
#define PLIM_PLATFORM_MATCHING_PEAK_OFFSETS_H_

#include <cstdint>
#include <span>
#include <vector>

#include "platform/fingerprint/constellation.h"

namespace plim::matching {

// One offset the votes favour: the reference frame the query's first frame
// lies on, and the votes within a frame of it.
struct PeakOffset {
  double offset_frames = 0;
  int votes = 0;
};

// The reference's peaks ordered by bin, for voting against many queries'
// peaks or many speeds. Immutable once built; threads may share it.
class ReferencePeakIndex {
 public:
  // `peaks`: a reference's peaks, in any order.
  explicit ReferencePeakIndex(std::span<const fingerprint::Peak> peaks);

  // The `count` offsets with the most votes, most first, each at least
  // kMinOffsetSeparationFrames from those before it, for `query` peaks
  // played at `speed` (query frame q lies on reference frame offset +
  // speed * q) and frequencies scaled by `speed` too, as a sped-up
  // recording's are. Offsets range over every placement of the query that
  // overlaps the reference by half its length. Pure.
  std::vector<PeakOffset> BestOffsets(std::span<const fingerprint::Peak> query, double speed,
                                      int count) const;

  static constexpr int kMinOffsetSeparationFrames = 8;

 private:
  struct Entry {
    float bin;
    float time_frames;
  };
  // The peaks whose whole bin is b: by_bin_[bin_start_[b] .. bin_start_[b + 1]).
  std::vector<std::uint32_t> bin_start_;
  std::vector<Entry> by_bin_;
  double last_frame_ = 0;
};

}  // namespace plim::matching

#endif  // PLIM_PLATFORM_MATCHING_PEAK_OFFSETS_H_
