#include "cli/Commands.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>

#include "cli/TerminalUi.h"
#include "common/Errors.h"
#include "common/FileIO.h"
#include "common/Parallel.h"
#include "common/Password.h"
#include "common/WorkFolder.h"
#include "compress/CompressionJob.h"
#include "compress/WaveFormat.h"
#include "extract/ArchiveReader.h"
#include "extract/ExtractionJob.h"

namespace ost::cli {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// ---- Output ----------------------------------------------------------------
// Lines go out whole, one thread at a time. When standard output carries an
// archive or a restored recording, every line goes to standard error.

std::mutex g_outputMutex;
std::atomic<bool> g_stdoutCarriesData{false};
std::string g_batchLine;  // the batch's progress line, redrawn under messages
int g_stdoutError = 0;     // why a report line could not be written, kept for the end

// What "-o -" is called in JSON: the pipe's or the device's name when the
// user gave one (messages use StandardOutputName).
std::string StreamOutputInJson() { return StandardOutputNamed() ? StandardOutputName() : "-"; }

// A line that goes out while a batch's progress line is drawn takes its
// place, and the progress line comes back under it. With g_outputMutex held.
void ClearBatchLine() {
  if (!g_batchLine.empty()) std::fprintf(stderr, "\r\033[K");
}
void RedrawBatchLine() {
  if (g_batchLine.empty()) return;
  std::fprintf(stderr, "%s", g_batchLine.c_str());
  std::fflush(stderr);
}

void Write(std::FILE* stream, const std::string& line) {
  std::lock_guard lock(g_outputMutex);
  if (stream == stdout && g_stdoutCarriesData) stream = stderr;
  ClearBatchLine();
  std::fprintf(stream, "%s\n", line.c_str());
  // A reader that went away stops the run like any other stop request;
  // any other failure is kept, and fails the run as it ends.
  if (std::fflush(stream) != 0 && stream == stdout) {
    if (errno == EPIPE)
      OutputClosed();
    else if (g_stdoutError == 0)
      g_stdoutError = errno;
  }
  RedrawBatchLine();
}

void Say(const std::string& line) { Write(stdout, line); }
// A JSON line. File names are bytes and need not be UTF-8, which JSON
// cannot carry: such bytes become the replacement character.
void Say(const json& line) { Say(line.dump(-1, ' ', false, json::error_handler_t::replace)); }
void Warn(const std::string& line) { Write(stderr, "otq: " + line); }
// The message with the input's name in front, unless the file the error
// names is that input.
std::string Named(const std::string& name, const std::exception& failure) {
  const auto* error = dynamic_cast<const Error*>(&failure);
  std::string line = error && error->file() == fs::path(name) ? failure.what() : name + ": " + failure.what();
  // A refusal to replace a file says how to replace it (what is not a
  // file, -f does not replace either).
  if (error && error->kind() == ErrorKind::Exists && line.ends_with(" already exists")) line += " (-f replaces it)";
  // A folder named as the output was most likely meant as the outputs' folder.
  std::error_code ec;
  if (error && error->kind() == ErrorKind::Exists && line.ends_with("an output can only replace a file") &&
      fs::is_directory(error->file(), ec))
    line += " (-d puts the outputs in a folder)";
  return line;
}

// An error line of --json: what failed, the message, and the file the
// message names when it names one.
json ErrorLine(const char* key, const std::string& name, const std::exception& failure) {
  json line{{key, name}, {"ok", false}, {"error", failure.what()}};
  const auto* error = dynamic_cast<const Error*>(&failure);
  if (error && !error->file().empty()) line["file"] = error->file().string();
  return line;
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string Format(const char* fmt, auto... args) {
  char buffer[1024];
  std::snprintf(buffer, sizeof buffer, fmt, args...);
  return buffer;
}

std::string Bytes(std::uint64_t n) {
  if (n < 10'000) return std::to_string(n) + " bytes";
  if (n < 10'000'000) return Format("%.1f kB", static_cast<double>(n) / 1e3);
  if (n < 10'000'000'000ull) return Format("%.1f MB", static_cast<double>(n) / 1e6);
  return Format("%.2f GB", static_cast<double>(n) / 1e9);
}

double Saving(std::uint64_t in, std::uint64_t out) {
  return in ? 100.0 * (1.0 - static_cast<double>(out) / static_cast<double>(in)) : 0.0;
}
// ", 12.3% saved", or nothing where there was nothing to save (an empty
// recording, whose archive is only larger).
std::string SavingText(std::uint64_t in, std::uint64_t out) {
  return in ? Format(", %.1f%% saved", Saving(in, out)) : std::string();
}

// ---- Batches -----------------------------------------------------------------

struct Totals {
  std::atomic<std::uint64_t> done{0}, failed{0}, skipped{0}, bytesIn{0}, bytesOut{0};
};

// One line on a terminal for a batch of several files: how many are done.
class BatchLine {
 public:
  BatchLine(std::size_t files, bool draw) : files_(files), draw_(draw && files > 1) { Draw(); }
  ~BatchLine() {
    if (!draw_) return;
    std::lock_guard lock(g_outputMutex);
    g_batchLine.clear();
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
  }
  void Finished() {
    ++finished_;
    Draw();
  }

 private:
  void Draw() {
    if (!draw_) return;
    std::lock_guard lock(g_outputMutex);
    g_batchLine = Format("\rotq: %zu of %zu files", finished_.load(), files_);
    std::fprintf(stderr, "%s", g_batchLine.c_str());
    std::fflush(stderr);
  }
  std::size_t files_;
  bool draw_;
  std::atomic<std::size_t> finished_{0};
};

// Runs `work(i)` for i in [0, count) on up to `jobs` threads and returns the
// number of failures. No job starts once the run was stopped, and whatever
// a job throws is a failure of that job, never the end of the process.
std::uint64_t RunAll(std::size_t count, unsigned jobs, const std::function<bool(std::size_t)>& work,
                     const std::function<std::string(std::size_t)>& name) {
  std::atomic<std::uint64_t> failures{0};
  std::vector<std::function<void()>> tasks;
  for (std::size_t i = 0; i < count; ++i)
    tasks.push_back([&, i] {
      if (Interrupted()) return;
      bool ok = false;
      try {
        ok = work(i);
      } catch (const PromptInterrupted&) {
        Warn(name(i) + ": stopped");
      } catch (const std::exception& e) {
        Warn(Named(name(i), e));
      } catch (...) {
        Warn(name(i) + ": failed for an unknown reason");
      }
      if (!ok) failures.fetch_add(1);
    });
  // One file runs on this thread: a worker would cost a thread's start
  // for nothing.
  if (count == 1) {
    try {
      tasks[0]();
    } catch (const TaskCancelled&) {
    }
  } else {
    RunParallel(tasks, std::max(1u, jobs));
  }
  return failures.load();
}

// Threads each job may use inside one file when `jobs` files run side by side.
unsigned InnerThreads(unsigned jobs, std::size_t files) {
  const unsigned cores = DefaultThreads();
  const unsigned side = static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(jobs, files)));
  return std::max(1u, cores / side);
}

bool HasSuffix(const fs::path& p, std::initializer_list<const char*> suffixes) {
  std::string name = p.filename().string();
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
  for (const char* s : suffixes) {
    const std::size_t n = std::strlen(s);
    if (name.size() > n && name.compare(name.size() - n, n, s) == 0) return true;
  }
  return false;
}

// One input of a batch: the file, and the folder it was found under (empty
// for a file named on the command line), so that outputs can mirror the
// folder tree.
struct Input {
  fs::path file;
  fs::path root;
};

// The named files, or with `recursive` every file under the named folders
// whose name ends in one of `suffixes` (any case), each folder's files in
// name order. Throws Error for a folder that cannot be read.
std::vector<Input> Collect(const std::vector<std::string>& names, bool recursive,
                           std::initializer_list<const char*> suffixes) {
  std::vector<Input> inputs;
  for (const std::string& name : names) {
    std::error_code ec;
    if (!recursive || name == "-" || !fs::is_directory(name, ec)) {
      inputs.push_back({name, {}});
      continue;
    }
    std::vector<fs::path> found;
    fs::recursive_directory_iterator it(name, fs::directory_options::skip_permission_denied, ec);
    if (ec) ThrowIo("cannot read folder", name, ec.value());
    for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (ec) ThrowIo("cannot read folder", it->path(), ec.value());
      const std::string leaf = it->path().filename().string();
      if (!leaf.empty() && leaf[0] == '.') {  // hidden files and folders, our own temporary files among them
        if (it->is_directory(ec)) it.disable_recursion_pending();
        continue;
      }
      if (it->is_regular_file(ec) && HasSuffix(it->path(), suffixes)) found.push_back(it->path());
    }
    std::sort(found.begin(), found.end());
    for (auto& f : found) inputs.push_back({f, name});
  }
  return inputs;
}

// Where an output goes: `outDir` mirrors the input's place under its root
// (or holds it directly), else beside the input.
fs::path OutputFor(const Input& in, const std::string& outDir, const std::string& name) {
  if (outDir.empty()) return in.file.parent_path() / name;
  const fs::path below = in.root.empty() ? fs::path() : in.file.parent_path().lexically_relative(in.root);
  return fs::path(outDir) / below / name;
}

// The second of two jobs of one run that would write the same file fails
// before any work, naming both inputs; `-f` never lets one run overwrite
// its own output.
struct TargetClaims {
  std::vector<std::pair<fs::path, std::string>> claimed;
  std::string Claim(const fs::path& target, const std::string& input) {
    if (target == "-") return {};
    // SameFile compares the resolved paths, and the files where they exist.
    for (const auto& [other, by] : claimed)
      if (SameFile(other, target))
        return input + ": would write " + target.string() + ", which " + by + " already writes in this run";
    claimed.emplace_back(target, input);
    return {};
  }
};

// ---- Standard streams ------------------------------------------------------

constexpr const char* kStandardInput = "standard input";

// True when `file` is what the descriptor `fd` (a standard stream) is open
// on, however it was named.
bool IsOpenOn(int fd, const struct stat& file) {
  struct stat open {};
  return fstat(fd, &open) == 0 && open.st_dev == file.st_dev && open.st_ino == file.st_ino;
}
bool IsStandardInput(const struct stat& file) { return IsOpenOn(STDIN_FILENO, file); }
bool IsStandardOutput(const struct stat& file) { return IsOpenOn(STDOUT_FILENO, file); }

// A named pipe (a process substitution among them), or a name of standard
// input other than "-" (/dev/stdin, say) that names no recording or archive,
// which the shell may have given a file. It is read to its end into the
// job's folder, as standard input is; other files that are not regular
// (devices) are refused by the jobs.
bool IsPipe(const fs::path& given) {
  struct stat info {};
  if (given == "-" || stat(given.c_str(), &info) != 0) return false;
  return S_ISFIFO(info.st_mode) || (!HasSuffix(given, {".wav", ".pcm", ".otq"}) && IsStandardInput(info));
}
bool IsStream(const fs::path& given) { return given == "-" || IsPipe(given); }
std::string Shown(const fs::path& given) { return given == "-" ? std::string(kStandardInput) : given.string(); }

// A file that would be both read and written, reached once through a
// standard stream: standard input that the output names, or an input that
// standard output is open on (a shell's ">>", or ">", which has already
// emptied it). The jobs compare named files themselves; a stream is read
// into the job's folder first, so they never see the clash. `itself` is
// what the input is ("source" or "archive"), `elsewhere` how to mend it.
void RefuseOneFileBothWays(const fs::path& input, const fs::path& target, const std::string& itself,
                           const std::string& elsewhere) {
  struct stat info {};
  if (target != "-") {
    const bool readsStandardInput = input == "-" || (stat(input.c_str(), &info) == 0 && IsStandardInput(info));
    if (readsStandardInput && stat(target.c_str(), &info) == 0 && IsStandardInput(info))
      throw Error(ErrorKind::SameFile,
                  target.string() + " is the " + itself + " itself (" + kStandardInput + "); " + elsewhere, {}, target);
  } else if (input != "-" && stat(input.c_str(), &info) == 0 && S_ISREG(info.st_mode) && IsStandardOutput(info)) {
    throw Error(ErrorKind::SameFile, input.string() + " is also the standard output; " + elsewhere, {}, input);
  }
}

// Keeps a descriptor open for the life of a scope.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd != STDIN_FILENO) close(fd);
  }
};

