#include "lzari/LzariDecoder.h"

#include <cstring>

#include "common/Errors.h"
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
    : inputPath_(std::move(input)), outputPath_(std::move(output)), failureMessage_(std::move(failureMessage)) {}

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
    if (e.kind() == ErrorKind::Io) throw Error(ErrorKind::Io, failureMessage_ + ": " + e.what());
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

template <typename Source>
int CLzariDecoder::ReadBit(Source& in) {
  bitMask_ >>= 1;
  if (bitMask_ == 0) {
    bitAccumulator_ = in.Get();  // EOF (-1) has every bit set
    if (bitAccumulator_ == EOF && ++bytesPastEnd_ > kLookAheadBytes)
      ThrowDamaged("a coded stream ends before the data it announces");
    bitMask_ = 128;
  }
  return (bitAccumulator_ & bitMask_) != 0;
}

template <typename Source>
void CLzariDecoder::InitValue(Source& in) {
  for (int i = 0; i < kValueBits; ++i) value_ = 2 * value_ + static_cast<std::uint32_t>(ReadBit(in));
}

namespace {

// The first index i in [1, count] whose cumulative count is at most x
// (`cumulative` never increases and ends at 0, so there always is one): the
// binary search of the format, written without branches.
inline int FirstAtMost(const std::uint32_t* cumulative, int count, std::uint32_t x) {
  const std::uint32_t* base = cumulative + 1;
  int n = count;
  while (n > 1) {
    const int half = n / 2;
    // A mask instead of a conditional, so the compiler cannot turn it into
    // a branch that mispredicts on every other step.
    base += half & -static_cast<int>(base[half - 1] > x);
    n -= half;
  }
  return static_cast<int>(base - cumulative) + (*base > x ? 1 : 0);
}

}  // namespace

int CLzariDecoder::FindSymbol(std::uint32_t x) const { return FirstAtMost(model_.cumulative, kSymbols, x); }

int CLzariDecoder::FindMatchPosition(std::uint32_t x) {
  return FirstAtMost(PositionCumulative(), kRingSize, x) - 1;
}

template <typename Source>
void CLzariDecoder::Renormalise(Source& in) {
  for (;;) {
    if (low_ >= kQ2) {
      value_ -= kQ2;
      low_ -= kQ2;
      high_ -= kQ2;
    } else if (low_ >= kQ1 && high_ <= kQ3) {
      value_ -= kQ1;
      low_ -= kQ1;
      high_ -= kQ1;
    } else if (high_ > kQ2) {
      break;
    }
    low_ += low_;
    high_ += high_;
    value_ = 2 * value_ + static_cast<std::uint32_t>(ReadBit(in));
  }
}

template <typename Source>
int CLzariDecoder::DecodeSymbol(Source& in) {
  const std::uint32_t range = high_ - low_;
  const std::uint32_t total = model_.cumulative[0];
  // WATCHOUT: unsigned wrap-around is intended for damaged input; a valid
  // stream keeps low <= value < high, so nothing wraps.
  const int s = FindSymbol(((value_ - low_ + 1) * total - 1) / range);
  high_ = low_ + range * model_.cumulative[s - 1] / total;
  low_ += range * model_.cumulative[s] / total;
  Renormalise(in);
  const int c = model_.byteOfSymbol[s];
  model_.AdaptModel(s);
  return c;
}

template <typename Source>
int CLzariDecoder::DecodeMatchPosition(Source& in) {
  const std::uint32_t* table = PositionCumulative();
  const std::uint32_t range = high_ - low_;
  const int position = FindMatchPosition(((value_ - low_ + 1) * table[0] - 1) / range);
  high_ = low_ + range * table[position] / table[0];
  low_ += range * table[position + 1] / table[0];
  Renormalise(in);
  return position;
}

template <typename Source, typename Sink>
void CLzariDecoder::Decode(Source& in, std::uint64_t streamSize, Sink& out) {
  std::uint8_t head[4];
  for (int i = 0; i < 4; ++i) {
    int c = in.Get();
    if (c == EOF) ThrowDamaged("a coded stream is shorter than its 4-byte length");
    head[i] = static_cast<std::uint8_t>(c);
  }
  textSize_ = static_cast<std::uint32_t>(head[0] | (head[1] << 8) | (head[2] << 16) | (std::uint32_t{head[3]} << 24));
  if (textSize_ == 0) {
    if (streamSize > 4) ThrowDamaged("an empty coded stream carries code bytes");
    return;
  }
  if (textSize_ > MaxExpandedSize(streamSize - 4))
    ThrowDamaged("a coded stream announces " + std::to_string(textSize_) + " bytes, more than its " +
                 std::to_string(streamSize - 4) + " code bytes can hold");

  InitValue(in);
  model_.InitModel();
  std::memset(ring_, ' ', kLookAheadStart);
  int r = kLookAheadStart;
  std::uint32_t count = 0;
  while (count < textSize_) {
    const int c = DecodeSymbol(in);
    if (c < 256) {
      out.Put(static_cast<std::uint8_t>(c));
      ring_[r] = static_cast<std::uint8_t>(c);
      r = (r + 1) & (kRingSize - 1);
      ++count;
    } else {
      const int start = (r - DecodeMatchPosition(in) - 1) & (kRingSize - 1);
      const int length = c - 255 + kThreshold;
      // A valid stream never has a match run past the stated length.
      if (static_cast<std::uint32_t>(length) > textSize_ - count)
        ThrowDamaged("a coded stream's last match runs past its stated length");
      for (int k = 0; k < length; ++k) {
        const std::uint8_t b = ring_[(start + k) & (kRingSize - 1)];
        out.Put(b);
        ring_[r] = b;
        r = (r + 1) & (kRingSize - 1);
      }
      count += static_cast<std::uint32_t>(length);
    }
  }
  // The value register runs 17 bits ahead and the encoder ends with at most
  // nine bits more, so decoding a valid stream always reads to its end:
  // code bytes left over mean the stream is longer than the coder made it.
  if (bytesPastEnd_ == 0 && in.Get() != EOF) ThrowDamaged("a coded stream holds code bytes after its data");
}

}  // namespace ost
