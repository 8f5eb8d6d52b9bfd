// LZARI decoder: the inverse of CLzariEncoder. Because archives are
// untrusted, it also checks what a stream can check: that the stated length
// is one the code bits could possibly carry, and that the code does not run
// past its end by more than the coder's look-ahead.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "lzari/LzariModel.h"

namespace ost {

class ChannelWriter;

class CLzariDecoder {
 public:
  // `failureMessage` is kept as the detail of the error of a failed read ("Read Error_d", ...).
  CLzariDecoder(std::filesystem::path input, std::filesystem::path output, std::string failureMessage);

  // Expands the input file into the output file. Throws Error(Io) on a failed
  // open or write and Error(Damaged) on a stream that cannot be this coder's.
  void ExpandFile();
  // The same from an open input (a stream within an archive) to the output file.
  void ExpandFrom(InFile& in);

  // The same from an open input into a channel, for a consumer that reads
  // the bytes as they are made; the channel is closed only once the whole
  // stream has passed every check.
  void ExpandInto(InFile& in, ChannelWriter& out);
  // Expands two streams on one thread, a symbol of each in turn and their
  // steps interleaved, so that the processor overlaps their chains of
  // dependent steps; a stream whose channel is full waits while the other
  // goes on alone.
  static void ExpandPairInto(CLzariDecoder& a, InFile& inA, ChannelWriter& outA, CLzariDecoder& b, InFile& inB,
                             ChannelWriter& outB);

  // Decoding on demand, for a reader on the same thread: the first call
  // reads the stated length, each call appends the next piece of the stream
  // (one round of the ring at most) to `out`, and the call that reaches the
  // stream's end checks it. False once nothing is left.
  bool ExpandSome(InFile& in, std::vector<std::uint8_t>& out);

  // Expands bytes in memory, with the same checks.
  static std::vector<std::uint8_t> DecodeBytes(std::span<const std::uint8_t> input);

  // The most bytes a valid stream of `codeBytes` code bytes can expand to.
  static std::uint64_t MaxExpandedSize(std::uint64_t codeBytes);
  // True once this decoder's stream was found damaged (of a pair: which one).
  bool Failed() const { return failed_; }

  // Lets a job follow a long stream and stop it: `done` gains one for
  // every kWatchBytes of output written, and coding stops with TaskCancelled soon
  // after `cancel` is set.
  static constexpr std::uint32_t kWatchBytes = 1 << 16;
  void Watch(const std::atomic<bool>* cancel, std::atomic<std::uint64_t>* done) {
    cancel_ = cancel;
    done_ = done;
  }

 private:
  // The coder's registers. The decoding loops work on a local copy, which
  // the compiler keeps in processor registers: the ring's byte stores could
  // alias the members, and would make it reload them after every byte.
  struct Coder {
    std::uint32_t low, high, value;
    int held;                // code bits fetched and not yet consumed: the top `held` bits of `bits`
    std::uint64_t bits;
    std::uint64_t fetched;   // code bytes fetched
  };
  template <typename Source, typename Sink>
  void Decode(Source& in, std::uint64_t streamSize, Sink& out);
  // Decode in steps: Start reads the stated length and the first code
  // bits; DecodeBlock decodes until the ring has come round once (or the
  // stream ends) and writes out what it made; Finish writes the rest and
  // checks the stream's end.
  template <typename Source> void Start(Source& in, std::uint64_t streamSize);
  bool Ended() const { return count_ >= textSize_; }
  template <typename Source, typename Sink> void DecodeBlock(Source& in, Sink& out);
  // The decoding loops come in two builds, with and without an instruction
  // to count bits, chosen a block at a time.
  template <bool kPopcount, typename Source, typename Sink> void DecodeBlockWith(Source& in, Sink& out);
  template <bool kPopcount, typename Source, typename Sink>
  bool Step(Source& in, Sink& out, Coder& k, int& r, std::uint32_t& count);
  template <typename Source, typename Sink>
  bool Place(Source& in, Sink& out, Coder& k, int c, int& r, std::uint32_t& count);
  template <bool kPopcount, typename Source>
  static void DecodeSymbolPair(CLzariDecoder& a, Source& inA, Coder& ka, int& ca, CLzariDecoder& b, Source& inB,
                               Coder& kb, int& cb, CLzariDecoder*& current);
  template <typename Source, typename Sink>
  void DecodeBlockPaired(Source& inA, Sink& outA, CLzariDecoder& b, Source& inB, Sink& outB, CLzariDecoder*& current);
  template <bool kPopcount, typename Source, typename Sink>
  void DecodeBlockPairedWith(Source& inA, Sink& outA, CLzariDecoder& b, Source& inB, Sink& outB,
                             CLzariDecoder*& current);
  template <typename Sink> void WriteBlock(Sink& out);
  template <typename Source, typename Sink> void Finish(Source& in, Sink& out);
  template <typename Sink> void WritePending(Sink& out);
  template <typename Source> std::uint32_t ReadBits(Source& in, Coder& k, int count);
  template <typename Source> void FillBits(Source& in, Coder& k);
  static std::uint64_t ConsumedBits(const Coder& k) { return k.fetched * 8 - static_cast<std::uint64_t>(k.held); }
  template <typename Source> void Renormalise(Source& in, Coder& k);
  template <bool kPopcount> int Narrow(Coder& k) const;
  template <bool kPopcount, typename Source> int DecodeSymbol(Source& in, Coder& k);
  template <typename Source> int DecodeMatchPosition(Source& in, Coder& k);
  static int FindMatchPosition(std::uint32_t x);

  std::filesystem::path inputPath_, outputPath_;
  std::string failureMessage_;

  std::uint32_t textSize_ = 0;
  bool failed_ = false;
  bool started_ = false, finished_ = false;  // of ExpandSome
  std::uint32_t count_ = 0;  // bytes decoded
  int r_ = 0;                // the ring's next position
  int written_ = 0;          // bytes of the ring from here up to r_ are not yet written out
  unsigned wraps_ = 0;       // rounds of the ring since the last poll
  std::uint8_t ring_[lzari::kRingSize + lzari::kLongestMatch - 1] = {};
  Coder coder_{0, lzari::kQ4, 0, 0, 0, 0};
  lzari::SymbolModel model_;
  // Code bytes are fetched ahead; codeBytes_ is the number of code bytes
  // once the end was met, and bitLimit_ the most bits a valid stream can
  // consume.
  static constexpr std::uint64_t kUnknown = ~std::uint64_t{0};
  std::uint64_t codeBytes_ = kUnknown;
  std::uint64_t bitLimit_ = kUnknown;
  void Poll();
  [[noreturn]] void RethrowWithMessage(const Error& e) const;
  const std::atomic<bool>* cancel_ = nullptr;
  std::atomic<std::uint64_t>* done_ = nullptr;
};

}  // namespace ost
