#include "tools/plim-catalog/match_files.h"

#include <algorithm>
#include <iostream>
#include <thread>

#include "platform/foundation/ns_error.h"
#include "platform/foundation/quoted_text.h"
#include "platform/foundation/standard_stream.h"
#include "tools/plim-catalog/json_line.h"
#include "tools/plim-catalog/ordered_jobs.h"
#include "tools/plim-catalog/store_warnings.h"

namespace plim {

FileAnswer FailedFile(const GlobalOptions& global, const std::string& path,
                      const std::string& message) {
  // The audio layer's messages name the file; others may not.
  const std::string text = foundation::MessageNamingFile(path, message);
  FileAnswer answer;
  answer.failed = true;
  if (global.json) {
    answer.output = JsonLine().Text("path", path).Text("error", text).Finish();
  } else {
    answer.error = "plim-catalog: " + text + "\n";
  }
  return answer;
}

namespace {

// The paths named, with "-" replaced by the lines of standard input.
std::vector<std::string> ExpandStandardInput(const std::vector<std::string>& paths) {
  std::vector<std::string> expanded;
  for (const std::string& path : paths) {
    if (path != "-") {
      expanded.push_back(path);
      continue;
    }
    for (std::string line; std::getline(std::cin, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) expanded.push_back(line);
    }
  }
  return expanded;
}

}  // namespace

std::string PathForTable(const std::string& path) {
  return foundation::ShownText(path) == path ? path : foundation::QuotedText(path);
}

int AnswerFiles(const GlobalOptions& global, const std::vector<std::string>& paths, unsigned jobs,
                const std::string& text_header, const FileAnswerer& answer) {
  shazamkit::CatalogRecognitionService service(global.catalog_directory);
  try {
    WriteStoreWarnings(service.OpenCatalog());
  } catch (const foundation::NSError& error) {
    foundation::writeToStandardError("plim-catalog: " + error.description() + "\n");
    return kExitFailure;
  }
  const Discovery discovery = DiscoverFiles(ExpandStandardInput(paths));
  const std::vector<Candidate>& files = discovery.candidates;
  if (!global.json) foundation::writeToStandardOutput(text_header);
  int status = kExitSuccess;
  // A path that names nothing answers like a file that fails: with --json,
  // a line of its own naming it.
  for (const DiscoveryProblem& problem : discovery.problems) {
    const FileAnswer answer = FailedFile(global, problem.path, problem.message);
    if (!answer.output.empty()) foundation::writeToStandardOutput(answer.output);
    if (!answer.error.empty()) foundation::writeToStandardError(answer.error);
    status = kExitFailure;
  }
  if (jobs == 0) jobs = std::max(1u, std::thread::hardware_concurrency());
  RunInOrder<FileAnswer>(
      files.size(), jobs, [&](std::size_t i) { return answer(files[i], service); },
      [&](std::size_t, FileAnswer a) {
        if (!a.output.empty()) foundation::writeToStandardOutput(a.output);
        if (!a.error.empty()) foundation::writeToStandardError(a.error);
        if (a.failed) status = kExitFailure;
      });
  return status;
}

}  // namespace plim
