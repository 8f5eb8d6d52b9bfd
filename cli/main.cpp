// otq: the terminal tool. Compresses recordings into archives, restores
// them, tests them and lists what they hold, over the same core jobs as the
// desktop program. This file reads the command line; cli/Commands.cpp runs
// the commands.
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "cli/Commands.h"
#include "cli/TerminalUi.h"
#include "common/FileIO.h"

using namespace ost::cli;

namespace {

CLI::App* AddCompress(CLI::App& app, CompressArgs& ca) {
  CLI::App* compress = app.add_subcommand("compress", "Compress recordings into .otq archives");
  compress->add_option("SOURCE", ca.sources,
                       "Recordings (.wav or headerless .pcm); - reads one from standard input (a named pipe is "
                       "read the same way); with --recursive, folders")
      ->required();
  auto* cout_ = compress->add_option(
      "-o,--output", ca.output, "Archive to write (default: SOURCE with .otq in place of its extension); - writes it "
                                "to standard output (a named pipe or a device is written into the same way)");
  compress->add_option("-d,--directory", ca.dir, "Folder for the archives (a folder tree is mirrored under it)")
      ->excludes(cout_);
  compress->add_flag("--recursive", ca.recursive, "Compress every .wav and .pcm under the folders given");
  compress->add_option("-r,--rate", ca.rate, "fastest, fast, normal, maximum or extreme (our own: searches the analysis against the coded size; about 1 % smaller than maximum and several times slower; any reader restores it)")->capture_default_str();
  compress->add_option("--channels", ca.channels, "Layout of a source whose header does not tell it")
      ->check(CLI::IsMember({"mono", "stereo"}));
  auto* pw = compress->add_option("--password", ca.password, "Password stored in the archive (at most 14 characters of Windows-1252); other users of the machine can read a command line, so --password-file keeps it private");
  compress->add_option("--password-file", ca.passwordFile, "Read the password from the first line of FILE")->excludes(pw);
  compress->add_flag("-f,--force", ca.force, "Replace an existing archive (and compress again under --recursive; with -, read or write a terminal)");
  compress->add_flag("--strict", ca.strict,
                     "Refuse a .wav whose samples the archive does not code well (other than 16-bit PCM in one or "
                     "two channels)");
  compress->add_option("--keep-work", ca.keepWork, "Leave the job's working files in DIR for inspection");
  compress->add_flag("--verify", ca.verify, "Restore each archive before moving it into place and compare it with the source");
  compress->add_flag("--no-integrity", ca.noIntegrity, "Write no integrity record (length and CRC-32) after the streams");
  compress->add_option("-j,--jobs", ca.jobs, "Files to work on side by side (default: the number of cores)");
  compress->add_flag("-q,--quiet", ca.quiet, "Print nothing but errors");
  compress->add_flag("--json", ca.json, "One JSON object per file and a summary object, one per line");

  return compress;
}

CLI::App* AddExtract(CLI::App& app, ExtractArgs& ea) {
  CLI::App* extract = app.add_subcommand("extract", "Restore the recordings held in archives");
  extract->add_option("ARCHIVE", ea.archives,
                       "Archives to restore; - reads one from standard input (a named pipe is read the same way); "
                       "with --recursive, folders")
      ->required();
  auto* dir = extract->add_option("-d,--directory", ea.dir,
                                  "Folder for the restored files (made if missing; a folder tree is mirrored under it)");
  extract->add_option("-o,--output", ea.output, "Name of the restored file (one archive only); - writes it to "
                                                "standard output (a named pipe or a device is written into the same "
                                                "way)")
      ->excludes(dir);
  extract->add_flag("--recursive", ea.recursive, "Restore every .otq under the folders given");
  auto* epw = extract->add_option("--password", ea.password,
                                   "The archive's password (other users of the machine can read a command line; "
                                   "--password-file, or the prompt on a terminal, keeps it private)");
  extract->add_option("--password-file", ea.passwordFile, "Read the password from the first line of FILE")->excludes(epw);
  extract->add_flag("-f,--force", ea.force, "Replace an existing file (and restore again under --recursive; with -, read or write a terminal)");
  extract->add_flag("--require-integrity", ea.requireIntegrity,
                    "Refuse an archive without an integrity record (its restored bytes could not be checked)");
  extract->add_option("-j,--jobs", ea.jobs, "Archives to work on side by side (default: the number of cores)");
  extract->add_flag("-q,--quiet", ea.quiet, "Print nothing but errors");
  extract->add_flag("--json", ea.json, "One JSON object per archive and a summary object, one per line");

  return extract;
}

CLI::App* AddTest(CLI::App& app, ExtractArgs& ta) {
  CLI::App* test = app.add_subcommand(
      "test",
      "Decode archives completely without writing anything. With an integrity record (written by default) the "
      "restored length and CRC-32 are checked; without one the format carries no checksum, so this proves that the "
      "archive decodes consistently, not that it matches its source");
  test->add_option("ARCHIVE", ta.archives,
                    "Archives to test; - reads one from standard input (a named pipe is read the same way); with "
                    "--recursive, folders")
      ->required();
  test->add_flag("--recursive", ta.recursive, "Test every .otq under the folders given");
  test->add_flag("--require-integrity", ta.requireIntegrity,
                 "Fail an archive without an integrity record (an older archive, or one whose last 16 bytes were cut)");
  test->add_option("-j,--jobs", ta.jobs, "Archives to work on side by side");
  test->add_flag("-q,--quiet", ta.quiet, "Print nothing but errors");
  test->add_flag("--json", ta.json, "One JSON object per archive (ok, or the damage) and a summary object");

  return test;
}

// What otq printed must reach its reader: a report, a listing or JSON that
// could not be written (a full disk under a redirection) fails a run that
// would otherwise succeed. A reader that left early (head, say) is no
// failure of the run.
int WithStandardOutputWritten(int status) {
  errno = 0;
  std::cout.flush();  // whatever a library wrote through std::cout
  int err = std::cout ? 0 : errno;
  if (std::fflush(stdout) != 0 && err == 0) err = errno;
  if (err == 0) err = StandardOutputWriteError();
  if ((err == 0 && !std::ferror(stdout)) || err == EPIPE || OutputReaderGone()) return status;
  std::fprintf(stderr, "otq: cannot write standard output: %s\n", err ? std::strerror(err) : "a write failed");
  return status == 0 ? kExitFailure : status;
}

int Run(int argc, char** argv);

}  // namespace

