#include "compress/BlockEncoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "common/JobInterfaces.h"
#include "compress/CompressionJob.h"

namespace ost {

namespace {

constexpr int kBlock = 256;

// Magnitude of a 16-bit value: -32768 counts as 32768.
inline std::uint32_t Magnitude(std::uint16_t v) {
  return (v & 0x8000) ? static_cast<std::uint16_t>(-v) : v;
}

inline void WriteWord(OutFile& out, std::uint16_t w) {
  out.Put(static_cast<std::uint8_t>(w >> 8));
  out.Put(static_cast<std::uint8_t>(w));
}

inline int SizeCode(int size) { return size == 32 ? 0 : size == 64 ? 4 : size == 128 ? 8 : 12; }

}  // namespace

void CBlockEncoder::ResetBlockEncoder() {
  lowerWord_ = 0;
  lowerFree_ = 16;
  higherWord_ = 0;
  higherFree_ = 16;
  lastPredictorFlag_ = 0;
  std::memset(low_, 0, sizeof low_);
  std::memset(high_, 0, sizeof high_);
  std::memset(sign_, 0, sizeof sign_);
}

void CBlockEncoder::ReadBlock(std::int16_t* samples, std::uint64_t offset, int n, InFile& stream) {
  stream.Seek(offset);
  for (int i = 0; i < n; ++i) {
    int lo = stream.Get();
    int hi = stream.Get();
    const unsigned b0 = lo == EOF ? 0xFF : static_cast<unsigned>(lo);
    const unsigned b1 = hi == EOF ? 0xFF : static_cast<unsigned>(hi);
    samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(b0 + 256 * b1));
  }
}

double CBlockEncoder::RunPredictor(const std::int16_t* x, int n, History& hist, const int* c,
                                   std::uint16_t* residuals) {
  double sum = 0.0;
  for (int i = 0; i < n; ++i) {
    const int p = hist.p;
    const unsigned pred = static_cast<unsigned>(c[0] * hist.h[p] + c[1] * hist.h[(p + 9) % 10] +
                                                c[2] * hist.h[(p + 8) % 10] + c[3] * hist.h[(p + 7) % 10] +
                                                c[4] * hist.h[(p + 6) % 10]);
    const std::uint16_t r = static_cast<std::uint16_t>(static_cast<unsigned>(x[i]) - pred);
    residuals[i] = r;
    hist.p = (p + 1) % 10;
    hist.h[hist.p] = x[i];
    const double m = Magnitude(r);
    sum += m * m;
  }
  return sum;
}

int CBlockEncoder::ChoosePredictor(int predictors, const std::int16_t* x, int n, History& hist,
                                   std::uint16_t* residuals) {
  double energy = 0.0;
  for (int i = 0; i < n; ++i) {
    const double m = Magnitude(static_cast<std::uint16_t>(x[i]));
    energy += m * m;
  }
  const History saved = hist;
  std::uint16_t trial[kBlock];
  int best = 0;
  double bestGain = 0.0;
  for (int t = 0; t < predictors; ++t) {
    hist = saved;
    const double s = RunPredictor(x, n, hist, kPredictorCoefficients[t], t == 0 ? residuals : trial);
    const double gain = 10.0 * std::log10(energy / s);
    if (t == 0) {
      bestGain = gain;
    } else if (gain > bestGain) {  // NaN never compares greater; ties keep the lower number
      best = t;
      bestGain = gain;
      std::memcpy(residuals, trial, sizeof(std::uint16_t) * static_cast<std::size_t>(n));
    }
  }
  return best;
}

int CBlockEncoder::EstimateShift(std::uint16_t* r, int n) {
  std::uint32_t total = 0;
  for (int i = 0; i < n; ++i) {
    if (r[i] & 0x8000) {
      const std::uint16_t magnitude = static_cast<std::uint16_t>(-r[i]);
      total += magnitude == 0 ? 0x8000u : magnitude;
      r[i] = static_cast<std::uint16_t>(0x8000 | (magnitude & 0x7FFF));
    } else {
      total += r[i];
    }
  }
  const std::uint32_t mean = total / static_cast<std::uint32_t>(n);
  if (mean == 0) return 0;
  return static_cast<int>(std::ceil(std::log2(std::log(2.0) * static_cast<double>(mean))));
}

