#include "common/StopSignalWatcher.h"

#include <pthread.h>

#include <system_error>
#include <thread>

namespace ost {

void WatchStopSignals(void (*watch)(sigset_t set)) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  try {
    std::thread(watch, set).detach();
  } catch (const std::system_error&) {
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  }
}

}  // namespace ost
