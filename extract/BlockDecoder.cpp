#include "extract/BlockDecoder.h"

#include <array>
#include <cstring>
#include <string>

#include "common/Contract.h"
#include "common/CpuFeatures.h"
#include "common/Errors.h"
#include "common/JobInterfaces.h"
#include "common/VectorClones.h"
#include "format/BlockHeader.h"
#include "format/Predictors.h"

#if defined(OST_AVX_PATHS)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ost {

namespace {


int GetOrDamaged(InFile& in, const char* stream) {
  const int c = in.Get();
  if (c == EOF) ThrowDamaged(std::string("the ") + stream + " stream ends before the sub-blocks it must carry");
  return c;
}

}  // namespace

BlockLayout ScanLayout(InFile& header, InFile& flags, bool eightPredictors) {
  BlockLayout layout;
  const std::uint64_t n = header.Size();
  const std::uint64_t flagBytes = flags.Size();
  header.Rewind();
  flags.Rewind();
  if (n == 0) {
    // An empty source: no sub-block, only the final predictor flag.
    if (flagBytes != 1) ThrowDamaged("the predictor-flag stream of an empty recording is not one byte");
    if (GetOrDamaged(flags, "predictor-flag") != 0) ThrowDamaged("the predictor-flag stream holds a value other than 0");
    return layout;
  }
  if (n == 1) ThrowDamaged("the header stream holds a sub-block without its count byte");
  layout.subBlocks = n - 1;
  int position = 0;   // of the next sub-block within its block of 256
  int blockSize = 0;  // sub-block size of the current block
  for (std::uint64_t i = 0; i < layout.subBlocks; ++i) {
    const int h = GetOrDamaged(header, "header");
    const int flag = GetOrDamaged(flags, "predictor-flag");
    if (flag > 1 || (flag == 1 && !eightPredictors))
      ThrowDamaged("sub-block " + std::to_string(i) + " names a predictor outside the archive's set");
    const int k = h >> 4;
    int size = SizeOf(h);
    const bool last = i + 1 == layout.subBlocks;
    if (last) {
      size = GetOrDamaged(header, "header") + 1;
      // The last sub-block ends a block of equal sub-blocks, is a whole
      // block, or is the tail of fewer than 256 samples after whole blocks.
      if (((h >> 2) & 3) != 3 || (position != 0 && (size != blockSize || position + size != 256)))
        ThrowDamaged("the last sub-block does not end the recording's blocks");
    } else {
      if (position == 0) blockSize = size;
      if (size != blockSize) ThrowDamaged("sub-block " + std::to_string(i) + " does not fit its block");
      position = (position + size) % 256;
    }
    layout.samples += static_cast<std::uint64_t>(size);
    if (k != 15) {
      layout.signBytes += static_cast<std::uint64_t>((size + 7) / 8);
      layout.lowerBits += static_cast<std::uint64_t>(size) * static_cast<std::uint64_t>(k);
    }
    if (last) {
      // A recording that ends on a whole block repeats the last flag once more.
      const bool wholeBlock = position != 0 || size == 256;
      const std::uint64_t expected = layout.subBlocks + (wholeBlock ? 1 : 0);
      if (flagBytes != expected)
        ThrowDamaged("the predictor-flag stream holds " + std::to_string(flagBytes) + " bytes for " +
                     std::to_string(layout.subBlocks) + " sub-blocks");
      if (wholeBlock && GetOrDamaged(flags, "predictor-flag") != flag)
        ThrowDamaged("the predictor-flag stream's last byte does not repeat the last sub-block's flag");
    }
  }
  return layout;
}

void CBlockDecoder::ResetBlockDecoder() {
  ClearParts();
  std::memset(signs, 0, sizeof signs);
  length_ = k_ = predictor_ = 0;
  std::memset(c_, 0, sizeof c_);
  std::memset(x_, 0, sizeof x_);
  lowerWindow_ = 0;
  lowerBitsHeld_ = 0;
  higherByte_ = 0;
  higherUsed_ = 8;
  higherBytesRead_ = 0;
}

