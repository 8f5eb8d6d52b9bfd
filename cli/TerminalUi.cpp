#include "cli/TerminalUi.h"

#include <csignal>
#include <cstdio>
#include <iostream>
#include <termios.h>
#include <unistd.h>

namespace ost::cli {

std::atomic<bool> g_interrupted{false};

namespace {
void OnInterrupt(int) { g_interrupted.store(true); }
}  // namespace

void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }
bool StdinIsTerminal() { return isatty(STDIN_FILENO) == 1; }

void TerminalProgress::Begin(std::string_view, std::uint64_t units) {
  units_ = units;
  done_ = 0;
  lastPercent_ = -1;
  Draw(true);
}

void TerminalProgress::Step() {
  ++done_;
  Draw(false);
}

void TerminalProgress::End() {
  if (!draw_) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
}

void TerminalProgress::Draw(bool force) {
  if (!draw_) return;
  const int percent = units_ ? static_cast<int>(100 * done_ / units_) : 100;
  const auto now = std::chrono::steady_clock::now();
  if (!force && (percent == lastPercent_ || now - lastDraw_ < std::chrono::milliseconds(50))) return;
  lastPercent_ = percent;
  lastDraw_ = now;
  constexpr int kWidth = 30;
  const int filled = percent * kWidth / 100;
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.resize(kWidth, '.');
  std::fprintf(stderr, "\r%s [%s] %3d%%", label_.c_str(), bar.c_str(), percent);
  std::fflush(stderr);
}

std::optional<std::string> PromptPassword(const std::string& prompt) {
  if (!StdinIsTerminal()) return std::nullopt;
  std::fprintf(stderr, "%s", prompt.c_str());
  std::fflush(stderr);
  termios old {};
  tcgetattr(STDIN_FILENO, &old);
  termios quiet = old;
  quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  std::string line;
  std::getline(std::cin, line);
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &old);
  std::fprintf(stderr, "\n");
  return line;
}

}  // namespace ost::cli
