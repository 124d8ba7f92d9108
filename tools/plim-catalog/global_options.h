// What every plim-catalog verb is given besides its own options: the global
// options, and the exit statuses all verbs share.

#ifndef PLIM_TOOLS_PLIM_CATALOG_GLOBAL_OPTIONS_H_
#define PLIM_TOOLS_PLIM_CATALOG_GLOBAL_OPTIONS_H_

#include <string>

namespace plim {

// Exit statuses of every verb: success, a failure of the work itself, a
// command line that could not be understood, and an interruption.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
// Ended early by Ctrl-C, after saying what was done: 128 + SIGINT, as a
// shell reports a program that SIGINT ended.
inline constexpr int kExitInterrupted = 130;

// Options taken anywhere on the line, before or after the verb.
struct GlobalOptions {
  std::string catalog_directory;  // resolved to the default when not given
  bool json = false;              // data as JSON lines
  bool quiet = false;             // no progress, summaries or confirmations
};

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_GLOBAL_OPTIONS_H_
