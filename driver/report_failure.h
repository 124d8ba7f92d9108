// The failure report of a plim-shazamkit run.

#ifndef PLIM_DRIVER_REPORT_FAILURE_H_
#define PLIM_DRIVER_REPORT_FAILURE_H_

#include "driver/run_error.h"

namespace plim {

// Writes `error`'s description and one line feed to standard error, in one
// unbuffered write, then ends the process normally with exit status 1.
// Nothing else is printed: no prefix, domain or code. Does not return.
[[noreturn]] void reportFailure(const RunError& error);

}  // namespace plim

#endif  // PLIM_DRIVER_REPORT_FAILURE_H_
