// The signals that end the desktop program from outside (a closed session,
// kill, Ctrl-C in its terminal): the first cancels the job that runs, whose
// cleanup removes what it made, and then quits with status 128 + the
// signal; a second ends the program at once, still removing every output
// and working folder a job had under way. Signals close behind the first
// are that request delivered again (StopRequests).
#pragma once

namespace gui {

// Call first in main(), before any thread starts: SIGTERM, SIGHUP and SIGINT
// are then taken by a watcher thread.
void InstallStopSignals();
// The signal that asked the program to stop, 0 while none did. A job's
// progress takes it for a cancel.
int StopSignal();
// What the watcher does with a signal it took (a test sends none).
void Stop(int signal);

}  // namespace gui
