// The stop signals (Ctrl-C, a closed terminal, a termination request) taken
// by a thread of their own instead of interrupting whatever thread runs.
#pragma once

#include <chrono>
#include <csignal>

namespace ost {

// Blocks SIGINT, SIGTERM and SIGHUP (so in every thread started later) and
// starts `watch` on a thread of its own with that set, for it to take them
// with sigwait or sigtimedwait. Call first in main(), before any thread
// starts. Without a thread to be had (a memory or process limit), the
// signals keep their usual effect, and what a stopped run leaves, the next
// removes.
void WatchStopSignals(void (*watch)(sigset_t set));

// Whether a stop signal that came `since` the first is that first request
// delivered again rather than a second one: timeout(1) signals the process
// and then its group, and a closing session sends SIGTERM and SIGHUP
// together. A person asking twice takes longer than this.
inline bool SameStopRequest(std::chrono::steady_clock::duration since) {
  return since < std::chrono::milliseconds(100);
}

}  // namespace ost
