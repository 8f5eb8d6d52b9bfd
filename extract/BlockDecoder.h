// Block decoder: rebuilds the residual signal from the five block streams.
// Each sub-block carries a header byte and a predictor flag and, unless it
// is silent (k = 15), a sign bit, k low bits and a unary high part per
// sample; the decoder adds the fixed polynomial prediction from the last
// five output samples. Because archives are untrusted, the streams are
// first checked against each other (ScanLayout) and every read is bounded.
#pragma once

#include <cstdint>

#include "common/ByteReader.h"
#include "common/Contract.h"
#include "common/FileIO.h"

namespace ost {

class JobProgress;

// What the header and predictor-flag streams say the other streams hold.
struct BlockLayout {
  std::uint64_t subBlocks = 0;
  std::uint64_t samples = 0;
  std::uint64_t signBytes = 0;
  std::uint64_t lowerBits = 0;
};

// Reads the whole header and flag streams and checks that they describe
// sub-blocks the compressor can write (sizes tiling whole blocks, flags 0 or
// 1, predictors of the archive's set, the flag stream's exact length).
// Throws Error(Damaged) otherwise.
BlockLayout ScanLayout(InFile& header, InFile& flags, bool eightPredictors);

// Where decoded residual bytes go: a file, or a hand-over to the synthesis.
class ResidualSink {
 public:
  virtual ~ResidualSink() = default;
  virtual void Write(const std::uint8_t* data, std::size_t count) = 0;
};

class CBlockDecoder {
 public:
  void ResetBlockDecoder();

  // Decodes every sub-block of the streams into `out` (16-bit little-endian
  // samples); one progress unit per sub-block but the last. Returns false
  // when cancelled. Throws Error(Damaged) when a stream runs short, holds
  // more than the sub-blocks use, or carries bits the compressor does not
  // write. The sign and high-part streams are read to their ends.
  bool DecodeAll(InFile& header, InFile& flags, ByteReader& sign, InFile& lower, ByteReader& higher,
                 ResidualSink& out, const BlockLayout& layout, JobProgress& progress);
  bool DecodeAll(InFile& header, InFile& flags, InFile& sign, InFile& lower, InFile& higher, ResidualSink& out,
                 const BlockLayout& layout, JobProgress& progress);
  bool DecodeAll(InFile& header, InFile& flags, InFile& sign, InFile& lower, InFile& higher, OutFile& out,
                 const BlockLayout& layout, JobProgress& progress);

  // The steps of one sub-block, exposed for tests.
  void DecodeBlockHeader(int headerByte, int flagByte);
  void SetLength(int count) {
    OST_EXPECTS(count >= 1 && count <= 256);
    length_ = count;
  }
  void ReadSigns(ByteReader& stream, int count);
  void ReadLowerBits(InFile& stream, int count, int k);
  void ReadHigherBits(ByteReader& stream, int count);
  void ReconstructBlock(ResidualSink& out);
  void ReconstructBlock(OutFile& out);
  void ClearParts();

  // Bytes of the high-part stream that hold bits used so far.
  std::uint64_t HigherBytesUsed() const { return higherBytesRead_; }
  // After the last sub-block: the sign stream must be at its end, and the
  // high-part stream must end in the word that holds its last used bit.
  void CheckStreamEnds(ByteReader& sign, ByteReader& higher);

  int shift() const { return k_; }
  int predictor() const { return predictor_; }
  int length() const { return length_; }
  void SetHistory(const std::int16_t (&x)[5]);  // x[0] the most recent
  // Direct access for tests of the reconstruction.
  std::uint16_t signs[256] = {};
  std::uint16_t highParts[256 + 8] = {};  // 8 more for the reader's last whole lanes
  std::uint16_t lowParts[256] = {};

 private:
  int length_ = 0;
  int k_ = 0;
  int predictor_ = 0;
  int c_[5] = {};
  std::int16_t x_[5] = {};  // x_[0] = x1, the most recent output
  // Low-bits reader: the bits of the last byte read that are not used yet
  // (fewer than 8), at the low end.
  std::uint64_t lowerWindow_ = 0;
  int lowerBitsHeld_ = 0;
  // High-part reader: the byte in use and how many of its bits (first bit
  // highest) are used; 8 when none is in use.
  std::uint8_t higherByte_ = 0;
  int higherUsed_ = 8;
  std::uint64_t higherBytesRead_ = 0;
};

}  // namespace ost
