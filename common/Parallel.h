// Runs independent tasks side by side on a few threads and rethrows the
// first failure. The tasks must not share mutable state; their results are
// the same whatever the number of threads.
#pragma once

#if defined(__linux__)
#include <sched.h>
#endif

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/Errors.h"
#include "common/JobInterfaces.h"

namespace ost {

// Thrown by a task that saw the cancel flag, to stop at once; it is not a
// failure.
struct TaskCancelled {};

// Threads a job uses for work it can split: the cores this process may run
// on (a process pinned to one core gets one thread, not the machine's count).
inline unsigned DefaultThreads() {
#if defined(__linux__)
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
#endif
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

// Runs the tasks on worker threads while the calling thread, which alone
// talks to `progress`, turns the units the tasks count in `done` into
// Step() calls and otherwise keeps the caller alive with Pump(). A cancel
// seen there sets `cancel`, which the tasks poll. Returns false when
// cancelled; a task's failure is rethrown.
//
// Where the system gives fewer threads than asked for (a memory or process
// limit), independent tasks run on those it gave, or on the calling thread.
// Tasks that wait on each other must all run at once: for them pass
// `abortAll`, which wakes every task that waits, and the run fails with
// Error(Resources) instead.
inline bool RunWithProgress(const std::vector<std::function<void()>>& tasks, unsigned threads, JobProgress& progress,
                            std::atomic<std::uint64_t>& done, std::atomic<bool>& cancel,
                            const std::function<void()>& abortAll = {}) {
  // A cancel that came before the tasks start stops them before any work.
  if (progress.IsCancelled()) {
    cancel = true;
    return false;
  }
  std::atomic<std::size_t> next{0};
  std::atomic<unsigned> running{0};
  std::exception_ptr failure;
  std::mutex mutex;
  std::condition_variable wake;
  // The first failure is kept, and the other tasks stop early; their work
  // is discarded.
  auto fail = [&](std::exception_ptr error) {
    std::lock_guard lock(mutex);
    if (!failure) failure = std::move(error);
    cancel = true;
  };
  auto worker = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < tasks.size();) {
      try {
        tasks[i]();
      } catch (const TaskCancelled&) {
        cancel = true;
      } catch (...) {
        fail(std::current_exception());
      }
    }
    std::lock_guard lock(mutex);
    --running;
    wake.notify_all();
  };
  const unsigned count = static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(threads ? threads : 1, tasks.size())));
  running = count;
  std::vector<std::thread> pool;
  pool.reserve(count);
  for (unsigned t = 0; t < count; ++t) {
    try {
      pool.emplace_back(worker);
    } catch (const std::system_error& e) {
      {
        std::lock_guard lock(mutex);
        running -= count - t;
      }
      if (abortAll) {
        fail(std::make_exception_ptr(
            Error(ErrorKind::Resources, std::string("cannot start the threads the job needs: ") + e.what())));
        abortAll();
      }
      break;
    }
  }
  if (pool.empty() && !abortAll) {
    {
      std::lock_guard lock(mutex);
      ++running;
    }
    worker();
  }
  std::uint64_t reported = 0;
  try {
    for (;;) {
      bool finished;
      {
        std::unique_lock lock(mutex);
        finished = wake.wait_for(lock, std::chrono::milliseconds(15), [&] { return running == 0; });
      }
      const std::uint64_t now = done.load();
      if (now == reported) progress.Pump();
      for (; reported < now; ++reported) progress.Step();
      if (!cancel && progress.IsCancelled()) cancel = true;
      if (finished) break;
    }
  } catch (...) {
    // What reports the progress failed (out of memory, say): the tasks stop
    // and are waited for before the failure goes on, so that no thread
    // outlives the run.
    fail(std::current_exception());
    if (abortAll) abortAll();
  }
  for (auto& t : pool) t.join();
  if (failure) std::rethrow_exception(failure);
  return !cancel;
}

// Tasks are started in the order given (put the longest first).
inline void RunParallel(const std::vector<std::function<void()>>& tasks, unsigned threads) {
  NullProgress progress;
  std::atomic<std::uint64_t> done{0};
  std::atomic<bool> cancel{false};
  RunWithProgress(tasks, threads, progress, done, cancel);
}

}  // namespace ost
