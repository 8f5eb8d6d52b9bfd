#include "controls/StopSignals.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <atomic>
#include <chrono>
#include <csignal>

#include "common/Leftovers.h"
#include "common/StopSignalWatcher.h"

namespace gui {

namespace {

std::atomic<int> g_stopSignal{0};
std::chrono::steady_clock::time_point g_firstStop;  // when the stop was first asked for

void Watch(sigset_t set) {
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) == 0) Stop(signal);
  }
}

}  // namespace

void Stop(int signal) {
  int expected = 0;
  const auto now = std::chrono::steady_clock::now();
  if (!g_stopSignal.compare_exchange_strong(expected, signal)) {
    if (ost::SameStopRequest(now - g_firstStop)) return;
    ost::leftovers::RemoveAll();
    _exit(128 + expected);
  }
  g_firstStop = now;
  // On the program's own thread: every event loop ends, and a job that runs
  // sees the signal at its next step and cancels.
  if (QCoreApplication* app = QCoreApplication::instance())
    QMetaObject::invokeMethod(app, [signal] { QCoreApplication::exit(128 + signal); }, Qt::QueuedConnection);
}

void InstallStopSignals() { ost::WatchStopSignals(Watch); }

int StopSignal() { return g_stopSignal.load(); }

}  // namespace gui
