#include "extract/ExtractionJob.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "common/ByteChannel.h"
#include "common/Crc32.h"
#include "common/Errors.h"
#include "common/FileIO.h"
#include "common/JobMeter.h"
#include "common/Parallel.h"
#include "common/Password.h"
#include "common/PendingOutput.h"
#include "common/WorkFolder.h"
#include "extract/AudioSynth.h"
#include "extract/BlockDecoder.h"
#include "format/ArchiveFormat.h"
#include "lzari/LzariDecoder.h"

namespace ost {

namespace {

// Restored bytes go to the target file (if any), into the checksum, and are
// compared with a reference file (if any) as they are made.
class RestoredSink final : public SampleSink {
 public:
  // `shownAs`: the target's name in messages (the file written is its
  // temporary one).
  RestoredSink(const std::filesystem::path* target, const std::filesystem::path& shownAs,
               const std::filesystem::path* reference, const std::filesystem::path* standardOutput) {
    if (target) file_.Open(*target, shownAs);
    if (standardOutput) file_.OpenStandardOutput(*standardOutput);
    if (reference) reference_.Open(*reference);
  }
  // The next write after a cancel stops the synthesis; `done` counts the
  // restored bytes in units of kUnitBytes.
  static constexpr std::uint64_t kUnitBytes = 1 << 16;
  void Watch(const std::atomic<bool>* cancel, std::atomic<std::uint64_t>* done) {
    cancel_ = cancel;
    done_ = done;
  }

  void Write(const std::uint8_t* data, std::size_t count) override {
    if (cancel_ && cancel_->load(std::memory_order_relaxed)) throw TaskCancelled{};
    if (file_.IsOpen()) file_.Write(data, count);
    crc_.Update(data, count);
    size_ += count;
    if (done_ && size_ / kUnitBytes > counted_) {
      done_->fetch_add(size_ / kUnitBytes - counted_, std::memory_order_relaxed);
      counted_ = size_ / kUnitBytes;
    }
    if (reference_.IsOpen() && !differs_) {
      buffer_.resize(count);
      if (reference_.Read(buffer_.data(), count) != count || std::memcmp(buffer_.data(), data, count) != 0)
        differs_ = true;
    }
  }
  void Finish() {
    if (file_.IsOpen()) file_.Close();
    if (reference_.IsOpen() && !differs_ && reference_.Get() != EOF) differs_ = true;
  }
  std::uint64_t size() const { return size_; }
  std::uint32_t crc() const { return crc_.Value(); }
  bool differs() const { return differs_; }

 private:
  OutFile file_;
  InFile reference_;
  Crc32 crc_;
  std::uint64_t size_ = 0;
  bool differs_ = false;
  std::vector<std::uint8_t> buffer_;
  const std::atomic<bool>* cancel_ = nullptr;
  std::atomic<std::uint64_t>* done_ = nullptr;
  std::uint64_t counted_ = 0;
};

// The synthesis's output handed to a writer on another thread (the file,
// the checksum and the comparison), in chunks; the next write after a
// cancel stops the synthesis.
class HandedSink final : public SampleSink {
 public:
  HandedSink(ByteChannel& channel, const std::atomic<bool>& cancel) : channel_(channel), cancel_(cancel) {}
  void Write(const std::uint8_t* data, std::size_t count) override {
    if (cancel_.load(std::memory_order_relaxed)) throw TaskCancelled{};
    chunk_.insert(chunk_.end(), data, data + count);
    if (chunk_.size() >= kChunk) Flush();
  }
  void Finish() {
    Flush();
    channel_.Close();
  }

