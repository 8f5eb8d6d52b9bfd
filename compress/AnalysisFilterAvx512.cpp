// The order-10 analysis filter on AVX-512. WATCHOUT: the function carries
// the target attribute instead of the file being built with -mavx512f: the
// prediction's inline sum, which the rest of the core also instantiates,
// must stay compiled for every processor.
#include "compress/AnalysisFilter.h"

#if defined(OST_AVX_PATHS)
#include <immintrin.h>

#include <algorithm>
#include <cstdlib>

#include "format/Prediction.h"

namespace ost::analysis_filter {

namespace {

// The samples from `i` on that fill no vector, by the prescribed sum,
// compiled for every processor like the rest of the core's.
void PrescribedTail(const std::int16_t* in, const double* x, int i, int length, const float* a, std::int16_t* out) {
  for (; i < length; ++i) {
    const std::int32_t residual = static_cast<std::int32_t>(in[i]) - PredictionSum<10>(x + i, a);
    out[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(residual));
  }
}

// Eight predictions to a vector: the products x[i-j] * a[j] and their sum
// in double precision, j = 1 .. 10 in that order, no fused multiply-add;
// the truncating conversion and the 16-bit wrap of the residual are those
// of the scalar code. The last samples take the scalar sum.
__attribute__((target("avx512f,avx512vl"))) void Avx512Order10(const std::int16_t* in, const double* x, int length,
                                                               const float* a, std::int16_t* out) {
  __m512d c[11];
  for (int j = 1; j <= 10; ++j) c[j] = _mm512_set1_pd(static_cast<double>(a[j]));
  int i = 0;
  for (; i + 8 <= length; i += 8) {
    __m512d sum = _mm512_mul_pd(_mm512_loadu_pd(x + i - 1), c[1]);
    for (int j = 2; j <= 10; ++j) sum = _mm512_add_pd(sum, _mm512_mul_pd(_mm512_loadu_pd(x + i - j), c[j]));
    // The masked form: the plain one leaves lanes that GCC 12 reads as
    // uninitialised.
    const __m256i prediction = _mm512_maskz_cvttpd_epi32(0xFF, sum);
    const __m256i samples = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                     _mm256_cvtepi32_epi16(_mm256_sub_epi32(samples, prediction)));
  }
  PrescribedTail(in, x, i, length, a, out);
}

// Eight samples from two neighbouring blocks of eight, `lo` then `hi`,
// starting `Start` samples into `lo`: one shuffle instead of a load that
// straddles two cache lines.
template <int Start>
__attribute__((target("avx512f,avx512vl"))) inline __m512d Window(__m512d lo, __m512d hi) {
  return _mm512_castsi512_pd(_mm512_maskz_alignr_epi64(0xFF, _mm512_castpd_si512(hi), _mm512_castpd_si512(lo), Start));
}

// One window's term j added to the sums of every set.
template <int Sets>
__attribute__((target("avx512f,avx512vl"))) inline void AddTerm(__m512d window, const __m512d (*c)[11], int j,
                                                                __m512d* sums) {
  for (int s = 0; s < Sets; ++s) sums[s] = _mm512_fmadd_pd(window, c[s][j], sums[s]);
}

// For exact coefficients: every product and partial sum is a double held
// without rounding, so fused multiply-adds in two chains give the exact sum,
// whose truncation is the prescribed prediction. Half the operations of the
// prescribed form, and shorter chains. The ten shifted windows of x come
// from three blocks, A = x[i-16 .. i-9], B = x[i-8 .. i-1], C = x[i .. i+7],
// with one new load a step: shuffles for most, loads for three, so that
// neither the shuffle unit nor the load ports alone set the pace. With
// `Sets` coefficient sets over the same samples (the search tries several
// on one input), each window is made once and serves every set: a step's
// arithmetic grows with the sets, its shuffles and loads do not.
template <int Sets>
__attribute__((target("avx512f,avx512vl"), always_inline)) inline void Order10ExactSets(const std::int16_t* in,
                                                                                        const double* x, int length,
                                                                                        const float* const* a,
                                                                                        std::int16_t* const* out) {
  __m512d c[Sets][11];
  for (int s = 0; s < Sets; ++s)
    for (int j = 1; j <= 10; ++j) c[s][j] = _mm512_set1_pd(static_cast<double>(a[s][j]));
  int i = 0;
  if (length >= 8) {
    // Only x[-10 .. -1] may be read in front: A's first load takes its last two lanes.
    __m512d A = _mm512_maskz_loadu_pd(0xC0, x - 16), B = _mm512_loadu_pd(x - 8);
    for (; i + 8 <= length; i += 8) {
      const __m512d C = _mm512_loadu_pd(x + i);
      // The terms j = 1, 3, 5, 7, 9 (odd) and 2, 4, 6, 8, 10 (even) of each set.
      __m512d odd[Sets], even[Sets];
      const __m512d w1 = Window<7>(B, C), w2 = Window<6>(B, C);
      for (int s = 0; s < Sets; ++s) {
        odd[s] = _mm512_mul_pd(w1, c[s][1]);
        even[s] = _mm512_mul_pd(w2, c[s][2]);
      }
      AddTerm<Sets>(Window<5>(B, C), c, 3, odd);
      AddTerm<Sets>(Window<4>(B, C), c, 4, even);
      AddTerm<Sets>(_mm512_loadu_pd(x + i - 5), c, 5, odd);
      AddTerm<Sets>(_mm512_loadu_pd(x + i - 6), c, 6, even);
      AddTerm<Sets>(_mm512_loadu_pd(x + i - 7), c, 7, odd);
      AddTerm<Sets>(B, c, 8, even);
      AddTerm<Sets>(Window<7>(A, B), c, 9, odd);
      AddTerm<Sets>(Window<6>(A, B), c, 10, even);
      const __m256i samples = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)));
      for (int s = 0; s < Sets; ++s) {
        const __m256i prediction = _mm512_maskz_cvttpd_epi32(0xFF, _mm512_add_pd(odd[s], even[s]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out[s] + i),
                         _mm256_cvtepi32_epi16(_mm256_sub_epi32(samples, prediction)));
      }
      A = B;
      B = C;
    }
  }
  for (int s = 0; s < Sets; ++s) PrescribedTail(in, x, i, length, a[s], out[s]);
}

