// What the terminal tool shows and asks: a progress bar on standard error
// when it is a terminal, a prompt for passwords without echo, and Ctrl-C as
// a clean cancel.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "common/JobInterfaces.h"

namespace ost::cli {

// Set by SIGINT; every job's progress reports it as a cancel.
extern std::atomic<bool> g_interrupted;
void InstallInterruptHandler();

class TerminalProgress final : public JobProgress {
 public:
  // `draw`: show a bar (standard error is a terminal, not quiet, one job at a time).
  TerminalProgress(std::string label, bool draw) : label_(std::move(label)), draw_(draw) {}
  void Begin(std::string_view text, std::uint64_t units) override;
  void Step() override;
  bool IsCancelled() override { return g_interrupted.load(); }
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

// Reads a password from the terminal without echo; nullopt when there is no terminal.
std::optional<std::string> PromptPassword(const std::string& prompt);

bool StderrIsTerminal();
bool StdinIsTerminal();

}  // namespace ost::cli
