#include "platform/avfaudio/av_audio_pcm_buffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <new>

#include "platform/avfaudio/memory_headroom.h"

namespace plim::avfaudio {
namespace {

// Each plane starts on a cache line, so vectorised loops over a channel
// start aligned whatever the capacity.
constexpr std::size_t kPlaneAlignmentBytes = 64;
constexpr std::size_t kFloatsPerAlignment = kPlaneAlignmentBytes / sizeof(float);

// Buffers of this size or more are put on huge pages where the system
// allows: a whole 10-s stereo clip then takes two page faults instead of
// nearly a thousand, about a millisecond of a recognition run.
constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// Smaller buffers fit wherever the process could start; larger ones are
// weighed against the memory the process can really get, since Linux grants
// more than it can back and kills whoever touches the difference.
constexpr std::size_t kCheckedBytes = std::size_t{64} << 20;

}  // namespace

std::unique_ptr<AVAudioPCMBuffer> AVAudioPCMBuffer::initWithPCMFormat(
    const AVAudioFormat& format, AVAudioFrameCount frame_capacity) noexcept {
  constexpr std::size_t kMaxBytes = std::numeric_limits<std::size_t>::max() / 2;
  const std::size_t channels = format.channelCount();
  // Plane stride in floats, rounded up to the alignment; every step is
  // checked, since a wrapped size would hand out a buffer too small.
  std::size_t stride_floats = (static_cast<std::size_t>(frame_capacity) + kFloatsPerAlignment - 1) /
                              kFloatsPerAlignment * kFloatsPerAlignment;
  std::size_t total_floats = 0;
  std::size_t total_bytes = 0;
  if (__builtin_mul_overflow(stride_floats, channels, &total_floats) ||
      __builtin_mul_overflow(total_floats, sizeof(float), &total_bytes) ||
      total_bytes > kMaxBytes) {
    return nullptr;
  }
  // Never zero, so that every plane pointer is a valid one.
  total_bytes = std::max(total_bytes, kPlaneAlignmentBytes);
  const bool huge = total_bytes >= kHugePageBytes;
  // aligned_alloc wants a size that is a multiple of the alignment; the
  // rounding can't overflow, being below kMaxBytes.
  if (huge) total_bytes = (total_bytes + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
  try {
    if (total_bytes >= kCheckedBytes) {
      std::optional<std::uint64_t> headroom = MemoryHeadroomBytes();
      if (headroom && total_bytes > *headroom) return nullptr;
    }
    std::unique_ptr<AVAudioPCMBuffer> buffer(new AVAudioPCMBuffer(format, frame_capacity));
    buffer->samples_ = static_cast<float*>(
        std::aligned_alloc(huge ? kHugePageBytes : kPlaneAlignmentBytes, total_bytes));
    if (buffer->samples_ == nullptr) return nullptr;
    // Advice only: without huge pages the buffer works the same.
    if (huge) madvise(buffer->samples_, total_bytes, MADV_HUGEPAGE);
    buffer->channels_.resize(channels);
    for (std::size_t c = 0; c < channels; ++c) {
      buffer->channels_[c] = buffer->samples_ + c * stride_floats;
    }
    return buffer;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

AVAudioPCMBuffer::AVAudioPCMBuffer(const AVAudioFormat& format, AVAudioFrameCount frame_capacity)
    : format_(format), frame_capacity_(frame_capacity) {}

AVAudioPCMBuffer::~AVAudioPCMBuffer() { std::free(samples_); }

void AVAudioPCMBuffer::setFrameLength(AVAudioFrameCount frames) {
  frame_length_ = std::min(frames, frame_capacity_);
}

}  // namespace plim::avfaudio
