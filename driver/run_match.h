// The body of a plim-shazamkit run: from the audio file to the result line.

#ifndef PLIM_DRIVER_RUN_MATCH_H_
#define PLIM_DRIVER_RUN_MATCH_H_

#include <functional>
#include <string>

#include "platform/shazamkit/sh_session.h"

namespace plim {

// How long the run waits for the recognition service, counted from the
// moment the match request went out.
inline constexpr double kRecognitionTimeoutS = 18.0;

// Makes the signature of the file at `path` (taken unaltered), asks the
// recognition service to match it, waits at most kRecognitionTimeoutS, and
// writes the outcome as the result line. Returns when the line has been
// written, whether or not anything matched. Throws RunError (code 4 on
// time-out, or the encoding failure) or the platform's NSError; nothing has
// been written to standard output then. The signature, delegate and session
// are held until it returns or throws.
void runMatch(const std::string& path);

// The same run with the session `make_session` gives in place of a session
// over the default catalog.
void runMatch(const std::string& path, const std::function<shazamkit::SHSession()>& make_session);

}  // namespace plim

#endif  // PLIM_DRIVER_RUN_MATCH_H_
