// A recognition session: sends signatures to the recognition service and
// reports the answers to its delegate.

#ifndef PLIM_PLATFORM_SHAZAMKIT_SH_SESSION_H_
#define PLIM_PLATFORM_SHAZAMKIT_SH_SESSION_H_

#include <memory>
#include <mutex>

#include "platform/shazamkit/recognition_service.h"
#include "platform/shazamkit/sh_session_delegate.h"
#include "platform/shazamkit/sh_signature.h"

namespace plim::shazamkit {

// A handle to a session; copies share it. Thread-safe.
//
// The session holds its delegate weakly: an answer that comes after the
// delegate's last owner let go of it (a late answer after a time-out) is
// dropped, never delivered to a released object.
class SHSession {
 public:
  // A session over the default catalog (catalog::DefaultCatalogDirectory()),
  // opened on first use. Never fails; problems with the catalog arrive as
  // no-match answers with an error.
  SHSession();
  // A session over `service` (a given catalog, or a stand-in in tests).
  explicit SHSession(std::shared_ptr<RecognitionService> service);

  // The delegate that later requests answer to.
  void setDelegate(const std::shared_ptr<SHSessionDelegate>& delegate);

  // Starts matching `signature` on a thread of the session's own and returns
  // at once. Exactly one delegate callback follows, unless the delegate has
  // been released by then. Never fails.
  void matchSignature(const SHSignature& signature);

 private:
  struct Core {
    std::shared_ptr<RecognitionService> service;  // immutable after construction
    std::mutex mutex;
    std::weak_ptr<SHSessionDelegate> delegate;  // guarded by mutex
  };
  explicit SHSession(std::shared_ptr<Core> core) : core_(std::move(core)) {}

  std::shared_ptr<Core> core_;
};

}  // namespace plim::shazamkit

#endif  // PLIM_PLATFORM_SHAZAMKIT_SH_SESSION_H_
