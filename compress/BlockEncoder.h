// Block encoder: cuts the residual into blocks of 256 samples and sub-blocks,
// chooses a fixed polynomial predictor and a shift k per sub-block, and
// splits each prediction error into a sign bit, k low bits and a unary high
// part, written to five streams: header bytes, predictor flags, low bits,
// high parts and sign bits.
#pragma once

#include <cstdint>

#include "common/FileIO.h"

namespace ost {

class JobProgress;

// The five output streams of the block encoder.
struct BlockStreams {
  OutFile& lower;
  OutFile& sign;
  OutFile& higher;
  OutFile& header;
  OutFile& flags;  // one byte per sub-block: 1 for predictors 4..7
};

// Prediction coefficients c1..c5 of the eight fixed predictors.
inline constexpr int kPredictorCoefficients[8][5] = {
    {0, 0, 0, 0, 0}, {1, 0, 0, 0, 0},    {2, -1, 0, 0, 0}, {3, -3, 1, 0, 0},
    {5, -10, 10, -5, 1}, {2, -2, 1, 0, 0}, {4, -6, 4, -1, 0}, {1, -1, 1, 0, 0},
};

class CBlockEncoder {
 public:
  // Sets the bit writers, history position and last predictor flag to their
  // starting values. Call before a level encoder.
  void ResetBlockEncoder();

  // The four level encoders. Each reads the whole residual file `in` and
  // writes the five streams; progress counts one unit per full block. They
  // return false when the user cancelled (nothing more is written then).
  bool EncodeFastest(InFile& in, BlockStreams out, JobProgress& progress);
  bool EncodeFast(InFile& in, BlockStreams out, JobProgress& progress);
  bool EncodeNormal(InFile& in, BlockStreams out, JobProgress& progress);
  bool EncodeMaximum(InFile& in, BlockStreams out, JobProgress& progress);

  // Reads n samples at a byte offset; bytes past the end of the file count as 0xFF.
  static void ReadBlock(std::int16_t* samples, std::uint64_t offset, int n, InFile& stream);

  // Sign-magnitude and shift helpers, exposed for tests.
  static int EstimateShift(std::uint16_t* residuals, int n);
  static int RefineShift(int k0, const std::uint16_t* residuals, int n);

 private:
  struct History {
    std::int16_t h[10] = {};
    int p = 0;
  };

  bool EncodeLevel(InFile& in, BlockStreams out, JobProgress& progress, int predictors, bool searchSize);
  int ChoosePredictor(int predictors, const std::int16_t* x, int n, History& history, std::uint16_t* residuals);
  static double RunPredictor(const std::int16_t* x, int n, History& history, const int* c, std::uint16_t* residuals);
  std::uint32_t EstimateBlockCost(int predictors, int size, const std::int16_t* block, History& history);
  void EncodeBlock(int predictors, int size, const std::int16_t* block, bool last, BlockStreams out, History& history);
  void CodeSubBlock(int predictors, const std::int16_t* x, int n, int sizeCode, bool last, BlockStreams out,
                    History& history);
  void SplitResidual(int k, std::uint16_t w, int i);
  static void WriteBlockHeader(int predictor, int k, int sizeCode, bool last, OutFile& stream);
  void PackLowerBits(int k, int n, OutFile& stream);
  void PackSignBits(int n, OutFile& stream);
  void PackHigherBits(int n, OutFile& stream);
  void EmitPendingWords(BlockStreams out);

  std::uint16_t lowerWord_ = 0;
  int lowerFree_ = 16;
  std::uint16_t higherWord_ = 0;
  int higherFree_ = 16;
  std::uint8_t lastPredictorFlag_ = 0;
  std::uint16_t low_[512] = {};
  std::uint16_t high_[512] = {};
  std::uint16_t sign_[512] = {};
};

}  // namespace ost
