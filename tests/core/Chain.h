// Running the compression and extraction jobs in tests.
#pragma once

#include <optional>

#include "common/Errors.h"
#include "compress/CompressionJob.h"
#include "extract/ExtractionJob.h"
#include "TestUtil.h"

namespace ost::test {

class FixedChannels final : public ChannelQuestion {
 public:
  explicit FixedChannels(std::optional<ChannelLayout> answer) : answer_(answer) {}
  std::optional<ChannelLayout> AskChannels(const std::filesystem::path&) override {
    ++asked;
    return answer_;
  }
  int asked = 0;

 private:
  std::optional<ChannelLayout> answer_;
};

// Cancels once `after` units have been stepped.
class CancelAfter final : public JobProgress {
 public:
  explicit CancelAfter(std::uint64_t after) : after_(after) {}
  void Begin(std::string_view, std::uint64_t units) override { total = units; }
  void Step() override { ++steps; }
  bool IsCancelled() override { return steps > after_; }
  void End() override {}
  std::uint64_t steps = 0, total = 0;

 private:
  std::uint64_t after_;
};

// A scratch folder with a source file in it, compressed and restored.
struct Scratch {
  WorkFolder dir;
  std::filesystem::path Put(const std::string& name, const Bytes& data) {
    WriteAll(dir.File(name), data);
    return dir.File(name);
  }
};

inline CompressionResult Compress(const std::filesystem::path& source, const std::filesystem::path& archive, Rate rate,
                                  std::optional<ChannelLayout> channels = std::nullopt,
                                  std::optional<std::string> password = std::nullopt, bool integrity = true) {
  CompressionOptions o;
  o.source = source;
  o.archive = archive;
  o.rate = rate;
  o.password = std::move(password);
  o.integrityRecord = integrity;
  NullProgress progress;
  FixedChannels question(channels);
  return CompressionJob(o, progress, question).Run();
}

inline ExtractionResult Extract(const std::filesystem::path& archive, const std::filesystem::path& target,
                                std::optional<std::string> password = std::nullopt) {
  ExtractionOptions o;
  o.archive = archive;
  o.target = target;
  o.password = std::move(password);
  NullProgress progress;
  return ExtractionJob(o, progress, nullptr).Run();
}

inline constexpr Rate kRates[4] = {Rate::Fastest, Rate::Fast, Rate::Normal, Rate::Maximum};
// The four and our own searched rate.
inline constexpr Rate kAllRates[5] = {Rate::Fastest, Rate::Fast, Rate::Normal, Rate::Maximum, Rate::Extreme};

}  // namespace ost::test
