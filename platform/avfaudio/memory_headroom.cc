#include "platform/avfaudio/memory_headroom.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

namespace plim::avfaudio {
namespace {

namespace fs = std::filesystem;

// cgroup v1 writes "no limit" as the largest page-aligned signed 64-bit value.
constexpr std::uint64_t kNoLimit = std::uint64_t{1} << 62;

std::optional<std::string> ReadText(const fs::path& file) {
  std::ifstream in(file);
  if (!in) return std::nullopt;
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The number a cgroup file holds; nullopt for "max", a missing file or junk.
std::optional<std::uint64_t> ReadNumber(const fs::path& file) {
  std::optional<std::string> text = ReadText(file);
  if (!text) return std::nullopt;
  try {
    return std::stoull(*text);
  } catch (const std::exception&) {
    return std::nullopt;  // "max"
  }
}

void Lower(std::optional<std::uint64_t>& least, std::uint64_t value) {
  least = least ? std::min(*least, value) : value;
}

std::optional<std::uint64_t> MemAvailableBytes(const fs::path& proc) {
  std::ifstream in(proc / "meminfo");
  std::string key;
  std::uint64_t kib = 0;
  std::string unit;
  while (in >> key >> kib) {
    std::getline(in, unit);
    if (key == "MemAvailable:") return kib * 1024;
  }
  return std::nullopt;
}

// The value of `key` in a cgroup's memory.stat, or 0.
std::uint64_t ReadStat(const fs::path& file, const std::string& key) {
  std::ifstream in(file);
  std::string name;
  std::uint64_t value = 0;
  while (in >> name >> value) {
    if (name == key) return value;
  }
  return 0;
}

struct CgroupFiles {
  const char* limit;
  const char* usage;
  const char* reclaimable;  // the memory.stat key of page cache the kernel drops first
};
constexpr CgroupFiles kCgroupV2Files = {"memory.max", "memory.current", "inactive_file"};
constexpr CgroupFiles kCgroupV1Files = {"memory.limit_in_bytes", "memory.usage_in_bytes",
                                        "total_inactive_file"};

// The headroom of the cgroup at `path` below `root` and of every one above it.
void LowerByCgroups(std::optional<std::uint64_t>& least, const fs::path& root,
                    const std::string& path, const CgroupFiles& files) {
  const fs::path relative = fs::path(path).relative_path();
  fs::path directory = relative.empty() ? root : root / relative;
  // In a cgroup namespace the process's own group is the mount's root.
  std::error_code error;
  if (!fs::is_directory(directory, error)) directory = root;
  for (;;) {
    std::optional<std::uint64_t> limit = ReadNumber(directory / files.limit);
    if (limit && *limit < kNoLimit) {
      std::uint64_t usage = ReadNumber(directory / files.usage).value_or(0);
      usage -= std::min(usage, ReadStat(directory / "memory.stat", files.reclaimable));
      Lower(least, *limit > usage ? *limit - usage : 0);
    }
    if (directory == root) break;
    directory = directory.parent_path();
  }
}

void LowerByCgroups(std::optional<std::uint64_t>& least, const MemorySources& sources) {
  std::ifstream in(sources.proc / "self" / "cgroup");
  std::string line;
  while (std::getline(in, line)) {
    // "ID:CONTROLLERS:PATH"; v2's line is "0::PATH".
    const std::size_t first = line.find(':');
    const std::size_t second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (controllers.empty()) {
      std::error_code error;
      if (fs::exists(sources.cgroup / "cgroup.controllers", error)) {
        LowerByCgroups(least, sources.cgroup, path, kCgroupV2Files);
      }
    } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
      LowerByCgroups(least, sources.cgroup / "memory", path, kCgroupV1Files);
    }
  }
}

void LowerByResourceLimits(std::optional<std::uint64_t>& least, const fs::path& proc) {
  // statm: total program size, resident, shared, text, library, data+stack,
  // dirty, in pages.
  std::ifstream in(proc / "self" / "statm");
  std::uint64_t fields[6] = {};
  for (std::uint64_t& field : fields) in >> field;
  if (!in) return;
  const auto page_bytes = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  const std::pair<int, std::uint64_t> limits[] = {{RLIMIT_AS, fields[0] * page_bytes},
                                                  {RLIMIT_DATA, fields[5] * page_bytes}};
  for (const auto& [resource, in_use] : limits) {
    struct rlimit limit;
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) continue;
    Lower(least, limit.rlim_cur > in_use ? limit.rlim_cur - in_use : 0);
  }
}

}  // namespace

std::optional<std::uint64_t> MemoryHeadroomBytes(const MemorySources& sources) {
  std::optional<std::uint64_t> least = MemAvailableBytes(sources.proc);
  LowerByCgroups(least, sources);
  if (sources.resource_limits) LowerByResourceLimits(least, sources.proc);
  return least;
}

}  // namespace plim::avfaudio