// Copies standard input ("-") or a named pipe into `path` (a job reads its
// source more than once). A pipe is opened without waiting for its writer
// and read only once poll says so: a read with no writer yet would be an
// end. With `show`, a wait of more than half a second (a recording still
// going, a writer not yet there) shows on standard error how much has come.
void Spool(const fs::path& given, const fs::path& path, bool show) {
  const std::string name = Shown(given);
  const Descriptor in{given == "-" ? STDIN_FILENO : open(given.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  if (in.fd < 0) ThrowIo("cannot open", given);
  OutFile out(path);
  std::vector<std::uint8_t> buffer(1 << 16);
  std::uint64_t total = 0;
  const auto start = std::chrono::steady_clock::now();
  auto shown = start;
  bool showing = false;
  for (;;) {
    if (Interrupted()) throw PromptInterrupted{};
    const auto now = std::chrono::steady_clock::now();
    if (show && now - start >= std::chrono::milliseconds(500) && (!showing || now - shown >= std::chrono::milliseconds(250))) {
      std::fprintf(stderr, "\r%s: %s read\033[K", name.c_str(), Bytes(total).c_str());
      std::fflush(stderr);
      showing = true;
      shown = now;
    }
    pollfd p{in.fd, POLLIN, 0};
    const int ready = poll(&p, 1, 100);
    if (ready < 0 && errno != EINTR) ThrowIo("cannot read", name);
    if (ready <= 0) continue;
    const ssize_t got = read(in.fd, buffer.data(), buffer.size());
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got < 0) ThrowIo("cannot read", name);
    if (got == 0) break;
    out.Write(buffer.data(), static_cast<std::size_t>(got));
    total += static_cast<std::uint64_t>(got);
  }
  if (showing) {
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
  }
  out.Close();
}

// The file an archive argument names: `given` itself, or for "-" and a pipe
// its bytes spooled into `folder` (an archive is read whole: its integrity
// record sits at its end). The name it restores under comes from the
// returned path, which keeps a pipe's own name.
constexpr const char* kStandardInputArchive = "standard-input.otq";
fs::path ArchiveFile(const fs::path& given, std::optional<WorkFolder>& folder, bool show) {
  if (!IsStream(given)) return given;
  folder.emplace();
  const fs::path file = folder->File(given == "-" ? kStandardInputArchive : given.filename().string());
  Spool(given, file, show);
  return file;
}

void SendToStandardOutput(const fs::path& path) {
  InFile in(path);
  OutFile out;
  out.OpenStandardOutput(StandardOutputName());
  std::vector<std::uint8_t> buffer(1 << 16);
  for (std::size_t got; (got = in.Read(buffer.data(), buffer.size())) > 0;) out.Write(buffer.data(), got);
  out.Close();
}

// ---- Outputs that are streams -------------------------------------------------


// An output named by a path that is written into, not replaced: a named
// pipe (a process substitution among them), a character device such as
// /dev/null, or standard output under another name (/dev/stdout). A
// finished file renamed over such a name would put a plain file in its
// place and send nothing where it was meant to go.
// Such an output is put in standard output's place, so that it is written
// as "-o -" is, and `output` becomes "-". A pipe cannot be opened for
// writing before it has a reader, and a blocking open would not see Ctrl-C:
// it is tried again until one comes, and a wait of more than half a second
// says so on a terminal. Returns 0, or the status to end with.
int RouteOutputIntoStream(std::string& output) {
  struct stat target {};
  if (output.empty() || output == "-" || stat(output.c_str(), &target) != 0) return 0;
  const bool isStandardOutput = IsStandardOutput(target);
  if (!isStandardOutput && !S_ISFIFO(target.st_mode) && !S_ISCHR(target.st_mode)) return 0;
  const auto start = std::chrono::steady_clock::now();
  bool showing = false;
  while (!isStandardOutput) {
    const int fd = open(output.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      const bool moved = dup2(fd, STDOUT_FILENO) >= 0;
      const int err = errno;
      close(fd);
      errno = err;
      if (moved) break;
    }
    if (fd < 0 && errno == ENXIO && S_ISFIFO(target.st_mode) && !Interrupted()) {  // a pipe without a reader yet
      if (!showing && StderrIsTerminal() && std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(500)) {
        std::fprintf(stderr, "%s: waiting for a reader\033[K", output.c_str());
        std::fflush(stderr);
        showing = true;
      }
      poll(nullptr, 0, 50);
      continue;
    }
    if (showing) std::fprintf(stderr, "\r\033[K");
    if (Interrupted()) return StopStatus();
    Warn("cannot open " + output + ": " + std::strerror(errno));
    return kExitFailure;
  }
  if (showing) std::fprintf(stderr, "\r\033[K");
  NameStandardOutput(output);
  output = "-";
  return 0;
}

// ---- Passwords -------------------------------------------------------------

// The password of --password, or the first line of --password-file (its
// line end, LF or CRLF, removed). A file that gives no password (a folder,
// an empty file, a blank first line) is an error: an empty password would
// be stored without a word.
std::optional<std::string> PasswordFromOptions(const std::string& text, const std::string& file, bool haveText) {
  if (haveText) return text;
  if (file.empty()) return std::nullopt;
  std::error_code ec;
  if (fs::is_directory(file, ec))
    throw Error(ErrorKind::Io, "cannot read password file " + file + ": it is a folder", {}, file);
  std::ifstream in(file, std::ios::binary);
  if (!in) throw Error(ErrorKind::Io, "cannot read password file " + file + ": " + std::strerror(errno), {}, file);
  std::string line;
  std::getline(in, line);
  if (in.bad()) throw Error(ErrorKind::Io, "cannot read password file " + file, {}, file);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty())
    throw Error(ErrorKind::Io, "password file " + file + " holds no password (it is empty or its first line is blank)",
                {}, file);
  return line;
}

