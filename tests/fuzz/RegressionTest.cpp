// Replays every input a fuzz target ever failed on (tests/fuzz/regressions/
// <target>/<input>) through the entry point of that target. Each must end in
// an acceptance or a clean refusal. An input whose fault is not mended yet
// is listed in regressions/known-failures.txt ("<target>/<input>: reason")
// and skipped with that reason.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "ArchiveParts.h"
#include "fuzz/FuzzTargets.h"

namespace ost {
namespace {

namespace fs = std::filesystem;

using Entry = fuzz::Outcome (*)(std::span<const std::uint8_t>);

const std::map<std::string, Entry>& Targets() {
  static const std::map<std::string, Entry> targets = {
      {"extract", fuzz::RunExtraction}, {"lzari", fuzz::RunLzari},          {"block", fuzz::RunBlockDecoder},
      {"wav", fuzz::RunWaveScan},       {"roundtrip", fuzz::RunRoundTrip},
  };
  return targets;
}

const fs::path kRegressions = OSTINATO_FUZZ_REGRESSIONS;

struct Input {
  std::string target;
  fs::path file;
  std::string knownFailure;  // the reason, when the fault is not mended yet
};

std::map<std::string, std::string> KnownFailures() {
  std::map<std::string, std::string> known;
  std::ifstream in(kRegressions / "known-failures.txt");
  for (std::string line; std::getline(in, line);) {
    const auto colon = line.find(':');
    if (line.empty() || line[0] == '#' || colon == std::string::npos) continue;
    known[line.substr(0, colon)] = line.substr(colon + 1);
  }
  return known;
}

std::vector<Input> Inputs() {
  std::vector<Input> inputs;
  if (!fs::is_directory(kRegressions)) return inputs;
  const auto known = KnownFailures();
  for (const auto& dir : fs::directory_iterator(kRegressions)) {
    if (!dir.is_directory()) continue;
    for (const auto& file : fs::directory_iterator(dir.path())) {
      const std::string key = dir.path().filename().string() + "/" + file.path().filename().string();
      const auto it = known.find(key);
      inputs.push_back({dir.path().filename().string(), file.path(), it == known.end() ? "" : it->second});
    }
  }
  std::sort(inputs.begin(), inputs.end(), [](const Input& a, const Input& b) { return a.file < b.file; });
  return inputs;
}

void PrintTo(const Input& input, std::ostream* os) { *os << input.target << "/" << input.file.filename().string(); }

class Regression : public ::testing::TestWithParam<Input> {};

TEST_P(Regression, EndsInAcceptanceOrACleanRefusal) {
  const Input& input = GetParam();
  if (!input.knownFailure.empty()) GTEST_SKIP() << "known failure:" << input.knownFailure;
  const auto target = Targets().find(input.target);
  ASSERT_NE(target, Targets().end()) << "no fuzz target is called " << input.target;
  const test::Bytes bytes = test::ReadBytes(input.file);
  try {
    const fuzz::Outcome outcome = target->second(bytes);
    if (!outcome.accepted) std::printf("[ refused  ] %s\n", outcome.message.c_str());
  } catch (const fuzz::Finding& f) {
    FAIL() << input.file << ": " << f.what();
  } catch (const std::exception& e) {
    FAIL() << input.file << ": unexpected exception: " << e.what();
  }
}

std::string Name(const ::testing::TestParamInfo<Input>& info) {
  std::string name = info.param.target + "_" + info.param.file.filename().string();
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Inputs, Regression, ::testing::ValuesIn(Inputs()), Name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Regression);

TEST(RegressionFolders, NameFuzzTargetsAndKnownFailuresNameInputs) {
  for (const Input& input : Inputs()) EXPECT_TRUE(Targets().count(input.target)) << input.file;
  for (const auto& [key, reason] : KnownFailures())
    EXPECT_TRUE(fs::exists(kRegressions / key)) << "known-failures.txt names " << key << ", which is not there";
}

}  // namespace
}  // namespace ost
