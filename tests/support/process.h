// Runs a program as a child process and collects what it wrote, for tests
// that drive the real executables.

#ifndef PLIM_TESTS_SUPPORT_PROCESS_H_
#define PLIM_TESTS_SUPPORT_PROCESS_H_

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace plim::testing {

struct ProcessResult {
  int exit_status = -1;  // the status given to exit(), or -1 when killed by a signal
  int signal = 0;        // the signal that ended the process, or 0
  std::string standard_output;
  std::string standard_error;
};

struct ProcessOptions {
  // Variables to set (a value) or remove (nullopt) in the child's environment.
  std::map<std::string, std::optional<std::string>> environment;
  std::string working_directory;  // empty: the test's own
  std::string standard_input;     // written to the child's standard input
};

// Runs `argv` (argv[0] is the program's path) to completion and returns its
// exit status and both output streams. Throws std::runtime_error when the
// process can't be started.
ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

}  // namespace plim::testing

#endif  // PLIM_TESTS_SUPPORT_PROCESS_H_
