// The commands that read the catalog: list, show, stats; and remove.

#ifndef PLIM_TOOLS_PLIM_CATALOG_INSPECT_COMMANDS_H_
#define PLIM_TOOLS_PLIM_CATALOG_INSPECT_COMMANDS_H_

#include <string>
#include <vector>

namespace plim {

// Each writes its output to standard output and problems to standard
// error, and returns the exit status (0, or 1 on any failure).

// One recording a line: id, artist, title, duration (m:ss), source path,
// tab-separated; or with `json` one JSON object a line.
int RunListCommand(const std::string& catalog_directory, bool json);

// Every field of recording `id`, one "name: value" line each.
int RunShowCommand(const std::string& catalog_directory, const std::string& id);

// Recordings, hours of audio, postings, size on disk and bytes per hour.
int RunStatsCommand(const std::string& catalog_directory);

// Removes each of `targets`: a recording id, or the path a recording was
// added from (which need no longer exist).
int RunRemoveCommand(const std::string& catalog_directory, const std::vector<std::string>& targets);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_INSPECT_COMMANDS_H_
