#include "compress/CompressionJob.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "common/ByteChannel.h"
#include "common/ByteSource.h"
#include "common/Crc32.h"
#include "common/Errors.h"
#include "common/FileIO.h"
#include "common/JobMeter.h"
#include "common/Parallel.h"
#include "common/Password.h"
#include "common/PendingOutput.h"
#include "common/WorkFolder.h"
#include "compress/AudioType.h"
#include "compress/BlockEncoder.h"
#include "compress/WaveHeader.h"
#include "format/ArchiveWriter.h"
#include "lzari/LzariEncoder.h"

namespace ost {

const char* RateName(Rate rate) {
  switch (rate) {
    case Rate::Fastest: return "Fastest";
    case Rate::Fast: return "Fast";
    case Rate::Normal: return "Normal";
    case Rate::Maximum: return "Maximum";
    case Rate::Extreme: return "Extreme";
  }
  return "Maximum";
}

std::optional<Rate> ParseRate(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  if (lower == "fastest") return Rate::Fastest;
  if (lower == "fast") return Rate::Fast;
  if (lower == "normal") return Rate::Normal;
  if (lower == "maximum") return Rate::Maximum;
  if (lower == "extreme") return Rate::Extreme;
  return std::nullopt;
}

namespace {

constexpr const char* kHigherMessage = "Write Error";

std::string UpperName(const std::filesystem::path& p) {
  std::string name = p.filename().string();
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::toupper(c); });
  return name;
}

bool EndsWith(const std::string& s, const char* suffix) {
  const std::string t(suffix);
  return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

}  // namespace

// The high-part stream's coder, started with the block pass on a thread of
// its own and fed through a channel as the block coder makes the stream. It
// is the longest of the stream coders and a chain that cannot be split; run
// after the block pass, it alone would hold the job up while the other
// cores idle. Its output is the same file, byte for byte.
class CompressionJob::EarlyStreamCoder {
 public:
  // Residuals this long at least: in a shorter job its thread costs more
  // than it saves (a 0.4 MB recording took 12 % longer with it, a 2 MB one
  // 2 % less time, a 3 MB one 5 % less).
  static constexpr std::uint64_t kFrom = 1 << 20;
  // Queued bytes at most: a few of the block coder's 64 KiB pieces.
  static constexpr std::size_t kChannelLimit = 1 << 20;

  EarlyStreamCoder() : channel_(kChannelLimit) {}
  EarlyStreamCoder(const EarlyStreamCoder&) = delete;
  EarlyStreamCoder& operator=(const EarlyStreamCoder&) = delete;
  ~EarlyStreamCoder() { Stop(); }

  // False when the system gives no thread for it.
  bool Start(const std::filesystem::path& output, const char* failureMessage) {
    try {
      thread_ = std::thread([this, output, failureMessage] {
        try {
          ChannelReader in(channel_);
          CLzariEncoder encoder({}, output, failureMessage);
          encoder.Watch(&cancel_, &coded_);
          encoder.CompressFrom(in);
        } catch (const TaskCancelled&) {
          stopped_ = true;
        } catch (...) {
          failure_ = std::current_exception();
          channel_.Abort();  // a block coder waiting for room stops
        }
        std::lock_guard lock(mutex_);
        ended_ = true;
        endedChanged_.notify_all();
      });
    } catch (const std::system_error&) {
      return false;
    }
    return true;
  }
  ByteChannel& channel() { return channel_; }

  // Hands the rest of the stream to the channel on a thread of its own (the
  // caller's, where the system gives none), and closes it: the coder reads it
  // while the other streams are coded.
  void Feed(BlockStreams::Rest rest) {
    streamBytes_ = rest.streamBytes;
    auto feed = [this, run = std::move(rest.run)] {
      run();
      channel_.Close();
    };
    try {
      feeder_ = std::thread([this, feed] {
        try {
          feed();
        } catch (const TaskCancelled&) {
        } catch (...) {
          feederFailure_ = std::current_exception();
          channel_.Abort();  // the coder stops: its stream would lack its end
        }
      });
    } catch (const std::system_error&) {
      try {
        feed();
      } catch (const TaskCancelled&) {
        RethrowFailure();  // the coder's; without one its end tells the stream pass
      }
    }
  }

  // Ends it early (a cancel, or a failure elsewhere) and waits for it.
  void Stop() {
    if (thread_.joinable() || feeder_.joinable()) {
      cancel_ = true;
      channel_.Abort();
    }
    Join();
  }
  // Its own failure, which outranks what it caused elsewhere (a block coder
  // stopped by the aborted channel).
  void RethrowFailure() {
    Stop();
    RethrowOwn();
  }

