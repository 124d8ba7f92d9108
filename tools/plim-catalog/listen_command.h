// `plim-catalog listen`: names the catalog recordings heard on a live
// source as they play.

#ifndef PLIM_TOOLS_PLIM_CATALOG_LISTEN_COMMAND_H_
#define PLIM_TOOLS_PLIM_CATALOG_LISTEN_COMMAND_H_

#include <string>

#include "tools/plim-catalog/global_options.h"

namespace plim {

struct ListenCommandOptions {
  // A URL FFmpeg reads, "-" for standard input, or alsa:NAME / pulse:NAME.
  std::string source;
  bool once = false;            // stop at the first loss of the source instead of reconnecting
  double stall_timeout_s = 15;  // no data for this long is a loss of the source
};

// Listens to options.source through the timeline's windowed matcher and
// writes one line per event as it happens, flushed at once: a stretch's start
// (once established; stream time in seconds since listening began, the
// wall-clock time, the recording, where in it, speed skew, confidence) and
// its end. With global.json, one JSON line an event, with "event" ("start" or
// "end") and the fields of `match --timeline --json`. The catalog is read
// afresh at least once a minute. A source that is lost (ended, failed, no
// data for options.stall_timeout_s) is opened again after 1, 2, 4 ... 60 s,
// each attempt and outcome a line on standard error, stream time going on
// with the wall time of the gap; with options.once the first loss ends the
// run instead. Standard input can't be opened again: its end ends the run,
// and so does its failure or stall, as with options.once. Ctrl-C and SIGTERM
// end the open stretches with end events. Returns 0 at the end of standard
// input or after SIGTERM, kExitInterrupted after Ctrl-C, 1 when the catalog
// fails, the source can't be opened, or with options.once (or on standard
// input) when the source is lost.
int RunListenCommand(const GlobalOptions& global, const ListenCommandOptions& options);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_LISTEN_COMMAND_H_