 private:
  static constexpr std::size_t kChunk = 1 << 14;
  void Flush() {
    channel_.Push(std::move(chunk_));
    chunk_ = {};
    chunk_.reserve(kChunk + 4096);
  }
  ByteChannel& channel_;
  const std::atomic<bool>& cancel_;
  std::vector<std::uint8_t> chunk_;
};

std::string StreamName(int i) {
  static const char* kNames[6] = {"header", "sign", "low-bits", "high-part", "predictor-flag", "analysis"};
  return kNames[i];
}

}  // namespace

// The left half of a two-channel residual, kept until the right half
// comes: in memory when it fits in the job's bound, else in a working file.
// (A working file costs more than the page faults of memory: removing a
// folder that held a few megabytes took about 2 ms, a tenth of a 20 s
// restore, and a 3-minute restore took 8 % longer through one. A longer
// recording gains nothing from keeping only a part in memory.) It is
// complete before the first right sample is handed over, and read only
// after that.
class LeftHalf {
 public:
  // `file` is used only when the half is larger than `inMemory`.
  void Plan(std::uint64_t bytes, std::uint64_t inMemory, std::filesystem::path file) {
    bytes_ = bytes;
    inMemory_ = bytes <= inMemory;
    if (inMemory_) held_.reserve(static_cast<std::size_t>(bytes));
    file_ = std::move(file);
  }
  std::uint64_t bytes() const { return bytes_; }
  void Write(const std::uint8_t* data, std::size_t count) {
    if (inMemory_) {
      held_.insert(held_.end(), data, data + count);
      return;
    }
    if (!out_.IsOpen()) out_.Open(file_);
    out_.Write(data, count);
    written_ = true;
  }
  void Close() {
    if (out_.IsOpen()) out_.Close();
  }
  std::size_t Read(std::uint8_t* data, std::size_t count) {
    if (inMemory_) {
      const std::size_t n = std::min(count, held_.size() - read_);
      std::memcpy(data, held_.data() + read_, n);
      read_ += n;
      return n;
    }
    if (!written_) return 0;  // no left sample came
    if (!in_.IsOpen()) in_.Open(file_);
    return in_.Read(data, count);
  }

 private:
  std::uint64_t bytes_ = 0;
  bool inMemory_ = true;
  std::vector<std::uint8_t> held_;
  std::size_t read_ = 0;
  bool written_ = false;
  std::filesystem::path file_;
  OutFile out_;
  InFile in_;
};

// Where the block decoder's output goes. Two channels come out of it as all
// left samples, then all right ones: the left half is kept aside, and the
// right half is handed over, to be read beside it. One channel is handed
// over whole.
class SplitResidual final : public ResidualSink {
 public:
  SplitResidual(LeftHalf& left, ByteChannel& channel) : left_(left), leftBytes_(left.bytes()), channel_(channel) {}
  void Write(const std::uint8_t* data, std::size_t count) override {
    if (written_ < leftBytes_) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, leftBytes_ - written_));
      left_.Write(data, n);
      written_ += n;
      data += n;
      count -= n;
      if (written_ == leftBytes_) left_.Close();  // complete before the first right sample goes out
    }
    if (count == 0) return;
    written_ += count;
    buffer_.insert(buffer_.end(), data, data + count);
    if (buffer_.size() >= kChunk) Flush();
  }
  // Everything was written: the rest goes out and the queue is closed.
  void Finish() {
    left_.Close();
    Flush();
    channel_.Close();
  }

 private:
  static constexpr std::size_t kChunk = 1 << 14;
  void Flush() {
    if (buffer_.empty()) return;
    channel_.Push(std::move(buffer_));
    buffer_ = {};
    buffer_.reserve(kChunk + 512);
  }
  LeftHalf& left_;
  std::uint64_t leftBytes_;
  std::uint64_t written_ = 0;
  ByteChannel& channel_;
  std::vector<std::uint8_t> buffer_;
};

// The residual in the order of the source's samples, for the synthesis:
// one channel straight from the queue; two channels with the left half
// (complete by the time the first right sample arrives) beside the right
// half from the queue.
class StreamedResidual final : public ResidualSource {
 public:
  StreamedResidual(ByteChannel& channel, bool twoChannels, LeftHalf& left)
      : channel_(channel), stereo_(twoChannels), left_(left) {}
  std::size_t ReadSamples(std::int16_t* samples, std::size_t count) override {
    if (!stereo_) {
      bytes_.resize(2 * count);
      const std::size_t got = channel_.PullAll(bytes_.data(), bytes_.size()) / 2;
      for (std::size_t i = 0; i < got; ++i) samples[i] = Sample(bytes_.data() + 2 * i);
      return got;
    }
    const std::size_t pairs = count / 2;
    if (pairs == 0) return 0;
    right_.resize(2 * pairs);
    const std::size_t gotRight = channel_.PullAll(right_.data(), right_.size()) / 2;
    bytes_.resize(2 * gotRight);
    const std::size_t gotLeft = gotRight ? left_.Read(bytes_.data(), bytes_.size()) / 2 : 0;
    const std::size_t n = std::min(gotLeft, gotRight);
    for (std::size_t i = 0; i < n; ++i) {
      samples[2 * i] = Sample(bytes_.data() + 2 * i);
      samples[2 * i + 1] = Sample(right_.data() + 2 * i);
    }
    return 2 * n;
  }

