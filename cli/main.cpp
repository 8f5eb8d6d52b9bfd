// otq: the terminal tool. Compresses recordings into archives, restores
// them, tests them and lists what they hold, over the same core jobs as the
// desktop program.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

#include "cli/TerminalUi.h"
#include "common/Errors.h"
#include "common/FileIO.h"
#include "common/Parallel.h"
#include "common/Password.h"
#include "compress/CompressionJob.h"
#include "extract/ArchiveReader.h"
#include "extract/ExtractionJob.h"

namespace fs = std::filesystem;
using namespace ost;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

std::mutex g_outputMutex;

void PrintLine(std::FILE* stream, const std::string& line) {
  std::lock_guard lock(g_outputMutex);
  std::fprintf(stream, "%s\n", line.c_str());
  // A reader that went away stops the run like any other stop request.
  if (std::fflush(stream) != 0 && errno == EPIPE && stream == stdout) cli::OutputClosed();
}

void PrintError(const std::string& line) { PrintLine(stderr, "otq: " + line); }

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string Format(const char* fmt, auto... args) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, fmt, args...);
  return buffer;
}

// Runs `work(i)` for i in [0, count) on up to `jobs` threads; returns the
// number of failures. No job starts once the run was stopped, and whatever
// a job throws is a failure of that job, never the end of the process.
int RunAll(std::size_t count, unsigned jobs, const std::function<bool(std::size_t)>& work,
           const std::function<std::string(std::size_t)>& name) {
  std::atomic<std::size_t> next{0};
  std::atomic<int> failures{0};
  auto worker = [&] {
    for (std::size_t i; !cli::Interrupted() && (i = next.fetch_add(1)) < count;) {
      bool ok = false;
      try {
        ok = work(i);
      } catch (const std::exception& e) {
        PrintError(name(i) + ": " + e.what());
      } catch (...) {
        PrintError(name(i) + ": failed for an unknown reason");
      }
      if (!ok) failures.fetch_add(1);
    }
  };
  jobs = std::max(1u, std::min<unsigned>(jobs, static_cast<unsigned>(count)));
  std::vector<std::jthread> threads;
  for (unsigned t = 1; t < jobs; ++t) threads.emplace_back(worker);
  worker();
  threads.clear();
  return failures.load();
}

// Threads each job may use inside one file when `jobs` files run side by side.
unsigned InnerThreads(unsigned jobs, std::size_t files) {
  const unsigned cores = DefaultThreads();
  const unsigned side = static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(jobs, files)));
  return std::max(1u, cores / side);
}

// The password of --password, or the first line of --password-file (its
// line end, LF or CRLF, removed). A file that gives no password (a folder,
// an empty file, a blank first line) is an error: an empty password would
// be stored without a word.
std::optional<std::string> PasswordFromOptions(const std::string& text, const std::string& file, bool haveText) {
  if (haveText) return text;
  if (file.empty()) return std::nullopt;
  std::error_code ec;
  if (fs::is_directory(file, ec)) throw Error(ErrorKind::Io, "cannot read password file " + file + ": it is a folder");
  std::ifstream in(file, std::ios::binary);
  if (!in) throw Error(ErrorKind::Io, "cannot read password file " + file + ": " + std::strerror(errno));
  std::string line;
  std::getline(in, line);
  if (in.bad()) throw Error(ErrorKind::Io, "cannot read password file " + file);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty())
    throw Error(ErrorKind::Io, "password file " + file + " holds no password (it is empty or its first line is blank)");
  return line;
}

// The second of two jobs of one run that would write the same file fails
// before any work, naming both sources; `-f` never lets one run overwrite
// its own output.
struct TargetClaims {
  std::vector<std::pair<fs::path, std::string>> claimed;  // target, the source that claimed it
  // Empty when `target` is free, else the message for `source`.
  std::string Claim(const fs::path& target, const std::string& source) {
    std::error_code ec;
    fs::path key = fs::weakly_canonical(fs::absolute(target, ec), ec);
    if (ec) key = target;
    for (const auto& [other, by] : claimed)
      if (other == key || SameFile(other, target))
        return source + ": would write " + target.string() + ", which " + by + " already writes in this run";
    claimed.emplace_back(key, source);
    return {};
  }
};