  // Waits, as a task of the stream pass, until the coder has ended, counting
  // its progress into the pass's; a cancel of the pass stops it.
  void Finish(std::atomic<bool>& cancel, std::atomic<std::uint64_t>& done) {
    std::uint64_t counted = 0;
    for (bool ended = false; !ended;) {
      {
        std::unique_lock lock(mutex_);
        ended = endedChanged_.wait_for(lock, std::chrono::milliseconds(15), [&] { return ended_; });
      }
      const std::uint64_t now = coded_.load();
      done += now - counted;
      counted = now;
      if (cancel && !ended) {
        Stop();
        throw TaskCancelled{};
      }
    }
    Join();
    RethrowOwn();
    if (stopped_) throw TaskCancelled{};  // never a stream cut short taken for a whole one
  }
  // Units of progress in all, once the rest is being fed.
  std::uint64_t Units() const { return streamBytes_ / CLzariEncoder::kWatchBytes; }

 private:
  void Join() {
    if (thread_.joinable()) thread_.join();
    if (feeder_.joinable()) feeder_.join();
  }
  void RethrowOwn() {
    if (failure_) std::rethrow_exception(failure_);
    if (feederFailure_) std::rethrow_exception(feederFailure_);
  }

  ByteChannel channel_;
  std::thread thread_, feeder_;
  std::exception_ptr feederFailure_;
  std::uint64_t streamBytes_ = 0;
  bool stopped_ = false;  // the coder ended on an aborted channel or a cancel
  std::atomic<bool> cancel_{false};
  std::atomic<std::uint64_t> coded_{0};
  std::exception_ptr failure_;
  std::mutex mutex_;
  std::condition_variable endedChanged_;
  bool ended_ = false;
};

CompressionJob::CompressionJob(CompressionOptions options, JobProgress& progress, ChannelQuestion& channels)
    : options_(std::move(options)), progress_(progress), channels_(channels) {}

// What the checks before any work settle about the source.
struct CompressionJob::Plan {
  std::string shown;  // the source's name in messages
  bool isPcm = false;
  bool waveHeader = false;  // a ".wav" whose "fmt " chunk was found
  ChannelLayout layout = ChannelLayout::Mono;
  std::optional<std::string> passwordRecord;
  FileIdentity identity;
  unsigned threads = 1;
  Error Changed() const { return Error(ErrorKind::Changed, shown + " changed while it was being compressed", {}, shown); }
};

CompressionResult CompressionJob::Run() {
  // Everything the job made goes with it, as with any failure.
  return WithMemoryFailureTold([this] { return RunPasses(); });
}

CompressionResult CompressionJob::RunPasses() {
  CompressionResult result;
  const Plan plan = CheckAndOpen(result);
  PendingOutput archive(options_.archive, options_.replaceArchive);
  WorkFolder work;
  // The passes' shares of the bar, from their measured cost on music and
  // speech: the analysis dominates Extreme, the stream coder the others.
  JobMeter meter(progress_, kCompressingText,
                 options_.rate == Rate::Extreme ? std::initializer_list<double>{90, 4, 5, 1}
                                                : std::initializer_list<double>{25, 30, 40, 5});
  std::uint32_t sourceCrc = 0;
  // With a core to spare, the high-part stream is coded beside the block
  // coding (its working file is kept only when the working files are).
  std::optional<EarlyStreamCoder> higher;
  try {
    result.cancelled = !Analyse(plan, work, meter.NextPass(), sourceCrc) ||
                       !CodeBlocks(plan, work, meter.NextPass(), higher) ||
                       !CodeStreams(plan, work, meter.NextPass(), higher) ||
                       !WriteArchive(plan, work, archive.temp(), result.keptSize, sourceCrc, meter.NextPass());
  } catch (const Error& e) {
    throw work.Explained(e);
  }
  if (result.cancelled) return result;  // the working folder and the unfinished archive go with their owners
  if (options_.keepWorkDir) work.CopyAllTo(*options_.keepWorkDir);
  // The archive holds the source as it was when the job began, or nothing
  // is written.
  if (IdentityOf(options_.source) != plan.identity) throw plan.Changed();
  if (options_.beforeCommit) options_.beforeCommit(archive.temp());
  archive.TakeAttributesOf(options_.source);
  archive.Commit();
  meter.Finish();
  result.archiveSize = FileSize(options_.archive);
  return result;
}