 private:
  static std::int16_t Sample(const std::uint8_t* p) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
  }
  ByteChannel& channel_;
  bool stereo_;
  LeftHalf& left_;
  std::vector<std::uint8_t> bytes_, right_;
};

// The block decoder's progress on its worker: its sub-blocks counted into
// the job's units, and the job's cancel flag.
class WorkerProgress final : public JobProgress {
 public:
  static constexpr std::uint64_t kSubBlocksPerUnit = 256;
  WorkerProgress(std::atomic<std::uint64_t>& done, const std::atomic<bool>& cancel) : done_(done), cancel_(cancel) {}
  void Begin(std::string_view, std::uint64_t) override {}
  void Step() override {
    if (++steps_ % kSubBlocksPerUnit == 0) done_.fetch_add(1, std::memory_order_relaxed);
  }
  bool IsCancelled() override { return cancel_.load(std::memory_order_relaxed); }
  void End() override {}

 private:
  std::atomic<std::uint64_t>& done_;
  const std::atomic<bool>& cancel_;
  std::uint64_t steps_ = 0;
};

// The analysis stream (stored as it is, 54 bits a frame) bounds the number of
// samples, and that bounds what each coded stream can expand to: a header
// byte and a flag byte per sub-block of at least 32 samples (one tail
// excepted), a sign bit per sample, and a high-part code that the shift
// choice keeps to a few bits per sample on average (16 bits a sample is far
// beyond what the encoder can write). A stated length beyond these is
// damage, refused before anything is expanded, so a small hostile archive
// cannot fill the disk.
// Returns the four coded streams' stated lengths, each at its stream's index.
template <typename Range>
std::array<std::uint64_t, 6> CheckStatedLengths(const ArchiveInfo& info, Range& range,
                                                const std::filesystem::path& shown) {
  const std::string where = shown.string() + ": ";
  const std::uint64_t frames = 8 * static_cast<std::uint64_t>(info.streamLength[kAnalysisStream]) / 54;
  const std::uint64_t samples = frames * static_cast<std::uint64_t>(FrameLength(info.waveHeader != 0));
  const std::uint64_t subBlocks = samples / 32 + 2;
  struct Bound {
    int stream;
    std::uint64_t most;
  };
  std::array<std::uint64_t, 6> stated{};
  for (const Bound& b : {Bound{kHeaderStream, subBlocks + 1}, Bound{kFlagStream, subBlocks + 1},
                         Bound{kSignStream, samples / 8 + subBlocks}, Bound{kHigherStream, 2 * samples + 64}}) {
    InFile in;
    range(b.stream, in);
    std::uint8_t head[4] = {0, 0, 0, 0};
    in.Read(head, 4);
    const std::uint64_t length = static_cast<std::uint64_t>(head[0] | (head[1] << 8) | (head[2] << 16)) |
                                 (static_cast<std::uint64_t>(head[3]) << 24);
    if (length > b.most)
      ThrowDamaged(where + "the " + StreamName(b.stream) + " stream announces " + std::to_string(length) +
                   " bytes, more than the " + std::to_string(samples) + " samples of the analysis stream can need",
                   shown);
    stated[static_cast<std::size_t>(b.stream)] = length;
  }
  return stated;
}

ExtractionJob::ExtractionJob(ExtractionOptions options, JobProgress& progress, PasswordQuestion* password)
    : options_(std::move(options)), progress_(progress), password_(password) {}

// The job's working folder, made when the job first needs a working file:
// most archives are restored without one. Those of killed jobs go still.
class ExtractionJob::WorkingFiles {
 public:
  WorkingFiles() { WorkFolder::RemoveDeadFolders(); }
  std::filesystem::path File(std::string_view name) {
    if (!folder_) folder_.emplace();
    return folder_->File(name);
  }
  Error Explained(const Error& e) const { return folder_ ? folder_->Explained(e) : e; }

 private:
  std::optional<WorkFolder> folder_;
};

// What the passes share: the archive's head and where to say things happen.
struct ExtractionJob::Plan {
  ArchiveInfo info;
  FileIdentity identity;
  std::filesystem::path shown;  // the archive's name in messages
  std::string where;            // shown + ": "
  unsigned threads = 1;
  // The high-part stream is decoded on the block decoder's thread, as the
  // block decoder asks for it, instead of on a thread of its own: with two
  // cores and two channels. Four threads then took turns on the two cores,
  // and the operating system often ran both stream decoders on one core
  // while the other idled; three keep both cores busy, and the synthesis,
  // which waits for the right channel anyway, loses nothing (a 3 MB stereo
  // restore 5 to 7 % faster; with one channel, whose synthesis follows the
  // block decoder from the start, 6 to 11 % slower, so not there).
  bool HigherOnDemand() const { return threads == 2 && info.twoChannels; }
  std::array<std::uint64_t, 6> stated{};  // the coded streams' stated lengths
  // Each stream is read in place, as a range of the archive.
  void Range(const std::filesystem::path& archive, int stream, InFile& in) const {
    std::uint64_t offset = info.streamsOffset;
    for (int i = 0; i < stream; ++i) offset += info.streamLength[i];
    in.OpenRange(archive, offset, info.streamLength[stream]);
  }
};