int CBlockEncoder::RefineShift(int k0, const std::uint16_t* r, int n) {
  auto cost = [&](int k) {
    std::uint16_t c = 0;
    for (int i = 0; i < n; ++i) c = static_cast<std::uint16_t>(c + ((r[i] & 0x7FFF) >> k));
    return static_cast<std::uint16_t>(c + n * k);
  };
  int best = k0;
  std::uint16_t bestCost = cost(k0);
  if (k0 > 1) {
    const std::uint16_t c = cost(k0 - 1);
    if (c < bestCost) {
      best = k0 - 1;
      bestCost = c;
    }
  }
  if (k0 < 13 && cost(k0 + 1) < bestCost) best = k0 + 1;
  return k0 == 15 ? 14 : best;
}

void CBlockEncoder::SplitResidual(int k, std::uint16_t w, int i) {
  low_[i] = static_cast<std::uint16_t>(w & (0xFFFFu >> (16 - k)));
  high_[i] = static_cast<std::uint16_t>((w & 0x7FFF) >> k);
  sign_[i] = static_cast<std::uint16_t>(w >> 15);
}

void CBlockEncoder::WriteBlockHeader(int predictor, int k, int sizeCode, bool last, OutFile& stream) {
  static constexpr int kPredictorCode[8] = {3, 0, 1, 2, 3, 0, 1, 2};
  const int byte = ((k * 16) & 0xFF) | sizeCode | (last ? 12 : 0) | kPredictorCode[predictor];
  stream.Put(static_cast<std::uint8_t>(byte));
}

void CBlockEncoder::PackLowerBits(int k, int n, OutFile& stream) {
  for (int i = 0; i < n; ++i) {
    const unsigned v = low_[i];
    if (lowerFree_ == k) {
      lowerWord_ = static_cast<std::uint16_t>(lowerWord_ | v);
      WriteWord(stream, lowerWord_);
      lowerWord_ = 0;
      lowerFree_ = 16;
    } else if (lowerFree_ > k) {
      lowerWord_ = static_cast<std::uint16_t>(lowerWord_ | (v << (lowerFree_ - k)));
      lowerFree_ -= k;
    } else {
      lowerWord_ = static_cast<std::uint16_t>(lowerWord_ | (v >> (k - lowerFree_)));
      WriteWord(stream, lowerWord_);
      lowerWord_ = static_cast<std::uint16_t>(v << (16 - (k - lowerFree_)));
      lowerFree_ = 16 - (k - lowerFree_);
    }
  }
}

void CBlockEncoder::PackHigherBits(int n, OutFile& stream) {
  for (int i = 0; i < n; ++i) {
    const int h = high_[i];
    if (higherFree_ == h + 1) {
      higherWord_ = static_cast<std::uint16_t>(higherWord_ | 1u);
      WriteWord(stream, higherWord_);
      higherWord_ = 0;
      higherFree_ = 16;
    } else if (higherFree_ > h + 1) {
      higherWord_ = static_cast<std::uint16_t>(higherWord_ | (1u << (higherFree_ - h - 1)));
      higherFree_ -= h + 1;
    } else {
      const int d = h - higherFree_;
      WriteWord(stream, higherWord_);  // its free bits are zeros of the code
      for (int z = 0; z < d / 16; ++z) WriteWord(stream, 0);
      higherWord_ = static_cast<std::uint16_t>(1u << (15 - d % 16));
      higherFree_ = 15 - d % 16;  // a full word (0 free) is written when the next code begins
    }
  }
}

void CBlockEncoder::PackSignBits(int n, OutFile& stream) {
  for (int m = 0; m < (n + 7) / 8; ++m) {
    unsigned byte = 0;
    for (int j = 0; j < 8; ++j) byte |= static_cast<unsigned>(sign_[8 * m + j] & 1) << (7 - j);
    stream.Put(static_cast<std::uint8_t>(byte));
  }
}

void CBlockEncoder::CodeSubBlock(int predictors, const std::int16_t* x, int n, int sizeCode, bool last,
                                 BlockStreams out, History& hist) {
  std::uint16_t r[kBlock];
  const int t = ChoosePredictor(predictors, x, n, hist, r);
  lastPredictorFlag_ = t >= 4 ? 1 : 0;
  out.flags.Put(lastPredictorFlag_);
  bool allZero = true;
  for (int i = 0; i < n; ++i) allZero = allZero && r[i] == 0;
  if (allZero) {
    WriteBlockHeader(t, 15, sizeCode, last, out.header);
    if (last) out.header.Put(static_cast<std::uint8_t>(n - 1));
    return;
  }
  const int k = RefineShift(EstimateShift(r, n), r, n);
  for (int i = 0; i < n; ++i) SplitResidual(k, r[i], i);
  WriteBlockHeader(t, k, sizeCode, last, out.header);
  if (last) out.header.Put(static_cast<std::uint8_t>(n - 1));
  if (k != 0) PackLowerBits(k, n, out.lower);
  PackSignBits(n, out.sign);
  PackHigherBits(n, out.higher);
}