class PromptingPassword final : public PasswordQuestion {
 public:
  explicit PromptingPassword(std::string shown) : shown_(std::move(shown)) {}
  std::optional<std::string> AskPassword(const fs::path&) override {
    std::lock_guard lock(g_outputMutex);
    // A run stopped at another archive's prompt, which this one waited out,
    // asks no more.
    if (Interrupted()) throw PromptInterrupted{};
    ClearBatchLine();  // the prompt has a line of its own
    const auto asked = std::chrono::steady_clock::now();
    std::optional<std::string> typed = PromptPassword("Password for " + shown_ + ": ");
    waited_ += std::chrono::steady_clock::now() - asked;
    RedrawBatchLine();
    if (typed) return typed;
    throw Error(ErrorKind::PasswordNeeded,
                shown_ + " holds a password; give it with --password TEXT or --password-file FILE", {}, shown_);
  }
  // The time the prompt waited for the person, which is not the job's.
  std::chrono::steady_clock::duration Waited() const { return waited_; }

 private:
  std::string shown_;
  std::chrono::steady_clock::duration waited_{};
};

// ---- Compression -------------------------------------------------------------

// Answers the channel question: --channels, else what the "fmt " chunk says
// where the format's own header scan cannot read it (an extensible chunk);
// more than two channels are coded in the one-channel layout, which keeps
// every byte.
class OptionChannels final : public ChannelQuestion {
 public:
  OptionChannels(std::optional<ChannelLayout> given, const WaveFormat& wave, std::string shown)
      : given_(given), wave_(wave), shown_(std::move(shown)) {}
  std::optional<ChannelLayout> AskChannels(const fs::path&) override {
    if (given_) return given_;
    if (wave_.fmtFound && wave_.channels >= 1)
      return wave_.channels == 2 ? ChannelLayout::Stereo : ChannelLayout::Mono;
    throw Error(ErrorKind::ChannelCancelled,
                shown_ + ": the file does not say how many channels it has; give them with --channels mono or "
                         "--channels stereo",
                {}, shown_);
  }

