// The body of a plim-shazamkit run: from the audio file to the result line.

#ifndef PLIM_DRIVER_RUN_MATCH_H_
#define PLIM_DRIVER_RUN_MATCH_H_

#include <string>

namespace plim {

// Makes the signature of the file at `path` (taken unaltered), asks the
// recognition service to match it, waits at most 18 seconds from the moment
// the request went out, and writes the outcome as the result line. Returns
// when the line has been written, whether or not anything matched. Throws
// RunError (code 4 on time-out) or the platform's NSError; nothing has been
// written to standard output then.
void runMatch(const std::string& path);

}  // namespace plim

#endif  // PLIM_DRIVER_RUN_MATCH_H_
