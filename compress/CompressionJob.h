// The compression chain: one source file in, one archive out. The job runs
// the passes in order (checks and channel detection, pre-analysis, block
// coding, stream coding, archive writing) on working files in a private
// folder, and the archive appears only when it is complete.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/JobInterfaces.h"
#include "format/ArchiveFormat.h"

namespace ost {

class WorkFolder;

// Extreme is ours: Maximum's block coding over an analysis whose quantiser
// indices are searched against the coded cost instead of taken as the
// nearest ones. Its archives are ordinary ones (predictor set byte 1) that
// every reader of the format restores; only compression takes longer.
enum class Rate { Fastest, Fast, Normal, Maximum, Extreme };

// "Fastest", "Fast", "Normal", "Maximum", "Extreme".
const char* RateName(Rate rate);
// Accepts the five names in any case; nullopt for anything else.
std::optional<Rate> ParseRate(std::string_view text);

struct CompressionOptions {
  std::filesystem::path source;
  // The source's name in messages when `source` is a copy (of standard
  // input, say); empty: the source's path.
  std::string shownAs;
  std::filesystem::path archive;
  Rate rate = Rate::Maximum;
  // The password as typed (UTF-8); nullopt writes no password record.
  std::optional<std::string> password;
  bool replaceArchive = false;
  // Appends the integrity record (restored length and CRC-32) after the streams.
  bool integrityRecord = true;
  // When set, the working files are copied here before the job removes them.
  std::optional<std::filesystem::path> keepWorkDir;
  // Threads for the passes that can run side by side (0: one per core). The
  // archive is the same whatever the number.
  unsigned threads = 0;
  // Called with the finished archive, still under its temporary name, just
  // before it is moved into place (to verify it); an exception thrown here
  // fails the job, and an archive already at the target stays as it was.
  std::function<void(const std::filesystem::path& finished)> beforeCommit;
};

struct CompressionResult {
  bool cancelled = false;            // the user cancelled; nothing was written
  std::uint64_t sourceSize = 0;      // bytes of the source file
  std::uint64_t keptSize = 0;        // bytes of the source the archive restores
  std::uint64_t archiveSize = 0;
  ChannelLayout channels = ChannelLayout::Mono;
  bool waveHeader = false;           // a ".wav" whose "fmt " chunk was found
  std::vector<std::string> notices;  // things the user should be told
};

class CompressionJob {
 public:
  CompressionJob(CompressionOptions options, JobProgress& progress, ChannelQuestion& channels);
  // Runs the whole chain. Failures are thrown as Error: InvalidName ("Invalid
  // file name"), ChannelCancelled ("Action Cancelled"), Io,
  // Unsupported, Exists, SameFile (the archive would replace the source),
  // Changed (the source changed while it was read). A cancel is a result,
  // not an error. Progress is one bar over every pass: Begin once with
  // kCompressingText, then steps to its end.
  CompressionResult Run();

 private:
  // Run itself, less the translation of a failed allocation.
  CompressionResult RunPasses();
  // The passes, in the order Run takes them; each but the first returns
  // false when the user cancelled.
  struct Plan;
  Plan CheckAndOpen(CompressionResult& result);
  bool Analyse(const Plan& plan, const WorkFolder& work, JobProgress& pass, std::uint32_t& sourceCrc);
  class EarlyStreamCoder;
  bool CodeBlocks(const Plan& plan, const WorkFolder& work, JobProgress& pass, std::optional<EarlyStreamCoder>& early);
  bool CodeStreams(const Plan& plan, const WorkFolder& work, JobProgress& pass, std::optional<EarlyStreamCoder>& early);
  bool WriteArchive(const Plan& plan, const WorkFolder& work, const std::filesystem::path& temp,
                    std::uint64_t keptSize, std::uint32_t sourceCrc, JobProgress& pass);

  CompressionOptions options_;
  JobProgress& progress_;
  ChannelQuestion& channels_;
};

// The progress text of the block coding pass.
inline constexpr const char* kCompressingText = "Ostinato 3 is compressing your file\n\nPlease wait......";
inline constexpr const char* kCompressionCancelledMessage = "Compression Cancelled";
inline constexpr const char* kInvalidFileNameMessage = "Invalid file name";
inline constexpr const char* kActionCancelledMessage = "Action Cancelled";

}  // namespace ost
