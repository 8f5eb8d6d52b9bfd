// The header byte of a sub-block, one table for both directions: the shift
// k in bits 4..7, the size code in bits 2..3 (32, 64, 128 or 256 samples),
// the predictor's code in bits 0..1; the flag stream's byte for the
// sub-block tells predictors 4..7 from 0..3.
#pragma once

#include <cstdint>

namespace ost {

inline constexpr int kSubBlockSizes[4] = {32, 64, 128, 256};
inline constexpr int kPredictorCode[8] = {3, 0, 1, 2, 3, 0, 1, 2};
inline constexpr int kPredictorOfCode[4] = {1, 2, 3, 0};

// The size code of a sub-block of `size` samples, in its place (bits 2..3).
inline int SizeCode(int size) { return size == 32 ? 0 : size == 64 ? 4 : size == 128 ? 8 : 12; }

// `last` marks the stream's final, shorter sub-block (size code 3; its
// length follows in the next byte).
inline std::uint8_t HeaderByte(int predictor, int k, int sizeCode, bool last) {
  return static_cast<std::uint8_t>(((k * 16) & 0xFF) | sizeCode | (last ? 12 : 0) | kPredictorCode[predictor]);
}

inline int ShiftOf(int headerByte) { return (headerByte >> 4) & 15; }
inline int SizeOf(int headerByte) { return kSubBlockSizes[(headerByte >> 2) & 3]; }
inline int PredictorOf(int headerByte, int flagByte) { return kPredictorOfCode[headerByte & 3] + (flagByte != 0 ? 4 : 0); }

}  // namespace ost
