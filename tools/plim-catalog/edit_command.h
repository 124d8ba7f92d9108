// `plim-catalog edit`: corrects the metadata of recordings in place, keeping
// their ids, audio and landmarks.

#ifndef PLIM_TOOLS_PLIM_CATALOG_EDIT_COMMAND_H_
#define PLIM_TOOLS_PLIM_CATALOG_EDIT_COMMAND_H_

#include <optional>
#include <string>
#include <vector>

#include "tools/plim-catalog/global_options.h"
#include "tools/plim-catalog/metadata_csv.h"

namespace plim {

struct EditCommandOptions {
  // The recording: an id, or the path it was added from. Empty with
  // metadata.metadata_csv: then every recording the file names by path.
  std::string target;
  MetadataOptions metadata;
  std::optional<std::string> isrc;
  // Replaces the genres when given; a single empty genre clears them.
  std::vector<std::string> genres;
  bool dry_run = false;  // say what would change, and change nothing
};

// Applies the options (over the CSV file's row, when both name a field) to
// each recording, and says what each now holds (as JSON lines with
// global.json; nothing with global.quiet). Every recording is checked
// first: when any is not in the catalog, has an artwork file that can't be
// read, or has a row with nothing to change, each such fault is said (with
// the CSV file's name and line) and nothing is changed. With
// options.dry_run, says what each would hold, and changes nothing.
// Returns the exit status: 0 when every recording was corrected, 1 on a
// fault or when the catalog can't be written, kExitUsage when a recording
// named alone would not change or when both a recording and a CSV file
// are given.
int RunEditCommand(const GlobalOptions& global, const EditCommandOptions& options);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_EDIT_COMMAND_H_
