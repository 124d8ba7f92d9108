// Work on many items in parallel, with the results handed on in the items'
// order.

#ifndef PLIM_TOOLS_PLIM_CATALOG_ORDERED_JOBS_H_
#define PLIM_TOOLS_PLIM_CATALOG_ORDERED_JOBS_H_

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace plim {

// Runs `work(i)` for every i in [0, count) on `jobs` threads (at least one)
// and calls `deliver(i, result)` on the calling thread for i = 0, 1, ... in
// that order, as soon as each result and all before it are ready. At most
// a few results per thread wait to be delivered, so memory stays bounded
// however many items there are. `work` runs on several threads at once and
// must be safe to; it should report problems in its result rather than
// throw (an exception from it ends the program). `deliver` runs on the
// calling thread only.
template <typename Result, typename Work, typename Deliver>
void RunInOrder(std::size_t count, unsigned jobs, Work work, Deliver deliver) {
  jobs = static_cast<unsigned>(std::clamp<std::size_t>(jobs, 1, std::max<std::size_t>(count, 1)));
  // A slot per item in flight, item i in slot i % window.
  const std::size_t window = 4 * std::size_t{jobs};
  std::mutex mutex;
  std::condition_variable slot_free;                 // notified when `delivered` advances
  std::condition_variable ready;                     // notified when a slot is filled
  std::vector<std::optional<Result>> slots(window);  // guarded by mutex
  std::size_t next = 0;                              // guarded by mutex: the next item to start
  std::size_t delivered = 0;                         // guarded by mutex: items handed on
  std::vector<std::jthread> workers;
  for (unsigned j = 0; j < jobs; ++j) {
    workers.emplace_back([&] {
      for (;;) {
        std::size_t i;
        {
          std::unique_lock lock(mutex);
          slot_free.wait(lock, [&] { return next >= count || next < delivered + window; });
          if (next >= count) return;
          i = next++;
        }
        Result result = work(i);
        {
          std::lock_guard lock(mutex);
          slots[i % window].emplace(std::move(result));
        }
        ready.notify_one();
      }
    });
  }
  for (std::size_t i = 0; i < count; ++i) {
    Result result;
    {
      std::unique_lock lock(mutex);
      ready.wait(lock, [&] { return slots[i % window].has_value(); });
      result = std::move(*slots[i % window]);
      slots[i % window].reset();
      delivered = i + 1;
    }
    slot_free.notify_all();
    deliver(i, std::move(result));
  }
}

}  // namespace plim

#endif  // PLIM_TOOLS_PLIM_CATALOG_ORDERED_JOBS_H_