// The channels of the decode pass: the high-part and sign streams from
// their decoders to the block decoder, the residual from the block decoder
// to the synthesis. Any failure aborts them all, so that no side waits on a
// side that has stopped.
struct ExtractionJob::Chain {
  // Bytes queued of each coded stream, and of the residual: enough to ride
  // out the uneven pace of each side, and no more, since every page a queue
  // fills is fresh memory. Sides that take turns on one core have no pace
  // to ride out: their queues only need to spare a switch every few chunks.
  explicit Chain(unsigned threads)
      : higher{StreamLimit(threads), &streamHub},
        sign{StreamLimit(threads), &streamHub},
        residual{ResidualLimit(threads)},
        restored{ResidualLimit(threads)} {}
  static std::size_t StreamLimit(unsigned threads) { return threads > 1 ? 1 << 18 : 1 << 16; }
  static std::size_t ResidualLimit(unsigned threads) { return threads > 1 ? 1 << 17 : 1 << 16; }
  ChannelHub streamHub;  // one thread may serve both stream channels
  ByteChannel higher, sign;
  ByteChannel residual;
  ByteChannel restored;  // from the synthesis to the writer, when it has a thread
  LeftHalf left;         // of a two-channel residual
  std::atomic<std::uint64_t> done{0};
  std::atomic<bool> cancel{false};
  void AbortAll() {
    higher.Abort();
    sign.Abort();
    residual.Abort();
    restored.Abort();
  }
};

// What the block decoder reads besides the coded streams, and the layout
// they were found to describe (or why not).
struct ExtractionJob::BlockInputs {
  InFile header, flags, lower;
  BlockLayout layout;
  std::exception_ptr layoutFault;
};

// The high-part stream's decoder, when the job has threads for the stream
// decoders (and does not run it on the block decoder's thread), starts
// before the small streams are expanded and the layout is checked: it is
// the longest chain of the pass, each of its steps waiting for the one
// before, so the sooner it starts, the sooner the job ends. What it makes
// waits in the chain's bounded channel. (The sign stream's decoder starting
// early too only took cores from the expansion: no faster.)
class ExtractionJob::EarlyDecoder {
 public:
  EarlyDecoder(std::function<void()> task, Chain& chain) : chain_(chain) {
    try {
      thread_ = std::thread([this, task = std::move(task)] {
        try {
          task();
        } catch (const TaskCancelled&) {
        } catch (...) {
          failure_ = std::current_exception();
        }
      });
    } catch (const std::system_error& e) {
      throw Error(ErrorKind::Resources, std::string("cannot start the threads the job needs: ") + e.what());
    }
  }
  EarlyDecoder(const EarlyDecoder&) = delete;
  EarlyDecoder& operator=(const EarlyDecoder&) = delete;
  ~EarlyDecoder() { Stop(); }