__attribute__((target("avx512f,avx512vl"))) void Avx512Order10Exact(const std::int16_t* in, const double* x, int length,
                                                                    const float* a, std::int16_t* out) {
  Order10ExactSets<1>(in, x, length, &a, &out);
}

__attribute__((target("avx512f,avx512vl"))) void Avx512Order10ExactPair(const std::int16_t* in, const double* x,
                                                                        int length, const float* a, const float* b,
                                                                        std::int16_t* outA, std::int16_t* outB) {
  const float* const sets[2] = {a, b};
  std::int16_t* const outs[2] = {outA, outB};
  Order10ExactSets<2>(in, x, length, sets, outs);
}

// Sixteen magnitudes a step, widened to 32 bits (|-32768| needs 16 bits
// unsigned); lane j holds channel j % channels. A run's lanes are folded in
// halves down to four, which keeps lanes of one channel together. (The
// masked forms: GCC 12 reads the plain ones' lanes as uninitialised.)
__attribute__((target("avx512f,avx512bw,avx512vl"))) int Avx512RunSums(const std::int16_t* r, int count, int span,
                                                                       int channels, std::uint32_t* sums) {
  int runs = 0;
  for (int start = 0; start < count; start += span, ++runs) {
    const int end = std::min(count, start + span);
    __m512i lanes = _mm512_setzero_si512();
    int i = start;
    for (; i + 16 <= end; i += 16) {
      const __m256i v = _mm256_abs_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(r + i)));
      lanes = _mm512_add_epi32(lanes, _mm512_maskz_cvtepu16_epi32(0xFFFF, v));
    }
    const __m256i eight = _mm256_add_epi32(_mm512_maskz_extracti64x4_epi64(0xF, lanes, 0),
                                           _mm512_maskz_extracti64x4_epi64(0xF, lanes, 1));
    const __m128i four = _mm_add_epi32(_mm256_castsi256_si128(eight), _mm256_extracti128_si256(eight, 1));
    std::uint32_t folded[4];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(folded), four);
    std::uint32_t* sum = sums + channels * runs;
    if (channels == 1) {
      sum[0] = folded[0] + folded[1] + folded[2] + folded[3];
    } else {
      sum[0] = folded[0] + folded[2];
      sum[1] = folded[1] + folded[3];
    }
    for (; i < end; ++i) sum[(i - start) % channels] += static_cast<std::uint32_t>(std::abs(static_cast<int>(r[i])));
  }
  return runs;
}

}  // namespace

const Path kAvx512{"avx512", Avx512Order10, Avx512Order10Exact, Avx512RunSums, Avx512Order10ExactPair};

}  // namespace ost::analysis_filter

#endif