void CBlockDecoder::ClearParts() {
  std::memset(highParts, 0, sizeof highParts);
  std::memset(lowParts, 0, sizeof lowParts);
}

void CBlockDecoder::SetHistory(const std::int16_t (&x)[5]) { std::memcpy(x_, x, sizeof x_); }

void CBlockDecoder::DecodeBlockHeader(int headerByte, int flagByte) {
  k_ = ShiftOf(headerByte);
  length_ = SizeOf(headerByte);
  predictor_ = PredictorOf(headerByte, flagByte);
  std::memcpy(c_, kPredictorCoefficients[predictor_], sizeof c_);
}

void CBlockDecoder::ReadSigns(ByteReader& stream, int count) {
  OST_EXPECTS(count >= 0 && count <= 256);
  std::uint8_t bytes[32];
  const int n = (count + 7) / 8;
  if (stream.Read(bytes, static_cast<std::size_t>(n)) != static_cast<std::size_t>(n))
    ThrowDamaged("the sign stream ends before the sub-blocks it must carry");
  // Whole bytes at a time (the entries past `count` are not read).
  for (int b = 0; b < n; ++b)
    for (int t = 0; t < 8; ++t) signs[8 * b + t] = static_cast<std::uint16_t>((bytes[b] >> (7 - t)) & 1);
}

namespace {

// The fields of one sub-block's low bits: field i is the k bits (first bit
// highest) at bit first + i * k of `bytes`, which has 16 readable bytes past
// the last field. Each field is cut from the 32 bits at its own position:
// no field waits for the one before it.
std::uint32_t BitsAt(const std::uint8_t* bytes, int at, int width) {
  std::uint32_t word;
  std::memcpy(&word, bytes + (at >> 3), 4);
  return (__builtin_bswap32(word) << (at & 7)) >> (32 - width);
}

#if defined(OST_AVX_PATHS)
// Eight fields take k bytes exactly, so a sub-block that starts on a byte
// (all do but the one after a file's last, shorter sub-block: the others
// hold a multiple of 8 samples) has every group of eight on a byte: one
// byte shuffle and one shift per lane, fixed by k, cut a group out of the
// 16 bytes from its start.
struct LowGroup {
  alignas(32) std::uint8_t shuffle[32];  // lane j's three bytes, its field's first byte highest
  alignas(32) std::uint32_t shift[8];    // lane j's right shift
};
const LowGroup& LowGroupFor(int k) {
  static const auto table = [] {
    std::array<LowGroup, 16> t{};
    for (int width = 1; width <= 15; ++width)
      for (int j = 0; j < 8; ++j) {
        LowGroup& g = t[static_cast<std::size_t>(width)];
        // Byte first + 2 is at most 13 + 2: a group ends by bit 8 * 15 - 1.
        const int bit = j * width, first = bit >> 3;
        std::uint8_t* lane = g.shuffle + 4 * j;  // the shuffle works within each 16-byte half,
        lane[0] = 0x80;                          // and both halves get the same 16 bytes
        for (int b = 0; b < 3; ++b) lane[3 - b] = static_cast<std::uint8_t>(first + b);
        g.shift[j] = static_cast<std::uint32_t>(32 - width - (bit & 7));
      }
    return t;
  }();
  return table[static_cast<std::size_t>(k)];
}

// The whole groups of eight fields from `bytes` on; returns how many fields
// it cut.
__attribute__((target("avx2"))) int LowGroupsAvx2(const std::uint8_t* bytes, int count, int k, std::uint16_t* out) {
  const LowGroup& g = LowGroupFor(k);
  const __m256i shuffle = _mm256_load_si256(reinterpret_cast<const __m256i*>(g.shuffle));
  const __m256i shift = _mm256_load_si256(reinterpret_cast<const __m256i*>(g.shift));
  const __m256i mask = _mm256_set1_epi32((1 << k) - 1);
  const int groups = count / 8;
  for (int group = 0; group < groups; ++group) {
    const __m128i at = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + group * k));
    const __m256i lanes = _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(at), shuffle);
    const __m256i fields = _mm256_and_si256(_mm256_srlv_epi32(lanes, shift), mask);
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(fields, fields), 0b1000);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * group), _mm256_castsi256_si128(packed));
  }
  return groups * 8;
}

