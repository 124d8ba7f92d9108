// `plim-catalog add`: decodes and fingerprints files on every core and adds
// them to the catalog from a single writer.

#ifndef PLIM_TOOLS_PLIM_CATALOG_ADD_COMMAND_H_
#define PLIM_TOOLS_PLIM_CATALOG_ADD_COMMAND_H_

#include <string>
#include <vector>

#include "tools/plim-catalog/global_options.h"
#include "tools/plim-catalog/metadata_csv.h"

namespace plim {

struct AddCommandOptions {
  std::vector<std::string> paths;  // files and folders; may be empty with a metadata file
  MetadataOptions metadata;        // without paths, the metadata file's files are added
  unsigned jobs = 0;               // decoding threads; 0 for one per core
  bool dry_run = false;            // list what would be done, change nothing
  // Files whose audio is in the catalog from the same path but that changed
  // (new tags) have their recording's metadata corrected in place.
  bool update_tags = false;
  // A file holding the same music as a recording already in the catalog
  // (end to end, in any format) is recorded as another copy of it unless
  // this is set; then it becomes a recording of its own.
  bool allow_duplicates = false;
};

// Runs the command, writing problems, progress and the summary to standard
// error (progress and summary not with global.quiet). Ctrl-C stops after
// the files being read, keeping what was added, and still prints the
// summary. Returns the exit status: 0 when every file was added or
// skipped, 1 when any failed or the catalog could not be opened or
// written, kExitInterrupted after Ctrl-C. With options.dry_run, see
// RunAddDryRun.
int RunAddCommand(const GlobalOptions& global, const AddCommandOptions& options);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_ADD_COMMAND_H_
