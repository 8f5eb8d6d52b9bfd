// The extraction chain: an archive in, the restored recording out. The job
// checks the archive, checks the password, expands the small header and flag
// streams (into memory, or into a private working folder when large) and
// checks the layout they describe, then expands the other coded streams,
// decodes the sub-blocks, restores the channel order and runs the synthesis
// side by side, handing the data on through bounded buffers (with cores to
// spare, the high-part stream, the longest of them, is expanded from the
// start, beside the small ones; on two cores with two channels, on the block
// decoder's thread as it asks for it); the restored file appears only when it
// is complete and checked.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/JobInterfaces.h"
#include "extract/ArchiveReader.h"
#include "extract/BlockDecoder.h"

namespace ost {

class CLzariDecoder;

struct ExtractionOptions {
  std::filesystem::path archive;
  // Full path of the restored file; empty runs the whole chain and writes
  // nothing (a test of the archive).
  std::filesystem::path target;
  // Streams the restored bytes to standard output as they are made (for a
  // pipe); the checks still come at the end and still fail the job.
  bool toStandardOutput = false;
  // Standard output's name in messages (a pipe or a device the user named
  // as the output goes by its own).
  std::filesystem::path standardOutputShownAs = "standard output";
  // The password as typed (UTF-8); when the archive holds a record and this
  // is nullopt, the PasswordQuestion is asked.
  std::optional<std::string> password;
  bool replaceTarget = false;
  // Tests skip the password check: the streams are not enciphered.
  bool checkPassword = true;
  // When set, the restored bytes are compared with this file as they are
  // made, and any difference is an error (Verify).
  std::filesystem::path compareWith;
  // Threads for the passes that can run side by side (0: one per core).
  unsigned threads = 0;
  // Refuse an archive without the integrity record (Error NoIntegrity):
  // cutting exactly its 16 bytes makes an archive look like an older one.
  bool requireIntegrity = false;
  // The archive's name in messages when `archive` is a temporary name (an
  // archive verified before it is moved into place); empty: `archive`.
  std::filesystem::path shownAs;
  // Bytes the job may hold in memory of what it would otherwise keep in
  // working files: the left half of a two-channel residual until the right
  // half comes, and in a quarter of it the expanded header and flag streams.
  // What does not fit goes to working files, so that memory stays bounded
  // for any length of recording.
  std::uint64_t workingMemory = std::uint64_t{16} << 20;
};

struct ExtractionResult {
  bool cancelled = false;          // the user cancelled; nothing was written
  std::uint64_t restoredSize = 0;
  std::uint32_t restoredCrc32 = 0;
  bool integrityChecked = false;   // the archive carried an integrity record and it matched
  ArchiveInfo info;
};

class ExtractionJob {
 public:
  ExtractionJob(ExtractionOptions options, JobProgress& progress, PasswordQuestion* password);
  // Failures are thrown as Error: WrongPassword ("You have Entered the WRONG
  // PASSWORD!"), PasswordNeeded, Damaged, Io, Exists, SameFile (the target
  // is the archive), NoIntegrity, Changed (the archive changed while it was
  // read), Verify. A cancel is a result. Progress is one bar over every
  // pass: Begin once with kExtractingText, then steps to its end.
  ExtractionResult Run();

 private:
  // Run itself, less the translation of a failed allocation.
  ExtractionResult RunPasses();
  // The passes, in the order Run takes them; each but the first returns
  // false when the user cancelled.
  struct Plan;
  struct Chain;
  struct BlockInputs;
  class WorkingFiles;
  Plan ReadAndCheck();
  // The header and flag streams into `in`.
  bool Expand(const Plan& plan, WorkingFiles& work, BlockInputs& in, JobProgress& pass);
  BlockLayout CheckLayout(const Plan& plan, InFile& header, InFile& flags, InFile& lower);
  // The stream decoders, the block decoder and the synthesis side by side,
  // with the checks of the restored bytes.
  // `tasks`: the stream decoders still to run; `early`: the one already
  // running on a thread of its own, if any.
  class EarlyDecoder;
  bool DecodeAndSynthesise(const Plan& plan, WorkingFiles& work, BlockInputs& in, const std::filesystem::path* temp,
                           ExtractionResult& result, JobProgress& pass, Chain& chain,
                           std::vector<std::function<void()>> tasks, EarlyDecoder* early);
  std::unique_ptr<CLzariDecoder> OpenDecoder(const Plan& plan, Chain& chain, int stream, InFile& in);
  std::vector<std::function<void()>> StreamDecoders(const Plan& plan, Chain& chain);
  void DecodeBlocks(const Plan& plan, BlockInputs& in, Chain& chain);

  ExtractionOptions options_;
  JobProgress& progress_;
  PasswordQuestion* password_;
};

inline constexpr const char* kExtractingText = "Ostinato 3 is Extracting your file\n\nPlease wait......";
inline constexpr const char* kExtractionCancelledMessage = "Extraction Cancelled";

}  // namespace ost
