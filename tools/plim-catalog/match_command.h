// `plim-catalog match`: every candidate the catalog holds for a clip.

#ifndef PLIM_TOOLS_PLIM_CATALOG_MATCH_COMMAND_H_
#define PLIM_TOOLS_PLIM_CATALOG_MATCH_COMMAND_H_

#include <string>

#include "tools/plim-catalog/global_options.h"

namespace plim {

// Matches the audio file at `path` against the catalog and prints the best
// candidates, accepted ones first: id, artist, title, aligned landmarks,
// confidence, offset into the reference, speed skew, the chance of a false
// match, and whether it counts as a match, under a header and above a
// legend of the columns. With global.json, one JSON object a line. Returns the exit status: 0 when
// the search ran (matched or not), 1 when the file or the catalog could not be read.
int RunMatchCommand(const GlobalOptions& global, const std::string& path);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_MATCH_COMMAND_H_
