#include "cli/TerminalUi.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/Leftovers.h"
#include "common/StopSignalWatcher.h"

namespace ost::cli {

StopRequests g_stopRequests;

namespace {

// The terminal a prompt asks on, and its settings while the prompt has
// echo off, so that an abrupt end can put echo back.
std::mutex g_terminalMutex;
std::optional<termios> g_savedTerminal;
// Atomics, not volatile flags: the signals' handlers run on the thread that
// watches for signals, beside the prompt's thread.
std::atomic<int> g_promptTerminal{STDIN_FILENO};
static_assert(std::atomic<int>::is_always_lock_free, "read and written by signal handlers");

void RestoreTerminal() {
  std::lock_guard lock(g_terminalMutex);
  if (g_savedTerminal) tcsetattr(g_promptTerminal, TCSAFLUSH, &*g_savedTerminal);
  g_savedTerminal.reset();
}

// Read by the watcher thread at any moment, so set once and never freed.
std::atomic<const char*> g_standardOutputName{"standard output"};

// Held from a stop's first moment until it has been told, so that the run,
// which ends as soon as it sees the stop, cannot end before the message
// is out (WaitUntilTheStopIsTold).
std::mutex g_stopMutex;

void Stop(int signal) {
  std::lock_guard lock(g_stopMutex);
  switch (g_stopRequests.Take(signal)) {
    case StopRequests::Kind::First:
      if (signal == SIGPIPE) std::fprintf(stderr, "\notq: %s was closed; stopping\n", g_standardOutputName.load());
      return;
    case StopRequests::Kind::Again:
      return;
    case StopRequests::Kind::Second:
      break;
  }
  // A second request: end now, leaving nothing behind.
  leftovers::RemoveAll();
  RestoreTerminal();
  std::fprintf(stderr, "\notq: stopped at once\n");
  _exit(128 + g_stopRequests.First());
}

void Watch(sigset_t set) {
  for (;;) {
    timespec wait{0, 100'000'000};
    const int signal = sigtimedwait(&set, nullptr, &wait);
    if (signal > 0) {
      Stop(signal);
    } else if (!Interrupted() && OutputReaderGone()) {
      Stop(SIGPIPE);
    }
  }
}

}  // namespace

void InstallInterruptHandler() {
  // Writes to a closed pipe fail with EPIPE instead of killing the process
  // in the middle of a job.
  std::signal(SIGPIPE, SIG_IGN);
  ost::WatchStopSignals(Watch);
}

void WaitUntilTheStopIsTold() { std::lock_guard lock(g_stopMutex); }

bool OutputReaderGone() {
  pollfd p{STDOUT_FILENO, 0, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLERR) != 0;
}

void NameStandardOutput(const std::string& name) {
  static const std::string kept = name;  // one output a run
  g_standardOutputName.store(kept.c_str());
}
const char* StandardOutputName() { return g_standardOutputName.load(); }
bool StandardOutputNamed() { return std::strcmp(StandardOutputName(), "standard output") != 0; }

void OutputClosed() {
  if (!Interrupted()) Stop(SIGPIPE);
}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }
bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }
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

