// What answers a session's match requests.

#ifndef PLIM_PLATFORM_SHAZAMKIT_RECOGNITION_SERVICE_H_
#define PLIM_PLATFORM_SHAZAMKIT_RECOGNITION_SERVICE_H_

#include <optional>

#include "platform/foundation/ns_error.h"
#include "platform/shazamkit/sh_match.h"
#include "platform/shazamkit/sh_signature.h"

namespace plim::shazamkit {

// The answer to one request: a match, or no match with an optional error.
struct RecognitionOutcome {
  std::optional<SHMatch> match;              // present: a match
  std::optional<foundation::NSError> error;  // only without a match
};

// Searches signatures. A session calls Recognize on its own threads, possibly
// several at once: implementations must be thread-safe. Errors may be
// thrown as foundation::NSError or returned in the outcome; either way the
// session reports them as a no-match with that error.
class RecognitionService {
 public:
  virtual ~RecognitionService() = default;
  virtual RecognitionOutcome Recognize(const SHSignature& signature) = 0;
};

}  // namespace plim::shazamkit

#endif  // PLIM_PLATFORM_SHAZAMKIT_RECOGNITION_SERVICE_H_
