// The stop signals (Ctrl-C, a closed terminal, a termination request) taken
// by a thread of their own instead of interrupting whatever thread runs.
#pragma once

#include <csignal>

namespace ost {

// Blocks SIGINT, SIGTERM and SIGHUP (so in every thread started later) and
// starts `watch` on a thread of its own with that set, for it to take them
// with sigwait or sigtimedwait. Call first in main(), before any thread
// starts. Without a thread to be had (a memory or process limit), the
// signals keep their usual effect, and what a stopped run leaves, the next
// removes.
void WatchStopSignals(void (*watch)(sigset_t set));

}  // namespace ost
