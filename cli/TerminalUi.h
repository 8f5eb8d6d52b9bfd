// What the terminal tool shows and asks: a progress bar on standard error
// when it is a terminal, a prompt for passwords without echo, and the
// signals that end a run (Ctrl-C, a closed terminal, a closed pipe, a
// termination request) as a clean cancel.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "common/JobInterfaces.h"
#include "common/StopSignalWatcher.h"

namespace ost::cli {

// The requests to stop the run: the signal of the first (0 while none
// came) is a cancel that every job's progress reports.
extern StopRequests g_stopRequests;
inline bool Interrupted() { return g_stopRequests.First() != 0; }
// The exit status of a run stopped by a signal: 128 + its number.
inline int StopStatus() { return 128 + g_stopRequests.First(); }
// Returns once the message of a stop that has begun is out (at once when
// none has): a run that ends on a stop calls it before it ends.
void WaitUntilTheStopIsTold();

// Call first in main(), before any thread starts. SIGINT, SIGTERM and SIGHUP
// are taken by a watcher thread: the first asks every job to stop (each
// removes what it made), a second ends the program at once after removing
// every registered leftover. A closed standard output (the reader of a pipe
// went away) counts as SIGPIPE and stops the run the same way.
void InstallInterruptHandler();
// Reports that a write to standard output failed because its reader is gone.
void OutputClosed();
// The name standard output goes by in messages, when the user gave it one
// (a pipe or a device as -o); set before any job starts, once a run.
void NameStandardOutput(const std::string& name);
// That name, else "standard output"; whether the user gave one.
const char* StandardOutputName();
bool StandardOutputNamed();
// Standard output is a pipe whose reader has gone.
bool OutputReaderGone();

class TerminalProgress final : public JobProgress {
 public:
  // `draw`: show a bar (standard error is a terminal, not quiet, one job at a time).
  TerminalProgress(std::string label, bool draw) : label_(std::move(label)), draw_(draw) {}
  void Begin(std::string_view text, std::uint64_t units) override;
  void Step() override;
  bool IsCancelled() override { return Interrupted(); }
  void End() override;

 private:
  void Draw(bool force);
  std::string label_;
  bool draw_;
  std::uint64_t units_ = 0;
  std::uint64_t done_ = 0;
  int lastPercent_ = -1;
  std::chrono::steady_clock::time_point lastDraw_{};
};

// Reads a password from the terminal without echo. nullopt when there is no
// terminal; PromptInterrupted when the run was stopped while it waited.
struct PromptInterrupted {};
std::optional<std::string> PromptPassword(const std::string& prompt);

bool StderrIsTerminal();
bool StdoutIsTerminal();
bool StdinIsTerminal();

}  // namespace ost::cli
