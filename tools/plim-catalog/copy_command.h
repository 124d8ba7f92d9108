// `plim-catalog copy SRC DST`: moves a catalog between stores (an LMDB
// directory and a Redis catalog, either way).

#ifndef PLIM_TOOLS_PLIM_CATALOG_COPY_COMMAND_H_
#define PLIM_TOOLS_PLIM_CATALOG_COPY_COMMAND_H_

#include <string>

#include "tools/plim-catalog/global_options.h"

namespace plim {

struct CopyCommandOptions {
  std::string source;       // a catalog location: a directory or redis://...
  std::string destination;  // created when missing
  unsigned jobs = 0;        // decoding threads; 0 for one per core
};

// Copies every recording of the source into the destination with its id,
// metadata and artwork. A catalog keeps no landmarks per recording, so each
// is made again from the file it was added from (as rebuild does); files
// gone are named and left out. Recordings the destination has already
// (same id or same audio) are skipped, so an interrupted copy resumes where
// it stopped. Summary on standard error unless global.quiet. Returns the
// exit status: 0 when everything was copied, 1 otherwise.
int RunCopyCommand(const GlobalOptions& global, const CopyCommandOptions& options);

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_COPY_COMMAND_H_