  // Ends it early (a cancel, or a failure elsewhere) and waits for it.
  void Stop() {
    if (!thread_.joinable()) return;
    chain_.cancel = true;
    chain_.AbortAll();
    thread_.join();
  }
  // Waits for it to end. Its failure is rethrown: it outranks what it
  // caused elsewhere (a block decoder stopped by the aborted channel).
  void Finish() {
    if (thread_.joinable()) thread_.join();
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  Chain& chain_;
  std::exception_ptr failure_;
  std::thread thread_;
};

ExtractionResult ExtractionJob::Run() {
  // Everything the job made goes with it, as with any failure.
  return WithMemoryFailureTold([this] { return RunPasses(); });
}

ExtractionResult ExtractionJob::RunPasses() {
  ExtractionResult result;
  Plan plan = ReadAndCheck();
  result.info = plan.info;
  std::optional<PendingOutput> target;
  if (!options_.target.empty()) target.emplace(options_.target, options_.replaceTarget);
  WorkingFiles work;
  auto range = [&](int stream, InFile& in) { plan.Range(options_.archive, stream, in); };
  plan.stated = CheckStatedLengths(plan.info, range, plan.shown);
  // The passes' shares of the bar, from their measured cost.
  JobMeter meter(progress_, kExtractingText, {2, 96, 2});
  Chain chain(plan.threads);
  try {
    std::vector<std::function<void()>> decoders = StreamDecoders(plan, chain);
    std::optional<EarlyDecoder> early;
    if (decoders.size() > 1) {
      // A thread for each stream: the high-part one starts now, or runs on
      // the block decoder's thread.
      if (!plan.HigherOnDemand()) early.emplace(std::move(decoders.front()), chain);
      decoders.erase(decoders.begin());
    }
    BlockInputs in;
    result.cancelled = !Expand(plan, work, in, meter.NextPass()) ||
                       !DecodeAndSynthesise(plan, work, in, target ? &target->temp() : nullptr, result,
                                            meter.NextPass(), chain, std::move(decoders), early ? &*early : nullptr);
  } catch (const Error& e) {
    throw work.Explained(e);
  }
  if (result.cancelled) return result;
  meter.NextPass();
  if (IdentityOf(options_.archive) != plan.identity)
    throw Error(ErrorKind::Changed, plan.shown.string() + " changed while it was being extracted", {}, plan.shown);
  if (target) {
    target->TakeAttributesOf(options_.archive);
    target->Commit();
  }
  meter.Finish();
  return result;
}

ExtractionJob::Plan ExtractionJob::ReadAndCheck() {
  Plan plan;
  plan.shown = options_.shownAs.empty() ? options_.archive : options_.shownAs;
  plan.info = ReadArchiveInfo(options_.archive, plan.shown);
  plan.identity = IdentityOf(options_.archive);
  plan.where = plan.shown.string() + ": ";
  // As many as asked (callers ask for no more than the cores they have), or
  // the cores the process may use: on one core the chains share a thread
  // where they can.
  plan.threads = options_.threads ? options_.threads : DefaultThreads();
  const ArchiveInfo& info = plan.info;
  if (options_.requireIntegrity && !info.integrity)
    throw Error(ErrorKind::NoIntegrity,
                plan.where + "the archive has no integrity record (it was written without one, or its last 16 bytes "
                             "were cut off), so its restored bytes cannot be checked",
                {}, plan.shown);
  if (!options_.target.empty() && SameFile(options_.archive, options_.target))
    throw Error(ErrorKind::SameFile, options_.target.string() + " is the archive itself; restore it to another file",
                {}, options_.target);
  if (info.hasPassword && options_.checkPassword) {
    std::optional<std::string> typed = options_.password;
    if (!typed && password_) typed = password_->AskPassword(options_.archive);
    if (!PasswordMatches(typed.value_or(std::string()), info.passwordRecord))
      throw Error(ErrorKind::WrongPassword, kWrongPasswordMessage);
  }
  return plan;
}

namespace {
// Rethrows a stream decoder's damage with the archive and the stream named.
[[noreturn]] void RethrowStreamFault(const Error& e, const std::filesystem::path& shown, int stream) {
  if (e.kind() != ErrorKind::Damaged) throw;
  ThrowDamaged(shown.string() + ": the " + StreamName(stream) + " stream: " + e.detail(), shown);
}
}  // namespace

bool ExtractionJob::Expand(const Plan& plan, WorkingFiles& work, BlockInputs& in, JobProgress& pass) {
  struct Coded {
    const char* out;
    const char* message;
    int stream;
    InFile* expanded;
  };
  const std::array<Coded, 2> streams{Coded{"Header1.out", "Read Error2_d", kHeaderStream, &in.header},
                                     Coded{"H1.out", "Read Error4_d", kFlagStream, &in.flags}};
  // The header and flag streams are small and describe the layout that the
  // others are checked against: they are expanded first. Most fit in a
  // fraction of the job's memory, and take less time to expand than threads
  // take to start: they are expanded here, into memory. Larger ones go to
  // working files, side by side, counting their progress in blocks of output.
  if (plan.stated[kHeaderStream] + plan.stated[kFlagStream] <= options_.workingMemory / 4) {
    if (pass.IsCancelled()) return false;
    for (const Coded& c : streams) {
      try {
        InFile coded;
        plan.Range(options_.archive, c.stream, coded);
        CLzariDecoder decoder(options_.archive, {}, c.message);
        std::vector<std::uint8_t> bytes;
        bytes.reserve(static_cast<std::size_t>(plan.stated[c.stream]));
        while (decoder.ExpandSome(coded, bytes)) {
        }
        c.expanded->OpenMemory(std::move(bytes), plan.shown);
      } catch (const Error& e) {
        RethrowStreamFault(e, plan.shown, c.stream);
      }
    }
    return true;
  }
  std::atomic<std::uint64_t> expanded{0};
  std::atomic<bool> cancel{false};
  std::vector<std::function<void()>> coders;
  for (const Coded& c : streams) {
    const std::filesystem::path file = work.File(c.out);
    coders.push_back([&, c, file] {
      try {
        InFile coded;
        plan.Range(options_.archive, c.stream, coded);
        CLzariDecoder decoder(options_.archive, file, c.message);
        decoder.Watch(&cancel, &expanded);
        decoder.ExpandFrom(coded);
      } catch (const Error& e) {
        RethrowStreamFault(e, plan.shown, c.stream);
      }
    });
  }
  pass.Begin({}, (plan.stated[kHeaderStream] + plan.stated[kFlagStream]) / CLzariDecoder::kWatchBytes);
  if (!RunWithProgress(coders, plan.threads, pass, expanded, cancel)) return false;
  for (const Coded& c : streams) c.expanded->Open(work.File(c.out));
  return true;
}

// The layout the header and flag streams describe, checked against what
// every other stream holds: a damaged archive stops here, before any sample
// is made.
BlockLayout ExtractionJob::CheckLayout(const Plan& plan, InFile& header, InFile& flags, InFile& lower) {
  const ArchiveInfo& info = plan.info;
  const std::string& where = plan.where;
  const BlockLayout layout = [&] {
    try {
      return ScanLayout(header, flags, info.predictorSet != 0);
    } catch (const Error& e) {
      if (e.kind() != ErrorKind::Damaged) throw;
      ThrowDamaged(where + e.detail(), plan.shown);
    }
  }();
  auto mismatch = [&](const std::string& stream, std::uint64_t need, std::uint64_t have) {
    ThrowDamaged(where + "the " + stream + " stream holds " + std::to_string(have) + " bytes where the sub-blocks need " +
                 std::to_string(need), plan.shown);
  };
  // The sign stream as it states itself: its decoder makes exactly that many bytes or fails.
  const std::uint64_t signBytes = plan.stated[kSignStream];
  if (signBytes != layout.signBytes) mismatch("sign", layout.signBytes, signBytes);
  const std::uint64_t lowerBytes = 2 * ((layout.lowerBits + 15) / 16);
  if (lower.Size() != lowerBytes) mismatch("low-bits", lowerBytes, lower.Size());
  const int frameLength = FrameLength(info.waveHeader != 0);
  const std::uint64_t frames = (layout.samples + static_cast<std::uint64_t>(frameLength) - 1) / frameLength;
  const std::uint64_t analysisBytes = (kAnalysisBitsPerFrame * frames + 7) / 8;
  if (info.streamLength[kAnalysisStream] != analysisBytes)
    mismatch("analysis", analysisBytes, info.streamLength[kAnalysisStream]);
  if (info.twoChannels && layout.samples % 2 != 0)
    ThrowDamaged(where + "a two-channel recording with an odd number of samples", plan.shown);
  if (info.integrity && info.integrity->restoredLength != 2 * layout.samples)
    ThrowDamaged(where + "the integrity record's length disagrees with the sub-blocks", plan.shown);
  return layout;
}

// The decoder of the high-part or the sign stream, reading it in place and
// counting into the job's progress; `in` is opened on the stream.
std::unique_ptr<CLzariDecoder> ExtractionJob::OpenDecoder(const Plan& plan, Chain& chain, int stream, InFile& in) {
  plan.Range(options_.archive, stream, in);
  auto decoder = std::make_unique<CLzariDecoder>(options_.archive, std::filesystem::path{},
                                                 stream == kHigherStream ? "Read Error_d" : "Read Error3_d");
  decoder->Watch(&chain.cancel, &chain.done);
  return decoder;
}

// The high-part and sign streams' decoders as tasks: one each, or both
// interleaved on one thread when the job has one.
std::vector<std::function<void()>> ExtractionJob::StreamDecoders(const Plan& plan, Chain& chain) {
  struct Coded {
    int stream;
    ByteChannel* channel;
  };
  const Coded higher{kHigherStream, &chain.higher}, sign{kSignStream, &chain.sign};
  // Each decoder is told which stream it expands, so that its damage names it.
  auto guarded = [&plan, &chain](const std::function<void(const Coded*&)>& work) {
    const Coded* current = nullptr;
    try {
      work(current);
    } catch (const Error& e) {
      chain.AbortAll();
      RethrowStreamFault(e, plan.shown, current->stream);
    } catch (...) {
      chain.AbortAll();
      throw;
    }
  };
  auto open = [this, &plan, &chain](const Coded& c, InFile& in) { return OpenDecoder(plan, chain, c.stream, in); };
  if (plan.threads > 1) {
    std::vector<std::function<void()>> tasks;
    for (const Coded& c : {higher, sign})
      tasks.push_back([=, &chain] {
        guarded([&](const Coded*& current) {
          current = &c;
          InFile in;
          ChannelWriter out(*c.channel);
          open(c, in)->ExpandInto(in, out);
        });
      });
    return tasks;
  }
  return {[=, &chain] {
    guarded([&](const Coded*& current) {
      InFile inHigher, inSign;
      const auto decodeHigher = open(higher, inHigher), decodeSign = open(sign, inSign);
      ChannelWriter outHigher(chain.higher), outSign(chain.sign);
      current = &higher;
      try {
        CLzariDecoder::ExpandPairInto(*decodeHigher, inHigher, outHigher, *decodeSign, inSign, outSign);
      } catch (const Error&) {
        if (decodeSign->Failed()) current = &sign;
        throw;
      }
    });
  }};
}

namespace {
// A high-part decoder's own failure, met on the block decoder's thread: it
// is told as it is, not as damage the block decoder found.
struct StreamFailure {
  std::exception_ptr error;
};

// The high-part stream decoded as its reader asks for the bytes, on the
// reader's thread.
class OnDemandReader final : public ByteReader {
 public:
  OnDemandReader(std::unique_ptr<CLzariDecoder> decoder, InFile& in, const std::filesystem::path& shown)
      : decoder_(std::move(decoder)), in_(in), shown_(shown) {}
  // Decodes what is left, to the stream's end and its checks.
  void Drain() {
    while (Refill()) {
    }
  }

