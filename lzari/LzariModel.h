// The parts of the LZARI coder that encoder and decoder share: the constants,
// the adaptive model of the 314-symbol alphabet (bytes and match lengths),
// and the fixed distribution of match positions.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/ByteSource.h"

namespace ost::lzari {

inline constexpr int kRingSize = 4096;       // window length
inline constexpr int kLongestMatch = 60;     // also the look-ahead length
inline constexpr int kThreshold = 2;         // matches this short go as literals
inline constexpr int kLookAheadStart = kRingSize - kLongestMatch;  // 4036
inline constexpr int kNone = kRingSize;      // absent tree node
inline constexpr int kSymbols = 256 + kLongestMatch - kThreshold;  // 314
inline constexpr std::uint32_t kQ1 = 0x8000;
inline constexpr std::uint32_t kQ2 = 0x10000;
inline constexpr std::uint32_t kQ3 = 0x18000;
inline constexpr std::uint32_t kQ4 = 0x20000;
inline constexpr std::uint32_t kFrequencyLimit = 0x7FFF;
inline constexpr int kValueBits = 17;

// Adaptive frequencies, kept sorted so that frequent symbols have low numbers.
// The cumulative counts (cumulative(i) = sum of frequency[i+1..314]) are
// kept in two levels: symbols form blocks of 16, and cumulative(i) is the
// count of the blocks after i's block plus the count within it after i.
// Counting one more symbol then adds 1 to a fixed set of block entries and
// entries within a block, eight 16-bit counts at a time in the compiler's
// generic vectors, instead of touching every lower entry; the decoder's
// search compares eight entries at a time with x and counts those above it.
// Without branches on the data, there is nothing for the branch predictor
// to miss.
struct SymbolModel {
  static constexpr int kBlockBits = 4;
  static constexpr int kBlock = 1 << kBlockBits;
  static constexpr int kBlocks = 24;  // 20 hold symbols 0..319; 4 more fill the last vector

  int symbolOfByte[kSymbols];
  int byteOfSymbol[kSymbols + 1];
  std::uint32_t frequency[kSymbols + 1];  // [0] is a sentinel held at 0
  std::uint32_t total;                    // cumulative(0)
  // Counts stay at most kFrequencyLimit, so 16 bits hold them.
  alignas(16) std::int16_t afterBlock[kBlocks];       // frequencies of the blocks after block b
  alignas(16) std::int16_t inBlock[kBlocks * kBlock];  // frequencies after i within its block
  // For every frequency some symbol has, the lowest symbol with it: the
  // start of that run of equal frequencies.
  std::uint16_t firstOfFrequency[kFrequencyLimit + 1];

  void InitModel();

  // Counts one more of `symbol`, halving all counts first when the total
  // has reached the limit.
  void AdaptModel(int symbol) {
    if (HalvingDue()) [[unlikely]]
      Halve();
    Count(symbol);
  }
  bool HalvingDue() const { return total >= kFrequencyLimit; }
  // AdaptModel for a model that is not due for halving.
  [[gnu::always_inline]] void Count(int symbol) {
    const std::uint32_t f = frequency[symbol];
    const int i = firstOfFrequency[f];
    // Symbol i takes the byte of `symbol` and the other way round; a no-op
    // when they are the same, done always so that there is no branch to miss.
    const int byteI = byteOfSymbol[i];
    const int byteS = byteOfSymbol[symbol];
    byteOfSymbol[i] = byteS;
    byteOfSymbol[symbol] = byteI;
    symbolOfByte[byteI] = symbol;
    symbolOfByte[byteS] = i;
    frequency[i] = f + 1;
    // Symbol i leaves the run of f (which now starts at i + 1, if it goes on)
    // and ends the run of f + 1 (which starts at i unless it was there before).
    firstOfFrequency[f] = static_cast<std::uint16_t>(i + 1);
    const std::uint16_t runAbove = firstOfFrequency[f + 1];
    firstOfFrequency[f + 1] = frequency[i - 1] == f + 1 ? runAbove : static_cast<std::uint16_t>(i);
    ++total;
    // Every cumulative count below i grows by one (a true comparison is -1).
    const Lanes block = Splat(i >> kBlockBits);
    for (int b = 0; b < kBlocks; b += kLanes)
      Store(afterBlock + b, Load(afterBlock + b) - (Iota(b) < block));
    std::int16_t* entries = inBlock + (i & ~(kBlock - 1));
    const Lanes within = Splat(i & (kBlock - 1));
    for (int k = 0; k < kBlock; k += kLanes) Store(entries + k, Load(entries + k) - (Iota(k) < within));
  }

  // cumulative(i) for 0 <= i <= kSymbols.
  std::uint32_t Cumulative(int i) const {
    return static_cast<std::uint32_t>(afterBlock[i >> kBlockBits] + inBlock[i]);
  }

