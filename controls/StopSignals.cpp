#include "controls/StopSignals.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <csignal>

#include "common/Leftovers.h"
#include "common/StopSignalWatcher.h"

namespace gui {

namespace {

ost::StopRequests g_stopRequests;

void Watch(sigset_t set) {
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) == 0) Stop(signal);
  }
}

}  // namespace

void Stop(int signal) {
  switch (g_stopRequests.Take(signal)) {
    case ost::StopRequests::Kind::First:
      break;
    case ost::StopRequests::Kind::Again:
      return;
    case ost::StopRequests::Kind::Second:
      ost::leftovers::RemoveAll();
      _exit(128 + g_stopRequests.First());
  }
  // On the program's own thread: every event loop ends, and a job that runs
  // sees the signal at its next step and cancels.
  if (QCoreApplication* app = QCoreApplication::instance())
    QMetaObject::invokeMethod(app, [signal] { QCoreApplication::exit(128 + signal); }, Qt::QueuedConnection);
}

void InstallStopSignals() { ost::WatchStopSignals(Watch); }

int StopSignal() { return g_stopRequests.First(); }

}  // namespace gui
