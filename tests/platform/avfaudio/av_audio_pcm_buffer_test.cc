// AVAudioPCMBuffer: sizes that can't be had give nullptr instead of a
// buffer too small or an abort, and the planes it hands out are separate.

#include "platform/avfaudio/av_audio_pcm_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

// The sanitizers abort on impossible allocations unless told to return null
// as the plain allocator does; the buffer must cope with that null.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char* __tsan_default_options() { return "allocator_may_return_null=1"; }

namespace plim::avfaudio {
namespace {

constexpr std::uint32_t kMaxCount = std::numeric_limits<std::uint32_t>::max();

TEST(AVAudioPCMBufferTest, SizesThatCannotBeHadGiveNull) {
  struct Case {
    const char* name;
    AVAudioChannelCount channels;
    AVAudioFrameCount capacity;
  };
  const Case cases[] = {
      // channels * capacity * 4 bytes wraps 64 bits.
      {"ProductOverflows", kMaxCount, kMaxCount},
      {"ProductOverflowsWithFewerChannels", 1u << 31, 1u << 31},
      // Fits in 64 bits, but no machine has 2^52 bytes.
      {"TooLargeToAllocate", 1u << 18, kMaxCount},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(AVAudioPCMBuffer::initWithPCMFormat(AVAudioFormat(44100, c.channels), c.capacity),
              nullptr);
  }
}

TEST(AVAudioPCMBufferTest, ZeroCapacityIsAValidEmptyBuffer) {
  auto buffer = AVAudioPCMBuffer::initWithPCMFormat(AVAudioFormat(48000, 2), 0);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(buffer->frameCapacity(), 0u);
  EXPECT_EQ(buffer->frameLength(), 0u);
  EXPECT_EQ(buffer->format(), AVAudioFormat(48000, 2));
  EXPECT_NE(buffer->floatChannelData()[0], nullptr);
  EXPECT_NE(buffer->floatChannelData()[1], nullptr);
}

// Planes share one allocation; a wrong stride would make them overlap.
// The largest capacity takes the huge-page allocation.
TEST(AVAudioPCMBufferTest, PlanesHoldTheirCapacityWithoutOverlapping) {
  for (AVAudioFrameCount capacity : {1u, 7u, 1000u, 4097u, 441001u}) {
    SCOPED_TRACE(capacity);
    auto buffer = AVAudioPCMBuffer::initWithPCMFormat(AVAudioFormat(44100, 6), capacity);
    ASSERT_NE(buffer, nullptr);
    float* const* planes = buffer->floatChannelData();
    for (int c = 0; c < 6; ++c) {
      for (AVAudioFrameCount i = 0; i < capacity; ++i) planes[c][i] = static_cast<float>(c);
    }
    for (int c = 0; c < 6; ++c) {
      for (AVAudioFrameCount i = 0; i < capacity; ++i) ASSERT_EQ(planes[c][i], c);
    }
  }
}

TEST(AVAudioPCMBufferTest, FrameLengthIsClampedToCapacity) {
  auto buffer = AVAudioPCMBuffer::initWithPCMFormat(AVAudioFormat(44100, 1), 100);
  ASSERT_NE(buffer, nullptr);
  buffer->setFrameLength(40);
  EXPECT_EQ(buffer->frameLength(), 40u);
  buffer->setFrameLength(101);
  EXPECT_EQ(buffer->frameLength(), 100u);
}

}  // namespace
}  // namespace plim::avfaudio