  // The first symbol s in [1, kSymbols] with cumulative(s) <= x, and
  // cumulative(s - 1) in `upper`; cumulative(s) is upper - frequency[s].
  // kPopcount: the processor has an instruction to count bits (see
  // cpu::Popcount); the answer is the same either way.
  template <bool kPopcount>
  int Find(std::uint32_t x, std::uint32_t& upper) const {
    // No count exceeds kFrequencyLimit, so a larger x compares like it.
    const int y = static_cast<int>(x < kFrequencyLimit ? x : kFrequencyLimit);
    // cumulative() never increases, and the last entry of block b is
    // afterBlock[b]: the blocks before s's are those whose last entry
    // exceeds y, and so are the entries before s within it.
#if defined(__SSE2__)
    // The comparisons' byte masks, two bits a lane; the lanes that exceed
    // y come first, so the masks are runs of ones from the lowest bit.
    static_assert(kBlocks == 24 && kBlock == 16);
    const __m128i ys = _mm_set1_epi16(static_cast<short>(y));
    const std::uint64_t blocks = Above(afterBlock, ys) | Above(afterBlock + 8, ys) << 16 |
                                 Above(afterBlock + 16, ys) << 32;
    const int block = LanesOf<kPopcount>(blocks);
    const __m128i rest = _mm_set1_epi16(static_cast<short>(y - afterBlock[block]));
    const std::int16_t* entries = inBlock + block * kBlock;
    int s = block * kBlock + LanesOf<kPopcount>(Above(entries, rest) | Above(entries + 8, rest) << 16);
#else
    const Lanes ys = Splat(y);
    Lanes count = Lanes{} - (Load(afterBlock) > ys);
    for (int b = kLanes; b < kBlocks; b += kLanes) count -= Load(afterBlock + b) > ys;
    const int block = Sum(count);
    const Lanes rest = Splat(y - afterBlock[block]);
    const std::int16_t* entries = inBlock + block * kBlock;
    count = Lanes{} - (Load(entries) > rest);
    for (int k = kLanes; k < kBlock; k += kLanes) count -= Load(entries + k) > rest;
    int s = block * kBlock + Sum(count);
#endif
    s += s == 0;  // x >= total: every count is at most x, and the answer is 1
    upper = Cumulative(s - 1);
    return s;
  }

 private:
  static constexpr int kLanes = 8;
  using Lanes = std::int16_t __attribute__((vector_size(16)));
  static Lanes Load(const std::int16_t* p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  static void Store(std::int16_t* p, Lanes v) { std::memcpy(p, &v, sizeof v); }
  static Lanes Splat(int v) {
    const auto w = static_cast<std::int16_t>(v);
    return Lanes{w, w, w, w, w, w, w, w};
  }
  static Lanes Iota(int from) {
    return Splat(from) + Lanes{0, 1, 2, 3, 4, 5, 6, 7};
  }
  // The lanes hold small non-negative numbers, so adding the two 64-bit
  // halves and then folding adds them all without carries between lanes.
  static int Sum(Lanes v) {
    std::uint64_t half[2];
    std::memcpy(half, &v, sizeof v);
    std::uint64_t t = half[0] + half[1];
    t += t >> 32;
    t += t >> 16;
    return static_cast<int>(t & 0xFFFF);
  }

#if defined(__SSE2__)
  // Two mask bits for each of the eight lanes at p that exceed v.
  static std::uint64_t Above(const std::int16_t* p, __m128i v) {
    const __m128i lanes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpgt_epi16(lanes, v)));
  }
  // The lanes in a run of mask bits from the lowest: its bits counted in
  // one instruction where there is one, else from its highest bit.
  template <bool kPopcount>
  static int LanesOf(std::uint64_t mask) {
#if defined(__x86_64__)
    if constexpr (kPopcount) {
      std::uint64_t bits;
      asm("popcnt %1, %0" : "=r"(bits) : "r"(mask));
      return static_cast<int>(bits >> 1);
    }
#endif
    return (64 - __builtin_clzll(mask | 1)) >> 1;
  }
#endif

  void RebuildCounts();
  void Halve();
};

// floor(a / t) for any 32-bit a and the model's totals t, as a
// multiplication: m = floor((2^64 - 1) / t) + 1 exceeds 2^64 / t by at most
// 1, so a m / 2^64 exceeds a / t by less than 2^-32, too little to reach the
// next integer (a / t is one, or at least 1 / t below one). The total is
// known a symbol ahead, so the division that makes m runs beside the chain
// of dependent steps from one symbol to the next, not in it. (A table of
// every m was no faster, and its pages cost more to touch, a fault each,
// than the divisions.)
inline std::uint64_t Reciprocal(std::uint32_t total) { return ~std::uint64_t{0} / total + 1; }

// floor(range * a / t) for the new bounds of an interval, a being a
// cumulative count: range * m is made whole first, while the count is still
// being found, so that each bound then waits for one multiplication. The
// product range * a * m is the same number in either order; range * a stays
// below 2^32 (range <= 2^17, a < 2^15), as the bound above needs.
class ScaledRange {
 public:
  ScaledRange(std::uint32_t range, std::uint64_t reciprocal) {
    const Wide product = static_cast<Wide>(range) * reciprocal;
    high_ = static_cast<std::uint64_t>(product >> 64);  // at most range
    low_ = static_cast<std::uint64_t>(product);
  }
  std::uint32_t Of(std::uint32_t a) const {
    return static_cast<std::uint32_t>(high_ * a + static_cast<std::uint64_t>((static_cast<Wide>(low_) * a) >> 64));
  }

 private:
  __extension__ using Wide = unsigned __int128;
  std::uint64_t high_, low_;
};

// Writes n bytes to a sink in one call.
template <typename Sink>
void PutBytes(Sink& out, const std::uint8_t* bytes, std::size_t n) {
  out.Write(bytes, n);  // every sink writes blocks; one without Write does not compile
}

// Fixed cumulative weights of the 4096 match positions; [0] is the total.
inline constexpr std::array<std::uint32_t, kRingSize + 1> kPositionCumulative = [] {
  std::array<std::uint32_t, kRingSize + 1> t{};
  t[kRingSize] = 0;
  for (int i = kRingSize; i >= 1; --i) t[i - 1] = t[i] + static_cast<std::uint32_t>(10000 / (i + 200));
  return t;
}();
// A constant, so that dividing by it compiles to a multiplication.
inline constexpr std::uint32_t kPositionTotal = kPositionCumulative[0];
static_assert(kPositionTotal == 28568);

}  // namespace ost::lzari
