// Block encoder: cuts the residual into blocks of 256 samples and sub-blocks,
// chooses a fixed polynomial predictor and a shift k per sub-block, and
// splits each prediction error into a sign bit, k low bits and a unary high
// part, written to five streams: header bytes, predictor flags, low bits,
// high parts and sign bits.
//
// The predictors always predict from the last five input samples, whatever
// was chosen before, so the residuals of every predictor at every sample of
// a block are computed once, in one pass, and every trial (all predictors,
// all sub-block sizes) works on sums over them.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "common/ByteChannel.h"
#include "common/Contract.h"
#include "common/FileIO.h"
#include "format/Predictors.h"

namespace ost {

class JobProgress;

// The five output streams of the block encoder. The high parts go to a file,
// or to a channel that a stream coder reads as they are made.
struct BlockStreams {
  OutFile& lower;
  OutFile& sign;
  OutFile* higher;
  OutFile& header;
  OutFile& flags;  // one byte per sub-block: 1 for predictors 4..7
  ByteChannel* higherChannel = nullptr;  // in place of `higher` when set
  // With a channel: the rest of the high parts (those of the ranges coded
  // beside the first, joined bit by bit) is not written by the encoder but
  // handed back here, for the caller to run while other work goes on: it
  // moves at the pace of the channel's reader.
  struct Rest {
    std::function<void()> run;
    std::uint64_t streamBytes = 0;  // the whole stream's length
  };
  Rest* higherRest = nullptr;
};

// Bits written most significant first into 16-bit words, each stored high
// byte first; the words go out in large pieces.
class WordBitWriter {
 public:
  explicit WordBitWriter(OutFile& out)
      : file_(&out), bytes_(std::make_unique_for_overwrite<std::uint8_t[]>(kCapacity)) {}
  explicit WordBitWriter(ByteChannel& out)
      : channel_(&out), bytes_(std::make_unique_for_overwrite<std::uint8_t[]>(kCapacity)) {}
  void Put(std::uint32_t value, int bits) {
    OST_EXPECTS(bits >= 0 && bits <= 16);
    acc_ = (acc_ << bits) | value;
    held_ += bits;
    total_ += static_cast<std::uint64_t>(bits);
    if (held_ >= 16) Spill();
  }
  // n fields of k bits (1..16): the low k bits of each value.
  void PutFields(const std::uint16_t* values, int n, int k);
  // n unary codes: (value >> k) zero bits, then a one bit.
  void PutUnary(const std::uint16_t* values, int n, int k);
  // Pads the last word with zeros when it holds any bit.
  void Finish();
  // Appends a stream that another writer produced: `bits` bits, stored as
  // this writer stores them, read from `in`.
  void Append(InFile& in, std::uint64_t bits);
  // Bits put so far.
  std::uint64_t bits() const { return total_; }
  // Writes out what is buffered (the stream must be on a word boundary for
  // others to continue it byte by byte).
  void Flush() {
    if (channel_ && used_)
      channel_->Push(std::vector<std::uint8_t>(bytes_.get(), bytes_.get() + used_));
    else if (file_)
      file_->Write(bytes_.get(), used_);
    used_ = 0;
  }

 private:
  static constexpr std::size_t kFlushAt = 1 << 16;
  // PutShortUnary's limits: codes of at most 48 bits, so that with the 15
  // bits at most held on entry (7 between codes) the register never
  // overflows, and at most 512 of them in a call, so that the buffer's spare
  // room takes them all.
  static constexpr int kShortUnary = 47;
  static constexpr int kShortUnaryCount = 512;
  static constexpr std::size_t kCapacity = kFlushAt + kShortUnaryCount * (kShortUnary + 1) / 8 + 16;
  void PutShortUnary(const std::uint16_t* values, int n, int k);
  void Spill() {
    while (held_ >= 16) {
      held_ -= 16;
      const auto w = static_cast<std::uint16_t>(acc_ >> held_);
      bytes_[used_++] = static_cast<std::uint8_t>(w >> 8);
      bytes_[used_++] = static_cast<std::uint8_t>(w);
    }
    if (used_ >= kFlushAt) Flush();
  }
  // The bulk writers keep the accumulator in registers with up to 63 bits
  // held and move 32 bits (two words) out at a time.
  void Out32(std::uint64_t acc, int& held) {
    held -= 32;
    const auto w = static_cast<std::uint32_t>(acc >> held);
    std::uint8_t* p = bytes_.get() + used_;
    p[0] = static_cast<std::uint8_t>(w >> 24);
    p[1] = static_cast<std::uint8_t>(w >> 16);
    p[2] = static_cast<std::uint8_t>(w >> 8);
    p[3] = static_cast<std::uint8_t>(w);
    used_ += 4;
    if (used_ >= kFlushAt) Flush();
  }
  OutFile* file_ = nullptr;
  ByteChannel* channel_ = nullptr;
  std::uint64_t acc_ = 0;
  int held_ = 0;
  std::uint64_t total_ = 0;
  std::unique_ptr<std::uint8_t[]> bytes_;  // not cleared: untouched pages cost nothing
  std::size_t used_ = 0;
};

// The residual in the order the block coder codes it. For two-channel
// material the file holds the samples interleaved (left, right, left, ...)
// while the coder takes every left sample, then every right one; the reader
// serves that order straight from the interleaved file (a remainder of 1 to
// 3 bytes is left out), so no reordered copy is written.
class ResidualReader {
 public:
  ResidualReader(const std::filesystem::path& file, bool interleaved);
  std::uint64_t Size() const { return size_; }
  // Offsets and counts are in bytes of the coded order, and even.
  void Seek(std::uint64_t offset);
  // Up to `count` bytes; fewer only at the end.
  std::size_t Read(std::uint8_t* out, std::size_t count);

