// The one error value of a plim-shazamkit run.

#ifndef PLIM_DRIVER_RUN_ERROR_H_
#define PLIM_DRIVER_RUN_ERROR_H_

#include <cstdint>
#include <string>

#include "platform/foundation/ns_error.h"

namespace plim {

// The program's own failures use this domain, with codes 2, 3 and 4 only.
inline constexpr char kRunErrorDomain[] = "PLIMLive";

// A failure of the run: domain, code and the description that the failure
// report prints. Thrown by the program's steps; platform errors (NSError)
// reach main unchanged and are reported as RunError values with their own
// domain, code and description. A plain value; safe to copy.
class RunError : public foundation::NSError {
 public:
  RunError(std::string domain, std::int64_t code, std::string description)
      : NSError(std::move(domain), code, std::move(description)) {}
  // The same domain, code and description as a platform error.
  explicit RunError(const foundation::NSError& error)
      : NSError(error.domain(), error.code(), error.description()) {}

  // Code 2: the command line does not hold exactly one operand.
  static RunError usage() { return {kRunErrorDomain, 2, "Usage: plim-shazamkit audio.wav"}; }
  // Code 3: no PCM buffer could be made for the file.
  static RunError bufferAllocation() {
    return {kRunErrorDomain, 3, "Could not allocate an audio buffer"};
  }
  // Code 4: no recognition outcome within the time limit.
  static RunError timedOut() { return {kRunErrorDomain, 4, "ShazamKit recognition timed out"}; }
};

}  // namespace plim

#endif  // PLIM_DRIVER_RUN_ERROR_H_
