// Lags 0..2 of two signals side by side, sample by sample: lags 0 and 1 of
// each in one vector, lag 2 of both in a third; three independent chains.
// Shared by the SSE2 and AVX files. WATCHOUT: it is in an unnamed namespace
// on purpose: each file compiles it with its own instruction set, and a
// shared inline definition would let the linker keep the AVX copy for
// processors without AVX.
#pragma once

#include <emmintrin.h>

#include <cstdint>

namespace ost::autocorrelation {
namespace {

struct PairLags2 {
  // The first two samples, which have fewer lags.
  void Start(const std::int16_t* a, const std::int16_t* b) {
    a01 = Round(_mm_set_pd(0.0, D(a[0]) * D(a[0])));
    b01 = Round(_mm_set_pd(0.0, D(b[0]) * D(b[0])));
    a01 = Round(_mm_add_pd(a01, _mm_set_pd(D(a[1]) * D(a[0]), D(a[1]) * D(a[1]))));
    b01 = Round(_mm_add_pd(b01, _mm_set_pd(D(b[1]) * D(b[0]), D(b[1]) * D(b[1]))));
    ab2 = _mm_setzero_pd();
  }
  void Add(const std::int16_t* a, const std::int16_t* b, int i) {
    a01 = Round(_mm_add_pd(a01, _mm_mul_pd(_mm_set1_pd(D(a[i])), _mm_set_pd(D(a[i - 1]), D(a[i])))));
    b01 = Round(_mm_add_pd(b01, _mm_mul_pd(_mm_set1_pd(D(b[i])), _mm_set_pd(D(b[i - 1]), D(b[i])))));
    ab2 = Round(_mm_add_pd(ab2, _mm_mul_pd(_mm_set_pd(D(b[i]), D(a[i])), _mm_set_pd(D(b[i - 2]), D(a[i - 2])))));
  }
  void Store(float* ra, float* rb) const {
    alignas(16) double v[3][2];
    _mm_store_pd(v[0], a01);
    _mm_store_pd(v[1], b01);
    _mm_store_pd(v[2], ab2);
    ra[0] = static_cast<float>(v[0][0]);
    ra[1] = static_cast<float>(v[0][1]);
    ra[2] = static_cast<float>(v[2][0]);
    rb[0] = static_cast<float>(v[1][0]);
    rb[1] = static_cast<float>(v[1][1]);
    rb[2] = static_cast<float>(v[2][1]);
  }
  static double D(std::int16_t v) { return static_cast<double>(v); }
  // The running sums are rounded to float after every addition.
  static __m128d Round(__m128d v) { return _mm_cvtps_pd(_mm_cvtpd_ps(v)); }
  __m128d a01, b01, ab2;
};

// The lags of the first `head` samples, which have fewer lags than the
// rest, one product at a time into sum[0..order].
inline void HeadLags(const std::int16_t* s, int head, float* sum) {
  for (int i = 0; i < head; ++i)
    for (int j = 0; j <= i; ++j) {
      const std::int32_t product = static_cast<std::int32_t>(s[i]) * static_cast<std::int32_t>(s[i - j]);
      sum[j] = static_cast<float>(static_cast<double>(sum[j]) + static_cast<double>(product));
    }
}

}  // namespace
}  // namespace ost::autocorrelation
