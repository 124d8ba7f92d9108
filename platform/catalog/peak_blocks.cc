#include "platform/catalog/peak_blocks.h"

#include <algorithm>
#include <cmath>

#include "platform/catalog/record_format.h"

namespace plim::catalog {
namespace {

using fingerprint::kBinSubdivisions;
using fingerprint::kTimeSubdivisions;

static_assert(kTimeSubdivisions % kPeakTimeSteps == 0, "kept times are whole signature steps");
static_assert(kBinSubdivisions % kPeakBinSteps == 0, "kept bins are whole signature steps");
static_assert((fingerprint::kMaxPeakFrequencyHz / fingerprint::kBinWidthHz + 1) * kPeakBinSteps <
                  (1 << 11),
              "a peak's bin fits 11 bits");

constexpr std::uint32_t kTimeDivisor = kTimeSubdivisions / kPeakTimeSteps;
constexpr std::uint32_t kBinDivisor = kBinSubdivisions / kPeakBinSteps;
constexpr int kProminenceStepDb = 2;
constexpr std::uint32_t kMaxProminenceStep = 31;

void PutVarint(std::uint64_t value, std::string& out) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>((value & 0x7F) | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

bool GetVarint(std::string_view& in, std::uint64_t& value) {
  value = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (in.empty()) return false;
    auto byte = static_cast<unsigned char>(in.front());
    in.remove_prefix(1);
    value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) return true;
  }
  return false;
}

static_assert(fingerprint::kOutlineBands % 2 == 0, "two bands a byte");
// Level steps in one stored step.
constexpr int kStoredStep = static_cast<int>(kOutlineStoredStepDb / fingerprint::kOutlineStepDb);
static_assert(kStoredStep * fingerprint::kOutlineStepDb == kOutlineStoredStepDb);
// What a frame took in blocks of fingerprint version 4.
constexpr std::size_t kVersion4FrameBytes = 16;

void PutOutlineFrame(const std::uint8_t* levels, std::string& out) {
  const std::uint8_t top = *std::max_element(levels, levels + fingerprint::kOutlineBands);
  out.push_back(static_cast<char>(top));
  // Never below level 0, so that what is read back is kept exactly again.
  const int most_steps = std::min(kMaxOutlineStoredSteps, top / kStoredStep);
  auto steps_below = [&](int b) {
    return std::min(most_steps, (top - levels[b] + kStoredStep / 2) / kStoredStep);
  };
  for (int b = 0; b < fingerprint::kOutlineBands; b += 2) {
    out.push_back(static_cast<char>(steps_below(b) | steps_below(b + 1) << 4));
  }
}

void GetOutlineFrame(const unsigned char* bytes, std::vector<std::uint8_t>& levels) {
  const int top = bytes[0];
  // A damaged block may reach below level 0: read as the lowest step that
  // does not, as PutOutlineFrame would have kept it.
  const int most_steps = top / kStoredStep;
  for (int b = 0; b < fingerprint::kOutlineBands; ++b) {
    const int steps = std::min(most_steps, bytes[1 + b / 2] >> (b % 2 * 4) & 0xF);
    levels.push_back(static_cast<std::uint8_t>(top - steps * kStoredStep));
  }
}

std::uint64_t BlockStartSteps(std::uint32_t block) {
  return static_cast<std::uint64_t>(block) * kPeakBlockFrames * kPeakTimeSteps;
}

}  // namespace

PeakBlockKey EncodePeakBlockKey(RecordingId id, std::uint32_t block) {
  PeakBlockKey key{};
  for (int i = 0; i < 4; ++i) {
    key.bytes[i] = static_cast<unsigned char>(id >> (24 - 8 * i));
    key.bytes[4 + i] = static_cast<unsigned char>(block >> (24 - 8 * i));
  }
  return key;
}

RecordingId RecordingOfPeakBlockKey(const unsigned char* bytes) {
  RecordingId id = 0;
  for (int i = 0; i < 4; ++i) id = id << 8 | bytes[i];
  return id;
}

namespace {

// The key's share of a block's checksum: the key is not among its bytes.
std::uint32_t KeyChecksum(RecordingId id, std::uint32_t block) {
  const PeakBlockKey key = EncodePeakBlockKey(id, block);
  return ChecksumOf(std::string_view(reinterpret_cast<const char*>(key.bytes), sizeof key.bytes));
}

}  // namespace