int main(int argc, char** argv) {
  ost::HoldClosedStandardStreams();
  InstallInterruptHandler();
  const int status = Run(argc, argv);
  WaitUntilTheStopIsTold();
  return WithStandardOutputWritten(status);
}

namespace {

int Run(int argc, char** argv) {
  CLI::App app{"otq: lossless archiver for 16-bit PCM audio (.wav, .pcm) into .otq archives"};
  app.set_version_flag("--version", "otq 3.0");
  app.require_subcommand(1);
  app.footer(
      "Exit status: 0 success, 1 failure, 2 usage error; stopped by a signal: 128 + its number (130 Ctrl-C, 129 "
      "hang-up, 141 closed output pipe, 143 terminated). A second Ctrl-C ends at once.");

  CompressArgs ca;
  CLI::App* compress = AddCompress(app, ca);

  ExtractArgs ea;
  CLI::App* extract = AddExtract(app, ea);

  ExtractArgs ta;
  CLI::App* test = AddTest(app, ta);

  std::vector<std::string> listArchives;
  bool listJson = false;
  CLI::App* list = app.add_subcommand("list", "Show what archives hold, read from their heads");
  list->add_option("ARCHIVE", listArchives,
                    "Archives to describe; - reads one from standard input (a named pipe is read the same way)")
      ->required();
  list->add_flag("--json", listJson, "One JSON object per archive, one per line");

  // A word in the place of the command that is none gets its own message,
  // not "A subcommand is required".
  if (argc > 1 && argv[1][0] != '-') {
    bool known = false;
    for (const CLI::App* command : {compress, extract, test, list}) known = known || command->get_name() == argv[1];
    if (!known) {
      std::fprintf(stderr, "otq: unknown command '%s' (compress, extract, test or list; see otq --help)\n", argv[1]);
      return kExitUsage;
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help and the version go out as otq's other reports do, so that a
    // failed write is told with its reason.
    std::ostringstream out;
    const int code = app.exit(e, out, std::cerr);
    std::string text = out.str();
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty()) PrintReport(text);
    return code == 0 ? 0 : kExitUsage;
  }
  // A name given empty (an unset variable, most likely) would count as not
  // given: -o "$OUT" wrote the archive beside its source.
  for (const CLI::App* command : {compress, extract})
    for (const char* name : {"--output", "--directory", "--keep-work", "--password-file"}) {
      const CLI::Option* option = command->parsed() ? command->get_option_no_throw(name) : nullptr;
      if (option && option->count() > 0 && option->as<std::string>().empty()) {
        std::fprintf(stderr, "otq: %s is empty; give a name or leave the option out\n", name);
        return kExitUsage;
      }
    }
  ca.havePassword = compress->count("--password") > 0;
  ea.havePassword = extract->count("--password") > 0;
  if (compress->parsed()) return Compress(ca);
  if (extract->parsed()) return Extract(ea, false);
  if (test->parsed()) return Extract(ta, true);
  if (list->parsed()) return List(listArchives, listJson);
  return kExitUsage;
}

}  // namespace