#endif

}  // namespace

void CBlockDecoder::ReadLowerBits(InFile& stream, int count, int k) {
  OST_EXPECTS(count >= 0 && count <= 256 && k >= 0 && k <= 15);
  if (k == 0) {
    std::memset(lowParts, 0, sizeof lowParts);
    return;
  }
  // The bytes this sub-block needs, in one read, behind a byte that holds
  // the bits the last sub-block left (fewer than 8, at its low end).
  const int held = lowerBitsHeld_;
  const int needed = count * k - held;
  const int n = needed > 0 ? (needed + 7) / 8 : 0;
  std::uint8_t bytes[1 + 256 * 15 / 8 + 1 + 16];
  bytes[0] = static_cast<std::uint8_t>(lowerWindow_);
  if (n > 0 && stream.Read(bytes + 1, static_cast<std::size_t>(n)) != static_cast<std::size_t>(n))
    ThrowDamaged("the low-bits stream ends before the sub-blocks it must carry");
  std::memset(bytes + 1 + n, 0, 16);
  const int first = 8 - held;
  int i = 0;
#if defined(OST_AVX_PATHS)
  if (held == 0 && cpu::Avx2()) i = LowGroupsAvx2(bytes + 1, count, k, lowParts);
#endif
  for (; i < count; ++i) lowParts[i] = static_cast<std::uint16_t>(BitsAt(bytes, first + i * k, k));
  // What is left of the last byte read waits for the next sub-block.
  const int stop = first + count * k;
  lowerBitsHeld_ = 8 + 8 * n - stop;
  lowerWindow_ = lowerBitsHeld_ > 0 ? BitsAt(bytes, stop, lowerBitsHeld_) : 0;
}

namespace {

// The codes that end within one byte of the high-part stream (first bit
// highest): the zeros before each end (from the start of the byte for the
// first), where each end is, and the zeros after the last (8 with no end).
struct HighByte {
  alignas(16) std::uint8_t zeros[8];
  std::uint8_t endAt[8];
  std::uint8_t ends;
  std::uint8_t trailing;
};
const std::array<HighByte, 256>& HighBytes() {
  static const auto table = [] {
    std::array<HighByte, 256> t{};
    for (int value = 0; value < 256; ++value) {
      HighByte& c = t[static_cast<std::size_t>(value)];
      int run = 0;
      for (int b = 0; b < 8; ++b, ++run)
        if (value >> (7 - b) & 1) {
          c.endAt[c.ends] = static_cast<std::uint8_t>(b);
          c.zeros[c.ends++] = static_cast<std::uint8_t>(run);
          run = -1;
        }
      c.trailing = static_cast<std::uint8_t>(run);
    }
    return t;
  }();
  return table;
}

[[noreturn]] void RunTooLong() { ThrowDamaged("the high-part stream holds a run of zeros no sample can have"); }

// Writes the first `codes` codes of a byte from out[0] on, the first one
// longer by the zeros `before` it; all of them at most `limit`. Eight
// entries are written whatever `codes` is.
inline void PutCodes(const HighByte& c, int codes, int before, int limit, std::uint16_t* out) {
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  __m128i runs = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(c.zeros)), zero);
  runs = _mm_add_epi16(runs, _mm_cvtsi32_si128(before));
  const __m128i over = _mm_subs_epu16(runs, _mm_set1_epi16(static_cast<short>(limit)));
  const int fine = _mm_movemask_epi8(_mm_cmpeq_epi16(over, zero));
  if (~fine & ((1 << (2 * codes)) - 1)) RunTooLong();
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), runs);
#else
  for (int j = 0; j < 8; ++j) {
    const int run = c.zeros[j] + (j == 0 ? before : 0);
    if (j < codes && run > limit) RunTooLong();
    out[j] = static_cast<std::uint16_t>(run);
  }
#endif
}

}  // namespace

