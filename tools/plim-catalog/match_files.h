// What `plim-catalog match` over many files shares, one answer per file or
// a timeline per file: which files, and their answers in order.

#ifndef PLIM_TOOLS_PLIM_CATALOG_MATCH_FILES_H_
#define PLIM_TOOLS_PLIM_CATALOG_MATCH_FILES_H_

#include <functional>
#include <string>
#include <vector>

#include "platform/shazamkit/catalog_recognition_service.h"
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

// `path` as a text table shows it: as it is, or quoted (foundation::QuotedText)
// when it holds a control character, a backslash or bytes that are not UTF-8.
// Pure.
std::string PathForTable(const std::string& path);

// Opens the catalog of global.catalog_directory for `answer` (when it can't
// be, says why on standard error and returns kExitFailure); finds the files
// `paths` stand for: files, folders searched recursively as `add` searches
// them, and "-" for paths read from standard input, one a line. Writes
// `text_header` (not with global.json), then runs `answer` for every file
// on `jobs` threads (0: one per core) and writes the answers in the files'
// order as they come; paths that don't exist are said on standard error.
// `answer` runs on several threads at once and must not throw. Returns
// kExitFailure when any answer failed or a path was missing, else
// kExitSuccess.
using FileAnswerer =
    std::function<FileAnswer(const Candidate&, shazamkit::CatalogRecognitionService&)>;
int AnswerFiles(const GlobalOptions& global, const std::vector<std::string>& paths, unsigned jobs,
                const std::string& text_header, const FileAnswerer& answer);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_MATCH_FILES_H_
