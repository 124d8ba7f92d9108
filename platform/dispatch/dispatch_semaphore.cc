#include "platform/dispatch/dispatch_semaphore.h"

#include <algorithm>
#include <cmath>

namespace plim::dispatch {

DispatchTime dispatchTimeFromNow(double seconds) {
  DispatchTime now = std::chrono::steady_clock::now();
  if (!(seconds > 0)) return now;
  // Ten years stands for "forever" without overflowing the clock's range.
  constexpr double kMaxSeconds = 10.0 * 365 * 24 * 3600;
  auto span = std::chrono::duration<double>(std::min(seconds, kMaxSeconds));
  return now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(span);
}

void DispatchSemaphore::signal() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
  }
  signalled_.notify_one();
}

bool DispatchSemaphore::wait(DispatchTime deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  // The predicate form absorbs spurious wake-ups; libstdc++ waits on the
  // steady clock itself here, so the deadline stays monotonic.
  if (!signalled_.wait_until(lock, deadline, [this] { return count_ > 0; })) return false;
  --count_;
  return true;
}

}  // namespace plim::dispatch