 private:
  bool Refill() override {
    piece_.clear();
    try {
      while (piece_.empty())
        if (!decoder_->ExpandSome(in_, piece_)) return false;
    } catch (const Error& e) {
      try {
        RethrowStreamFault(e, shown_, kHigherStream);
      } catch (...) {
        throw StreamFailure{std::current_exception()};
      }
    }
    cur_ = piece_.data();
    end_ = cur_ + piece_.size();
    return true;
  }
  std::unique_ptr<CLzariDecoder> decoder_;
  InFile& in_;
  std::filesystem::path shown_;
  std::vector<std::uint8_t> piece_;
};
}  // namespace

// The block decoder's task: the sub-blocks from the streams as they come,
// the residual handed on. Its damage (or the layout's, found before the
// pass) is told only once both stream decoders have run to their ends, what
// they make dropped: a stream's own fault comes first.
void ExtractionJob::DecodeBlocks(const Plan& plan, BlockInputs& in, Chain& chain) {
  InFile higherIn;
  std::optional<OnDemandReader> onDemand;
  try {
    if (plan.HigherOnDemand())
      onDemand.emplace(OpenDecoder(plan, chain, kHigherStream, higherIn), higherIn, plan.shown);
    if (in.layoutFault) std::rethrow_exception(in.layoutFault);
    ChannelReader sign(chain.sign), higherChannel(chain.higher);
    ByteReader& higher = onDemand ? static_cast<ByteReader&>(*onDemand) : higherChannel;
    SplitResidual split(chain.left, chain.residual);
    CBlockDecoder decoder;
    decoder.ResetBlockDecoder();
    WorkerProgress counting(chain.done, chain.cancel);
    if (!decoder.DecodeAll(in.header, in.flags, sign, in.lower, higher, split, in.layout, counting))
      throw TaskCancelled{};
    split.Finish();
  } catch (const StreamFailure& failure) {
    chain.AbortAll();
    std::rethrow_exception(failure.error);
  } catch (const Error& e) {
    if (e.kind() != ErrorKind::Damaged) {
      chain.AbortAll();
      throw;
    }
    chain.higher.Discard();
    chain.sign.Discard();
    if (onDemand) {
      try {
        onDemand->Drain();
      } catch (const StreamFailure& failure) {
        chain.AbortAll();
        std::rethrow_exception(failure.error);
      } catch (...) {
        chain.AbortAll();
        throw;
      }
    }
    const bool streamsEnded = (onDemand || chain.higher.WaitFinished()) && chain.sign.WaitFinished();
    chain.AbortAll();
    if (!streamsEnded) throw TaskCancelled{};  // a stream decoder failed or was cancelled: its outcome stands
    if (in.layoutFault) throw;                 // it names the archive already
    ThrowDamaged(plan.where + e.detail(), plan.shown);
  } catch (...) {
    chain.AbortAll();
    throw;
  }
}

bool ExtractionJob::DecodeAndSynthesise(const Plan& plan, WorkingFiles& work, BlockInputs& in,
                                        const std::filesystem::path* temp, ExtractionResult& result, JobProgress& pass,
                                        Chain& chain, std::vector<std::function<void()>> tasks, EarlyDecoder* early) {
  const ArchiveInfo& info = plan.info;
  plan.Range(options_.archive, kLowerStream, in.lower);
  try {
    in.layout = CheckLayout(plan, in.header, in.flags, in.lower);
  } catch (const Error& e) {
    if (e.kind() != ErrorKind::Damaged) throw;
    in.layoutFault = std::current_exception();
  }

  // The stream decoders (those not running already), the block decoder and
  // the synthesis run side by side, each on its thread (they wait on each
  // other through the chain).
  tasks.push_back([&] { DecodeBlocks(plan, in, chain); });
  const std::filesystem::path* reference = options_.compareWith.empty() ? nullptr : &options_.compareWith;
  RestoredSink sink(temp, options_.target, reference,
                    options_.toStandardOutput ? &options_.standardOutputShownAs : nullptr);
  sink.Watch(&chain.cancel, &chain.done);
  CAudioSynth synth;
  InFile analysis;
  plan.Range(options_.archive, kAnalysisStream, analysis);
  const std::uint64_t leftBytes = info.twoChannels ? in.layout.samples : 0;
  chain.left.Plan(leftBytes, options_.workingMemory,
                  leftBytes > options_.workingMemory ? work.File("temp.out") : std::filesystem::path{});
  StreamedResidual residual(chain.residual, info.twoChannels, chain.left);
  std::uint64_t units = (plan.stated[kHigherStream] + plan.stated[kSignStream]) / CLzariDecoder::kWatchBytes;
  // With cores to spare, writing the restored bytes leaves the synthesis:
  // it is the chain's last link, and starts (for two channels) only once the
  // left half is there. On two cores the two stream decoders, the block
  // decoder and the synthesis already share them, and a writer of its own
  // only adds hand-overs: a 144 s restore took 184 ms with it against 162
  // without (medians of 30 paired runs).
  const bool handOn = plan.threads > 2;
  HandedSink handed(chain.restored, chain.cancel);
  if (!in.layoutFault) {
    tasks.push_back([&] {
      try {
        chain.residual.WaitForData();  // nothing is restored before the first residual is made
        synth.Synthesize(info.waveHeader, residual, handOn ? static_cast<SampleSink&>(handed) : sink, analysis);
        chain.residual.Discard();
        if (handOn) handed.Finish();
      } catch (...) {
        chain.AbortAll();
        throw;
      }
    });
    if (handOn)
      tasks.push_back([&] {
        try {
          for (std::vector<std::uint8_t> chunk; chain.restored.PullChunk(chunk);) sink.Write(chunk.data(), chunk.size());
        } catch (...) {
          chain.AbortAll();
          throw;
        }
      });
    units += in.layout.subBlocks / WorkerProgress::kSubBlocksPerUnit + 2 * in.layout.samples / RestoredSink::kUnitBytes;
  }
  pass.Begin({}, units);
  bool ran;
  try {
    ran = RunWithProgress(tasks, static_cast<unsigned>(tasks.size()), pass, chain.done, chain.cancel,
                          [&] { chain.AbortAll(); });
  } catch (...) {
    if (early) {
      early->Stop();
      early->Finish();
    }
    throw;
  }
  if (early) {
    if (!ran) early->Stop();
    early->Finish();
  }
  if (!ran) return false;
  sink.Finish();
  result.restoredSize = sink.size();
  result.restoredCrc32 = sink.crc();
  // The checks: the integrity record, and the source when verifying.
  if (info.integrity) {
    if (info.integrity->restoredLength != sink.size() || info.integrity->crc32 != sink.crc())
      ThrowDamaged(plan.where + "the restored recording does not match the archive's integrity record (CRC-32)",
                   plan.shown);
    result.integrityChecked = true;
  }
  if (reference && sink.differs())
    throw Error(ErrorKind::Verify, plan.where + "the restored recording differs from " + options_.compareWith.string(), {},
                plan.shown);
  return true;
}

}  // namespace ost
