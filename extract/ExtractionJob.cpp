#include "extract/ExtractionJob.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <string>

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
               const std::filesystem::path* reference, bool toStandardOutput) {
    if (target) file_.Open(*target, shownAs);
    if (toStandardOutput) file_.OpenStandardOutput();
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
    if (done_) done_->store(size_ / kUnitBytes, std::memory_order_relaxed);
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
};

std::string StreamName(int i) {
  static const char* kNames[6] = {"header", "sign", "low-bits", "high-part", "predictor-flag", "analysis"};
  return kNames[i];
}

}  // namespace

// The block decoder's output read in the order of the source's samples.
// Two channels come out of it as all left samples, then all right samples;
// reading the two halves side by side restores the interleave (left, right,
// left, ...) without another pass over the file.
class DecodedResidual final : public ResidualSource {
 public:
  DecodedResidual(const std::filesystem::path& work, std::uint64_t bytes, bool twoChannels) : stereo_(twoChannels) {
    if (stereo_) {
      const std::uint64_t m = bytes / 4;
      left_.OpenRange(work, 0, 2 * m);
      right_.OpenRange(work, 2 * m, 2 * m);
    } else {
      left_.Open(work);
    }
  }
  std::size_t ReadSamples(std::int16_t* samples, std::size_t count) override {
    // Whole runs of bytes from each channel's range, then interleaved.
    if (!stereo_ || count % 2 == 0) {
      const std::size_t perChannel = stereo_ ? count / 2 : count;
      leftBytes_.resize(2 * perChannel);
      const std::size_t gotLeft = left_.Read(leftBytes_.data(), leftBytes_.size()) / 2;
      if (!stereo_) {
        for (std::size_t i = 0; i < gotLeft; ++i) samples[i] = Sample(leftBytes_.data() + 2 * i);
        return gotLeft;
      }
      rightBytes_.resize(2 * perChannel);
      const std::size_t gotRight = right_.Read(rightBytes_.data(), rightBytes_.size()) / 2;
      const std::size_t pairs = std::min(gotLeft, gotRight);
      for (std::size_t i = 0; i < pairs; ++i) {
        samples[2 * i] = Sample(leftBytes_.data() + 2 * i);
        samples[2 * i + 1] = Sample(rightBytes_.data() + 2 * i);
      }
      // The two ranges are equally long, so both end together; a left
      // sample without its right one would still be handed on.
      if (gotLeft == pairs) return 2 * pairs;
      samples[2 * pairs] = Sample(leftBytes_.data() + 2 * pairs);
      return 2 * pairs + 1;
    }
    std::size_t n = 0;
    while (n < count) {
      if (!Next(left_, samples[n])) break;
      ++n;
      if (!stereo_) continue;
      if (!Next(right_, samples[n])) break;
      ++n;
    }
    return n;
  }

 private:
  static std::int16_t Sample(const std::uint8_t* p) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
  }
  static bool Next(InFile& in, std::int16_t& sample) {
    const int lo = in.Get();
    const int hi = in.Get();
    if (hi == EOF) return false;
    sample = static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | (hi << 8)));
    return true;
  }
  bool stereo_;
  InFile left_, right_;
  std::vector<std::uint8_t> leftBytes_, rightBytes_;
};

// The analysis stream (stored as it is, 54 bits a frame) bounds the number of
// samples, and that bounds what each coded stream can expand to: a header
// byte and a flag byte per sub-block of at least 32 samples (one tail
// excepted), a sign bit per sample, and a high-part code that the shift
// choice keeps to a few bits per sample on average (16 bits a sample is far
// beyond what the encoder can write). A stated length beyond these is
// damage, refused before anything is expanded, so a small hostile archive
// cannot fill the disk.
// Returns the four coded streams' stated lengths, summed.
template <typename Range>
std::uint64_t CheckStatedLengths(const ArchiveInfo& info, Range& range, const std::string& where) {
  const std::uint64_t frames = 8 * static_cast<std::uint64_t>(info.streamLength[kAnalysisStream]) / 54;
  const std::uint64_t samples = frames * static_cast<std::uint64_t>(FrameLength(info.waveHeader != 0));
  const std::uint64_t subBlocks = samples / 32 + 2;
  struct Bound {
    int stream;
    std::uint64_t most;
  };
  std::uint64_t total = 0;
  for (const Bound& b : {Bound{kHeaderStream, subBlocks + 1}, Bound{kFlagStream, subBlocks + 1},
                         Bound{kSignStream, samples / 8 + subBlocks}, Bound{kHigherStream, 2 * samples + 64}}) {
    InFile in;
    range(b.stream, in);
    std::uint8_t head[4] = {0, 0, 0, 0};
    in.Read(head, 4);
    const std::uint64_t stated = static_cast<std::uint64_t>(head[0] | (head[1] << 8) | (head[2] << 16)) |
                                 (static_cast<std::uint64_t>(head[3]) << 24);
    if (stated > b.most)
      ThrowDamaged(where + "the " + StreamName(b.stream) + " stream announces " + std::to_string(stated) +
                   " bytes, more than the " + std::to_string(samples) + " samples of the analysis stream can need");
    total += stated;
  }
  return total;
}

