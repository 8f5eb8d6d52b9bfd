#include "controls/StopSignals.h"

#include <pthread.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <atomic>
#include <csignal>
#include <system_error>
#include <thread>

#include "common/Leftovers.h"

namespace gui {

namespace {

std::atomic<int> g_stopSignal{0};

void Watch(sigset_t set) {
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) == 0) Stop(signal);
  }
}

}  // namespace

void Stop(int signal) {
  int expected = 0;
  if (!g_stopSignal.compare_exchange_strong(expected, signal)) {
    ost::leftovers::RemoveAll();
    _exit(128 + expected);
  }
  // On the program's own thread: every event loop ends, and a job that runs
  // sees the signal at its next step and cancels.
  if (QCoreApplication* app = QCoreApplication::instance())
    QMetaObject::invokeMethod(app, [signal] { QCoreApplication::exit(128 + signal); }, Qt::QueuedConnection);
}

void InstallStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGINT);
  // Blocked here, so in every thread started later: only the watcher takes them.
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  try {
    std::thread(Watch, set).detach();
  } catch (const std::system_error&) {
    // No thread to be had (a memory or process limit): the signals keep
    // their usual effect, and what a stopped run leaves, the next removes.
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  }
}

int StopSignal() { return g_stopSignal.load(); }

}  // namespace gui
