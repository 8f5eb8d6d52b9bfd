// The synthesis with an exact order-10 stage on AVX2. WATCHOUT: the
// function carries the target attribute instead of the file being built
// with -mavx2: the predictor's and the recursion's inline functions, which
// the rest of the core also instantiates, must stay compiled for every
// processor.
#include "common/VectorClones.h"

#if defined(OST_AVX_PATHS)
#include <immintrin.h>

#include "extract/Recursion.h"
#include "extract/SynthesisStages.h"

namespace ost::synthesis {

namespace {

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
}  // namespace

// Only the runs with an exact order-10 stage differ from the portable ones.
const Path kAvx2{"avx2",
                 {nullptr, nullptr, nullptr, nullptr, RunStagesAvx2<false, false>, RunStagesAvx2<false, true>,
                  RunStagesAvx2<true, false>, RunStagesAvx2<true, true>}};

}  // namespace ost::synthesis

#endif
