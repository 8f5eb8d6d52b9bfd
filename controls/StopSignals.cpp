#include "controls/StopSignals.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <atomic>
#include <csignal>

#include "common/Leftovers.h"
#include "common/StopSignalWatcher.h"

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

void InstallStopSignals() { ost::WatchStopSignals(Watch); }

int StopSignal() { return g_stopSignal.load(); }

}  // namespace gui