class OptionChannels final : public ChannelQuestion {
 public:
  explicit OptionChannels(std::optional<ChannelLayout> layout) : layout_(layout) {}
  std::optional<ChannelLayout> AskChannels(const fs::path& source) override {
    if (layout_) return layout_;
    throw Error(ErrorKind::ChannelCancelled,
                source.string() +
                    ": the file does not say how many channels it has; give them with --channels mono or "
                    "--channels stereo");
  }

 private:
  std::optional<ChannelLayout> layout_;
};

class PromptingPassword final : public PasswordQuestion {
 public:
  std::optional<std::string> AskPassword(const fs::path& archive) override {
    std::lock_guard lock(g_outputMutex);
    if (auto typed = cli::PromptPassword("Password for " + archive.string() + ": ")) return typed;
    throw Error(ErrorKind::PasswordNeeded,
                archive.string() + " holds a password; give it with --password TEXT or --password-file FILE");
  }
};

struct CompressArgs {
  std::vector<std::string> sources;
  std::string output, rate = "maximum", channels, password, passwordFile, keepWork;
  bool force = false, quiet = false, verify = false, noIntegrity = false;
  unsigned jobs = 0;
};

fs::path ArchiveFor(const CompressArgs& a, const fs::path& source) {
  return a.output.empty() ? fs::path(source).replace_extension(".otq") : fs::path(a.output);
}

int Compress(const CompressArgs& a, CLI::App& app) {
  if (!a.output.empty() && a.sources.size() > 1) {
    std::fprintf(stderr, "otq: -o names one archive; it cannot be used with several sources\n");
    return kExitUsage;
  }
  if (!a.keepWork.empty() && a.sources.size() > 1) {
    std::fprintf(stderr, "otq: --keep-work keeps the files of one job; give one source\n");
    return kExitUsage;
  }
  const std::optional<Rate> rate = ParseRate(a.rate);
  if (!rate) {
    std::fprintf(stderr, "otq: unknown rate '%s' (fastest, fast, normal, maximum or extreme)\n", a.rate.c_str());
    return kExitUsage;
  }
  std::optional<ChannelLayout> layout;
  if (a.channels == "mono") layout = ChannelLayout::Mono;
  if (a.channels == "stereo") layout = ChannelLayout::Stereo;
  std::optional<std::string> password;
  try {
    password = PasswordFromOptions(a.password, a.passwordFile, app.count("--password") > 0);
    if (password) PasswordRecord(*password);  // refuses a password it cannot store before any work
  } catch (const Error& e) {
    PrintError(e.what());
    return kExitFailure;
  }
  const unsigned jobs = a.jobs ? a.jobs : DefaultThreads();
  const bool drawBar = !a.quiet && cli::StderrIsTerminal() && std::min<std::size_t>(jobs, a.sources.size()) == 1;

  std::vector<std::string> refused(a.sources.size());
  TargetClaims claims;
  for (std::size_t i = 0; i < a.sources.size(); ++i) refused[i] = claims.Claim(ArchiveFor(a, a.sources[i]), a.sources[i]);

  const int failures = RunAll(
      a.sources.size(), jobs,
      [&](std::size_t i) {
        const fs::path source = a.sources[i];
        if (!refused[i].empty()) {
          PrintError(refused[i]);
          return false;
        }
        CompressionOptions options;
        options.source = source;
        options.archive = ArchiveFor(a, source);
        options.rate = *rate;
        options.password = password;
        options.replaceArchive = a.force;
        options.integrityRecord = !a.noIntegrity;
        options.threads = InnerThreads(jobs, a.sources.size());
        if (!a.keepWork.empty()) options.keepWorkDir = fs::path(a.keepWork);
        // Verified before it is moved into place: a failed check leaves an
        // archive that was already there untouched.
        double verifySeconds = -1;
        if (a.verify) {
          options.beforeCommit = [&](const fs::path& finished) {
            const auto vstart = std::chrono::steady_clock::now();
            ExtractionOptions check;
            check.archive = finished;
            check.shownAs = options.archive;
            check.compareWith = source;
            check.checkPassword = false;
            check.threads = options.threads;
            cli::TerminalProgress vprogress(source.filename().string() + " (verify)", drawBar);
            ExtractionResult checked;
            try {
              checked = ExtractionJob(check, vprogress, nullptr).Run();
            } catch (const Error& e) {
              throw Error(ErrorKind::Verify,
                          options.archive.string() + ": VERIFICATION FAILED, no archive written: " + e.what());
            }
            if (checked.cancelled)
              throw Error(ErrorKind::Verify, options.archive.string() + ": " + kCompressionCancelledMessage);
            verifySeconds = Seconds(std::chrono::steady_clock::now() - vstart);
          };
        }
        try {
          cli::TerminalProgress progress(source.filename().string(), drawBar);
          OptionChannels channels(layout);
          const auto start = std::chrono::steady_clock::now();
          CompressionResult result = CompressionJob(options, progress, channels).Run();
          const double took = Seconds(std::chrono::steady_clock::now() - start);
          if (result.cancelled) {
            PrintError(source.string() + ": " + kCompressionCancelledMessage);
            return false;
          }
          for (const auto& notice : result.notices) PrintLine(stderr, "otq: note: " + notice);
          if (!a.quiet) {
            const double saving = result.sourceSize ? 100.0 * (1.0 - static_cast<double>(result.archiveSize) /
                                                                          static_cast<double>(result.sourceSize))
                                                    : 0.0;
            PrintLine(stdout, Format("%s -> %s: %llu -> %llu bytes, %.1f%% saved, %.2f s", source.c_str(),
                                     options.archive.c_str(), static_cast<unsigned long long>(result.sourceSize),
                                     static_cast<unsigned long long>(result.archiveSize), saving, took) +
                                  (verifySeconds >= 0 ? Format(", verified in %.2f s", verifySeconds) : ""));
          }
          return true;
        } catch (const Error& e) {
          const std::string what = e.what();
          PrintError(what.find(source.string()) == std::string::npos ? source.string() + ": " + what : what);
          return false;
        }
      },
      [&](std::size_t i) { return a.sources[i]; });
  if (cli::Interrupted()) return cli::StopStatus();
  return failures ? kExitFailure : 0;
}

