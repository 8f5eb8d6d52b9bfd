#include "lzari/LzariDecoder.h"

#include <cstring>
#include <memory>

#include "common/Errors.h"
#include "common/Parallel.h"
#include "common/ByteChannel.h"
#include "common/CpuFeatures.h"
#include "common/FileIO.h"

namespace ost {

using namespace lzari;

namespace {
// The decoder's value register runs 17 bits ahead of the symbols it decodes
// and the encoder's last byte may hold as little as one bit, so a valid
// stream is read at most this many bytes past its end.
constexpr std::uint32_t kLookAheadBytes = 4;
// A symbol costs at least -log2((32767 - 313) / 32767) > 1/73 bit, so one
// code byte carries fewer than 8 * 73 symbols of at most 60 bytes each.
constexpr std::uint64_t kMaxBytesPerCodeByte = 8 * 73 * 60;
}  // namespace


CLzariDecoder::CLzariDecoder(std::filesystem::path input, std::filesystem::path output, std::string failureMessage)
    : inputPath_(std::move(input)),
      outputPath_(std::move(output)),
      failureMessage_(std::move(failureMessage)) {}

std::uint64_t CLzariDecoder::MaxExpandedSize(std::uint64_t codeBytes) {
  return (codeBytes + kLookAheadBytes) * kMaxBytesPerCodeByte;
}

void CLzariDecoder::ExpandFile() {
  InFile in(inputPath_);
  ExpandFrom(in);
}

void CLzariDecoder::ExpandFrom(InFile& in) {
  std::uint64_t size = in.Size();
  OutFile out(outputPath_);
  FileSource source{in};
  FileSink sink{out};
  try {
    Decode(source, size, sink);
    out.Close();
  } catch (const Error& e) {
    if (e.kind() == ErrorKind::Io) throw Error(ErrorKind::Io, e.what(), failureMessage_, e.file());
    throw;
  }
}

std::vector<std::uint8_t> CLzariDecoder::DecodeBytes(std::span<const std::uint8_t> input) {
  std::vector<std::uint8_t> out;
  CLzariDecoder decoder({}, {}, {});
  MemorySource source{input.data(), input.size()};
  MemorySink sink{out};
  decoder.Decode(source, input.size(), sink);
  return out;
}

// Tops the bit buffer up to at least 57 bits. Past the end every bit reads
// as 1; where the end lies is noted, so that the checks can count the bytes
// a bit-by-bit reader would have fetched.
template <typename Source>
[[gnu::always_inline]] inline void CLzariDecoder::FillBits(Source& in, Coder& k) {
  while (k.held <= 56) {
    int c = in.Get();
    if (c == EOF) [[unlikely]] {
      if (codeBytes_ == kUnknown) {
        codeBytes_ = k.fetched;
        bitLimit_ = (codeBytes_ + kLookAheadBytes) * 8;
      }
      c = 0xFF;
    }
    k.bits |= static_cast<std::uint64_t>(c) << (56 - k.held);
    k.held += 8;
    ++k.fetched;
  }
}

// The next `count` (0..17) code bits as a number, first bit highest.
template <typename Source>
[[gnu::always_inline]] inline std::uint32_t CLzariDecoder::ReadBits(Source& in, Coder& k, int count) {
  if (k.held < count) [[unlikely]]
    FillBits(in, k);
  const auto bits = static_cast<std::uint32_t>((k.bits >> 1) >> (63 - count));
  k.bits <<= count;
  k.held -= count;
  // A bit-by-bit reader would now have fetched more than kLookAheadBytes
  // bytes past the end.
  if (ConsumedBits(k) > bitLimit_) [[unlikely]]
    ThrowDamaged("a coded stream ends before the data it announces");
  return bits;
}

// The first position whose cumulative weight is at most x (the table never
// increases and ends at 0), by a binary search written without branches.
int CLzariDecoder::FindMatchPosition(std::uint32_t x) {
  const std::uint32_t* base = kPositionCumulative.data() + 1;
  int n = kRingSize;
  while (n > 1) {
    const int half = n / 2;
    // A mask instead of a conditional, so the compiler cannot turn it into
    // a branch that mispredicts on every other step.
    base += half & -static_cast<int>(base[half - 1] > x);
    n -= half;
  }
  return static_cast<int>(base - kPositionCumulative.data()) + (*base > x ? 1 : 0) - 1;
}

// All the steps of the interval doubling at once, as in the encoder: the
// leading bits that low and high - 1 share, then the follow steps. Each step
// subtracts from value what it subtracts from low, and value keeps its own
// wrap-around on a damaged stream, so value - low is simply shifted.
template <typename Source>
[[gnu::always_inline]] inline void CLzariDecoder::Renormalise(Source& in, Coder& k) {
  const std::uint32_t top = k.high - 1;
  // The follow steps are read off low and high - 1 as they are, shifted past
  // the settled bits, instead of after settling them: a shorter chain.
  const std::uint64_t differ = static_cast<std::uint64_t>(k.low & ~top) << 16;
  const int settled = __builtin_clz(((k.low ^ top) << 15) | 0x4000);  // 0..17
  const int follow = __builtin_clz(~static_cast<std::uint32_t>(differ << settled));  // 0..16
  const int steps = settled + follow;  // at most 17
  const std::uint32_t low = (k.low << steps) & (kQ2 - 1);
  const std::uint32_t high = ((((top << steps) | ((1u << steps) - 1)) & (kQ2 - 1)) | kQ2) + 1;
  k.value = ((k.value - k.low) << steps) + low + ReadBits(in, k, steps);
  k.low = low;
  k.high = high;
}

// Finds the symbol the value points into and narrows the interval to it.
template <bool kPopcount>
[[gnu::always_inline]] inline int CLzariDecoder::Narrow(Coder& k) const {
  const std::uint32_t range = k.high - k.low;
  const std::uint32_t total = model_.total;
  const lzari::ScaledRange scaled(range, lzari::Reciprocal(total));
  // WATCHOUT: unsigned wrap-around is intended for damaged input; a valid
  // stream keeps low <= value < high, so nothing wraps.
  std::uint32_t upper;
  const int s = model_.Find<kPopcount>(((k.value - k.low + 1) * total - 1) / range, upper);
  k.high = k.low + scaled.Of(upper);
  k.low += scaled.Of(upper - model_.frequency[s]);
  return s;
}

template <bool kPopcount, typename Source>
[[gnu::always_inline]] inline int CLzariDecoder::DecodeSymbol(Source& in, Coder& k) {
  const int s = Narrow<kPopcount>(k);
  Renormalise(in, k);
  const int c = model_.byteOfSymbol[s];
  model_.AdaptModel(s);
  return c;
}

// A symbol of each of two streams whose models are not due for halving.
// Each symbol is a long chain of dependent steps; taken a step of one and a
// step of the other in turn, rather than one whole symbol after the other,
// the processor has work of both chains in reach and runs them side by side.
template <bool kPopcount, typename Source>
[[gnu::always_inline]] inline void CLzariDecoder::DecodeSymbolPair(CLzariDecoder& a, Source& inA, Coder& ka, int& ca,
                                                                   CLzariDecoder& b, Source& inB, Coder& kb, int& cb,
                                                                   CLzariDecoder*& current) {
  const int sA = a.Narrow<kPopcount>(ka);
  const int sB = b.Narrow<kPopcount>(kb);
  current = &a;
  a.Renormalise(inA, ka);
  current = &b;
  b.Renormalise(inB, kb);
  ca = a.model_.byteOfSymbol[sA];
  cb = b.model_.byteOfSymbol[sB];
  a.model_.Count(sA);
  b.model_.Count(sB);
}

template <typename Source>
int CLzariDecoder::DecodeMatchPosition(Source& in, Coder& k) {
  const std::uint32_t range = k.high - k.low;
  const int position = FindMatchPosition(((k.value - k.low + 1) * kPositionTotal - 1) / range);
  k.high = k.low + range * kPositionCumulative[position] / kPositionTotal;
  k.low += range * kPositionCumulative[position + 1] / kPositionTotal;
  Renormalise(in, k);
  return position;
}

void CLzariDecoder::Poll() {
  if (cancel_ && cancel_->load(std::memory_order_relaxed)) throw TaskCancelled{};
  if (done_) done_->fetch_add(1, std::memory_order_relaxed);
}

template <typename Source>
void CLzariDecoder::Start(Source& in, std::uint64_t streamSize) {
  std::uint8_t head[4];
  for (int i = 0; i < 4; ++i) {
    int c = in.Get();
    if (c == EOF) ThrowDamaged("a coded stream is shorter than its 4-byte length");
    head[i] = static_cast<std::uint8_t>(c);
  }
  textSize_ = static_cast<std::uint32_t>(head[0] | (head[1] << 8) | (head[2] << 16) | (std::uint32_t{head[3]} << 24));
  count_ = 0;
  r_ = written_ = kLookAheadStart;
  wraps_ = 0;
  if (textSize_ == 0) {
    if (streamSize > 4) ThrowDamaged("an empty coded stream carries code bytes");
    return;
  }
  if (textSize_ > MaxExpandedSize(streamSize - 4))
    ThrowDamaged("a coded stream announces " + std::to_string(textSize_) + " bytes, more than its " +
                 std::to_string(streamSize - 4) + " code bytes can hold");
  coder_.value = ReadBits(in, coder_, kValueBits);
  model_.InitModel();
  std::memset(ring_, ' ', kLookAheadStart);
}

// One literal or one match into the ring at r; true when r came round to
// the ring's start on the way, which writes out the round at once (before
// the rest of a match overwrites its start).
template <bool kPopcount, typename Source, typename Sink>
[[gnu::always_inline]] inline bool CLzariDecoder::Step(Source& in, Sink& out, Coder& k, int& r, std::uint32_t& count) {
  return Place(in, out, k, DecodeSymbol<kPopcount>(in, k), r, count);
}

// The same for a symbol c already decoded.
template <typename Source, typename Sink>
[[gnu::always_inline]] inline bool CLzariDecoder::Place(Source& in, Sink& out, Coder& k, int c, int& r,
                                                        std::uint32_t& count) {
  if (c < 256) {
    ring_[r] = static_cast<std::uint8_t>(c);
    r = (r + 1) & (kRingSize - 1);
    ++count;
    if (r != 0) return false;
    WriteBlock(out);
    return true;
  }
  const int start = (r - DecodeMatchPosition(in, k) - 1) & (kRingSize - 1);
  const int length = c - 255 + kThreshold;
  // A valid stream never has a match run past the stated length.
  if (static_cast<std::uint32_t>(length) > textSize_ - count)
    ThrowDamaged("a coded stream's last match runs past its stated length");
  bool wrapped = false;
  for (int i = 0; i < length; ++i) {
    ring_[r] = ring_[(start + i) & (kRingSize - 1)];
    r = (r + 1) & (kRingSize - 1);
    if (r == 0) [[unlikely]] {
      WriteBlock(out);
      wrapped = true;
    }
  }
  count += static_cast<std::uint32_t>(length);
  return wrapped;
}

// The ring came round: its bytes from written_ to its end go out (those
// before r_ wait for the next round), and every kWatchBytes the job is
// told and asked.
template <typename Sink>
void CLzariDecoder::WriteBlock(Sink& out) {
  static_assert(kWatchBytes % kRingSize == 0);
  PutBytes(out, ring_ + written_, static_cast<std::size_t>(kRingSize - written_));
  written_ = 0;
  if (++wraps_ == kWatchBytes / kRingSize) {
    wraps_ = 0;
    Poll();
  }
}

template <typename Source, typename Sink>
void CLzariDecoder::DecodeBlock(Source& in, Sink& out) {
  if (cpu::Popcount())
    DecodeBlockWith<true>(in, out);
  else
    DecodeBlockWith<false>(in, out);
}

template <bool kPopcount, typename Source, typename Sink>
void CLzariDecoder::DecodeBlockWith(Source& in, Sink& out) {
  int r = r_;
  std::uint32_t count = count_;
  Coder k = coder_;
  bool wrapped = false;
  try {
    while (count < textSize_ && !wrapped) wrapped = Step<kPopcount>(in, out, k, r, count);
  } catch (const Error&) {
    r_ = r;
    count_ = count;
    throw;
  }
  r_ = r;
  count_ = count;
  coder_ = k;
}

template <typename Sink>
void CLzariDecoder::WritePending(Sink& out) {
  PutBytes(out, ring_ + written_, static_cast<std::size_t>(r_ - written_));
  written_ = r_;
}

template <typename Source, typename Sink>
void CLzariDecoder::Finish(Source& in, Sink& out) {
  WritePending(out);
  if (textSize_ == 0) return;
  // The value register runs 17 bits ahead and the encoder ends with at most
  // nine bits more, so decoding a valid stream always reads to its end:
  // code bytes left over mean the stream is longer than the coder made it.
  const std::uint64_t needed = (ConsumedBits(coder_) + 7) / 8;  // the bytes a bit-by-bit reader fetched
  const bool more = codeBytes_ != kUnknown ? needed < codeBytes_ : needed < coder_.fetched || in.Get() != EOF;
  if (more) ThrowDamaged("a coded stream holds code bytes after its data");
}

template <typename Source, typename Sink>
void CLzariDecoder::Decode(Source& in, std::uint64_t streamSize, Sink& out) {
  Start(in, streamSize);
  try {
    while (!Ended()) DecodeBlock(in, out);
  } catch (const Error&) {
    // A damaged stream leaves the bytes decoded before the damage showed.
    WritePending(out);
    throw;
  }
  Finish(in, out);
}

// Rethrows the error being handled, a failed read with this decoder's
// message as its detail.
[[noreturn]] void CLzariDecoder::RethrowWithMessage(const Error& e) const {
  if (e.kind() == ErrorKind::Io) throw Error(ErrorKind::Io, e.what(), failureMessage_);
  throw;
}

void CLzariDecoder::ExpandInto(InFile& in, ChannelWriter& out) {
  FileSource source{in};
  try {
    Start(source, in.Size());
    while (!Ended()) {
      out.WaitReady();
      DecodeBlock(source, out);
    }
    Finish(source, out);
  } catch (const Error& e) {
    RethrowWithMessage(e);
  }
  out.Finish();
}

bool CLzariDecoder::ExpandSome(InFile& in, std::vector<std::uint8_t>& out) {
  if (finished_) return false;
  FileSource source{in};
  MemorySink sink{out};
  try {
    if (!started_) {
      started_ = true;
      Start(source, in.Size());
    }
    if (!Ended()) DecodeBlock(source, sink);
    if (Ended()) {
      finished_ = true;
      Finish(source, sink);
    }
  } catch (const Error& e) {
    finished_ = true;
    RethrowWithMessage(e);
  }
  return true;
}

// Symbols of this stream and of `b` in turn, until either ring comes round
// or either stream ends.
template <typename Source, typename Sink>
void CLzariDecoder::DecodeBlockPaired(Source& inA, Sink& outA, CLzariDecoder& b, Source& inB, Sink& outB,
                                      CLzariDecoder*& current) {
  if (cpu::Popcount())
    DecodeBlockPairedWith<true>(inA, outA, b, inB, outB, current);
  else
    DecodeBlockPairedWith<false>(inA, outA, b, inB, outB, current);
}

template <bool kPopcount, typename Source, typename Sink>
void CLzariDecoder::DecodeBlockPairedWith(Source& inA, Sink& outA, CLzariDecoder& b, Source& inB, Sink& outB,
                                          CLzariDecoder*& current) {
  CLzariDecoder& a = *this;
  int ra = a.r_, rb = b.r_;
  std::uint32_t ca = a.count_, cb = b.count_;
  Coder ka = a.coder_, kb = b.coder_;
  bool wrappedA = false, wrappedB = false;
  while (!wrappedA && !wrappedB && ca < a.textSize_ && cb < b.textSize_) {
    if (a.model_.HalvingDue() || b.model_.HalvingDue()) [[unlikely]] {  // once in some 16,000 symbols
      current = &a;
      wrappedA = a.Step<kPopcount>(inA, outA, ka, ra, ca);
      current = &b;
      wrappedB = b.Step<kPopcount>(inB, outB, kb, rb, cb);
      continue;
    }
    int symA, symB;
    DecodeSymbolPair<kPopcount>(a, inA, ka, symA, b, inB, kb, symB, current);
    current = &a;
    wrappedA = a.Place(inA, outA, ka, symA, ra, ca);
    current = &b;
    wrappedB = b.Place(inB, outB, kb, symB, rb, cb);
  }
  a.r_ = ra, a.count_ = ca, b.r_ = rb, b.count_ = cb;
  a.coder_ = ka, b.coder_ = kb;
}

namespace {
// Where a stream of a pair stands: decoding, decoded and checked (its last
// chunk waiting for room), or handed on whole and closed.
enum class Lane { Decoding, Checked, Closed };
}  // namespace

void CLzariDecoder::ExpandPairInto(CLzariDecoder& a, InFile& inA, ChannelWriter& outA, CLzariDecoder& b, InFile& inB,
                                   ChannelWriter& outB) {
  FileSource sourceA{inA}, sourceB{inB};
  CLzariDecoder* current = &a;  // the one a failure comes from
  try {
    a.Start(sourceA, inA.Size());
    current = &b;
    b.Start(sourceB, inB.Size());
    Lane laneA = Lane::Decoding, laneB = Lane::Decoding;
    // Moves one stream on alone without waiting; false when it could not.
    auto alone = [&](CLzariDecoder& d, FileSource& source, ChannelWriter& out, Lane& lane) {
      current = &d;
      if (lane == Lane::Decoding && d.Ended()) {
        d.Finish(source, out);
        lane = Lane::Checked;
      }
      if (lane == Lane::Decoding && out.Ready()) {
        d.DecodeBlock(source, out);
        return true;
      }
      if (lane == Lane::Checked && out.TryFinish()) {
        lane = Lane::Closed;
        return true;
      }
      return false;
    };
    while (laneA != Lane::Closed || laneB != Lane::Closed) {
      if (laneA == Lane::Decoding && laneB == Lane::Decoding && !a.Ended() && !b.Ended() && outA.Ready() &&
          outB.Ready()) {
        a.DecodeBlockPaired(sourceA, outA, b, sourceB, outB, current);
        continue;
      }
      const bool movedA = alone(a, sourceA, outA, laneA);
      const bool movedB = alone(b, sourceB, outB, laneB);
      if (!movedA && !movedB)
        ByteChannel::WaitForRoom(laneA == Lane::Closed ? nullptr : &outA.channel(),
                                 laneB == Lane::Closed ? nullptr : &outB.channel());
    }
  } catch (const Error& e) {
    current->failed_ = true;
    current->RethrowWithMessage(e);
  }
}

}  // namespace ost
