// The hand-off of the recognition service's answer to the waiting main thread.

#ifndef PLIM_RECOGNITION_MATCH_DELEGATE_H_
#define PLIM_RECOGNITION_MATCH_DELEGATE_H_

#include "output/match_output.h"
#include "platform/dispatch/dispatch_semaphore.h"
#include "platform/shazamkit/sh_session_delegate.h"

namespace plim {

// Receives the session's one answer on the service's thread, turns it into
// a MatchOutput, stores it in `output` and then signals; the main thread
// blocks in wait() and reads `output` only after wait() returned true.
class MatchDelegate : public shazamkit::SHSessionDelegate {
 public:
  MatchDelegate() = default;

  // The latest outcome; initially `matched` false with every field absent.
  // Written only by a callback, before it signals; read by the waiting
  // thread only after a wait() that returned true. The semaphore's signal
  // and wait order the two, so no lock guards it.
  MatchOutput output;

  // Blocks until a callback has signalled or `timeout_s` seconds have passed
  // on the monotonic clock, counted from this call. Returns true when it took
  // a signal (at most one), false at the deadline. A timeout of zero or less
  // returns at once: true when a signal is already waiting.
  bool wait(double timeout_s);

  // A match: `matched` true with the first media item's artist, title and
  // artwork URL text, each only when the item has one; with no media items,
  // `matched` false and the message "No media item returned".
  void sessionDidFindMatch(const shazamkit::SHSession& session,
                           const shazamkit::SHMatch& match) override;

  // No match: `matched` false, and `message` the error's description when
  // an error is given (even an empty one), else absent.
  void sessionDidNotFindMatchForSignature(const shazamkit::SHSession& session,
                                          const shazamkit::SHSignature& signature,
                                          const std::optional<foundation::NSError>& error) override;

 private:
  dispatch::DispatchSemaphore semaphore_{0};
};

}  // namespace plim

#endif  // PLIM_RECOGNITION_MATCH_DELEGATE_H_
