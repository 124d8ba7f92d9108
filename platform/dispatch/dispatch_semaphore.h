// A counting semaphore whose wait ends at a deadline on the monotonic clock.

#ifndef PLIM_PLATFORM_DISPATCH_DISPATCH_SEMAPHORE_H_
#define PLIM_PLATFORM_DISPATCH_DISPATCH_SEMAPHORE_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace plim::dispatch {

// Instants and spans on the monotonic clock, which wall-clock changes do not move.
using DispatchTime = std::chrono::steady_clock::time_point;

// The monotonic instant `seconds` from now. A span of zero or less, or NaN,
// gives now: a deadline that has already passed. Very large spans saturate.
DispatchTime dispatchTimeFromNow(double seconds);

// Thread-safe: signal() and wait() may be called from any threads. A signal
// given before anyone waits is kept in the count and not lost. Signalling
// happens-before the wait that takes that signal returns, so what a thread
// wrote before signal() is visible to the thread whose wait took it.
class DispatchSemaphore {
 public:
  explicit DispatchSemaphore(std::int64_t initial_count = 0) : count_(initial_count) {}
  DispatchSemaphore(const DispatchSemaphore&) = delete;
  DispatchSemaphore& operator=(const DispatchSemaphore&) = delete;

  // Raises the count by one and wakes one waiter.
  void signal();

  // Takes one signal, blocking until one is there or `deadline` has passed.
  // Returns true when it took a signal, false when the deadline came first
  // (then the count is unchanged). A deadline already passed returns at once.
  bool wait(DispatchTime deadline);

 private:
  std::mutex mutex_;
  std::condition_variable signalled_;  // notified by signal()
  std::int64_t count_;                 // guarded by mutex_
};

}  // namespace plim::dispatch

#endif  // PLIM_PLATFORM_DISPATCH_DISPATCH_SEMAPHORE_H_