struct ExtractArgs {
  std::vector<std::string> archives;
  std::string dir, output, password, passwordFile;
  bool force = false, quiet = false, requireIntegrity = false;
  unsigned jobs = 0;
};

int Extract(const ExtractArgs& a, CLI::App& app, bool testOnly) {
  if (!a.output.empty() && a.archives.size() > 1) {
    std::fprintf(stderr, "otq: -o names one restored file; use -d with several archives\n");
    return kExitUsage;
  }
  std::optional<std::string> password;
  try {
    if (!testOnly) password = PasswordFromOptions(a.password, a.passwordFile, app.count("--password") > 0);
  } catch (const Error& e) {
    PrintError(e.what());
    return kExitFailure;
  }
  if (!testOnly && !a.dir.empty()) {
    std::error_code ec;
    fs::create_directories(a.dir, ec);
    if (ec) {
      PrintError("cannot create folder " + a.dir + ": " + ec.message());
      return kExitFailure;
    }
  }
  const unsigned jobs = a.jobs ? a.jobs : DefaultThreads();
  const bool drawBar = !a.quiet && cli::StderrIsTerminal() && std::min<std::size_t>(jobs, a.archives.size()) == 1;
  PromptingPassword prompt;

  // Targets come from the archives' heads, all read before any work.
  std::vector<fs::path> targets(a.archives.size());
  std::vector<std::string> refused(a.archives.size());
  if (!testOnly) {
    TargetClaims claims;
    for (std::size_t i = 0; i < a.archives.size(); ++i) {
      const fs::path archive = a.archives[i];
      try {
        if (!a.output.empty()) {
          targets[i] = a.output;
        } else {
          const ArchiveInfo info = ReadArchiveInfo(archive);
          const fs::path folder = a.dir.empty() ? archive.parent_path() : fs::path(a.dir);
          targets[i] = folder / RestoredName(archive.filename().string(), info.waveHeader);
        }
        refused[i] = claims.Claim(targets[i], a.archives[i]);
      } catch (const Error&) {
        // The job itself reports the damage with its full message.
      }
    }
  }

  const int failures = RunAll(
      a.archives.size(), jobs,
      [&](std::size_t i) {
        const fs::path archive = a.archives[i];
        if (!refused[i].empty()) {
          PrintError(refused[i]);
          return false;
        }
        try {
          ExtractionOptions options;
          options.archive = archive;
          options.password = password;
          options.replaceTarget = a.force;
          options.threads = InnerThreads(jobs, a.archives.size());
          options.requireIntegrity = a.requireIntegrity;
          if (testOnly) {
            options.checkPassword = false;
          } else if (!targets[i].empty()) {
            options.target = targets[i];
          } else {
            const ArchiveInfo info = ReadArchiveInfo(archive);  // throws the damage found above
            options.target = (a.dir.empty() ? archive.parent_path() : fs::path(a.dir)) /
                             RestoredName(archive.filename().string(), info.waveHeader);
          }
          cli::TerminalProgress progress(archive.filename().string(), drawBar);
          const auto start = std::chrono::steady_clock::now();
          ExtractionResult result = ExtractionJob(options, progress, &prompt).Run();
          const double took = Seconds(std::chrono::steady_clock::now() - start);
          if (result.cancelled) {
            PrintError(archive.string() + ": " + kExtractionCancelledMessage);
            return false;
          }
          if (testOnly) {
            PrintLine(stdout, archive.string() + ": ok" +
                                  (result.integrityChecked ? " (length and CRC-32 match the integrity record)"
                                                           : " (no integrity record: decodes consistently)"));
          } else if (!a.quiet) {
            PrintLine(stdout, Format("%s -> %s: %llu bytes, %.2f s", archive.c_str(), options.target.c_str(),
                                     static_cast<unsigned long long>(result.restoredSize), took));
          }
          return true;
        } catch (const cli::PromptInterrupted&) {
          PrintError(archive.string() + ": " + kExtractionCancelledMessage);
          return false;
        } catch (const Error& e) {
          const std::string what = e.what();
          PrintError(what.find(archive.string()) == std::string::npos ? archive.string() + ": " + what : what);
          return false;
        }
      },
      [&](std::size_t i) { return a.archives[i]; });
  if (cli::Interrupted()) return cli::StopStatus();
  return failures ? kExitFailure : 0;
}

