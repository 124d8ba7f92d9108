// What `plim-catalog match` over many files shares, one answer per file or
// a timeline per file: which files, and their answers in order.

#ifndef PLIM_TOOLS_PLIM_CATALOG_MATCH_FILES_H_
#define PLIM_TOOLS_PLIM_CATALOG_MATCH_FILES_H_

#include <functional>
#include <string>
#include <vector>

#include "tools/plim-catalog/file_discovery.h"
#include "tools/plim-catalog/global_options.h"

namespace plim {

// One file's answer, as it is to be written.
struct FileAnswer {
  std::string output;  // for standard output; empty for a file left out
  std::string error;   // for standard error
  bool failed = false;
};

// The answer for a file that could not be read or matched: `message` (made
// to name the file when it does not) on standard error, or with global.json
// as a JSON line with "path" and "error" on standard output.
FileAnswer FailedFile(const GlobalOptions& global, const std::string& path,
                      const std::string& message);

// The files `paths` stand for: files, folders searched recursively as `add`
// searches them, and "-" for paths read from standard input, one a line.
// Reads standard input when "-" is there. Never throws for file-system
// problems; they are listed in `problems`.
Discovery DiscoverMatchFiles(const std::vector<std::string>& paths);

// Runs `answer` for every file of `files` on `jobs` threads (0: one per
// core) and writes the answers in the files' order as they come, after
// `problems` on standard error. `answer` runs on several threads at once
// and must not throw. Returns kExitFailure when any answer failed or there
// were problems, else kExitSuccess.
int AnswerFiles(const std::vector<Candidate>& files, const std::vector<std::string>& problems,
                unsigned jobs, const std::function<FileAnswer(const Candidate&)>& answer);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_MATCH_FILES_H_
