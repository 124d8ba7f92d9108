// plim-catalog's command line: global options, verbs, help, "did you mean",
// --version and the exit statuses. The verbs themselves are listed in
// main.cc; adding one is one more entry there.

#ifndef PLIM_TOOLS_PLIM_CATALOG_COMMAND_LINE_H_
#define PLIM_TOOLS_PLIM_CATALOG_COMMAND_LINE_H_

#include <CLI/CLI.hpp>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/plim-catalog/global_options.h"

namespace plim {

// Runs a verb once the line is parsed; returns the exit status.
using VerbRun = std::function<int(const GlobalOptions&)>;

struct VerbDefinition {
  std::string_view name;
  std::string_view summary;
  // Declares the verb's operands and options on `command`, bound to state
  // that the returned function reads when it runs.
  std::function<VerbRun(CLI::App& command)> declare;
  // False for a verb with no data to write: --json is then refused.
  bool writes_json = true;
};

// Parses `argv` against `verbs` and runs the verb named, writing help,
// version and usage errors itself. Returns the exit status.
int RunCommandLine(int argc, char** argv, const std::vector<VerbDefinition>& verbs);

// The entry of `words` nearest to `word` when it is near enough to be a
// likely misspelling (a few letters added, dropped, changed or swapped);
// empty otherwise.
std::string NearestWord(std::string_view word, const std::vector<std::string>& words);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_COMMAND_LINE_H_
