// The parts of the LZARI coder that encoder and decoder share: the constants,
// the adaptive model of the 314-symbol alphabet (bytes and match lengths),
// and the fixed distribution of match positions.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

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
// Counting one more symbol then adds 1 to at most 20 block entries and 15
// entries within a block, in loops of fixed length the compiler turns into
// a few vector additions, instead of touching every lower entry.
struct SymbolModel {
  static constexpr int kBlockBits = 4;
  static constexpr int kBlock = 1 << kBlockBits;
  static constexpr int kBlocks = (kSymbols + kBlock) / kBlock;  // 20, symbols 0..319

  int symbolOfByte[kSymbols];
  int byteOfSymbol[kSymbols + 1];
  std::uint32_t frequency[kSymbols + 2];  // [0] is a sentinel held at 0; [315] stays 0
  std::uint32_t total;                    // cumulative(0)
  alignas(64) std::int32_t afterBlock[kBlocks];       // frequencies of the blocks after block b
  alignas(64) std::int32_t inBlock[kBlocks * kBlock];  // frequencies after i within its block
  // For every frequency some symbol has, the lowest symbol with it: the
  // start of that run of equal frequencies. Frequencies stay below 32768.
  std::uint16_t firstOfFrequency[kFrequencyLimit + 1];

  void InitModel();
  void AdaptModel(int symbol);

  // cumulative(i) for 0 <= i <= kSymbols.
  std::uint32_t Cumulative(int i) const {
    return static_cast<std::uint32_t>(afterBlock[i >> kBlockBits] + inBlock[i]);
  }

  // The first symbol s in [1, kSymbols] with cumulative(s) <= x, and
  // cumulative(s - 1) in `upper`; cumulative(s) is upper - frequency[s].
  int Find(std::uint32_t x, std::uint32_t& upper) const {
    // Counts are below 2^15, so a larger x compares like 2^15.
    const std::int32_t y = static_cast<std::int32_t>(x < 0x8000 ? x : 0x8000);
    // cumulative() never increases, and the last entry of block b is
    // afterBlock[b]: the blocks before s's are those whose last entry
    // exceeds y, and so are the entries before s within it.
    const Lanes ys = {y, y, y, y};
    // A comparison gives -1 in every lane where it holds.
    Lanes count = Lanes{} - (Load(afterBlock) > ys);
    for (int b = 4; b < kBlocks; b += 4) count -= Load(afterBlock + b) > ys;
    const int block = Sum(count);
    const std::int32_t rest = y - afterBlock[block];
    const Lanes rests = {rest, rest, rest, rest};
    const std::int32_t* entries = inBlock + block * kBlock;
    count = Lanes{} - (Load(entries) > rests);
    for (int k = 4; k < kBlock; k += 4) count -= Load(entries + k) > rests;
    int s = block * kBlock + Sum(count);
    s += s == 0;  // x >= total: every count is at most x, and the answer is 1
    upper = Cumulative(s - 1);
    return s;
  }

 private:
  // Four counts at a time, in the compiler's generic vectors.
  using Lanes = std::int32_t __attribute__((vector_size(16)));
  static Lanes Load(const std::int32_t* p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  static void Store(std::int32_t* p, Lanes v) { std::memcpy(p, &v, sizeof v); }
  // The lanes hold small non-negative numbers, so two 64-bit halves add
  // them in pairs without carries between lanes.
  static int Sum(Lanes v) {
    std::uint64_t half[2];
    std::memcpy(half, &v, sizeof v);
    const std::uint64_t pairs = half[0] + half[1];
    return static_cast<int>((pairs + (pairs >> 32)) & 0xFFFFFFFFu);
  }

  void RebuildCounts();
};

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
