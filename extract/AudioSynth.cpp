#include "extract/AudioSynth.h"

#include <algorithm>
#include <vector>

#include "common/FileIO.h"
#include "common/VectorClones.h"
#if defined(OST_AVX_PATHS)
#include <immintrin.h>
#endif
#include "format/ArchiveFormat.h"
#include "format/Prediction.h"
#include "format/Quantiser.h"

namespace ost {

namespace {

constexpr int kHistory = 10;

// Reads the analysis stream: fields least significant bit first, bytes
// fetched as needed; bytes missing at the end read as 0.
class LsbBitReader {
 public:
  explicit LsbBitReader(InFile& in) : in_(in) {}
  unsigned Get(int bits) {
    unsigned v = 0;
    for (int b = 0; b < bits; ++b) {
      if (held_ == 0) {
        const int c = in_.Get();
        byte_ = c == EOF ? 0u : static_cast<unsigned>(c);
        held_ = 8;
      }
      v |= (byte_ & 1u) << b;
      byte_ >>= 1;
      --held_;
    }
    return v;
  }

 private:
  InFile& in_;
  unsigned byte_ = 0;
  int held_ = 0;
};

struct FrameParameters {
  float a1[3], a2[3], a3[11];
};

FrameParameters ReadRecord(LsbBitReader& bits) {
  int indices[14];
  for (int i = 0; i < 14; ++i) indices[i] = static_cast<int>(bits.Get(kIndexBits[i]));
  FrameParameters p;
  float q[11];
  auto dequantise = [&](const int* idx, int order, float* a) {
    for (int i = 1; i <= order; ++i) q[i] = QuantiserFor(i).value[idx[i - 1]];
    LarToCoefficients(q, order, a);
  };
  dequantise(indices, 2, p.a1);
  dequantise(indices + 2, 2, p.a2);
  dequantise(indices + 4, 10, p.a3);
  return p;
}

// One synthesis stage's recursion over a frame: y[i] = e[i] + the prediction
// from y[i-1] .. y[i-Order], modulo 65536 (y[-1] .. y[-Order] hold the
// memory). With an exact predictor the sum of the older terms (Ahead) does
// not wait for y[i-1], which is carried in a register: a sample waits for one
// multiply, one add, the shift and the residual add. Otherwise the
// prescribed sum, unchanged.
template <int Order, bool Exact>
class Recursion {
 public:
  Recursion(const Predictor& p, std::int16_t* y) : p_(p), y_(y), last_(y[-1]) {}
  std::int16_t Next(int i, std::int16_t e) {
    std::int32_t t;
    if constexpr (Exact)
      t = p_.Finish(p_.template Ahead<Order>(y_ + i), last_);
    else
      t = PredictionSum<Order>(y_ + i, p_.a);
    last_ = static_cast<std::int16_t>(
        static_cast<std::uint16_t>(static_cast<std::uint32_t>(t) + static_cast<std::uint32_t>(e)));
    y_[i] = last_;
    return last_;
  }

