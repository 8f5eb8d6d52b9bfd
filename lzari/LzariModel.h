// The parts of the LZARI coder that encoder and decoder share: the constants,
// the adaptive model of the 314-symbol alphabet (bytes and match lengths),
// and the fixed distribution of match positions.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
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
// The cumulative counts (cumulative(i) = sum of frequency[i+1..314]) live in
// a binary indexed tree, so that counting one more symbol costs O(log n)
// instead of touching every lower entry.
struct SymbolModel {
  static constexpr int kTreeBits = 9;
  static constexpr int kTreeSize = 1 << kTreeBits;  // above kSymbols; the padding holds zeros

  int symbolOfByte[kSymbols];
  int byteOfSymbol[kSymbols + 1];
  std::uint32_t frequency[kSymbols + 1];  // [0] is a sentinel held at 0
  std::uint32_t tree[kTreeSize + 1];      // [j] = sum of frequency over (j - lowbit(j), j]; [kTreeSize] is scratch
  std::uint32_t total;                    // cumulative(0)
  // For every frequency some symbol has, the lowest symbol with it: the
  // start of that run of equal frequencies. Frequencies stay below 32768.
  std::uint16_t firstOfFrequency[kFrequencyLimit + 1];

  void InitModel();
  void AdaptModel(int symbol);

  // cumulative(i) for 0 <= i <= kSymbols.
  std::uint32_t Cumulative(int i) const {
    // frequency[1..i]; a fixed number of steps (tree[0] is 0) rather than a
    // loop whose varying length the branch predictor keeps missing.
    std::uint32_t below = 0;
    for (int k = 0; k < kTreeBits; ++k) {
      below += tree[i];
      i &= i - 1;
    }
    return total - below;
  }

  // The first symbol s in [1, kSymbols] with cumulative(s) <= x, and
  // cumulative(s - 1) in `upper`; cumulative(s) is upper - frequency[s].
  int Find(std::uint32_t x, std::uint32_t& upper) const {
    // Looks for the first s whose frequency[1..s] reaches total - x.
    int remaining = x >= total ? 0 : static_cast<int>(total - x);
    const int target = remaining;
    int pos = 0;
    for (int step = kTreeSize / 2; step > 0; step >>= 1) {
      const int next = static_cast<int>(tree[pos + step]);
      const bool below = next < remaining;
      pos += below ? step : 0;
      remaining -= below ? next : 0;
    }
    upper = total - static_cast<std::uint32_t>(target - remaining);
    return pos + 1;
  }

 private:
  void RebuildTree();
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