 private:
  std::optional<ChannelLayout> given_;
  const WaveFormat& wave_;
  std::string shown_;
};

struct CompressSetup {
  Rate rate = Rate::Maximum;
  std::optional<ChannelLayout> layout;
  std::optional<std::string> password;
  unsigned jobs = 1, innerThreads = 1;
  bool drawBar = false;
};

// What the ".wav" holds, told before it is coded; under --strict a file the
// archive cannot code well is refused.
std::vector<std::string> DescribeSource(const CompressArgs& a, const WaveFormat& wave, const std::string& shown) {
  std::vector<std::string> notes;
  const std::string holds = wave.WhatItHolds();
  if (!holds.empty()) {
    if (a.strict)
      throw Error(ErrorKind::Unsupported, shown + " holds " + holds +
                                              "; --strict refuses what the archive does not code well (16-bit PCM "
                                              "in one or two channels)",
                  {}, shown);
    notes.push_back(shown + " holds " + holds + "; it is kept byte for byte, but the archive will save little");
  }
  // 0 and 0xFFFFFFFF are what writers that cannot go back put there; a
  // header that says 0 of a file that holds none is simply right.
  if (wave.claimedData && *wave.claimedData != wave.RealData() &&
      (*wave.claimedData == 0 || *wave.claimedData == 0xFFFFFFFFu || *wave.claimedData > wave.RealData()))
    notes.push_back(shown + ": its header claims " + std::to_string(*wave.claimedData) +
                    " bytes of samples, the file holds " + std::to_string(wave.RealData()) +
                    "; every byte is kept, whatever the header says");
  return notes;
}

struct Outcome {
  bool ok = false;
  std::uint64_t in = 0, out = 0;
  double seconds = 0;
};

