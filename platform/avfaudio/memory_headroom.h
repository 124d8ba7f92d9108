// How much more memory this process can really get, for refusing a buffer
// before the kernel kills the process for touching it.

#ifndef PLIM_PLATFORM_AVFAUDIO_MEMORY_HEADROOM_H_
#define PLIM_PLATFORM_AVFAUDIO_MEMORY_HEADROOM_H_

#include <cstdint>
#include <filesystem>
#include <optional>

namespace plim::avfaudio {

// Where the limits are read from: the real system by default, a made-up tree
// of the same files in tests.
struct MemorySources {
  std::filesystem::path proc = "/proc";             // meminfo, self/cgroup, self/statm
  std::filesystem::path cgroup = "/sys/fs/cgroup";  // cgroup v2, or v1's memory/ beneath it
  bool resource_limits = true;                      // RLIMIT_AS and RLIMIT_DATA
};

// The fewest bytes this process may still allocate and touch by any of:
// MemAvailable in meminfo; the memory limit less the usage of its memory
// cgroup and of each cgroup above it (v2's memory.max and memory.current,
// or v1's memory.limit_in_bytes and memory.usage_in_bytes); RLIMIT_AS less
// the address space in use, RLIMIT_DATA less the data in use. nullopt when
// none of them can be read or all are unlimited. Allocation succeeding is not
// the test: Linux grants memory it can't back and kills the process that
// touches it. Thread-safe; reads a few small files.
std::optional<std::uint64_t> MemoryHeadroomBytes(const MemorySources& sources = {});

}  // namespace plim::avfaudio

#endif  // PLIM_PLATFORM_AVFAUDIO_MEMORY_HEADROOM_H_
