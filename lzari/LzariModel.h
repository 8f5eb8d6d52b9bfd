// The parts of the LZARI coder that encoder and decoder share: the constants,
// the adaptive model of the 314-symbol alphabet (bytes and match lengths),
// and the fixed distribution of match positions.
#pragma once

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
struct SymbolModel {
  int symbolOfByte[kSymbols];
  int byteOfSymbol[kSymbols + 1];
  std::uint32_t frequency[kSymbols + 1];
  std::uint32_t cumulative[kSymbols + 1];  // [i] = sum of frequency[i+1..314]

  void InitModel();
  void AdaptModel(int symbol);
};

// Fixed cumulative weights of the 4096 match positions; [0] is the total.
const std::uint32_t* PositionCumulative();

}  // namespace ost::lzari