Outcome CompressOne(const CompressArgs& a, const CompressSetup& setup, const Input& input, const fs::path& target) {
  const bool fromStream = IsStream(input.file);
  const std::string shown = Shown(input.file);
  // The job's own word for this is the desktop program's "Invalid file
  // name"; here the reason is given.
  if (!fromStream && !HasSuffix(input.file, {".wav", ".pcm"}))
    throw Error(ErrorKind::InvalidName,
                shown + " is not a .wav or .pcm recording" +
                    (HasSuffix(input.file, {".otq"}) ? "; otq extract restores an archive" : ""),
                {}, input.file);
  RefuseOneFileBothWays(input.file, target, "source", "its archive must be written to another file");
  const auto start = std::chrono::steady_clock::now();
  // The standard streams and pipes pass through the job's own private
  // folder. A source of no known kind is taken as a .wav, which may turn
  // out to be headerless.
  std::optional<WorkFolder> streams;
  if (fromStream || target == "-") streams.emplace();
  fs::path source = input.file;
  if (fromStream) {
    const fs::path leaf = input.file == "-" ? fs::path("standard-input.wav") : input.file.filename();
    source = streams->File(HasSuffix(leaf, {".wav", ".pcm"}) ? leaf.string() : leaf.string() + ".wav");
    Spool(input.file, source, setup.drawBar);
  }
  const fs::path archive = target == "-" ? streams->File("standard-output.otq") : target;
  // Under -d the folder tree is mirrored; -o names a file in a folder that must exist.
  if (!a.dir.empty() && !target.parent_path().empty()) MakeFolders(target.parent_path());

  WaveFormat wave;
  std::error_code statError;
  if (HasSuffix(source, {".wav"}) && fs::is_regular_file(source, statError)) wave = ReadWaveFormat(source);
  for (const auto& note : DescribeSource(a, wave, shown)) Warn("note: " + note);

  CompressionOptions options;
  options.source = source;
  options.shownAs = fromStream ? shown : std::string();
  options.archive = archive;
  options.rate = setup.rate;
  options.password = setup.password;
  options.replaceArchive = a.force;
  options.integrityRecord = !a.noIntegrity;
  options.threads = setup.innerThreads;
  if (!a.keepWork.empty()) options.keepWorkDir = fs::path(a.keepWork);
  // Verified before it is moved into place: a failed check leaves an archive
  // that was already there untouched.
  double verifySeconds = -1;
  if (a.verify) {
    options.beforeCommit = [&](const fs::path& finished) {
      const auto vstart = std::chrono::steady_clock::now();
      ExtractionOptions check;
      check.archive = finished;
      check.shownAs = target == "-" ? fs::path("the archive") : target;
      check.compareWith = source;
      check.checkPassword = false;
      check.threads = options.threads;
      TerminalProgress vprogress(input.file.filename().string() + " (verify)", setup.drawBar);
      ExtractionResult checked;
      try {
        checked = ExtractionJob(check, vprogress, nullptr).Run();
      } catch (const Error& e) {
        throw Error(ErrorKind::Verify, check.shownAs.string() + ": VERIFICATION FAILED, no archive written: " + e.what(),
                    {}, target == "-" ? fs::path() : target);
      }
      if (checked.cancelled) throw Error(ErrorKind::Verify, shown + ": " + kCompressionCancelledMessage, {}, shown);
      verifySeconds = Seconds(std::chrono::steady_clock::now() - vstart);
    };
  }
  TerminalProgress progress(fromStream ? shown : input.file.filename().string(), setup.drawBar);
  OptionChannels channels(setup.layout, wave, shown);
  CompressionResult result = CompressionJob(options, progress, channels).Run();
  if (result.cancelled) {
    Warn(shown + ": " + kCompressionCancelledMessage);
    return {};
  }
  for (const auto& notice : result.notices) Warn("note: " + notice);
  if (target == "-") SendToStandardOutput(archive);
  Outcome done{true, result.sourceSize, result.archiveSize, Seconds(std::chrono::steady_clock::now() - start)};
  if (a.json) {
    Say(json{{"source", shown}, {"archive", target == "-" ? StreamOutputInJson() : target.string()}, {"ok", true},
             {"bytesIn", done.in}, {"bytesOut", done.out}, {"seconds", done.seconds}, {"verified", verifySeconds >= 0}});
  } else if (!a.quiet) {
    Say(Format("%s -> %s: %llu -> %llu bytes%s, %.2f s", shown.c_str(),
               target == "-" ? StandardOutputName() : target.c_str(), static_cast<unsigned long long>(done.in),
               static_cast<unsigned long long>(done.out), SavingText(done.in, done.out).c_str(), done.seconds) +
        (verifySeconds >= 0 ? Format(", verified in %.2f s", verifySeconds) : ""));
  }
  return done;
}

// `restoring`: the bytes in are archives and the bytes out what they hold,
// so the saving is that of the archives. `testing`: nothing was written,
// and the text counts the archives found sound.
void PrintSummary(bool json, bool quiet, bool restoring, const Totals& t, std::size_t files, double seconds,
                  bool testing = false) {
  const std::uint64_t in = t.bytesIn, out = t.bytesOut;
  const double saved = restoring ? Saving(out, in) : Saving(in, out);
  if (json) {
    Say(nlohmann::json{{"summary",
                        {{"files", files},
                         {"done", t.done.load()},
                         {"failed", t.failed.load()},
                         {"skipped", t.skipped.load()},
                         {"bytesIn", in},
                         {"bytesOut", out},
                         {"saved", saved},
                         {"seconds", seconds}}}});
  } else if (!quiet && files > 1 && testing) {
    Say(Format("%zu archives: %llu ok, %llu failed, %.2f s", files, static_cast<unsigned long long>(t.done.load()),
               static_cast<unsigned long long>(t.failed.load()), seconds));
  } else if (!quiet && files > 1) {
    Say(Format("%zu files: %llu done (%s -> %s%s), %llu failed, %llu skipped, %.2f s", files,
               static_cast<unsigned long long>(t.done.load()), Bytes(in).c_str(), Bytes(out).c_str(),
               (restoring ? SavingText(out, in) : SavingText(in, out)).c_str(),
               static_cast<unsigned long long>(t.failed.load()), static_cast<unsigned long long>(t.skipped.load()),
               seconds));
  }
}

struct BatchStyle {
  bool json, quiet;
  bool skipDone;    // a target that exists is work done already (--recursive without -f)
  const char* key;  // what an input is called in JSON
};

// Runs one job per input and keeps the counts: refused inputs fail before
// any work, inputs whose target exists are skipped when `style.skipDone`,
// and every failure is reported (in JSON too) by name.
void RunBatch(const std::vector<Input>& inputs, const std::vector<std::string>& refused, unsigned jobs,
              const BatchStyle& style, Totals& totals, const std::function<fs::path(std::size_t)>& target,
              const std::function<Outcome(std::size_t)>& run) {
  auto name = [&](std::size_t i) { return Shown(inputs[i].file); };
  BatchLine line(inputs.size(), !style.quiet && StderrIsTerminal());
  RunAll(
      inputs.size(), jobs,
      [&](std::size_t i) {
        auto report = [&](const std::exception& failure) {
          if (style.json) Say(ErrorLine(style.key, name(i), failure));
        };
        bool ok = false;
        try {
          std::error_code ec;
          if (!refused[i].empty()) {
            Warn(refused[i]);
            report(std::runtime_error(refused[i]));
          } else if (style.skipDone && !inputs[i].root.empty() && !target(i).empty() && fs::exists(target(i), ec)) {
            ++totals.skipped;
            line.Finished();
            return true;
          } else if (const Outcome o = run(i); o.ok) {
            ok = true;
            ++totals.done;
            totals.bytesIn += o.in;
            totals.bytesOut += o.out;
          } else {
            report(std::runtime_error("cancelled"));
          }
        } catch (const std::exception& e) {
          ++totals.failed;
          line.Finished();
          // The data's reader on standard output went away, and the job's
          // write to it failed before the watcher saw the pipe close: the
          // same stop, not a failure of this file.
          if (g_stdoutCarriesData && OutputReaderGone()) {
            OutputClosed();
            report(std::runtime_error("cancelled"));
            return false;
          }
          report(e);
          throw;
        } catch (...) {
          ++totals.failed;
          line.Finished();
          throw;
        }
        if (!ok) ++totals.failed;
        line.Finished();
        return ok;
      },
      name);
}

