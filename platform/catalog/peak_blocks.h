// How the catalog keeps each recording's spectral peaks beside the index, so
// that a candidate found through its landmarks can be checked peak by peak.
//
// A recording's peaks are cut into blocks of kPeakBlockFrames analysis
// frames, each one LMDB value keyed by (recording id, block number) in
// big-endian bytes, so a stretch of a long recording is read without the
// rest. Within a block, peaks are kept coarser than a signature holds them,
// which is still finer than the checks need:
//
//   count                        varint
//   per peak, in time order:
//     time since the last peak   varint, in 1/kPeakTimeSteps frame
//     frequency and prominence   2 bytes, little-endian:
//                                bin in 1/kPeakBinSteps bin (11 bits),
//                                prominence in 2-dB steps (5 bits)
//
//   outline frames               varint (none in blocks written before
//                                fingerprint version 4: the block ends)
//   per outline frame            kOutlineFrameBytes: its loudest band's
//                                level (fingerprint/band_outline.h), then
//                                each band's distance below it in
//                                kOutlineStoredStepDb steps, at most
//                                kMaxOutlineStoredSteps, 4 bits each, the
//                                even band in the low bits; the block's
//                                kPeakBlockFrames / kOutlineFrameSpan
//                                outline frames or fewer at the end.
//                                Version 4 kept 16 bands a byte each: such
//                                blocks are read without their outline.
//
//   checksum                     4 bytes (record_format.h); blocks written
//                                before catalog format 3 have none
//
// About three bytes a peak and 265 bytes a second of outline. Internal to
// the catalog. Pure functions, thread-safe.

#ifndef PLIM_PLATFORM_CATALOG_PEAK_BLOCKS_H_
#define PLIM_PLATFORM_CATALOG_PEAK_BLOCKS_H_

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/catalog/recording.h"
#include "platform/fingerprint/band_outline.h"
#include "platform/fingerprint/constellation.h"

namespace plim::catalog {

inline constexpr std::uint32_t kPeakBlockFrames = 512;  // about 16 s: a block fits in a page
inline constexpr int kPeakTimeSteps = 4;
inline constexpr int kPeakBinSteps = 4;
inline constexpr std::uint32_t kOutlineFramesPerBlock =
    kPeakBlockFrames / fingerprint::kOutlineFrameSpan;
// An outline is kept coarser than it is made: its levels in 3-dB steps
// below each frame's loudest band, down to 45 dB below it (lower bands
// are kept at that). Measured on the benchmark's noisy queries, this costs
// little of what full levels tell and halves their size.
inline constexpr float kOutlineStoredStepDb = 3;
inline constexpr int kMaxOutlineStoredSteps = 15;
inline constexpr std::size_t kOutlineFrameBytes = 1 + fingerprint::kOutlineBands / 2;

// The block a peak at `time_frames` falls in.
constexpr std::uint32_t PeakBlockOf(double time_frames) {
  return time_frames <= 0 ? 0 : static_cast<std::uint32_t>(time_frames / kPeakBlockFrames);
}

// The key of block `block` of recording `id`.
struct PeakBlockKey {
  unsigned char bytes[8];
};
PeakBlockKey EncodePeakBlockKey(RecordingId id, std::uint32_t block);
RecordingId RecordingOfPeakBlockKey(const unsigned char* bytes);

// The value of block `block` of recording `id`: `peaks` ordered by time,
// each within the block, and the levels of the block's outline frames
// (at most kOutlineFramesPerBlock whole frames). Its checksum covers the
// key too.
std::string EncodePeakBlock(std::span<const fingerprint::Peak> peaks,
                            std::span<const std::uint8_t> outline_levels, RecordingId id,
                            std::uint32_t block);

// Calls `put(block, value)` for every block of a recording's `peaks`
// (ordered by time) and `outline`, in block order: each block that holds a
// peak or an outline frame.
void ForEachPeakBlock(std::span<const fingerprint::Peak> peaks,
                      const fingerprint::BandOutline& outline, RecordingId id,
                      const std::function<void(std::uint32_t, std::string)>& put);

// Appends to `levels` the outline of a recording's blocks `first_block` to
// `last_block`, each read by `read(block, levels)` (false: no such block).
// Outline blocks run on without a gap, so a missing or short block ends
// the recording's outline there.
void AppendOutlineBlocks(
    std::uint32_t first_block, std::uint32_t last_block, std::vector<std::uint8_t>& levels,
    const std::function<bool(std::uint32_t, std::vector<std::uint8_t>*)>& read);

// Appends the peaks of block `block` of recording `id` that `bytes` encode
// to `out`, at the precision kept, and its outline levels to `outline` when
// given. `may_lack_checksum` accepts a block written before blocks carried
// checksums. False when the bytes are malformed or their checksum does not
// match (`out` may then hold some of them).
bool DecodePeakBlock(std::string_view bytes, RecordingId id, std::uint32_t block,
                     std::vector<fingerprint::Peak>& out, bool may_lack_checksum = false,
                     std::vector<std::uint8_t>* outline = nullptr);

}  // namespace plim::catalog

#endif  // PLIM_PLATFORM_CATALOG_PEAK_BLOCKS_H_
