// `plim-catalog add --dry-run`: what add would do with each file, foretold
// without changing anything.

#ifndef PLIM_TOOLS_PLIM_CATALOG_ADD_DRY_RUN_H_
#define PLIM_TOOLS_PLIM_CATALOG_ADD_DRY_RUN_H_

#include "tools/plim-catalog/add_command.h"
#include "tools/plim-catalog/file_discovery.h"
#include "tools/plim-catalog/global_options.h"

namespace plim {

// Writes "add", "update" or "skip", a tab and the path, for each file of
// `discovery`, as RunAddCommand with the same `options` would do with it:
// files are judged by path, size and time, and a file changed since it was
// added is decoded, since add keeps one whose audio is the same unless
// options.update_tags. Then the problems of `discovery` and, unless quiet,
// the counts on standard error. A missing catalog is an empty one. Returns
// 0, or 1 when a path named nothing or the catalog can't be read.
int RunAddDryRun(const GlobalOptions& global, const AddCommandOptions& options,
                 const Discovery& discovery);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_ADD_DRY_RUN_H_