void CBlockDecoder::ReadHigherBits(ByteReader& stream, int count) {
  OST_EXPECTS(count >= 0 && count <= 256);
  const int limit = 0x7FFF >> k_;  // the largest high part the encoder writes at this shift
  // Each code is a run of zeros ended by a one. A byte at a time, a table
  // gives the codes that end in it, written as eight entries whatever their
  // number: the number of ends moves the output on. A byte is used in part
  // only when it ends more codes than the sub-block needs; the next call
  // starts with its rest.
  const auto& table = HighBytes();
  int i = 0;
  int pending = 0;  // zeros since the last end
  while (i < count) {
    if (higherUsed_ < 8) {
      // The rest of a byte, moved to the top: the bits shifted in are not
      // the stream's, so they do not count as zeros.
      const HighByte& c = table[(higherByte_ << higherUsed_) & 0xFF];
      const int codes = std::min<int>(c.ends, count - i);
      PutCodes(c, codes, pending, limit, highParts + i);
      i += codes;
      if (codes < c.ends || (codes > 0 && i == count)) {
        higherUsed_ += c.endAt[codes - 1] + 1;
        break;
      }
      pending = (codes ? 0 : pending) + c.trailing - higherUsed_;
      higherUsed_ = 8;
      if (pending > limit) RunTooLong();
      continue;
    }
    // Whole bytes from the reader's buffer, while the sub-block needs all
    // their codes.
    const std::uint8_t* at = stream.Next();
    const std::uint8_t* const end = at + stream.Available();
    const std::uint8_t* const start = at;
    for (; at < end && i < count; ++at) {
      const HighByte& c = table[*at];
      if (i + c.ends > count) break;
      PutCodes(c, c.ends, pending, limit, highParts + i);
      i += c.ends;
      pending = (c.ends ? 0 : pending) + c.trailing;
      // Zeros after the sub-block's last end are the next one's.
      if (pending > limit && i < count) RunTooLong();
    }
    stream.Skip(static_cast<std::size_t>(at - start));
    higherBytesRead_ += static_cast<std::uint64_t>(at - start);
    if (i == count) {
      // The last whole byte ended the sub-block with its last bit, or its
      // trailing zeros go back to the next code: that byte is kept.
      if (pending > 0) {
        higherByte_ = at[-1];
        higherUsed_ = 8 - pending;
      }
      break;
    }
    // A byte with more codes than needed, or the buffer's end: the next byte
    // is taken whole and used in part (or in whole) above.
    const int next = stream.Get();
    // A run too long was told as soon as it was (the checks above); this
    // one is still possible.
    if (next == EOF) ThrowDamaged("the high-part stream ends before the sub-blocks it must carry");
    higherByte_ = static_cast<std::uint8_t>(next);
    higherUsed_ = 0;
    ++higherBytesRead_;
  }
}

namespace {

// The prediction recursion of one predictor over s[0..n-1], s[-5..-1] being
// the history: s[i] = c1 s[i-1] + ... + c5 s[i-5] + e[i], modulo 65536. With
// the coefficients fixed at compile time, predictor 0 is a copy and the
// others carry only their own terms in the chain from one sample to the next.
template <int P>
void Predict(std::int16_t* s, const std::uint16_t* e, int n) {
  constexpr const int* c = kPredictorCoefficients[P];
  for (int i = 0; i < n; ++i) {
    const int pred = c[0] * s[i - 1] + c[1] * s[i - 2] + c[2] * s[i - 3] + c[3] * s[i - 4] + c[4] * s[i - 5];
    s[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<unsigned>(pred) + e[i]));
  }
}

struct FileResidualSink final : ResidualSink {
  explicit FileResidualSink(OutFile& to) : file(to) {}
  void Write(const std::uint8_t* data, std::size_t count) override { file.Write(data, count); }
  OutFile& file;
};

}  // namespace

void CBlockDecoder::ReconstructBlock(OutFile& out) {
  FileResidualSink sink(out);
  ReconstructBlock(sink);
}

