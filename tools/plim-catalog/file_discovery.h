// The files an `add` covers: those named, and those in the folders named.

#ifndef PLIM_TOOLS_PLIM_CATALOG_FILE_DISCOVERY_H_
#define PLIM_TOOLS_PLIM_CATALOG_FILE_DISCOVERY_H_

#include <string>
#include <string_view>
#include <vector>

#include "tools/plim-catalog/file_ingest.h"

namespace plim {

// A path named that does not exist or can't be listed, and why, in a
// sentence that names it.
struct DiscoveryProblem {
  std::string path;
  std::string message;
};

struct Discovery {
  std::vector<Candidate> candidates;  // each file once, folders' files in name order
  std::vector<DiscoveryProblem> problems;
};

// Expands `paths`: a file stands for itself (named_explicitly); a folder for
// every regular file below it, recursively, leaving out hidden files and
// folders (names starting with '.') and not following links to folders.
// Whether a file holds audio is decided later, by decoding it. Never throws
// for file-system problems; they are listed in `problems`.
Discovery DiscoverFiles(const std::vector<std::string>& paths);

// Whether the name of the file at `path` says it holds audio (.mp3, .flac,
// ...; any case). A file found in a folder that does not decode as audio is
// left out silently unless it says so: then it is a damaged file the user
// wants to hear about. Pure.
bool HasAudioExtension(const std::string& path);

// `path` absolute and lexically normal, as the catalog records source paths.
std::string NormalSourcePath(const std::string& path);

// Whether normal `path` is normal `folder` or lies under it: /music holds
// /music/a.ogg but not /music2/a.ogg. A trailing slash on `folder` is ignored.
bool IsUnderFolder(std::string_view path, std::string folder);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_FILE_DISCOVERY_H_