 private:
  InFile in_;
  bool interleaved_;
  std::uint64_t frames_ = 0;  // sample pairs of an interleaved file
  std::uint64_t size_ = 0;
  std::uint64_t position_ = 0;
};

class CBlockEncoder {
 public:
  // Sets the writers' state, the history and the last predictor flag to
  // their starting values. Call before a level encoder.
  void ResetBlockEncoder();

  // The four level encoders. Each reads the whole residual file `in` and
  // writes the five streams; progress counts one unit per full block. They
  // return false when the user cancelled (nothing more is written then).
  bool EncodeFastest(InFile& in, BlockStreams out, JobProgress& progress);
  bool EncodeFast(InFile& in, BlockStreams out, JobProgress& progress);
  bool EncodeNormal(InFile& in, BlockStreams out, JobProgress& progress);
  bool EncodeMaximum(InFile& in, BlockStreams out, JobProgress& progress);

  // Threads for the blocks (1 by default); the streams are the same whatever the number.
  void SetThreads(unsigned threads) { threads_ = threads ? threads : 1; }
  // The input file holds two channels interleaved; they are coded one after
  // the other (all left samples, then all right ones).
  void SetInterleaved(bool interleaved) { interleaved_ = interleaved; }

  // The shift of a sub-block: a first estimate from the mean magnitude, then
  // the best of it and its neighbours. The array forms rewrite residuals
  // into sign-magnitude form first (exposed for tests).
  static int EstimateShift(std::uint16_t* residuals, int n);
  static int RefineShift(int k0, const std::uint16_t* residuals, int n);

 private:
  // The sums every predictor choice needs, for every predictor over one
  // block (or tail); the residuals themselves only for the predictors that
  // get chosen (Ensure), since most never are.
  struct Trials {
    int n = 0;
    const std::int16_t* x = nullptr;  // the block, preceded by five history samples
    // Sums over chunks of 32 samples (one chunk of n for a tail), as prefix
    // sums by chunk: every sub-block starts and ends on a chunk boundary.
    int chunk = 32;
    std::uint64_t squares[8][9];     // squared magnitudes
    std::uint64_t energy[9];         // squared input magnitudes
    // Filled by Ensure(p):
    bool ready[8] = {};
    std::uint16_t residual[8][256];
    std::uint16_t magnitude15[8][256];  // sign-magnitude low 15 bits
    std::uint32_t magnitudes[8][9];     // magnitudes (-32768 counts 32768)
    void Ensure(int p);
  };
  struct Choice {
    int predictor;
    int k;                 // 15: all residuals zero
    std::uint32_t unary;   // sum of the high parts at k
  };

  bool EncodeLevel(InFile& in, BlockStreams out, JobProgress& progress, int predictors, bool searchSize);
  // Codes blocks [first, end) of `blocks` from the residual file into the
  // streams and writers given; returns false when `cancel` was seen.
  bool EncodeRange(const std::filesystem::path& residual, std::uint64_t first, std::uint64_t end,
                   std::uint64_t blocks, bool endsStream, BlockStreams out, WordBitWriter& lower,
                   WordBitWriter& higher, int predictors, bool searchSize, std::atomic<bool>& cancel,
                   std::atomic<std::uint64_t>& done);
  void LoadHistory(ResidualReader& in, std::uint64_t offset);
  // The ranges of blocks coded side by side, and the joining of their part
  // files after the first range's streams (the high parts bit by bit).
  struct Range;
  // A high-part stream left to append: its file and its bits.
  struct HigherPart {
    std::filesystem::path file;
    std::uint64_t bits;
  };
  // With `pending`, the ranges' high parts are listed there instead of
  // appended to `higher`.
  static void JoinRanges(std::vector<Range>& ranges, BlockStreams out, WordBitWriter& higher,
                         const std::function<std::filesystem::path(std::size_t, int)>& partName,
                         std::vector<HigherPart>* pending = nullptr);
  // The last sub-block, shorter than a block: `rem` bytes after `blocks`
  // whole blocks. Its high parts end the stream (padded), unless
  // `endsHigher` is false.
  void EncodeTail(ResidualReader& reader, std::uint64_t blocks, int rem, int predictors, BlockStreams out,
                  WordBitWriter& lower, WordBitWriter& higher, bool endsHigher = true);
  // Residuals of every predictor of the set for x[0..n-1], x[-1..-5] being history.
  static void RunPredictors(const std::int16_t* x, int n, int predictors, Trials& trials);
  static int ChoosePredictor(const Trials& trials, int predictors, int start, int n);
  static Choice ChooseSubBlock(Trials& trials, int predictors, int start, int n);
  static std::uint32_t EstimateBlockCost(Trials& trials, int predictors, int size, Choice* choices);
  void EncodeBlock(Trials& trials, int predictors, int size, int start, int count, bool last, bool tail,
                   const Choice* known, BlockStreams out);
  static void WriteBlockHeader(int predictor, int k, int sizeCode, bool last, OutFile& stream);
  void PackLowerBits(const Trials& trials, int t, int start, int n, int k);
  void PackSignBits(const Trials& trials, int t, int start, int n, OutFile& stream);
  void PackHigherBits(const Trials& trials, int t, int start, int n, int k);

  std::int16_t history_[5] = {};  // the last five inputs, history_[4] the most recent
  std::uint8_t lastPredictorFlag_ = 0;
  WordBitWriter* lower_ = nullptr;
  WordBitWriter* higher_ = nullptr;
  unsigned threads_ = 1;
  bool interleaved_ = false;
};

}  // namespace ost