CompressionJob::Plan CompressionJob::CheckAndOpen(CompressionResult& result) {
  const std::filesystem::path& source = options_.source;
  Plan plan;
  plan.shown = options_.shownAs.empty() ? source.string() : options_.shownAs;
  plan.threads = options_.threads ? options_.threads : DefaultThreads();

  // The suffix decides the kind of source, whatever the case of the name.
  const std::string upper = UpperName(source);
  plan.isPcm = EndsWith(upper, ".PCM");
  const bool isWav = EndsWith(upper, ".WAV");
  if (!plan.isPcm && !isWav) throw Error(ErrorKind::InvalidName, kInvalidFileNameMessage);

  // Checked before anything is created: an unreadable source, one whose
  // bytes the format cannot all bring back, and an archive that would
  // replace its own source.
  std::error_code statError;
  const auto status = std::filesystem::status(source, statError);
  if (!statError && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status))
    throw Error(ErrorKind::Io, plan.shown +
                                   " is not a regular file: a source must be a file on disk (a device, a pipe or a "
                                   "folder cannot be read twice, as compression does)",
                {}, plan.shown);
  InFile sourceFile;
  try {
    sourceFile.Open(source);
  } catch (const Error& e) {
    throw Error(isWav ? ErrorKind::InvalidName : ErrorKind::Io, e.what(), {}, e.file());
  }
  plan.identity = IdentityOf(source);
  result.sourceSize = sourceFile.Size();
  if (result.sourceSize % 2 != 0)
    throw Error(ErrorKind::Unsupported, plan.shown + " has an odd number of bytes (" +
                                            std::to_string(result.sourceSize) +
                                            "); 16-bit samples come in pairs of bytes, so its last byte could not "
                                            "be restored",
                {}, plan.shown);
  if (SameFile(source, options_.archive))
    throw Error(ErrorKind::SameFile,
                options_.archive.string() + " is the source itself; its archive must be written to another file", {},
                options_.archive);
  if (options_.password) plan.passwordRecord = PasswordRecord(*options_.password);

  // Channel layout: the "fmt " chunk of a ".wav", else the caller's answer.
  std::optional<ChannelLayout> layout;
  if (isWav) {
    FileSource scan{sourceFile};
    try {
      if (std::optional<int> c = ScanWaveHeader(scan)) {
        plan.waveHeader = true;
        if (*c == 1) layout = ChannelLayout::Mono;
        if (*c == 2) layout = ChannelLayout::Stereo;
      }
    } catch (const Error& e) {
      if (e.kind() == ErrorKind::Changed) throw plan.Changed();
      throw;
    }
  }
  sourceFile.Close();
  if (!layout) {
    layout = channels_.AskChannels(source);
    if (!layout) throw Error(ErrorKind::ChannelCancelled, kActionCancelledMessage);
  }
  if (isWav && !plan.waveHeader)
    result.notices.push_back(plan.shown + " has no \"fmt \" chunk; it was coded as headerless samples");
  if (*layout == ChannelLayout::Stereo && result.sourceSize % 4 != 0) {
    // Two-channel coding keeps whole sample pairs only; the one-channel
    // layout keeps every byte.
    layout = ChannelLayout::Mono;
    result.notices.push_back(plan.shown +
                             " does not end on a whole pair of samples; it was coded in the one-channel layout so "
                             "that every byte comes back");
  }
  plan.layout = *layout;
  result.channels = *layout;
  result.waveHeader = plan.waveHeader;
  result.keptSize = result.sourceSize;
  return plan;
}

bool CompressionJob::Analyse(const Plan& plan, const WorkFolder& work, JobProgress& pass, std::uint32_t& sourceCrc) {
  CAudioType analysis;
  analysis.SetThreads(plan.threads);
  // Extreme searches the analysis's quantiser indices; its block coding is Maximum's.
  analysis.SetSearch(options_.rate == Rate::Extreme, plan.layout == ChannelLayout::Stereo ? 2 : 1);
  try {
    if (!analysis.Analyse(plan.waveHeader ? 1 : 0, options_.source, work.File("temp.out"), work.File("ilar.txt"),
                          &sourceCrc, &pass))
      return false;
  } catch (const Error& e) {
    if (e.kind() == ErrorKind::Changed) throw plan.Changed();
    throw;
  }
  // Everything after this reads the job's own files; a source that changed
  // during the analysis is refused now rather than after the slow passes.
  if (IdentityOf(options_.source) != plan.identity) throw plan.Changed();
  return true;
}

