// The receiver of a recognition session's answers.

#ifndef PLIM_PLATFORM_SHAZAMKIT_SH_SESSION_DELEGATE_H_
#define PLIM_PLATFORM_SHAZAMKIT_SH_SESSION_DELEGATE_H_

#include <optional>

#include "platform/foundation/ns_error.h"
#include "platform/shazamkit/sh_match.h"
#include "platform/shazamkit/sh_signature.h"

namespace plim::shazamkit {

class SHSession;

// Implemented by whoever asks a session for matches. Each match request
// ends in exactly one call of one of these, made on a thread of the
// session's own, never on the thread that made the request.
class SHSessionDelegate {
 public:
  virtual ~SHSessionDelegate() = default;

  // The signature matched; `match.mediaItems` may still be empty.
  virtual void sessionDidFindMatch(const SHSession& session, const SHMatch& match) = 0;

  // Nothing matched `signature`: either the catalog holds nothing like it
  // (no error) or the search could not be made (`error` says why).
  virtual void sessionDidNotFindMatchForSignature(
      const SHSession& session, const SHSignature& signature,
      const std::optional<foundation::NSError>& error) = 0;
};

}  // namespace plim::shazamkit

#endif  // PLIM_PLATFORM_SHAZAMKIT_SH_SESSION_DELEGATE_H_