// Binary data poured onto a terminal garbles it and is lost; waited for
// from one, it cannot be typed.
int RefuseTerminal(const char* what) {
  std::fprintf(stderr,
               "otq: %s is a terminal; %s is not written there (redirect it to a file or a pipe, or give -f to write "
               "it all the same)\n",
               StandardOutputName(), what);
  return kExitUsage;
}
bool NamesStandardInput(const std::vector<std::string>& names) {
  return std::find(names.begin(), names.end(), "-") != names.end();
}
int RefuseTerminalInput(const char* what, bool canForce) {
  std::fprintf(stderr, "otq: standard input is a terminal; %s is not read from there (redirect a file or a pipe into it%s)\n",
               what, canForce ? ", or give -f to read it all the same" : "");
  return kExitUsage;
}
// A folder is taken only with --recursive; without it, it is a slip of the
// command line, told before any work. Returns the usage status, else 0.
int RefuseFolders(const std::vector<std::string>& names, bool recursive, const char* what) {
  if (recursive) return 0;
  for (const std::string& name : names) {
    std::error_code ec;
    if (name != "-" && fs::is_directory(name, ec)) {
      std::fprintf(stderr, "otq: %s is a folder; give --recursive to take the %s under it\n", name.c_str(), what);
      return kExitUsage;
    }
  }
  return 0;
}
// An output is named after its input, beside it; a pipe such as /dev/fd/63
// gives no such name, so its output must be given. Returns the usage status
// for the first such input, else 0.
int RefuseUnnamedPipes(const std::vector<Input>& inputs, std::initializer_list<const char*> suffixes,
                       const char* what) {
  for (const Input& input : inputs)
    if (IsPipe(input.file) && !HasSuffix(input.file, suffixes)) {
      std::fprintf(stderr,
                   "otq: %s is read as a stream, whose name does not tell where %s goes; give -o FILE or -d FOLDER\n",
                   input.file.c_str(), what);
      return kExitUsage;
    }
  return 0;
}

// A password file that is the standard input the data comes through would
// take the data's first bytes (more than a line, from a pipe) as the
// password, and leave the job the rest. Returns the usage status, else 0.
int RefusePasswordFromDataInput(const std::vector<std::string>& inputs, const std::string& passwordFile,
                                const char* what) {
  struct stat named {};
  if (passwordFile.empty() || !NamesStandardInput(inputs) || stat(passwordFile.c_str(), &named) != 0 ||
      !IsStandardInput(named))
    return 0;
  std::fprintf(stderr, "otq: --password-file %s is standard input, which carries %s; give the password another way\n",
               passwordFile.c_str(), what);
  return kExitUsage;
}

}  // namespace

int Compress(const CompressArgs& given) {
  CompressArgs a = given;
  if (!a.output.empty() && (a.sources.size() > 1 || a.recursive)) {
    std::fprintf(stderr, "otq: -o names one archive; use -d with several sources\n");
    return kExitUsage;
  }
  if (!a.output.empty() && !a.dir.empty()) {
    std::fprintf(stderr, "otq: give -o or -d, not both\n");
    return kExitUsage;
  }
  if (const int status = RouteOutputIntoStream(a.output)) return status;
  if (a.output == "-" && !a.force && StdoutIsTerminal()) return RefuseTerminal("an archive");
  if (const int refused = RefusePasswordFromDataInput(a.sources, a.passwordFile, "the recording")) return refused;
  if (NamesStandardInput(a.sources) && !a.force && StdinIsTerminal())
    return RefuseTerminalInput("a recording", true);
  if (NamesStandardInput(a.sources) && (a.output.empty() || a.sources.size() > 1)) {
    std::fprintf(stderr, "otq: a source read from standard input is the only one and needs -o FILE (or -o - for "
                         "standard output)\n");
    return kExitUsage;
  }
  if (!a.keepWork.empty() && (a.sources.size() > 1 || a.recursive)) {
    std::fprintf(stderr, "otq: --keep-work keeps the files of one job; give one source\n");
    return kExitUsage;
  }
  if (const int refused = RefuseFolders(a.sources, a.recursive, "recordings")) return refused;
  if (a.havePassword && a.password.empty()) {
    // An unset variable, most likely; such an archive asks for a password
    // and takes none.
    std::fprintf(stderr, "otq: --password is empty; leave it out for an archive without a password\n");
    return kExitUsage;
  }
  CompressSetup setup;
  const std::optional<Rate> rate = ParseRate(a.rate);
  if (!rate) {
    std::fprintf(stderr, "otq: unknown rate '%s' (fastest, fast, normal, maximum or extreme)\n", a.rate.c_str());
    return kExitUsage;
  }
  setup.rate = *rate;
  if (a.channels == "mono") setup.layout = ChannelLayout::Mono;
  if (a.channels == "stereo") setup.layout = ChannelLayout::Stereo;
  std::vector<Input> inputs;
  try {
    setup.password = PasswordFromOptions(a.password, a.passwordFile, a.havePassword);
    if (setup.password) PasswordRecord(*setup.password);  // refuses a password it cannot store before any work
    inputs = Collect(a.sources, a.recursive, {".wav", ".pcm"});
  } catch (const Error& e) {
    Warn(e.what());
    return kExitFailure;
  }
  if (a.output.empty() && a.dir.empty())
    if (const int refused = RefuseUnnamedPipes(inputs, {".wav", ".pcm"}, "its archive")) return refused;
  g_stdoutCarriesData = a.output == "-";
  setup.jobs = a.jobs ? a.jobs : DefaultThreads();
  setup.innerThreads = InnerThreads(setup.jobs, inputs.size());
  setup.drawBar = !a.quiet && StderrIsTerminal() && std::min<std::size_t>(setup.jobs, inputs.size()) == 1 &&
                  inputs.size() == 1;

  std::vector<fs::path> targets(inputs.size());
  std::vector<std::string> refused(inputs.size());
  TargetClaims claims;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    targets[i] = !a.output.empty() ? fs::path(a.output)
                                   : OutputFor(inputs[i], a.dir, inputs[i].file.filename().replace_extension(".otq").string());
    refused[i] = claims.Claim(targets[i], inputs[i].file.string());
  }
  Totals totals;
  const auto start = std::chrono::steady_clock::now();
  RunBatch(inputs, refused, setup.jobs, {a.json, a.quiet, a.recursive && !a.force, "source"}, totals,
           [&](std::size_t i) { return targets[i]; },
           [&](std::size_t i) { return CompressOne(a, setup, inputs[i], targets[i]); });
  if (a.json || inputs.size() > 1)
    PrintSummary(a.json, a.quiet, false, totals, inputs.size(), Seconds(std::chrono::steady_clock::now() - start));
  if (Interrupted()) return StopStatus();
  return totals.failed ? kExitFailure : 0;
}