namespace {
// The width of the terminal on standard error (asked at every redraw, as
// its window may be resized); 80 when it does not say.
int TerminalColumns() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

// The characters of UTF-8 text (a sequence counts once, whatever its bytes).
std::size_t Characters(const std::string& text) {
  std::size_t n = 0;
  for (const char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

// `text` cut to `most` characters, whole UTF-8 sequences only, with ".."
// at the end when it was cut.
std::string Cut(const std::string& text, std::size_t most) {
  if (Characters(text) <= most) return text;
  if (most < 3) return std::string(most, '.');
  std::size_t bytes = 0;
  for (std::size_t kept = 0; bytes < text.size(); ++bytes)
    if ((static_cast<unsigned char>(text[bytes]) & 0xC0) != 0x80 && kept++ == most - 2) break;
  return text.substr(0, bytes) + "..";
}
}  // namespace

void TerminalProgress::Draw(bool force) {
  if (!draw_) return;
  const int percent = units_ ? static_cast<int>(100 * std::min(done_, units_) / units_) : 100;
  const auto now = std::chrono::steady_clock::now();
  if (!force && (percent == lastPercent_ || now - lastDraw_ < std::chrono::milliseconds(50))) return;
  lastPercent_ = percent;
  lastDraw_ = now;
  // The line stays shorter than the terminal: one that reaches its last
  // column wraps, and every redraw would leave a line behind. The bar gives
  // way first, down to 10 marks, then the name.
  const std::size_t room = static_cast<std::size_t>(std::max(TerminalColumns() - 1, 8));
  constexpr std::size_t kAround = 8;  // " [", "] " and "100%"
  const std::size_t name = Characters(label_);
  std::size_t width = 30;
  if (name + width + kAround > room) width = room > name + kAround + 10 ? room - name - kAround : 10;
  const std::size_t filled = static_cast<std::size_t>(percent) * width / 100;
  std::string bar(filled, '#');
  bar.resize(width, '.');
  std::string line = "[" + bar + "] ";
  if (room >= line.size() + 4 + 3) line = Cut(label_, room - line.size() - 4 - 1) + " " + line;
  else line.clear();  // too narrow for more than the figure
  std::fprintf(stderr, "\r%s%3d%%", line.c_str(), percent);
  std::fflush(stderr);
}

namespace {
// A prompt suspended with Ctrl-Z and brought back with fg finds echo on
// again (the shell set the terminal as it likes it meanwhile): the
// handler turns it off before anything typed can show, and the prompt is
// shown anew.
termios g_quietTerminal;
std::atomic<int> g_promptContinued{0};
void OnContinueAtPrompt(int) {
  const int saved = errno;
  tcsetattr(g_promptTerminal, TCSANOW, &g_quietTerminal);
  g_promptContinued = 1;
  errno = saved;
}

// The terminal to ask on: the standard input when it is one; else the
// terminal the command was run from, since the standard input may carry
// the archive (cat take.otq | otq extract - ...). -1 when there is none.
struct PromptTerminal {
  PromptTerminal() {
    if (!StdinIsTerminal()) fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  ~PromptTerminal() {
    if (fd != STDIN_FILENO && fd >= 0) close(fd);
  }
  // The prompt goes to standard error beside the standard input, and to the
  // terminal itself otherwise (standard error may go to a log).
  void Show(const std::string& text) const {
    if (fd == STDIN_FILENO) {
      std::fprintf(stderr, "%s", text.c_str());
      std::fflush(stderr);
    } else if (write(fd, text.data(), text.size()) < 0) {
      // Nothing to do: the person sees no prompt, as on a closed terminal.
    }
  }
  int fd = STDIN_FILENO;
};
}  // namespace

std::optional<std::string> PromptPassword(const std::string& prompt) {
  const PromptTerminal terminal;
  if (terminal.fd < 0) return std::nullopt;
  const int fd = terminal.fd;
  g_promptTerminal = fd;
  termios old {};
  tcgetattr(fd, &old);
  {
    std::lock_guard lock(g_terminalMutex);
    g_savedTerminal = old;
  }
  termios quiet = old;
  quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
  g_quietTerminal = quiet;
  g_promptContinued = 0;
  struct sigaction onContinue {}, before {};
  onContinue.sa_handler = OnContinueAtPrompt;
  sigemptyset(&onContinue.sa_mask);
  sigaction(SIGCONT, &onContinue, &before);
  tcsetattr(fd, TCSAFLUSH, &quiet);
  // Shown once echo is off and a suspend would show it again: a person
  // answers what they see.
  terminal.Show(prompt);
  // Read a byte at a time, looking for a stop request between them, so that
  // Ctrl-C ends the prompt instead of being taken for an empty password.
  std::string line;
  bool ended = false, stopped = false;
  while (!ended) {
    if (Interrupted()) {
      stopped = true;
      break;
    }
    if (g_promptContinued) {
      g_promptContinued = 0;
      terminal.Show(prompt);
    }
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, 100);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    char c;
    const ssize_t got = read(fd, &c, 1);
    if (got <= 0) break;  // end of input: what was typed so far
    if (c == '\n' || c == '\r') ended = true;
    else line.push_back(c);
  }
  sigaction(SIGCONT, &before, nullptr);
  RestoreTerminal();
  g_promptTerminal = STDIN_FILENO;  // the descriptor goes with `terminal`
  terminal.Show("\n");
  if (stopped) throw PromptInterrupted{};
  return line;
}

}  // namespace ost::cli
