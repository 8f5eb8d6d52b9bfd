// The commands of otq over the core jobs: compress, extract, test and list,
// for named files, whole folders (--recursive) and the standard streams
// ("-"), with one line of output per file, a summary for batches, and JSON
// for scripts.
#pragma once

#include <string>
#include <vector>

namespace ost::cli {

inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

struct CompressArgs {
  std::vector<std::string> sources;
  std::string output, dir, rate = "maximum", channels, password, passwordFile, keepWork;
  bool havePassword = false;
  bool force = false, quiet = false, verify = false, noIntegrity = false, recursive = false, strict = false;
  bool json = false;
  unsigned jobs = 0;
};

struct ExtractArgs {
  std::vector<std::string> archives;
  std::string dir, output, password, passwordFile;
  bool havePassword = false;
  bool force = false, quiet = false, requireIntegrity = false, recursive = false, json = false;
  unsigned jobs = 0;
};

int Compress(const CompressArgs& args);
// `testOnly`: decode everything and write nothing (otq test).
int Extract(const ExtractArgs& args, bool testOnly);
int List(const std::vector<std::string>& archives, bool json);

// Prints text on standard output as otq's reports are printed (its failure
// kept for StandardOutputWriteError).
void PrintReport(const std::string& text);

// The reason (errno) the first report line that could not be written to
// standard output failed for, other than a reader that left; 0 when none.
int StandardOutputWriteError();

}  // namespace ost::cli
