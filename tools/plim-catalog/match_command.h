// `plim-catalog match`: what the catalog holds for one clip, for many files,
// or along a long recording.

#ifndef PLIM_TOOLS_PLIM_CATALOG_MATCH_COMMAND_H_
#define PLIM_TOOLS_PLIM_CATALOG_MATCH_COMMAND_H_

#include <string>
#include <vector>

#include "tools/plim-catalog/global_options.h"

namespace plim {

struct MatchCommandOptions {
  // Files, folders (searched recursively), and "-" for paths read from
  // standard input, one a line.
  std::vector<std::string> paths;
  unsigned jobs = 0;        // files matched at once; 0 for one per core
  bool timeline = false;    // every recording heard along each file, with its times
  bool candidates = false;  // each file's best candidates besides its answer
};

// One answer per file, the same whatever the operands (see batch_match.h),
// or a timeline per file (see timeline_command.h). With global.json, one
// JSON object a line. Returns the exit status: 0 when every file was
// searched (matched or not), 1 when any file or the catalog could not be
// read.
int RunMatchCommand(const GlobalOptions& global, const MatchCommandOptions& options);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_MATCH_COMMAND_H_