bool CompressionJob::CodeBlocks(const Plan& plan, const WorkFolder& work, JobProgress& pass,
                                std::optional<EarlyStreamCoder>& early) {
  if (plan.threads > 1 && !options_.keepWorkDir && FileSize(work.File("temp.out")) >= EarlyStreamCoder::kFrom) {
    early.emplace();
    if (!early->Start(work.File("Higher1.out"), kHigherMessage)) early.reset();
  }
  {
    // Two-channel residuals are coded one channel after the other; the
    // block encoder reads them in that order straight from the interleaved file.
    InFile in(work.File("temp.out"));
    OutFile lower(work.File("Lower.out")), sign(work.File("Sign.out")), header(work.File("Header.out")),
        flags(work.File("H.out"));
    std::optional<OutFile> higher;
    if (!early) higher.emplace(work.File("Higher.out"));
    BlockStreams::Rest rest;
    BlockStreams streams{lower,
                         sign,
                         higher ? &*higher : nullptr,
                         header,
                         flags,
                         early ? &early->channel() : nullptr,
                         early ? &rest : nullptr};
    CBlockEncoder encoder;
    encoder.ResetBlockEncoder();
    encoder.SetThreads(plan.threads);
    encoder.SetInterleaved(plan.layout == ChannelLayout::Stereo);
    bool ran = false;
    switch (options_.rate) {
      case Rate::Fastest: ran = encoder.EncodeFastest(in, streams, pass); break;
      case Rate::Fast: ran = encoder.EncodeFast(in, streams, pass); break;
      case Rate::Normal: ran = encoder.EncodeNormal(in, streams, pass); break;
      case Rate::Maximum:
      case Rate::Extreme: ran = encoder.EncodeMaximum(in, streams, pass); break;
    }
    if (!ran) {
      if (early) early->RethrowFailure();  // it may be what stopped the block coder
      return false;
    }
    lower.Close();
    sign.Close();
    if (higher) higher->Close();
    header.Close();
    flags.Close();
    if (early) early->Feed(std::move(rest));
  }
  if (!options_.keepWorkDir) RemoveQuietly(work.File("temp.out"));
  return true;
}

bool CompressionJob::CodeStreams(const Plan& plan, const WorkFolder& work, JobProgress& pass,
                                 std::optional<EarlyStreamCoder>& early) {
  // Four of the streams are squeezed once more; each coder runs exactly one stream.
  struct Coded {
    const char* in;
    const char* out;
    const char* message;
  };
  // The four coders share nothing, so they run side by side, the largest
  // stream first; they count their progress in blocks of input.
  std::atomic<std::uint64_t> coded{0};
  std::atomic<bool> cancel{false};
  std::uint64_t units = 0;
  std::vector<std::function<void()>> coders;
  if (early) {
    // What it coded during the block pass counts at its first report.
    units += early->Units();
    coders.push_back([&] { early->Finish(cancel, coded); });
  }
  for (const Coded& c :
       {Coded{"Higher.out", "Higher1.out", kHigherMessage}, Coded{"Sign.out", "Sign1.out", "Write Error3"},
        Coded{"Header.out", "Header1.out", "Write Error2"}, Coded{"H.out", "H1.out", "Write Error4"}}) {
    if (early && c.in == std::string_view("Higher.out")) continue;
    units += FileSize(work.File(c.in)) / CLzariEncoder::kWatchBytes;
    coders.push_back([&, c] {
      CLzariEncoder encoder(work.File(c.in), work.File(c.out), c.message);
      encoder.Watch(&cancel, &coded);
      encoder.CompressFile();
      if (!options_.keepWorkDir) RemoveQuietly(work.File(c.in));
    });
  }
  pass.Begin({}, units);
  return RunWithProgress(coders, plan.threads, pass, coded, cancel);
}

bool CompressionJob::WriteArchive(const Plan& plan, const WorkFolder& work, const std::filesystem::path& temp,
                                  std::uint64_t keptSize, std::uint32_t sourceCrc, JobProgress& pass) {
  ArchiveHead head;
  head.waveHeader = plan.waveHeader;
  head.pcmName = plan.isPcm;
  head.eightPredictors = !(options_.rate == Rate::Fastest || options_.rate == Rate::Normal);
  head.twoChannels = plan.layout == ChannelLayout::Stereo;
  head.passwordRecord = plan.passwordRecord;
  // The coded streams' files, in the archive's order of streams.
  const std::array<std::filesystem::path, 6> streams = {work.File("Header1.out"), work.File("Sign1.out"),
                                                        work.File("Lower.out"),   work.File("Higher1.out"),
                                                        work.File("H1.out"),      work.File("ilar.txt")};
  std::optional<IntegrityRecord> integrity;
  if (options_.integrityRecord) integrity = IntegrityRecord{keptSize, sourceCrc};
  return ost::WriteArchive(temp, options_.archive, head, streams, integrity, pass);
}

}  // namespace ost