 private:
  const Predictor& p_;
  std::int16_t* y_;
  std::int16_t last_;
};

// The three stages over c samples, order 10 first, sample by sample, so that
// the three recursions' chains overlap.
template <bool Exact3, bool Exact2, bool Exact1>
void RunStages(const Predictor& p3, const Predictor& p2, const Predictor& p1, const std::int16_t* e, int c,
               std::int16_t* y2, std::int16_t* y1, std::int16_t* x) {
  Recursion<10, Exact3> s3(p3, y2);
  Recursion<2, Exact2> s2(p2, y1);
  Recursion<2, Exact1> s1(p1, x);
  for (int i = 0; i < c; ++i) s1.Next(i, s2.Next(i, s3.Next(i, e[i])));
}

#if defined(OST_AVX_PATHS)
// The same three stages with an exact order-10 predictor, its terms j = 3 ..
// 10 kept off the integer multiplier: as each output y[i] is known, its
// products with c[3..10] join the pending sums of samples i+3 .. i+10, eight
// double lanes (every pending sum is a part of an exact fixed-point sum, an
// integer below 2^53, so no addition rounds and the order does not matter).
// Lane 0 is then complete and converts exactly to int64; it is used three
// samples later. The integer chain keeps the terms j = 1 and 2.
template <bool Exact2, bool Exact1>
__attribute__((target("avx2"))) void RunStagesAvx2(const Predictor& p3, const Predictor& p2, const Predictor& p1,
                                                    const std::int16_t* e, int c, std::int16_t* y2, std::int16_t* y1,
                                                    std::int16_t* x) {
  // The terms j >= 3 that fall on the memory: all of samples 0..2, some of 3..10.
  std::int64_t far[11] = {};
  for (int m = 0; m <= 10; ++m)
    for (int j = 3; j <= 10; ++j)
      if (m - j < 0) far[m] += p3.c[j] * y2[m - j];
  std::int64_t f0 = far[0], f1 = far[1], f2 = far[2];  // of samples i, i+1, i+2
  __m256d lo = _mm256_set_pd(static_cast<double>(far[6]), static_cast<double>(far[5]), static_cast<double>(far[4]),
                             static_cast<double>(far[3]));
  __m256d hi = _mm256_set_pd(static_cast<double>(far[10]), static_cast<double>(far[9]), static_cast<double>(far[8]),
                             static_cast<double>(far[7]));
  const __m256d clo = _mm256_set_pd(static_cast<double>(p3.c[6]), static_cast<double>(p3.c[5]),
                                    static_cast<double>(p3.c[4]), static_cast<double>(p3.c[3]));
  const __m256d chi = _mm256_set_pd(static_cast<double>(p3.c[10]), static_cast<double>(p3.c[9]),
                                    static_cast<double>(p3.c[8]), static_cast<double>(p3.c[7]));
  const __m256d zero = _mm256_setzero_pd();
  const std::int64_t c2 = p3.c[2];
  std::int16_t last = y2[-1], before = y2[-2];
  Recursion<2, Exact2> s2(p2, y1);
  Recursion<2, Exact1> s1(p1, x);
  for (int i = 0; i < c; ++i) {
    const std::int32_t t = p3.Finish(f0 + c2 * before, last);
    const auto y = static_cast<std::int16_t>(
        static_cast<std::uint16_t>(static_cast<std::uint32_t>(t) + static_cast<std::uint32_t>(e[i])));
    y2[i] = y;
    before = last;
    last = y;
    const __m256d v = _mm256_set1_pd(static_cast<double>(y));
    lo = _mm256_add_pd(lo, _mm256_mul_pd(v, clo));
    hi = _mm256_add_pd(hi, _mm256_mul_pd(v, chi));
    f0 = f1;
    f1 = f2;
    f2 = _mm_cvttsd_si64(_mm256_castpd256_pd128(lo));
    // On by one sample: lanes (3..6 | 7..10) become (4..7 | 8..10, nothing).
    lo = _mm256_shuffle_pd(lo, _mm256_permute2f128_pd(lo, hi, 0x21), 0b0101);
    hi = _mm256_shuffle_pd(hi, _mm256_permute2f128_pd(hi, zero, 0x21), 0b0101);
    s1.Next(i, s2.Next(i, y));
  }
}
#endif

}  // namespace

void CAudioSynth::SynthesisFilter(const std::int16_t* e, int length, const float* a, int order, std::int16_t* out) {
  const Predictor p = MakePredictor(a, order);
  auto run = [&](auto recursion) {
    for (int i = 0; i < length; ++i) recursion.Next(i, e[i]);
  };
  if (order == 2)
    p.exact ? run(Recursion<2, true>(p, out)) : run(Recursion<2, false>(p, out));
  else
    p.exact ? run(Recursion<10, true>(p, out)) : run(Recursion<10, false>(p, out));
}

void CAudioSynth::SynthesizeFrame(const float* a3, const float* a2, const float* a1, const std::int16_t* e, int c,
                                  std::int16_t* y2, std::int16_t* y1, std::int16_t* x) {
  const Predictor p3 = MakePredictor(a3, 10), p2 = MakePredictor(a2, 2), p1 = MakePredictor(a1, 2);
  using Run = void (*)(const Predictor&, const Predictor&, const Predictor&, const std::int16_t*, int, std::int16_t*,
                       std::int16_t*, std::int16_t*);
  static constexpr Run kRuns[8] = {
      RunStages<false, false, false>, RunStages<false, false, true>, RunStages<false, true, false>,
      RunStages<false, true, true>,   RunStages<true, false, false>, RunStages<true, false, true>,
      RunStages<true, true, false>,   RunStages<true, true, true>,
  };
#if defined(OST_AVX_PATHS)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2 && p3.exact) {
    static constexpr Run kAvx2Runs[4] = {RunStagesAvx2<false, false>, RunStagesAvx2<false, true>,
                                         RunStagesAvx2<true, false>, RunStagesAvx2<true, true>};
    kAvx2Runs[(p2.exact ? 2 : 0) | (p1.exact ? 1 : 0)](p3, p2, p1, e, c, y2, y1, x);
    return;
  }
#endif
  kRuns[(p3.exact ? 4 : 0) | (p2.exact ? 2 : 0) | (p1.exact ? 1 : 0)](p3, p2, p1, e, c, y2, y1, x);
}

void CAudioSynth::Synthesize(std::uint8_t waveHeader, ResidualSource& in, SampleSink& output, InFile& params) {
  const int n = FrameLength(waveHeader != 0);
  LsbBitReader bits(params);

  // Each stage's output with its memory (its last outputs) in front.
  std::vector<std::int16_t> residual(n), y2(kHistory + n, 0), y1(kHistory + n, 0), x(kHistory + n, 0);
  std::vector<std::uint8_t> raw(2 * static_cast<std::size_t>(n));

  FrameParameters frame = ReadRecord(bits);
  for (;;) {
    const int c = static_cast<int>(in.ReadSamples(residual.data(), static_cast<std::size_t>(n)));
    if (c == 0) break;
    SynthesizeFrame(frame.a3, frame.a2, frame.a1, residual.data(), c, y2.data() + kHistory, y1.data() + kHistory,
                    x.data() + kHistory);
    for (int i = 0; i < c; ++i) {
      const auto v = static_cast<std::uint16_t>(x[kHistory + i]);
      raw[2 * i] = static_cast<std::uint8_t>(v);
      raw[2 * i + 1] = static_cast<std::uint8_t>(v >> 8);
    }
    output.Write(raw.data(), 2 * static_cast<std::size_t>(c));
    if (c < n) break;
    for (auto* buf : {&y2, &y1, &x}) std::copy(buf->end() - kHistory, buf->end(), buf->begin());
    frame = ReadRecord(bits);
  }
}

}  // namespace ost
