// `plim-catalog rebuild`: brings a catalog built with an older fingerprint
// up to date from the files its recordings were added from.

#ifndef PLIM_TOOLS_PLIM_CATALOG_REBUILD_COMMAND_H_
#define PLIM_TOOLS_PLIM_CATALOG_REBUILD_COMMAND_H_

#include <string>

namespace plim {

struct RebuildCommandOptions {
  std::string catalog_directory;
  unsigned jobs = 0;  // decoding threads; 0 for one per core
  // Rebuild a catalog of the current fingerprint too, from the records that
  // can be read (catalog::Catalog::Verify): recordings whose records are
  // damaged are left out, as are files that are gone.
  bool repair = false;
};

// Decodes every recording's source file again (when the catalog was built
// with an older fingerprint, or with `repair`) and builds a catalog of the
// current fingerprint beside the old one (in "<directory>.rebuild"), with
// the same ids, metadata and artwork; then swaps the two in one atomic
// rename. Until the swap the old catalog is untouched, so an interrupted
// rebuild loses nothing (the next one starts over). Recordings whose files
// are gone or unreadable are named on standard error and left out; the old
// catalog is then kept at "<directory>.before-rebuild". Progress and the
// summary go to standard error. Returns the exit status: 0 when the catalog
// is up to date afterwards, 1 when it could not be rebuilt.
int RunRebuildCommand(const RebuildCommandOptions& options);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_REBUILD_COMMAND_H_