std::uint32_t CBlockEncoder::EstimateBlockCost(int predictors, int size, const std::int16_t* block, History& hist) {
  std::uint32_t shiftBits = 0;
  std::uint32_t unary = 0;
  for (int j = 0; j < kBlock / size; ++j) {
    std::uint16_t r[kBlock];
    ChoosePredictor(predictors, block + j * size, size, hist, r);
    bool allZero = true;
    for (int i = 0; i < size; ++i) allZero = allZero && r[i] == 0;
    if (allZero) continue;
    const int k = RefineShift(EstimateShift(r, size), r, size);
    shiftBits += static_cast<std::uint32_t>(k * size);
    for (int i = 0; i < size; ++i) unary += static_cast<std::uint32_t>((r[i] & 0x7FFF) >> k);
  }
  return unary + shiftBits + 8u * static_cast<std::uint32_t>(kBlock / size);
}

void CBlockEncoder::EncodeBlock(int predictors, int size, const std::int16_t* block, bool last, BlockStreams out,
                                History& hist) {
  std::memset(sign_, 0, sizeof sign_);
  const int count = kBlock / size;
  for (int j = 0; j < count; ++j)
    CodeSubBlock(predictors, block + j * size, size, SizeCode(size), last && j == count - 1, out, hist);
}

void CBlockEncoder::EmitPendingWords(BlockStreams out) {
  if (lowerFree_ < 16) WriteWord(out.lower, lowerWord_);
  if (higherFree_ < 16) WriteWord(out.higher, higherWord_);
  lowerWord_ = higherWord_ = 0;
  lowerFree_ = higherFree_ = 16;
}

bool CBlockEncoder::EncodeLevel(InFile& in, BlockStreams out, JobProgress& progress, int predictors,
                                bool searchSize) {
  History hist;
  const std::uint64_t length = in.Size();
  const std::uint64_t blocks = length / 512;
  const int rem = static_cast<int>(length % 512);
  progress.Begin(kCompressingText, blocks);
  in.Rewind();
  std::int16_t block[kBlock];
  for (std::uint64_t i = 0; i < blocks; ++i) {
    progress.Step();
    if (progress.IsCancelled()) {
      progress.End();
      return false;
    }
    ReadBlock(block, 512 * i, kBlock, in);
    const bool last = i == blocks - 1 && rem == 0;
    int size = kBlock;
    if (searchSize) {
      const History saved = hist;
      size = 32;
      std::uint32_t bestCost = EstimateBlockCost(predictors, 32, block, hist);
      hist = saved;
      for (int s : {64, 128, 256}) {
        const std::uint32_t c = EstimateBlockCost(predictors, s, block, hist);
        hist = saved;
        if (c < bestCost) {
          size = s;
          bestCost = c;
        }
      }
    }
    EncodeBlock(predictors, size, block, last, out, hist);
  }
  if (rem == 0) {
    EmitPendingWords(out);
    out.flags.Put(lastPredictorFlag_);
  } else {
    const int n = (rem + 1) / 2;
    ReadBlock(block, 512 * blocks, n, in);
    std::memset(sign_, 0, sizeof sign_);
    CodeSubBlock(predictors, block, n, SizeCode(256), true, out, hist);
    EmitPendingWords(out);
  }
  progress.End();
  return true;
}

bool CBlockEncoder::EncodeFastest(InFile& in, BlockStreams out, JobProgress& progress) {
  return EncodeLevel(in, out, progress, 4, false);
}
bool CBlockEncoder::EncodeFast(InFile& in, BlockStreams out, JobProgress& progress) {
  return EncodeLevel(in, out, progress, 8, false);
}
bool CBlockEncoder::EncodeNormal(InFile& in, BlockStreams out, JobProgress& progress) {
  return EncodeLevel(in, out, progress, 4, true);
}
bool CBlockEncoder::EncodeMaximum(InFile& in, BlockStreams out, JobProgress& progress) {
  return EncodeLevel(in, out, progress, 8, true);
}

}  // namespace ost
