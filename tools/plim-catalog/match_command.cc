#include "tools/plim-catalog/match_command.h"

#include "tools/plim-catalog/batch_match.h"
#include "tools/plim-catalog/timeline_command.h"

namespace plim {

int RunMatchCommand(const GlobalOptions& global, const MatchCommandOptions& options) {
  if (options.timeline) return RunTimelineCommand(global, options.paths, options.jobs);
  return RunBatchMatch(global, options.paths, options.jobs, options.candidates);
}

}  // namespace plim