// ---- Extraction --------------------------------------------------------------

namespace {

Outcome ExtractOne(const ExtractArgs& a, const std::optional<std::string>& password, unsigned threads, bool drawBar,
                   const Input& input, const fs::path& target, bool testOnly) {
  const bool fromStream = IsStream(input.file);
  const std::string shown = Shown(input.file);
  if (!testOnly) RefuseOneFileBothWays(input.file, target, "archive", "restore it to another file");
  const auto start = std::chrono::steady_clock::now();
  std::optional<WorkFolder> streams;
  const fs::path archive = ArchiveFile(input.file, streams, drawBar);
  fs::path restored = target;
  if (!testOnly && restored.empty()) {
    const ArchiveInfo info = ReadArchiveInfo(archive, shown);
    restored = OutputFor(input, a.dir, RestoredName(archive.filename().string(), info.waveHeader));
  }
  if (!testOnly && !a.dir.empty() && !restored.parent_path().empty()) MakeFolders(restored.parent_path());
  ExtractionOptions options;
  options.archive = archive;
  options.shownAs = fromStream ? fs::path(shown) : fs::path();
  options.password = password;
  options.replaceTarget = a.force;
  options.threads = threads;
  options.requireIntegrity = a.requireIntegrity;
  if (testOnly) options.checkPassword = false;
  else if (restored == "-") {
    options.toStandardOutput = true;
    options.standardOutputShownAs = StandardOutputName();
  }
  else options.target = restored;
  TerminalProgress progress(fromStream ? shown : input.file.filename().string(), drawBar);
  PromptingPassword prompt(shown);
  ExtractionResult result = ExtractionJob(options, progress, &prompt).Run();
  if (result.cancelled) {
    Warn(shown + ": " + kExtractionCancelledMessage);
    return {};
  }
  Outcome done{true, result.info.archiveSize, result.restoredSize,
               Seconds(std::chrono::steady_clock::now() - start - prompt.Waited())};
  if (a.json) {
    json line{{"archive", shown}, {"ok", true}, {"integrityChecked", result.integrityChecked},
              {"bytesIn", done.in}, {"bytesOut", done.out}, {"seconds", done.seconds}};
    if (!testOnly) line["restored"] = restored == "-" ? StreamOutputInJson() : restored.string();
    Say(line);
  } else if (testOnly && !a.quiet) {
    Say(shown + ": ok" +
        (result.integrityChecked ? " (length and CRC-32 match the integrity record)"
                                 : " (no integrity record: decodes consistently)"));
  } else if (!testOnly && !a.quiet) {
    Say(Format("%s -> %s: %llu bytes, %.2f s", shown.c_str(), restored == "-" ? StandardOutputName() : restored.c_str(),
               static_cast<unsigned long long>(done.out), done.seconds));
  }
  return done;
}

}  // namespace

