// The order-10 autocorrelation with four lags to an AVX vector, alone and
// interleaved with the order-2 lags of two more signals. This file is built
// with -mavx and used only where the processor has AVX. WATCHOUT: it must
// not include standard headers whose inline functions the rest of the core
// also instantiates: the linker could keep this file's AVX copy of them for
// every caller.
#include <immintrin.h>

#include "compress/Autocorrelation.h"
#include "compress/AutocorrelationPair.h"

namespace ost::autocorrelation {

namespace {

// The same float sums lane by lane as the two-lag version (lag 11 is
// computed and dropped). Start takes the first samples, which have fewer
// lags, one by one.
struct Lags10 {
  int Start(const std::int16_t* signal, int length) {
    s = signal;
    n = length;
    float sum[12] = {};
    const int head = length < 10 ? length : 10;
    HeadLags(s, head, sum);
    double* rev = ReversedScratch(length + 4);
    for (int i = 0; i < 4; ++i) rev[length + i] = 0.0;
    for (int i = 0; i < length; ++i) rev[length - 1 - i] = s[i];
    reversed = rev;
    for (int q = 0; q < 3; ++q) acc[q] = _mm256_set_pd(sum[4 * q + 3], sum[4 * q + 2], sum[4 * q + 1], sum[4 * q]);
    return head;
  }
  void Add(int i) {
    const __m256d si = _mm256_set1_pd(static_cast<double>(s[i]));
    const double* window = reversed + (n - 1 - i);
    for (int q = 0; q < 3; ++q) {
      const __m256d product = _mm256_mul_pd(si, _mm256_loadu_pd(window + 4 * q));
      acc[q] = _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_add_pd(acc[q], product)));
    }
  }
  void Store(float* r) const {
    alignas(32) double lanes[12];
    for (int q = 0; q < 3; ++q) _mm256_store_pd(lanes + 4 * q, acc[q]);
    for (int j = 0; j <= 10; ++j) r[j] = static_cast<float>(lanes[j]);
  }
  const std::int16_t* s;
  int n;
  const double* reversed;
  __m256d acc[3];
};

void Lags10Alone(const std::int16_t* s, int length, float* r) {
  Lags10 lags;
  for (int i = lags.Start(s, length); i < length; ++i) lags.Add(i);
  lags.Store(r);
}

void AvxLags(const std::int16_t* s, int length, int order, float* r) {
  if (order == 2)
    kSse2.lags(s, length, order, r);
  else
    Lags10Alone(s, length, r);
}

void AvxPair(const std::int16_t* a, const std::int16_t* b, int length, float* ra, float* rb) {
  if (length < 2) {
    kSse2.pair(a, b, length, ra, rb);
    return;
  }
  PairLags2 pair;
  pair.Start(a, b);
  for (int i = 2; i < length; ++i) pair.Add(a, b, i);
  pair.Store(ra, rb);
}

// All the chains of dependent additions of the three in one loop.
void AvxThree(const std::int16_t* s, const std::int16_t* a, const std::int16_t* b, int length, float* r10, float* ra,
              float* rb) {
  if (length < 10) {
    Lags10Alone(s, length, r10);
    AvxPair(a, b, length, ra, rb);
    return;
  }
  Lags10 lags;
  lags.Start(s, length);
  PairLags2 pair;
  pair.Start(a, b);
  for (int i = 2; i < 10; ++i) pair.Add(a, b, i);
  for (int i = 10; i < length; ++i) {
    lags.Add(i);
    pair.Add(a, b, i);
  }
  lags.Store(r10);
  pair.Store(ra, rb);
}

void AvxSix(const std::int16_t* const* signals, int length, float* const* r) {
  SixByThree(AvxThree, signals, length, r);
}

}  // namespace

const Paths kAvx{"avx", AvxLags, AvxPair, AvxThree, AvxSix};

}  // namespace ost::autocorrelation