bool CBlockDecoder::DecodeAll(InFile& header, InFile& flags, InFile& sign, InFile& lower, InFile& higher,
                              OutFile& out, const BlockLayout& layout, JobProgress& progress) {
  FileResidualSink sink(out);
  return DecodeAll(header, flags, sign, lower, higher, sink, layout, progress);
}

bool CBlockDecoder::DecodeAll(InFile& header, InFile& flags, InFile& sign, InFile& lower, InFile& higher,
                              ResidualSink& out, const BlockLayout& layout, JobProgress& progress) {
  FileReader signReader(sign), higherReader(higher);
  return DecodeAll(header, flags, signReader, lower, higherReader, out, layout, progress);
}

void CBlockDecoder::CheckStreamEnds(ByteReader& sign, ByteReader& higher) {
  if (sign.Get() != EOF) ThrowDamaged("the sign stream holds more than its sub-blocks use");
  // Every bit the compressor wrote is used: the stream ends in the word
  // that holds its last used bit. Read to the end (or until too much is
  // certain) to see what is left.
  std::uint64_t rest = 0;
  while (rest <= 1) {
    if (const std::size_t n = higher.Available(); n > 0) {
      higher.Skip(n);
      rest += n;
    } else if (higher.Get() != EOF) {
      ++rest;
    } else {
      break;
    }
  }
  if (rest > 1 || (HigherBytesUsed() + rest) % 2 != 0)
    ThrowDamaged("the high-part stream holds more than its sub-blocks use");
}

void CBlockDecoder::ReconstructBlock(ResidualSink& out) {
  // The residuals first (independent per sample), then the recursion.
  std::uint16_t e[256];
  for (int i = 0; i < length_; ++i) {
    const std::uint16_t v = static_cast<std::uint16_t>(((highParts[i] << k_) & 0xFFFF) | lowParts[i]);
    const auto negative = static_cast<std::uint16_t>(static_cast<std::uint16_t>(-(v & 0x7FFF)) | 0x8000);
    e[i] = signs[i] ? negative : v;
  }
  std::int16_t s[5 + 256];
  for (int j = 0; j < 5; ++j) s[4 - j] = x_[j];
  std::int16_t* y = s + 5;
  WithPredictor(predictor_, [&]<int P>() { Predict<P>(y, e, length_); });
  for (int j = 0; j < 5; ++j) x_[j] = s[length_ + 4 - j];
  std::uint8_t bytes[512];
  for (int i = 0; i < length_; ++i) {
    const auto u = static_cast<std::uint16_t>(y[i]);
    bytes[2 * i] = static_cast<std::uint8_t>(u);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(u >> 8);
  }
  out.Write(bytes, 2 * static_cast<std::size_t>(length_));
}

bool CBlockDecoder::DecodeAll(InFile& header, InFile& flags, ByteReader& sign, InFile& lower, ByteReader& higher,
                              ResidualSink& out, const BlockLayout& layout, JobProgress& progress) {
  header.Rewind();
  flags.Rewind();
  progress.Begin({}, layout.subBlocks > 0 ? layout.subBlocks - 1 : 0);  // the job says what is being done
  for (std::uint64_t i = 0; i < layout.subBlocks; ++i) {
    const bool last = i + 1 == layout.subBlocks;
    if (!last) {
      progress.Step();
      if (progress.IsCancelled()) {
        progress.End();
        return false;
      }
    }
    const int h = GetOrDamaged(header, "header");
    DecodeBlockHeader(h, GetOrDamaged(flags, "predictor-flag"));
    if (last) length_ = GetOrDamaged(header, "header") + 1;
    if (k_ == 15) {
      std::memset(signs, 0, sizeof signs);
      ClearParts();
    } else {
      // No clearing first: the low parts are cleared by their reader and
      // every high part the sub-block uses is written.
      ReadSigns(sign, length_);
      ReadLowerBits(lower, length_, k_);
      ReadHigherBits(higher, length_);
    }
    ReconstructBlock(out);
  }
  CheckStreamEnds(sign, higher);
  progress.End();
  return true;
}

}  // namespace ost
