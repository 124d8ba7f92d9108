// `plim-catalog add`: decodes and fingerprints files on every core and adds
// them to the catalog from a single writer.

#ifndef PLIM_TOOLS_PLIM_CATALOG_ADD_COMMAND_H_
#define PLIM_TOOLS_PLIM_CATALOG_ADD_COMMAND_H_

#include <optional>
#include <string>
#include <vector>

namespace plim {

struct AddCommandOptions {
  std::string catalog_directory;
  std::vector<std::string> paths;  // files and folders; may be empty with a metadata file
  std::optional<std::string> artist;
  std::optional<std::string> title;
  std::optional<std::string> artwork;  // a URL, or a path to an image file
  std::optional<std::string> album;
  std::optional<std::string> metadata_csv;
  unsigned jobs = 0;  // decoding threads; 0 for one per core
};

// Runs the command, writing problems, progress and the summary to standard
// error. Returns the exit status: 0 when every file was added or skipped,
// 1 when any failed or the catalog could not be opened or written.
int RunAddCommand(const AddCommandOptions& options);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_ADD_COMMAND_H_
