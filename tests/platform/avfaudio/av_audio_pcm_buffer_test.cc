// AVAudioPCMBuffer: sizes that can't be had give nullptr instead of a
// buffer too small or an abort, and the planes it hands out are separate.

#include "platform/avfaudio/av_audio_pcm_buffer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <limits>
#include <map>

#include "platform/avfaudio/memory_headroom.h"
#include "tests/support/audio_fixtures.h"

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

// Linux grants more than it can back and kills the process that touches
// it, so a buffer beyond what the process can get is refused up front.
TEST(AVAudioPCMBufferTest, BufferBeyondTheMemoryTheProcessCanGetGivesNull) {
  std::optional<std::uint64_t> headroom = MemoryHeadroomBytes();
  if (!headroom) GTEST_SKIP() << "this system reports no memory limit";
  // A margin, since other processes change what is available meanwhile.
  const std::uint64_t bytes = *headroom + (512u << 20);
  const AVAudioFrameCount frames = 1u << 28;
  const auto channels = static_cast<AVAudioChannelCount>(bytes / (frames * sizeof(float)) + 1);
  EXPECT_EQ(AVAudioPCMBuffer::initWithPCMFormat(AVAudioFormat(44100, channels), frames), nullptr);
}

// Each source of a limit, read from a made-up tree: the least wins.
TEST(MemoryHeadroomTest, TheTightestLimitWins) {
  struct Case {
    const char* name;
    std::map<std::string, std::string> files;  // below the tree's root
    std::optional<std::uint64_t> headroom_bytes;
  };
  const std::string meminfo = "MemTotal: 9000 kB\nMemAvailable:  1000 kB\n";
  const Case cases[] = {
      {"NothingReadable", {}, std::nullopt},
      {"AvailableMemoryOnly", {{"proc/meminfo", meminfo}}, 1000 * 1024},
      // v2: the parent's limit, less its usage without reclaimable cache.
      {"CgroupV2Parent",
       {{"proc/meminfo", meminfo},
        {"proc/self/cgroup", "0::/a/b\n"},
        {"cgroup/cgroup.controllers", "memory\n"},
        {"cgroup/a/memory.max", "500000\n"},
        {"cgroup/a/memory.current", "300000\n"},
        {"cgroup/a/memory.stat", "anon 200000\ninactive_file 50000\n"},
        {"cgroup/a/b/memory.max", "max\n"},
        {"cgroup/a/b/memory.current", "100000\n"}},
       250000},
      // v1, in a namespace that hides the group's path: the mount's root.
      {"CgroupV1NamespaceRoot",
       {{"proc/self/cgroup", "5:cpu:/x\n4:memory,hugetlb:/not/here\n"},
        {"cgroup/memory/memory.limit_in_bytes", "700000\n"},
        {"cgroup/memory/memory.usage_in_bytes", "800000\n"}},
       0},
      {"CgroupV1Unlimited",
       {{"proc/meminfo", meminfo},
        {"proc/self/cgroup", "4:memory:/\n"},
        {"cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n"},
        {"cgroup/memory/memory.usage_in_bytes", "5\n"}},
       1000 * 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    plim::testing::TemporaryDirectory tree;
    for (const auto& [name, text] : c.files) {
      std::filesystem::create_directories(std::filesystem::path(tree.file(name)).parent_path());
      std::ofstream(tree.file(name)) << text;
    }
    EXPECT_EQ(MemoryHeadroomBytes({tree.file("proc"), tree.file("cgroup"), false}),
              c.headroom_bytes);
  }
}

// RLIMIT_AS counts the address space already in use, so the headroom is
// what is left of it; checked in a child, which the limit can't outlive.
TEST(MemoryHeadroomTest, AddressSpaceLimitLeavesWhatIsNotInUse) {
  constexpr std::uint64_t kLeftBytes = 256u << 20;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::ifstream statm("/proc/self/statm");
    std::uint64_t pages = 0;
    statm >> pages;
    const std::uint64_t in_use = pages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    struct rlimit limit = {in_use + kLeftBytes, RLIM_INFINITY};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(2);
    std::optional<std::uint64_t> headroom = MemoryHeadroomBytes();
    _exit(headroom && *headroom <= kLeftBytes && *headroom > kLeftBytes / 2 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
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

// A buffer of no frames is still a buffer, and its length stays within
// its capacity.
TEST(AVAudioPCMBufferTest, FrameLengthStaysWithinCapacity) {
  auto empty = AVAudioPCMBuffer::initWithPCMFormat(AVAudioFormat(48000, 2), 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->frameLength(), 0u);
  EXPECT_NE(empty->floatChannelData()[1], nullptr);
  auto buffer = AVAudioPCMBuffer::initWithPCMFormat(AVAudioFormat(44100, 1), 100);
  ASSERT_NE(buffer, nullptr);
  buffer->setFrameLength(40);
  EXPECT_EQ(buffer->frameLength(), 40u);
  buffer->setFrameLength(101);
  EXPECT_EQ(buffer->frameLength(), 100u);
}

}  // namespace
}  // namespace plim::avfaudio