int List(const std::vector<std::string>& archives) {
  int failures = 0;
  for (const auto& name : archives) {
    try {
      const ArchiveInfo info = ReadArchiveInfo(name);
      const fs::path path(name);
      const std::string restored = RestoredName(path.filename().string(), info.waveHeader);
      std::printf("%s\n", name.c_str());
      std::printf("  source kind:     %s (restores as %s)\n", info.waveHeader == 1 ? ".wav" : ".pcm", restored.c_str());
      std::printf("  source name:     ended in %s\n", info.sourceType == 0 ? ".pcm" : ".wav");
      std::printf("  channels:        %s\n", info.channels == 1 ? "two (stereo)" : "one (mono)");
      std::printf("  predictors:      %s\n", info.predictorSet ? "0 to 7 (Fast, Maximum, Extreme)" : "0 to 3 (Fastest, Normal)");
      std::printf("  password:        %s\n", info.hasPassword ? "yes" : "no");
      static const char* kNames[6] = {"header", "sign", "low bits", "high parts", "predictor flags", "analysis"};
      for (int i = 0; i < 6; ++i) std::printf("  %-17s%u bytes\n", (std::string(kNames[i]) + ":").c_str(), info.streamLength[i]);
      if (info.integrity)
        std::printf("  integrity:       %llu bytes, CRC-32 %08X\n",
                    static_cast<unsigned long long>(info.integrity->restoredLength), info.integrity->crc32);
      else
        std::printf("  integrity:       none (the format carries no checksum)\n");
      std::printf("  archive size:    %llu bytes\n", static_cast<unsigned long long>(info.archiveSize));
    } catch (const Error& e) {
      const std::string what = e.what();
      PrintError(what.find(name) == std::string::npos ? name + ": " + what : what);
      ++failures;
    }
  }
  return failures ? kExitFailure : 0;
}

}  // namespace

