// The stop signals (Ctrl-C, a closed terminal, a termination request) taken
// by a thread of their own instead of interrupting whatever thread runs.
#pragma once

#include <atomic>
#include <chrono>
#include <csignal>
#include <mutex>

namespace ost {

// Blocks SIGINT, SIGTERM and SIGHUP (so in every thread started later) and
// starts `watch` on a thread of its own with that set, for it to take them
// with sigwait or sigtimedwait. Call first in main(), before any thread
// starts. Without a thread to be had (a memory or process limit), the
// signals keep their usual effect, and what a stopped run leaves, the next
// removes.
void WatchStopSignals(void (*watch)(sigset_t set));

// The requests to stop a program has had. The first is kept; a signal after
// it is either that request delivered again, when it comes close behind
// (timeout(1) signals the process and then its group, and a closing
// session sends SIGTERM and SIGHUP together), or a second request, since a
// person asking twice takes longer than that.
class StopRequests {
 public:
  enum class Kind { First, Again, Second };
  Kind Take(int signal) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex_);
    int none = 0;
    if (first_.compare_exchange_strong(none, signal)) {
      at_ = now;
      return Kind::First;
    }
    return now - at_ < std::chrono::milliseconds(100) ? Kind::Again : Kind::Second;
  }
  // The signal that first asked, 0 while none did.
  int First() const { return first_.load(); }

 private:
  std::atomic<int> first_{0};
  std::mutex mutex_;
  std::chrono::steady_clock::time_point at_;
};

}  // namespace ost