int Extract(const ExtractArgs& given, bool testOnly) {
  ExtractArgs a = given;
  if (!a.output.empty() && (a.archives.size() > 1 || a.recursive)) {
    std::fprintf(stderr, "otq: -o names one restored file; use -d with several archives\n");
    return kExitUsage;
  }
  if (NamesStandardInput(a.archives) && a.archives.size() > 1) {
    std::fprintf(stderr, "otq: an archive read from standard input is the only one\n");
    return kExitUsage;
  }
  if (!testOnly)
    if (const int status = RouteOutputIntoStream(a.output)) return status;
  if (!testOnly && a.output == "-" && !a.force && StdoutIsTerminal()) return RefuseTerminal("a restored recording");
  if (!testOnly)
    if (const int refused = RefusePasswordFromDataInput(a.archives, a.passwordFile, "the archive")) return refused;
  if (NamesStandardInput(a.archives) && !a.force && StdinIsTerminal())  // test has no -f
    return RefuseTerminalInput("an archive", !testOnly);
  if (const int refused = RefuseFolders(a.archives, a.recursive, "archives")) return refused;
  std::optional<std::string> password;
  std::vector<Input> inputs;
  try {
    if (!testOnly) password = PasswordFromOptions(a.password, a.passwordFile, a.havePassword);
    inputs = Collect(a.archives, a.recursive, {".otq"});
  } catch (const Error& e) {
    Warn(e.what());
    return kExitFailure;
  }
  if (!testOnly && a.output.empty() && a.dir.empty())
    if (const int refused = RefuseUnnamedPipes(inputs, {".otq"}, "the restored recording")) return refused;
  if (!testOnly && !a.dir.empty()) {
    try {
      MakeFolders(a.dir);
    } catch (const Error& e) {
      Warn(e.what());
      return kExitFailure;
    }
  }
  g_stdoutCarriesData = a.output == "-";
  const unsigned jobs = a.jobs ? a.jobs : DefaultThreads();
  const bool drawBar = !a.quiet && StderrIsTerminal() && std::min<std::size_t>(jobs, inputs.size()) == 1 &&
                       inputs.size() == 1;

  // Targets come from the archives' heads, all read before any work.
  std::vector<fs::path> targets(inputs.size());
  std::vector<std::string> refused(inputs.size());
  if (!testOnly) {
    TargetClaims claims;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      if (inputs[i].file == "-") {
        targets[i] = a.output;  // known once the archive is read, unless -o gives it
        continue;
      }
      if (IsPipe(inputs[i].file) && a.output.empty()) {
        // Whether it restores a .wav or a .pcm is known once it is read;
        // both names are claimed, so that no other job of the run writes
        // either.
        const std::string leaf = inputs[i].file.filename().string();
        for (const std::uint8_t waveHeader : {std::uint8_t{0}, std::uint8_t{1}}) {
          const std::string clash =
              claims.Claim(OutputFor(inputs[i], a.dir, RestoredName(leaf, waveHeader)), inputs[i].file.string());
          if (refused[i].empty()) refused[i] = clash;
        }
        continue;
      }
      try {
        targets[i] = !a.output.empty()
                         ? fs::path(a.output)
                         : OutputFor(inputs[i], a.dir,
                                     RestoredName(inputs[i].file.filename().string(),
                                                  ReadArchiveInfo(inputs[i].file).waveHeader));
        refused[i] = claims.Claim(targets[i], inputs[i].file.string());
      } catch (const Error&) {
        // The job itself reports the damage with its full message.
      }
    }
  }
  Totals totals;
  const auto start = std::chrono::steady_clock::now();
  RunBatch(inputs, refused, jobs, {a.json, a.quiet, !testOnly && a.recursive && !a.force, "archive"}, totals,
           [&](std::size_t i) { return targets[i]; },
           [&](std::size_t i) {
             return ExtractOne(a, password, InnerThreads(jobs, inputs.size()), drawBar, inputs[i], targets[i], testOnly);
           });
  if (a.json || inputs.size() > 1)
    PrintSummary(a.json, a.quiet, true, totals, inputs.size(), Seconds(std::chrono::steady_clock::now() - start),
                 testOnly);
  if (Interrupted()) return StopStatus();
  return totals.failed ? kExitFailure : 0;
}

// ---- List --------------------------------------------------------------------

int List(const std::vector<std::string>& archives, bool asJson) {
  if (NamesStandardInput(archives) && StdinIsTerminal())
    return RefuseTerminalInput("an archive", false);
  static const char* kNames[6] = {"header", "sign", "low bits", "high parts", "predictor flags", "analysis"};
  static const char* kKeys[6] = {"header", "sign", "lowBits", "highParts", "predictorFlags", "analysis"};
  int failures = 0;
  for (const auto& given : archives) {
    const std::string name = Shown(given);
    try {
      std::optional<WorkFolder> spool;
      const fs::path file = ArchiveFile(given, spool, StderrIsTerminal());
      const ArchiveInfo info = ReadArchiveInfo(file, name);
      const std::string restored = RestoredName(file.filename().string(), info.waveHeader);
      if (asJson) {
        json streams;
        for (int i = 0; i < 6; ++i) streams[kKeys[i]] = info.streamLength[i];
        json line{{"archive", name},
                  {"kind", info.waveHeader == 1 ? "wav" : "pcm"},
                  {"restoredName", restored},
                  {"sourceNameKind", info.sourceType == 0 ? "pcm" : "wav"},
                  {"channels", info.twoChannels ? 2 : 1},
                  {"predictorSet", info.predictorSet},
                  {"predictors", info.predictorSet ? 8 : 4},
                  {"password", info.hasPassword},
                  {"streams", streams},
                  {"archiveSize", info.archiveSize}};
        line["integrity"] = info.integrity ? json{{"restoredLength", info.integrity->restoredLength},
                                                  {"crc32", Format("%08X", info.integrity->crc32)}}
                                           : json(nullptr);
        Say(line);
        continue;
      }
      std::printf("%s\n", name.c_str());
      std::printf("  source kind:     %s (restores as %s)\n", info.waveHeader == 1 ? ".wav" : ".pcm", restored.c_str());
      std::printf("  source name:     ended in %s\n", info.sourceType == 0 ? ".pcm" : ".wav");
      std::printf("  channels:        %s\n", info.twoChannels ? "two (stereo)" : "one (mono)");
      std::printf("  predictors:      %s\n", info.predictorSet ? "0 to 7 (Fast, Maximum, Extreme)" : "0 to 3 (Fastest, Normal)");
      std::printf("  password:        %s\n", info.hasPassword ? "yes" : "no");
      for (int i = 0; i < 6; ++i) std::printf("  %-17s%u bytes\n", (std::string(kNames[i]) + ":").c_str(), info.streamLength[i]);
      if (info.integrity)
        std::printf("  integrity:       %llu bytes, CRC-32 %08X\n",
                    static_cast<unsigned long long>(info.integrity->restoredLength), info.integrity->crc32);
      else
        std::printf("  integrity:       none (the format carries no checksum)\n");
      std::printf("  archive size:    %llu bytes\n", static_cast<unsigned long long>(info.archiveSize));
    } catch (const Error& e) {
      if (asJson) Say(ErrorLine("archive", name, e));
      Warn(Named(name, e));
      ++failures;
    } catch (const PromptInterrupted&) {
      break;  // stopped while standard input was read
    }
  }
  if (Interrupted()) return StopStatus();
  return failures ? kExitFailure : 0;
}

void PrintReport(const std::string& text) { Say(text); }

int StandardOutputWriteError() {
  std::lock_guard lock(g_outputMutex);
  return g_stdoutError;
}

}  // namespace ost::cli
