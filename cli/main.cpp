// otq: the terminal tool. Compresses recordings into archives, restores
// them, tests them and lists what they hold, over the same core jobs as the
// desktop program.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

#include "cli/TerminalUi.h"
#include "common/Errors.h"
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
constexpr int kExitInterrupted = 130;

std::mutex g_outputMutex;

void PrintLine(std::FILE* stream, const std::string& line) {
  std::lock_guard lock(g_outputMutex);
  std::fprintf(stream, "%s\n", line.c_str());
  std::fflush(stream);
}

void PrintError(const std::string& line) { PrintLine(stderr, "otq: " + line); }

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string Format(const char* fmt, auto... args) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, fmt, args...);
  return buffer;
}

// Runs `work(i)` for i in [0, count) on up to `jobs` threads; returns the
// number of failures.
int RunAll(std::size_t count, unsigned jobs, const std::function<bool(std::size_t)>& work) {
  std::atomic<std::size_t> next{0};
  std::atomic<int> failures{0};
  auto worker = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < count;)
      if (!work(i)) failures.fetch_add(1);
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

std::optional<std::string> PasswordFromOptions(const std::string& text, const std::string& file, bool haveText) {
  if (haveText) return text;
  if (file.empty()) return std::nullopt;
  std::ifstream in(file);
  if (!in) throw Error(ErrorKind::Io, "cannot read password file " + file);
  std::string line;
  std::getline(in, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

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
    if (auto typed = cli::PromptPassword("Password: ")) return typed;
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
    if (password) PasswordRecord(*password);  // refuses a password that is too long before any work
  } catch (const Error& e) {
    PrintError(e.what());
    return kExitFailure;
  }
  const unsigned jobs = a.jobs ? a.jobs : DefaultThreads();
  const bool drawBar = !a.quiet && cli::StderrIsTerminal() && std::min<std::size_t>(jobs, a.sources.size()) == 1;

  const int failures = RunAll(a.sources.size(), jobs, [&](std::size_t i) {
    const fs::path source = a.sources[i];
    CompressionOptions options;
    options.source = source;
    options.archive = a.output.empty() ? fs::path(source).replace_extension(".otq") : fs::path(a.output);
    options.rate = *rate;
    options.password = password;
    options.replaceArchive = a.force;
    options.integrityRecord = !a.noIntegrity;
    options.threads = InnerThreads(jobs, a.sources.size());
    if (!a.keepWork.empty()) options.keepWorkDir = fs::path(a.keepWork);
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
      std::string verified;
      if (a.verify) {
        const auto vstart = std::chrono::steady_clock::now();
        ExtractionOptions check;
        check.archive = options.archive;
        check.compareWith = source;
        check.checkPassword = false;
        check.threads = options.threads;
        cli::TerminalProgress vprogress(source.filename().string() + " (verify)", drawBar);
        try {
          ExtractionJob(check, vprogress, nullptr).Run();
        } catch (const Error& e) {
          std::error_code ec;
          fs::remove(options.archive, ec);
          PrintError(options.archive.string() + ": VERIFICATION FAILED, archive removed: " + e.what());
          return false;
        }
        verified = Format(", verified in %.2f s", Seconds(std::chrono::steady_clock::now() - vstart));
      }
      if (!a.quiet) {
        const double saving =
            result.sourceSize ? 100.0 * (1.0 - static_cast<double>(result.archiveSize) / static_cast<double>(result.sourceSize))
                              : 0.0;
        PrintLine(stdout, Format("%s -> %s: %llu -> %llu bytes, %.1f%% saved, %.2f s", source.c_str(),
                                 options.archive.c_str(), static_cast<unsigned long long>(result.sourceSize),
                                 static_cast<unsigned long long>(result.archiveSize), saving, took) +
                              verified);
      }
      return true;
    } catch (const Error& e) {
      const std::string what = e.what();
      PrintError(what.find(source.string()) == std::string::npos ? source.string() + ": " + what : what);
      return false;
    }
  });
  if (cli::g_interrupted) return kExitInterrupted;
  return failures ? kExitFailure : 0;
}

struct ExtractArgs {
  std::vector<std::string> archives;
  std::string dir, output, password, passwordFile;
  bool force = false, quiet = false;
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
  const unsigned jobs = a.jobs ? a.jobs : DefaultThreads();
  const bool drawBar = !a.quiet && cli::StderrIsTerminal() && std::min<std::size_t>(jobs, a.archives.size()) == 1;
  PromptingPassword prompt;
  const int failures = RunAll(a.archives.size(), jobs, [&](std::size_t i) {
    const fs::path archive = a.archives[i];
    try {
      ExtractionOptions options;
      options.archive = archive;
      options.password = password;
      options.replaceTarget = a.force;
      options.threads = InnerThreads(jobs, a.archives.size());
      if (testOnly) {
        options.checkPassword = false;
      } else if (!a.output.empty()) {
        options.target = a.output;
      } else {
        const ArchiveInfo info = ReadArchiveInfo(archive);
        const fs::path folder = a.dir.empty() ? archive.parent_path() : fs::path(a.dir);
        options.target = folder / RestoredName(archive.filename().string(), info.waveHeader);
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
    } catch (const Error& e) {
      if (e.kind() == ErrorKind::WrongPassword) {
        PrintLine(stderr, e.what());
      } else {
        const std::string what = e.what();
        PrintError(what.find(archive.string()) == std::string::npos ? archive.string() + ": " + what : what);
      }
      return false;
    }
  });
  if (cli::g_interrupted) return kExitInterrupted;
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
  app.footer("Exit status: 0 success, 1 failure, 2 usage error, 130 interrupted.");

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
