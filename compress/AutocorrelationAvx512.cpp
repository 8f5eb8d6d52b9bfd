// The three sums of a pipeline step (lags 0..10 of one signal, 0..2 of two
// more) on AVX-512, in two vectors and one scalar chain instead of six
// vector chains: the same additions in the same order, lane by lane, with
// fewer instructions a sample, so that the step is bound by the latency of
// one chain. WATCHOUT: the functions carry their target attribute instead
// of the file being built with AVX-512 flags, for the same reason as the
// AVX file's warning: shared inline code must stay compiled for every
// processor.
#include <immintrin.h>

#include "compress/Autocorrelation.h"
#include "compress/AutocorrelationPair.h"

namespace ost::autocorrelation {

namespace {

// A double rounded to float and back, lane by lane: the running sums are
// floats. (The masked forms: GCC 12 reads the plain ones' lanes as
// uninitialised.)
__attribute__((target("avx512f,avx512vl"))) inline __m512d RoundToFloat(__m512d v) {
  return _mm512_maskz_cvtps_pd(0xFF, _mm512_maskz_cvtpd_ps(0xFF, v));
}

// Lanes: `low` holds lags 0..7 of s; `mixed` lags 8..10 of s, 0..2 of a and
// 0..1 of b; lag 2 of b is a scalar chain. Each lane's left factor is the
// newest sample of its signal, its right factor that signal's sample the
// lag before, read from the reversed copies (rev[n - 1 - i + j] = x[i - j]).
struct Three {
  static constexpr int kHead = 10;  // the first samples, which have fewer lags, go one product at a time

  __attribute__((target("avx512f,avx512vl"))) void Start(const std::int16_t* const* x, int n, int set) {
    float ss[12] = {}, as[12] = {}, bs[12] = {};
    HeadLags(x[0], kHead, ss);
    HeadLags(x[1], kHead, as);
    HeadLags(x[2], kHead, bs);
    double* rev[3];
    for (int k = 0; k < 3; ++k) {
      rev[k] = ReversedScratch(n + 8, 3 * set + k);
      for (int i = 0; i < n; ++i) rev[k][n - 1 - i] = x[k][i];
      for (int i = n; i < n + 8; ++i) rev[k][i] = 0.0;
    }
    rs = rev[0];
    ra = rev[1];
    rb = rev[2];
    low = _mm512_setr_pd(ss[0], ss[1], ss[2], ss[3], ss[4], ss[5], ss[6], ss[7]);
    mixed = _mm512_setr_pd(ss[8], ss[9], ss[10], as[0], as[1], as[2], bs[0], bs[1]);
    b2 = bs[2];
  }
  __attribute__((target("avx512f,avx512vl"))) void Add(int at) {  // at = n - 1 - i
    const __m512d si = _mm512_set1_pd(rs[at]);
    low = RoundToFloat(_mm512_add_pd(low, _mm512_mul_pd(si, _mm512_loadu_pd(rs + at))));
    // Left factors s[i] x3, a[i] x3, b[i] x2; right factors s[i-8..i-10],
    // a[i..i-2], b[i..i-1]. Masked loads read nothing outside their lanes.
    __m512d left = _mm512_mask_mov_pd(si, 0x38, _mm512_set1_pd(ra[at]));
    left = _mm512_mask_mov_pd(left, 0xC0, _mm512_set1_pd(rb[at]));
    __m512d right = _mm512_maskz_loadu_pd(0x07, rs + at + 8);
    right = _mm512_mask_loadu_pd(right, 0x38, ra + at - 3);
    right = _mm512_mask_loadu_pd(right, 0xC0, rb + at - 6);
    mixed = RoundToFloat(_mm512_add_pd(mixed, _mm512_mul_pd(left, right)));
    b2 = static_cast<float>(b2 + rb[at] * rb[at + 2]);
  }
  __attribute__((target("avx512f,avx512vl"))) void Store(float* r10, float* r_a, float* r_b) const {
    alignas(64) double lanes[16];
    _mm512_store_pd(lanes, low);
    _mm512_store_pd(lanes + 8, mixed);
    for (int j = 0; j <= 10; ++j) r10[j] = static_cast<float>(lanes[j]);
    for (int j = 0; j < 3; ++j) r_a[j] = static_cast<float>(lanes[11 + j]);
    r_b[0] = static_cast<float>(lanes[14]);
    r_b[1] = static_cast<float>(lanes[15]);
    r_b[2] = static_cast<float>(b2);
  }
  const double *rs, *ra, *rb;
  __m512d low, mixed;
  double b2;
};

__attribute__((target("avx512f,avx512vl"))) void Avx512Three(const std::int16_t* s, const std::int16_t* a,
                                                             const std::int16_t* b, int length, float* r10, float* ra,
                                                             float* rb) {
  if (length <= Three::kHead) {
    kAvx.three(s, a, b, length, r10, ra, rb);
    return;
  }
  const std::int16_t* x[3] = {s, a, b};
  Three three;
  three.Start(x, length, 0);
  for (int at = length - 1 - Three::kHead; at >= 0; --at) three.Add(at);
  three.Store(r10, ra, rb);
}

// Two sets in one loop: each set's chains are bound by their latency, and
// two sets fill the gaps.
__attribute__((target("avx512f,avx512vl"))) void Avx512Six(const std::int16_t* const* signals, int length,
                                                           float* const* r) {
  if (length <= Three::kHead) {
    SixByThree(Avx512Three, signals, length, r);
    return;
  }
  Three first, second;
  first.Start(signals, length, 0);
  second.Start(signals + 3, length, 1);
  for (int at = length - 1 - Three::kHead; at >= 0; --at) {
    first.Add(at);
    second.Add(at);
  }
  first.Store(r[0], r[1], r[2]);
  second.Store(r[3], r[4], r[5]);
}

}  // namespace

// One signal alone, and two, as on AVX: they run only where fewer than
// three stages hold a frame.
const Paths kAvx512{"avx512", kAvx.lags, kAvx.pair, Avx512Three, Avx512Six};

}  // namespace ost::autocorrelation