int main(int argc, char** argv) {
  cli::InstallInterruptHandler();
  CLI::App app{"otq: lossless archiver for 16-bit PCM audio (.wav, .pcm) into .otq archives"};
  app.set_version_flag("--version", "otq 3.0");
  app.require_subcommand(1);
  app.footer(
      "Exit status: 0 success, 1 failure, 2 usage error; stopped by a signal: 128 + its number (130 Ctrl-C, 129 "
      "hang-up, 141 closed output pipe, 143 terminated). A second Ctrl-C ends at once.");

  CompressArgs ca;
  CLI::App* compress = app.add_subcommand("compress", "Compress recordings into .otq archives");
  compress->add_option("SOURCE", ca.sources, "Recordings (.wav or headerless .pcm)")->required();
  compress->add_option("-o,--output", ca.output, "Archive to write (default: SOURCE with .otq in place of its extension)");
  compress->add_option("-r,--rate", ca.rate, "fastest, fast, normal, maximum or extreme (our own: searches the analysis against the coded size; about 1 % smaller than maximum and several times slower; any reader restores it)")->capture_default_str();
  compress->add_option("--channels", ca.channels, "Layout of a source whose header does not tell it")
      ->check(CLI::IsMember({"mono", "stereo"}));
  auto* pw = compress->add_option("--password", ca.password, "Password stored in the archive (at most 14 characters)");
  compress->add_option("--password-file", ca.passwordFile, "Read the password from the first line of FILE")->excludes(pw);
  compress->add_flag("-f,--force", ca.force, "Replace an existing archive");
  compress->add_option("--keep-work", ca.keepWork, "Leave the job's working files in DIR for inspection");
  compress->add_flag("--verify", ca.verify, "Restore each archive after writing it and compare it with the source");
  compress->add_flag("--no-integrity", ca.noIntegrity, "Write no integrity record (length and CRC-32) after the streams");
  compress->add_option("-j,--jobs", ca.jobs, "Files to work on side by side (default: the number of cores)");
  compress->add_flag("-q,--quiet", ca.quiet, "Print nothing but errors");

  ExtractArgs ea;
  CLI::App* extract = app.add_subcommand("extract", "Restore the recordings held in archives");
  extract->add_option("ARCHIVE", ea.archives, "Archives to restore")->required();
  auto* dir = extract->add_option("-d,--directory", ea.dir, "Folder for the restored files (default: beside each archive)");
  extract->add_option("-o,--output", ea.output, "Name of the restored file (one archive only)")->excludes(dir);
  auto* epw = extract->add_option("--password", ea.password, "The archive's password");
  extract->add_option("--password-file", ea.passwordFile, "Read the password from the first line of FILE")->excludes(epw);
  extract->add_flag("-f,--force", ea.force, "Replace an existing file");
  extract->add_flag("--require-integrity", ea.requireIntegrity,
                    "Refuse an archive without an integrity record (its restored bytes could not be checked)");
  extract->add_option("-j,--jobs", ea.jobs, "Archives to work on side by side (default: the number of cores)");
  extract->add_flag("-q,--quiet", ea.quiet, "Print nothing but errors");

  ExtractArgs ta;
  CLI::App* test = app.add_subcommand(
      "test",
      "Decode archives completely without writing anything. With an integrity record (written by default) the "
      "restored length and CRC-32 are checked; without one the format carries no checksum, so this proves that the "
      "archive decodes consistently, not that it matches its source");
  test->add_option("ARCHIVE", ta.archives, "Archives to test")->required();
  test->add_option("-j,--jobs", ta.jobs, "Archives to work on side by side");
  test->add_flag("--require-integrity", ta.requireIntegrity,
                 "Fail an archive without an integrity record (an older archive, or one whose last 16 bytes were cut)");
  ta.quiet = true;

  std::vector<std::string> listArchives;
  CLI::App* list = app.add_subcommand("list", "Show what archives hold, read from their heads");
  list->add_option("ARCHIVE", listArchives, "Archives to describe")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : kExitUsage;
  }
  if (compress->parsed()) return Compress(ca, *compress);
  if (extract->parsed()) return Extract(ea, *extract, false);
  if (test->parsed()) return Extract(ta, *test, true);
  if (list->parsed()) return List(listArchives);
  return kExitUsage;
}