std::string EncodePeakBlock(std::span<const fingerprint::Peak> peaks,
                            std::span<const std::uint8_t> outline_levels, RecordingId id,
                            std::uint32_t block) {
  std::string out;
  out.reserve(8 + 3 * peaks.size() + outline_levels.size() / 2 + kOutlineFramesPerBlock);
  PutVarint(peaks.size(), out);
  std::uint64_t last = BlockStartSteps(block);
  for (const fingerprint::Peak& peak : peaks) {
    // Rounded down, so that a peak never moves into the next block.
    const std::uint64_t time = std::max<std::uint64_t>(last, peak.time_q / kTimeDivisor);
    PutVarint(time - last, out);
    last = time;
    const std::uint32_t bin = (peak.bin_q + kBinDivisor / 2) / kBinDivisor;
    const std::uint32_t prominence =
        std::min<std::uint32_t>(kMaxProminenceStep, peak.prominence_db / kProminenceStepDb);
    const std::uint32_t packed = std::min<std::uint32_t>(bin, (1 << 11) - 1) | prominence << 11;
    out.push_back(static_cast<char>(packed & 0xFF));
    out.push_back(static_cast<char>(packed >> 8));
  }
  const std::size_t outline_frames = std::min<std::size_t>(
      outline_levels.size() / fingerprint::kOutlineBands, kOutlineFramesPerBlock);
  if (outline_frames > 0) {
    PutVarint(outline_frames, out);
    for (std::size_t f = 0; f < outline_frames; ++f) {
      PutOutlineFrame(outline_levels.data() + f * fingerprint::kOutlineBands, out);
    }
  }
  AppendChecksum(out, KeyChecksum(id, block));
  return out;
}

void ForEachPeakBlock(std::span<const fingerprint::Peak> peaks,
                      const fingerprint::BandOutline& outline, RecordingId id,
                      const std::function<void(std::uint32_t, std::string)>& put) {
  const std::size_t outline_blocks =
      (outline.frames() + kOutlineFramesPerBlock - 1) / kOutlineFramesPerBlock;
  const std::span<const std::uint8_t> levels(outline.levels);
  std::size_t begin = 0;
  for (std::uint32_t block = 0;; ++block) {
    // The next block with a peak or an outline frame; outline blocks run on
    // from block 0 without a gap.
    constexpr std::uint32_t kNone = 0xFFFFFFFF;
    std::uint32_t next = begin < peaks.size() ? PeakBlockOf(peaks[begin].TimeFrames()) : kNone;
    if (block < outline_blocks) next = std::min(next, block);
    if (next == kNone) return;
    block = next;
    std::size_t end = begin;
    while (end < peaks.size() && PeakBlockOf(peaks[end].TimeFrames()) == block) ++end;
    std::span<const std::uint8_t> block_levels;
    if (block < outline_blocks) {
      const std::size_t first =
          std::size_t{block} * kOutlineFramesPerBlock * fingerprint::kOutlineBands;
      block_levels = levels.subspan(
          first, std::min(levels.size() - first,
                          std::size_t{kOutlineFramesPerBlock} * fingerprint::kOutlineBands));
    }
    put(block, EncodePeakBlock(peaks.subspan(begin, end - begin), block_levels, id, block));
    begin = end;
  }
}

void AppendOutlineBlocks(
    std::uint32_t first_block, std::uint32_t last_block, std::vector<std::uint8_t>& levels,
    const std::function<bool(std::uint32_t, std::vector<std::uint8_t>*)>& read) {
  constexpr std::size_t kBlockLevels =
      std::size_t{kOutlineFramesPerBlock} * fingerprint::kOutlineBands;
  for (std::uint32_t block = first_block; block <= last_block; ++block) {
    const std::size_t before = levels.size();
    if (!read(block, &levels) || levels.size() - before < kBlockLevels) return;
  }
}

bool DecodePeakBlock(std::string_view bytes, RecordingId id, std::uint32_t block,
                     std::vector<fingerprint::Peak>& out, bool may_lack_checksum,
                     std::vector<std::uint8_t>* outline) {
  if (!TakeChecksum(bytes, KeyChecksum(id, block)) && !may_lack_checksum) return false;
  std::uint64_t count = 0;
  if (!GetVarint(bytes, count) || count > bytes.size() / 3) return false;
  std::uint64_t time = BlockStartSteps(block);
  const std::uint64_t block_end = BlockStartSteps(block + std::uint64_t{1});
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint64_t delta = 0;
    if (!GetVarint(bytes, delta) || bytes.size() < 2) return false;
    // Compared before adding: a damaged delta near 2^64 would wrap round.
    if (delta >= block_end - time) return false;
    time += delta;
    const std::uint32_t packed = static_cast<unsigned char>(bytes[0]) |
                                 static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[1]))
                                     << 8;
    bytes.remove_prefix(2);
    fingerprint::Peak peak;
    peak.time_q = static_cast<std::uint32_t>(time * kTimeDivisor);
    peak.bin_q = static_cast<std::uint16_t>((packed & 0x7FF) * kBinDivisor);
    peak.prominence_db = static_cast<std::uint8_t>((packed >> 11) * kProminenceStepDb);
    out.push_back(peak);
  }
  if (bytes.empty()) return true;
  std::uint64_t outline_frames = 0;
  if (!GetVarint(bytes, outline_frames) || outline_frames == 0 ||
      outline_frames > kOutlineFramesPerBlock) {
    return false;
  }
  if (bytes.size() == outline_frames * kVersion4FrameBytes) return true;
  if (bytes.size() != outline_frames * kOutlineFrameBytes) return false;
  if (outline != nullptr) {
    const auto* frame = reinterpret_cast<const unsigned char*>(bytes.data());
    for (std::uint64_t f = 0; f < outline_frames; ++f, frame += kOutlineFrameBytes) {
      GetOutlineFrame(frame, *outline);
    }
  }
  return true;
}

}  // namespace plim::catalog
