// Runs independent tasks side by side on a few threads and rethrows the
// first failure. The tasks must not share mutable state; their results are
// the same whatever the number of threads.
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace ost {

// Threads a job uses for work it can split: the machine's cores.
inline unsigned DefaultThreads() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

// Tasks are started in the order given (put the longest first).
inline void RunParallel(const std::vector<std::function<void()>>& tasks, unsigned threads) {
  std::atomic<std::size_t> next{0};
  std::exception_ptr failure;
  std::mutex failureMutex;
  auto worker = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < tasks.size();) {
      try {
        tasks[i]();
      } catch (...) {
        std::lock_guard lock(failureMutex);
        if (!failure) failure = std::current_exception();
      }
    }
  };
  const std::size_t extra = std::min<std::size_t>(threads ? threads - 1 : 0, tasks.size() ? tasks.size() - 1 : 0);
  std::vector<std::thread> pool;
  for (std::size_t t = 0; t < extra; ++t) pool.emplace_back(worker);
  worker();
  for (auto& t : pool) t.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace ost
