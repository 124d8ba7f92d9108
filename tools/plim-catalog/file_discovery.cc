#include "tools/plim-catalog/file_discovery.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <set>

#include "platform/foundation/quoted_text.h"

namespace plim {
namespace {

namespace fs = std::filesystem;

bool IsHidden(const fs::path& path) {
  std::string name = path.filename().string();
  return !name.empty() && name[0] == '.';
}

}  // namespace

bool HasAudioExtension(const std::string& path) {
  static constexpr std::array<std::string_view, 22> kAudio = {
      ".mp3", ".flac", ".ogg",  ".oga", ".opus", ".m4a", ".m4b", ".mp4", ".aac", ".wav", ".wave",
      ".aif", ".aiff", ".aifc", ".wma", ".ape",  ".wv",  ".mka", ".mpc", ".ac3", ".caf", ".alac"};
  std::string extension = fs::path(path).extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return std::find(kAudio.begin(), kAudio.end(), extension) != kAudio.end();
}

std::string NormalSourcePath(const std::string& path) {
  std::error_code error;
  fs::path absolute = fs::absolute(fs::path(path), error);
  return (error ? fs::path(path) : absolute).lexically_normal().string();
}

bool IsUnderFolder(std::string_view path, std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (path.rfind(folder, 0) != 0) return false;
  return path.size() == folder.size() || folder == "/" || path[folder.size()] == '/';
}

Discovery DiscoverFiles(const std::vector<std::string>& paths) {
  Discovery discovery;
  std::set<std::string> seen;
  auto add = [&](const fs::path& path, bool named, std::uint64_t size) {
    std::string normal = NormalSourcePath(path.string());
    if (seen.insert(normal).second) discovery.candidates.push_back({normal, named, size});
  };
  for (const std::string& given : paths) {
    std::error_code error;
    fs::file_status status = fs::status(given, error);
    if (!fs::exists(status)) {
      discovery.problems.push_back(
          {given, "The file " + foundation::QuotedText(given) + " does not exist."});
      continue;
    }
    if (!fs::is_directory(status)) {
      std::uintmax_t size = fs::file_size(given, error);
      add(given, true, error ? 0 : size);
      continue;
    }
    std::vector<std::pair<std::string, std::uint64_t>> found;
    fs::recursive_directory_iterator it(given, fs::directory_options::skip_permission_denied,
                                        error);
    if (error) {
      discovery.problems.push_back({given, "The folder " + foundation::QuotedText(given) +
                                               " could not be read: " + error.message() + "."});
      continue;
    }
    for (; it != fs::recursive_directory_iterator(); it.increment(error)) {
      if (error) {
        discovery.problems.push_back({given, "The folder " + foundation::QuotedText(given) +
                                                 " could not be read completely: " +
                                                 error.message() + "."});
        break;
      }
      if (IsHidden(it->path())) {
        if (it->is_directory(error)) it.disable_recursion_pending();
        continue;
      }
      if (it->is_regular_file(error)) {
        std::uintmax_t size = it->file_size(error);
        found.push_back({it->path().string(), error ? 0 : size});
      }
    }
    std::sort(found.begin(), found.end());
    for (const auto& [path, size] : found) add(path, false, size);
  }
  return discovery;
}

}  // namespace plim
