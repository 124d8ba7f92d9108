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
};

// Applies the options (over the CSV file's row, when both name a field) to
// each recording in one transaction per recording, and says what each now
// holds (as JSON lines with global.json; nothing with global.quiet).
// Returns the exit status: 0 when every recording was corrected, 1 when any
// is not in the catalog or the catalog can't be written, kExitUsage when
// nothing would change.
int RunEditCommand(const GlobalOptions& global, const EditCommandOptions& options);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_EDIT_COMMAND_H_
