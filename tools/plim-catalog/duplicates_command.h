// `plim-catalog duplicates`: the groups of recordings in the catalog that
// hold the same music end to end.

#ifndef PLIM_TOOLS_PLIM_CATALOG_DUPLICATES_COMMAND_H_
#define PLIM_TOOLS_PLIM_CATALOG_DUPLICATES_COMMAND_H_

#include "tools/plim-catalog/global_options.h"

namespace plim {

// Matches each recording's kept peaks against the catalog (FindSameMusic)
// and joins recordings that match each other into groups. Writes each group
// to standard output, one recording a line (group number, id, artist,
// title, duration, path; tab-separated under a header, or JSON lines with
// global.json), groups numbered from 1 in the order of their lowest id;
// unless quiet, a summary on standard error. Returns 0, or 1 when the
// catalog can't be opened or read.
int RunDuplicatesCommand(const GlobalOptions& global);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_DUPLICATES_COMMAND_H_
