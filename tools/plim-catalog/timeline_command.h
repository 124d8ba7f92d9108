// `plim-catalog match --timeline`: every catalog recording heard along a
// long recording, with its times.

#ifndef PLIM_TOOLS_PLIM_CATALOG_TIMELINE_COMMAND_H_
#define PLIM_TOOLS_PLIM_CATALOG_TIMELINE_COMMAND_H_

#include <string>
#include <vector>

#include "tools/plim-catalog/global_options.h"

namespace plim {

// For each file of `paths` (files, folders, "-" as for batch_match.h), on
// `jobs` threads (0: one per core), answering in the files' order: decodes and fingerprints it as a
// stream (memory does not grow with its length), matches each window of
// it, and writes the stretches where catalog recordings play, in time
// order: start and end in the file, the recording (id, artist, title),
// where in the recording the stretch begins, speed skew and confidence. A
// table under the file's name, or with global.json one JSON object a
// stretch with "path". Stretches where nothing known plays are left out.
// A file that fails gets its error on a line of its own (standard error;
// with global.json a JSON line with "path" and "error" on standard output)
// and the next goes on. Unless global.quiet, says on standard error how
// fast each file went. Returns 1 when any file failed or the catalog could
// not be opened, else 0.
int RunTimelineCommand(const GlobalOptions& global, const std::vector<std::string>& paths,
                       unsigned jobs);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_TIMELINE_COMMAND_H_
