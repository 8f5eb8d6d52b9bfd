// The autocorrelation with two lags to an SSE2 vector, and the order-2 lags
// of two signals interleaved; SSE2 is in every x86-64 processor.
#include <emmintrin.h>

#include "compress/Autocorrelation.h"
#include "compress/AutocorrelationPair.h"

namespace ost::autocorrelation {

namespace {

template <int Order>
void Lags(const std::int16_t* s, int length, float* r) {
  float sum[Order + 1] = {};
  const int head = Order < length ? Order : length;
  HeadLags(s, head, sum);
  // The signal as doubles, reversed, so that s[i-j] and s[i-j-1] sit side by
  // side: rev[length - 1 - i + j] = s[i - j]. Products of two 16-bit values
  // are exact in double precision, as the integer products were.
  constexpr int kPairs = (Order + 2) / 2;
  double* rev = ReversedScratch(length + 2);
  rev[length] = rev[length + 1] = 0.0;
  for (int i = 0; i < length; ++i) rev[length - 1 - i] = s[i];
  __m128d acc[kPairs];
  for (int p = 0; p < kPairs; ++p)
    acc[p] = _mm_set_pd(2 * p + 1 <= Order ? static_cast<double>(sum[2 * p + 1]) : 0.0, static_cast<double>(sum[2 * p]));
  for (int i = head; i < length; ++i) {
    const __m128d si = _mm_set1_pd(static_cast<double>(s[i]));
    const double* window = rev + (length - 1 - i);
    for (int p = 0; p < kPairs; ++p) {
      const __m128d product = _mm_mul_pd(si, _mm_loadu_pd(window + 2 * p));
      acc[p] = _mm_cvtps_pd(_mm_cvtpd_ps(_mm_add_pd(acc[p], product)));
    }
  }
  for (int p = 0; p < kPairs; ++p) {
    alignas(16) double pair[2];
    _mm_store_pd(pair, acc[p]);
    sum[2 * p] = static_cast<float>(pair[0]);
    if (2 * p + 1 <= Order) sum[2 * p + 1] = static_cast<float>(pair[1]);
  }
  for (int j = 0; j <= Order; ++j) r[j] = sum[j];
}

void Sse2Lags(const std::int16_t* s, int length, int order, float* r) {
  if (order == 2)
    Lags<2>(s, length, r);
  else
    Lags<10>(s, length, r);
}

// The two signals' chains of dependent additions interleaved, since a
// single order-2 autocorrelation is bound by the latency of its chain, not
// by arithmetic.
void Sse2Pair(const std::int16_t* a, const std::int16_t* b, int length, float* ra, float* rb) {
  if (length < 2) {
    Lags<2>(a, length, ra);
    Lags<2>(b, length, rb);
    return;
  }
  PairLags2 pair;
  pair.Start(a, b);
  for (int i = 2; i < length; ++i) pair.Add(a, b, i);
  pair.Store(ra, rb);
}

void Sse2Three(const std::int16_t* s, const std::int16_t* a, const std::int16_t* b, int length, float* r10,
               float* ra, float* rb) {
  Lags<10>(s, length, r10);
  Sse2Pair(a, b, length, ra, rb);
}

void Sse2Six(const std::int16_t* const* signals, int length, float* const* r) {
  SixByThree(Sse2Three, signals, length, r);
}

}  // namespace

const Paths kSse2{"sse2", Sse2Lags, Sse2Pair, Sse2Three, Sse2Six};

}  // namespace ost::autocorrelation