ExtractionJob::ExtractionJob(ExtractionOptions options, JobProgress& progress, PasswordQuestion* password)
    : options_(std::move(options)), progress_(progress), password_(password) {}

ExtractionResult ExtractionJob::Run() {
  ExtractionResult result;
  const std::filesystem::path& shown = options_.shownAs.empty() ? options_.archive : options_.shownAs;
  const ArchiveInfo info = ReadArchiveInfo(options_.archive, shown);
  const FileIdentity identity = IdentityOf(options_.archive);
  result.info = info;
  const std::string where = shown.string() + ": ";

  if (options_.requireIntegrity && !info.integrity)
    throw Error(ErrorKind::NoIntegrity,
                where + "the archive has no integrity record (it was written without one, or its last 16 bytes "
                        "were cut off), so its restored bytes cannot be checked");
  if (!options_.target.empty() && SameFile(options_.archive, options_.target))
    throw Error(ErrorKind::SameFile,
                options_.target.string() + " is the archive itself; restore it to another file");

  if (info.hasPassword && options_.checkPassword) {
    std::optional<std::string> typed = options_.password;
    if (!typed && password_) typed = password_->AskPassword(options_.archive);
    if (!PasswordMatches(typed.value_or(std::string()), info.passwordRecord))
      throw Error(ErrorKind::WrongPassword, kWrongPasswordMessage);
  }

  std::optional<PendingOutput> target;
  if (!options_.target.empty()) target.emplace(options_.target, options_.replaceTarget);

  WorkFolder work;
  auto file = [&](const char* name) { return work.File(name); };

  // Each stream is read in place, as a range of the archive.
  auto range = [&](int stream, InFile& in) {
    std::uint64_t offset = info.streamsOffset;
    for (int i = 0; i < stream; ++i) offset += info.streamLength[i];
    in.OpenRange(options_.archive, offset, info.streamLength[stream]);
  };

  const std::uint64_t expandedBytes = CheckStatedLengths(info, range, where);

  // The passes' shares of the bar, from their measured cost.
  JobMeter meter(progress_, kExtractingText, {40, 20, 38, 2});

  struct Coded {
    const char* in;
    const char* out;
    const char* message;
    int stream;
  };
  // The four coded streams are independent: expanded side by side, the
  // largest first, counting their progress in blocks of output.
  std::atomic<std::uint64_t> expanded{0};
  std::atomic<bool> cancel{false};
  std::vector<std::function<void()>> coders;
  for (const Coded& c : {Coded{"Higher.out", "Higher1.out", "Read Error_d", kHigherStream},
                         Coded{"Sign.out", "Sign1.out", "Read Error3_d", kSignStream},
                         Coded{"Header.out", "Header1.out", "Read Error2_d", kHeaderStream},
                         Coded{"H.out", "H1.out", "Read Error4_d", kFlagStream}}) {
    coders.push_back([&, c] {
      try {
        InFile coded;
        range(c.stream, coded);
        CLzariDecoder decoder(options_.archive, file(c.out), c.message);
        decoder.Watch(&cancel, &expanded);
        decoder.ExpandFrom(coded);
      } catch (const Error& e) {
        if (e.kind() != ErrorKind::Damaged) throw;
        ThrowDamaged(where + "the " + StreamName(c.stream) + " stream: " + e.detail());
      }
    });
  }
  const unsigned threads = options_.threads ? options_.threads : DefaultThreads();
  JobProgress& expandPass = meter.NextPass();
  expandPass.Begin({}, expandedBytes / CLzariDecoder::kWatchBytes);
  if (!RunWithProgress(coders, threads, expandPass, expanded, cancel)) {
    result.cancelled = true;
    return result;
  }

  InFile header(file("Header1.out")), flags(file("H1.out")), sign(file("Sign1.out")), higher(file("Higher1.out"));
  InFile lower;
  range(kLowerStream, lower);
  const BlockLayout layout = [&] {
    try {
      return ScanLayout(header, flags, info.predictorSet != 0);
    } catch (const Error& e) {
      if (e.kind() != ErrorKind::Damaged) throw;
      ThrowDamaged(where + e.detail());
    }
  }();

  // What the sub-blocks need against what the streams hold.
  auto mismatch = [&](const std::string& stream, std::uint64_t need, std::uint64_t have) {
    ThrowDamaged(where + "the " + stream + " stream holds " + std::to_string(have) + " bytes where the sub-blocks need " +
                 std::to_string(need));
  };
  if (sign.Size() != layout.signBytes) mismatch("sign", layout.signBytes, sign.Size());
  const std::uint64_t lowerBytes = 2 * ((layout.lowerBits + 15) / 16);
  if (lower.Size() != lowerBytes) mismatch("low-bits", lowerBytes, lower.Size());
  const int frameLength = FrameLength(info.waveHeader != 0);
  const std::uint64_t frames = (layout.samples + static_cast<std::uint64_t>(frameLength) - 1) / frameLength;
  const std::uint64_t analysisBytes = (kAnalysisBitsPerFrame * frames + 7) / 8;
  if (info.streamLength[kAnalysisStream] != analysisBytes)
    mismatch("analysis", analysisBytes, info.streamLength[kAnalysisStream]);
  if (info.channels == 1 && layout.samples % 2 != 0)
    ThrowDamaged(where + "a two-channel recording with an odd number of samples");
  if (info.integrity && info.integrity->restoredLength != 2 * layout.samples)
    ThrowDamaged(where + "the integrity record's length disagrees with the sub-blocks");

  {
    OutFile residual(file("temp.out"));
    CBlockDecoder decoder;
    decoder.ResetBlockDecoder();
    bool ran;
    try {
      ran = decoder.DecodeAll(header, flags, sign, lower, higher, residual, layout, meter.NextPass());
    } catch (const Error& e) {
      if (e.kind() != ErrorKind::Damaged) throw;
      ThrowDamaged(where + e.detail());
    }
    if (!ran) {
      result.cancelled = true;
      return result;
    }
    residual.Close();
    // Every bit the compressor wrote is used: the high-part stream ends in
    // its last word.
    const std::uint64_t used = decoder.HigherBytesUsed();
    if (higher.Size() < used || higher.Size() - used > 1 || higher.Size() % 2 != 0)
      ThrowDamaged(where + "the high-part stream holds more than its sub-blocks use");
  }
  header.Close();
  flags.Close();
  sign.Close();
  lower.Close();
  higher.Close();

  const std::filesystem::path* targetPath = target ? &target->temp() : nullptr;
  const std::filesystem::path* reference = options_.compareWith.empty() ? nullptr : &options_.compareWith;
  RestoredSink sink(targetPath, options_.target, reference, options_.toStandardOutput);
  CAudioSynth synth;
  InFile analysis;
  range(kAnalysisStream, analysis);
  const std::uint64_t residualBytes = FileSize(file("temp.out"));
  DecodedResidual residual(file("temp.out"), residualBytes, info.channels == 1);
  // The synthesis runs on a worker so that the caller stays alive meanwhile.
  std::atomic<std::uint64_t> restored{0};
  sink.Watch(&cancel, &restored);
  auto synthesise = [&] { synth.Synthesize(info.waveHeader, residual, sink, analysis); };
  JobProgress& synthesisPass = meter.NextPass();
  synthesisPass.Begin({}, 2 * layout.samples / RestoredSink::kUnitBytes);
  if (!RunWithProgress({synthesise}, 1, synthesisPass, restored, cancel)) {
    result.cancelled = true;
    return result;
  }
  meter.NextPass();
  sink.Finish();
  result.restoredSize = sink.size();
  result.restoredCrc32 = sink.crc();

  if (info.integrity) {
    if (info.integrity->restoredLength != sink.size() || info.integrity->crc32 != sink.crc())
      ThrowDamaged(where + "the restored recording does not match the archive's integrity record (CRC-32)");
    result.integrityChecked = true;
  }
  if (reference && sink.differs())
    throw Error(ErrorKind::Verify, where + "the restored recording differs from " + options_.compareWith.string());
  if (IdentityOf(options_.archive) != identity)
    throw Error(ErrorKind::Changed, shown.string() + " changed while it was being extracted");
  if (target) target->Commit();
  meter.Finish();
  return result;
}

}  // namespace ost
