#include "compress/AudioType.h"

#include <algorithm>
#include <functional>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/VectorClones.h"
#if defined(OST_AVX_PATHS)
#include <immintrin.h>
#endif

#include "common/Crc32.h"
#include "common/FileIO.h"
#include "common/Parallel.h"
#include "format/Prediction.h"
#include "format/Quantiser.h"

namespace ost {

namespace {

// Packs bits least significant first into bytes and writes whole bytes.
class LsbBitWriter {
 public:
  explicit LsbBitWriter(OutFile& out) : out_(out) {}
  void Put(unsigned value, int bits) {
    for (int b = 0; b < bits; ++b) {
      acc_ |= ((value >> b) & 1u) << count_;
      if (++count_ == 8) {
        out_.Put(static_cast<std::uint8_t>(acc_));
        acc_ = 0;
        count_ = 0;
      }
    }
  }
  // Pads with zero bits to the next whole byte.
  void Flush() {
    if (count_ > 0) out_.Put(static_cast<std::uint8_t>(acc_));
    acc_ = 0;
    count_ = 0;
  }

 private:
  OutFile& out_;
  unsigned acc_ = 0;
  int count_ = 0;
};

// Stage buffers hold `kHistory` slots of the previous frame's last inputs in
// front of the frame, so the filter reads s[-1] .. s[-order] directly.
constexpr int kHistory = 10;

}  // namespace

namespace {

// Autocorrelation of lags 0..Order. Each lag is its own running float sum
// over i = j .. length-1 in ascending order: the exact integer product joins
// the float sum in double precision and the sum is rounded to float after
// every addition. The lags are advanced side by side (two to a vector where
// the processor has SSE2), which changes no rounding: every lag still sees
// the same additions in the same order.
// Per-thread scratch for the reversed signal, so no frame allocates.
std::vector<double>& ReversedScratch() {
  thread_local std::vector<double> scratch;
  return scratch;
}

// The prescribed sums: each lag's products added in order, the running sum
// rounded to float after every addition. Every other path must give these
// bits.
template <int Order>
void AutocorrelateLagsScalar(const std::int16_t* s, int length, float* r) {
  float sum[Order + 1] = {};
  for (int i = 0; i < length; ++i)
    for (int j = 0; j <= std::min(i, Order); ++j) {
      const std::int32_t product = static_cast<std::int32_t>(s[i]) * static_cast<std::int32_t>(s[i - j]);
      sum[j] = static_cast<float>(static_cast<double>(sum[j]) + static_cast<double>(product));
    }
  for (int j = 0; j <= Order; ++j) r[j] = sum[j];
}

template <int Order>
void AutocorrelateLags(const std::int16_t* s, int length, float* r) {
#if !defined(__SSE2__)
  AutocorrelateLagsScalar<Order>(s, length, r);
#else
  float sum[Order + 1] = {};
  auto add = [&](int j, int i) {
    const std::int32_t product = static_cast<std::int32_t>(s[i]) * static_cast<std::int32_t>(s[i - j]);
    sum[j] = static_cast<float>(static_cast<double>(sum[j]) + static_cast<double>(product));
  };
  const int head = std::min(Order, length);
  for (int i = 0; i < head; ++i)
    for (int j = 0; j <= i; ++j) add(j, i);
  // The signal as doubles, reversed, so that s[i-j] and s[i-j-1] sit side by
  // side: rev[length - 1 - i + j] = s[i - j]. Products of two 16-bit values
  // are exact in double precision, as the integer products were.
  constexpr int kPairs = (Order + 2) / 2;
  std::vector<double>& rev = ReversedScratch();
  // Every slot is written below, so the scratch is only resized, not cleared.
  rev.resize(static_cast<std::size_t>(length) + 2);
  rev[static_cast<std::size_t>(length)] = rev[static_cast<std::size_t>(length) + 1] = 0.0;
  for (int i = 0; i < length; ++i) rev[static_cast<std::size_t>(length - 1 - i)] = s[i];
  __m128d acc[kPairs];
  for (int p = 0; p < kPairs; ++p)
    acc[p] = _mm_set_pd(2 * p + 1 <= Order ? static_cast<double>(sum[2 * p + 1]) : 0.0, static_cast<double>(sum[2 * p]));
  for (int i = head; i < length; ++i) {
    const __m128d si = _mm_set1_pd(static_cast<double>(s[i]));
    const double* window = rev.data() + (length - 1 - i);
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
#endif
}

#if defined(OST_AVX_PATHS)
// The order-10 autocorrelation with four lags to an AVX vector: the same
// float sums lane by lane as the two-lag version (lag 11 is computed and
// dropped). Start takes the first samples, which have fewer lags, one by one.
struct Lags10Avx {
  __attribute__((target("avx"))) int Start(const std::int16_t* signal, int length) {
    s = signal;
    n = length;
    float sum[12] = {};
    const int head = std::min(10, length);
    for (int i = 0; i < head; ++i)
      for (int j = 0; j <= i; ++j) {
        const std::int32_t product = static_cast<std::int32_t>(s[i]) * static_cast<std::int32_t>(s[i - j]);
        sum[j] = static_cast<float>(static_cast<double>(sum[j]) + static_cast<double>(product));
      }
    std::vector<double>& rev = ReversedScratch();
    rev.resize(static_cast<std::size_t>(length) + 4);
    for (int i = 0; i < 4; ++i) rev[static_cast<std::size_t>(length + i)] = 0.0;
    for (int i = 0; i < length; ++i) rev[static_cast<std::size_t>(length - 1 - i)] = s[i];
    reversed = rev.data();
    for (int q = 0; q < 3; ++q) acc[q] = _mm256_set_pd(sum[4 * q + 3], sum[4 * q + 2], sum[4 * q + 1], sum[4 * q]);
    return head;
  }
  __attribute__((target("avx"))) void Add(int i) {
    const __m256d si = _mm256_set1_pd(static_cast<double>(s[i]));
    const double* window = reversed + (n - 1 - i);
    for (int q = 0; q < 3; ++q) {
      const __m256d product = _mm256_mul_pd(si, _mm256_loadu_pd(window + 4 * q));
      acc[q] = _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_add_pd(acc[q], product)));
    }
  }
  __attribute__((target("avx"))) void Store(float* r) const {
    alignas(32) double lanes[12];
    for (int q = 0; q < 3; ++q) _mm256_store_pd(lanes + 4 * q, acc[q]);
    for (int j = 0; j <= 10; ++j) r[j] = static_cast<float>(lanes[j]);
  }
  const std::int16_t* s;
  int n;
  const double* reversed;
  __m256d acc[3];
};

__attribute__((target("avx"))) void AutocorrelateLags10Avx(const std::int16_t* s, int length, float* r) {
  Lags10Avx lags;
  for (int i = lags.Start(s, length); i < length; ++i) lags.Add(i);
  lags.Store(r);
}
#endif

#if defined(__SSE2__)
// Lags 0..2 of two signals side by side, sample by sample: lags 0 and 1 of
// each in one vector, lag 2 of both in a third; three independent chains.
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
#endif

// Lags 0..2 of two signals of the same length at once: the same float sums
// as AutocorrelateLags<2> for each, but with the two signals' chains of
// dependent additions interleaved, since a single order-2 autocorrelation
// is bound by the latency of its chain, not by arithmetic.
void AutocorrelatePair2(const std::int16_t* a, const std::int16_t* b, int length, float* ra, float* rb) {
#if defined(__SSE2__)
  if (length >= 2) {
    PairLags2 pair;
    pair.Start(a, b);
    for (int i = 2; i < length; ++i) pair.Add(a, b, i);
    pair.Store(ra, rb);
    return;
  }
#endif
  AutocorrelateLags<2>(a, length, ra);
  AutocorrelateLags<2>(b, length, rb);
}

#if defined(OST_AVX_PATHS)
// The autocorrelations of three frames at three stages at once (order 10 of
// one, order 2 of two others): the same float sums as each alone, with all
// their chains of dependent additions interleaved in one loop.
__attribute__((target("avx"))) void AutocorrelateThreeAvx(const std::int16_t* s, const std::int16_t* a,
                                                         const std::int16_t* b, int length, float* r10, float* ra,
                                                         float* rb) {
  if (length < 10) {
    AutocorrelateLags10Avx(s, length, r10);
    AutocorrelatePair2(a, b, length, ra, rb);
    return;
  }
  Lags10Avx lags;
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
#endif

// Per-thread scratch for a stage's input as doubles.
std::vector<double>& FilterScratch() {
  thread_local std::vector<double> scratch;
  return scratch;
}

// The residual of known samples: many predictions side by side, each lane
// the prescribed sum in its order (PredictionSum), so no check is needed.
// The input is converted to double once, not once per term.
template <int Order>
void Filter(const std::int16_t* in, const double* x, int length, const float* a, std::int16_t* out) {
  for (int i = 0; i < length; ++i) {
    const std::int32_t residual = static_cast<std::int32_t>(in[i]) - PredictionSum<Order>(x + i, a);
    out[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(residual));
  }
}

OST_VECTOR_CLONES void FilterLanes(const std::int16_t* in, int length, int order, const float* a, std::int16_t* out) {
  std::vector<double>& scratch = FilterScratch();
  scratch.resize(static_cast<std::size_t>(length) + kHistory);
  for (int i = -order; i < length; ++i) scratch[static_cast<std::size_t>(i + kHistory)] = in[i];
  const double* x = scratch.data() + kHistory;
  if (order == 2)
    Filter<2>(in, x, length, a, out);
  else
    Filter<10>(in, x, length, a, out);
}

}  // namespace

void CAudioType::AnalysisFilter(const std::int16_t* in, int length, const float* a, int order, std::int16_t* out) {
  FilterLanes(in, length, order, a, out);
}

void CAudioType::Autocorrelate(const std::int16_t* s, int length, int order, float* r) {
  if (order == 2) {
    AutocorrelateLags<2>(s, length, r);
    return;
  }
#if defined(OST_AVX_PATHS)
  static const bool avx = __builtin_cpu_supports("avx");
  if (avx) {
    AutocorrelateLags10Avx(s, length, r);
    return;
  }
#endif
  AutocorrelateLags<10>(s, length, r);
}

void CAudioType::AutocorrelatePortable(const std::int16_t* s, int length, int order, float* r) {
  if (order == 2)
    AutocorrelateLagsScalar<2>(s, length, r);
  else
    AutocorrelateLagsScalar<10>(s, length, r);
}

int CAudioType::AutocorrelateEveryPath(const std::int16_t* s, int length, int order, float (*r)[11]) {
  int paths = 0;
  AutocorrelatePortable(s, length, order, r[paths++]);
  if (order == 2) AutocorrelateLags<2>(s, length, r[paths++]);
  else AutocorrelateLags<10>(s, length, r[paths++]);
#if defined(OST_AVX_PATHS)
  if (order == 10 && __builtin_cpu_supports("avx")) AutocorrelateLags10Avx(s, length, r[paths++]);
#endif
  return paths;
}

namespace {

// Order 10 of s and order 2 of a and b, interleaved where the processor allows.
void AutocorrelateThree(const std::int16_t* s, const std::int16_t* a, const std::int16_t* b, int length, float* r10,
                        float* ra, float* rb) {
#if defined(OST_AVX_PATHS)
  static const bool avx = __builtin_cpu_supports("avx");
  if (avx) {
    AutocorrelateThreeAvx(s, a, b, length, r10, ra, rb);
    return;
  }
#endif
  CAudioType::Autocorrelate(s, length, 10, r10);
  AutocorrelatePair2(a, b, length, ra, rb);
}

}  // namespace

void CAudioType::LevinsonToLar(float* r, int order, float* k, float* lar) {
  if (r[0] == 0.0f) r[0] = 1e-8f;
  const double p = static_cast<double>(r[0]) * 1.0039062;
  r[0] = static_cast<float>(p);
  float a[11];
  k[1] = static_cast<float>(static_cast<double>(r[1]) / p);
  a[1] = k[1];
  float e = static_cast<float>(static_cast<double>(r[0]) -
                               static_cast<double>(r[1]) * static_cast<double>(r[1]) / static_cast<double>(r[0]));
  for (int m = 2; m <= order; ++m) {
    float acc = 0.0f;
    for (int i = 1; i < m; ++i)
      acc = static_cast<float>(static_cast<double>(acc) + static_cast<double>(a[i]) * static_cast<double>(r[m - i]));
    if (e == 0.0f) e = 1e-15f;
    k[m] = static_cast<float>((static_cast<double>(r[m]) - static_cast<double>(acc)) / static_cast<double>(e));
    StepUp(a, m, k[m]);
    e = static_cast<float>((1.0 - static_cast<double>(k[m]) * static_cast<double>(k[m])) * static_cast<double>(e));
  }
  for (int i = 1; i <= order; ++i) {
    if (k[i] >= 1.0f) k[i] = 0.999f;
    if (k[i] <= -1.0f || std::isnan(k[i])) k[i] = -0.999f;
    const double v = k[i];
    double l;
    if (v > -0.675 && v < 0.675)
      l = -v;
    else if (v >= 0.675 && v < 0.95)
      l = 0.675 - 2.0 * v;
    else if (v > -0.95 && v <= -0.675)
      l = -0.675 - 2.0 * v;
    else if (v >= 0.95)
      l = 6.375 - 8.0 * v;
    else
      l = -6.375 - 8.0 * v;
    lar[i] = static_cast<float>(l);
  }
}

void CAudioType::AnalyseStage(const std::int16_t* in, int length, int order, std::int16_t* out, int* indices) {
  float r[11];
  Autocorrelate(in, length, order, r);
  AnalyseStage(in, length, order, r, out, indices);
}

void CAudioType::AnalyseStage(const std::int16_t* in, int length, int order, float* r, std::int16_t* out,
                              int* indices) {
  float k[11], lar[11], q[11] = {}, a[11];
  LevinsonToLar(r, order, k, lar);
  for (int i = 1; i <= order; ++i) {
    indices[i - 1] = QuantiseIndex(i, lar[i]);
    q[i] = QuantiserFor(i).value[indices[i - 1]];
  }
  LarToCoefficients(q, order, a);
  AnalysisFilter(in, length, a, order, out);
}

namespace {

// The state that runs from frame to frame: each stage's input with its
// history slots (its last inputs of the previous frame) in front: x (the
// frame, which ends up holding the final residual), y1 and y2.
struct Cascade {
  explicit Cascade(int length)
      : n(length), x(kHistory + length, 0), y1(kHistory + length, 0), y2(kHistory + length, 0), out(length) {}

  // Analyses one frame of `c` new samples (c < n: the partial last frame,
  // whose other positions still hold the previous frame's residual: they
  // shape only this frame's coefficients, never its written residual).
  void Frame(const std::uint8_t* raw, int c, int* indices) {
    std::int16_t* frame = x.data() + kHistory;
    for (int i = 0; i < c; ++i)
      frame[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(raw[2 * i] | (raw[2 * i + 1] << 8)));
    CAudioType::AnalyseStage(frame, n, 2, y1.data() + kHistory, indices);
    CAudioType::AnalyseStage(y1.data() + kHistory, n, 2, y2.data() + kHistory, indices + 2);
    CAudioType::AnalyseStage(y2.data() + kHistory, n, 10, out.data(), indices + 4);
  }
  // As Frame, then searches the indices: each coefficient in turn tries its
  // neighbouring indices, re-filtering from its stage on, and keeps the one
  // whose final residual costs the fewest estimated bits; sweeps repeat
  // while they change anything. The trials run with the second and third
  // stages' memories cleared, so every choice depends on this frame's
  // samples alone (and the source samples just before it): a range of frames
  // started anywhere chooses exactly as a run from the start. The real
  // filtering then uses the true memories.
  void FrameSearch(const std::uint8_t* raw, int c, int* indices, int channels) {
    std::int16_t saved[2][kHistory];
    std::copy(y1.begin(), y1.begin() + kHistory, saved[0]);
    std::copy(y2.begin(), y2.begin() + kHistory, saved[1]);
    std::fill(y1.begin(), y1.begin() + kHistory, 0);
    std::fill(y2.begin(), y2.begin() + kHistory, 0);
    Frame(raw, c, indices);
    double best = ResidualCost(out.data(), c, channels);
    // Three sweeps of the nearest two indices on either side: wider reaches
    // and more sweeps cost far more time for a few hundredths of a percent.
    constexpr int kSweeps = 3;
    constexpr int kReach = 2;
    bool changed = true;
    for (int sweep = 0; sweep < kSweeps && changed; ++sweep) {
      changed = false;
      for (int stage = 0; stage < 3; ++stage) {
        const int order = stage == 2 ? 10 : 2;
        for (int i = 0; i < order; ++i) {
          int* index = indices + 2 * stage + i;
          const int chosen = *index;
          int bestIndex = chosen;
          const int last = (1 << QuantiserFor(i + 1).bits) - 1;
          for (int d = -kReach; d <= kReach; ++d) {
            const int candidate = chosen + d;
            if (d == 0 || candidate < 0 || candidate > last) continue;
            *index = candidate;
            FilterFrom(stage, indices);
            const double cost = ResidualCost(out.data(), c, channels);
            if (cost < best) {
              best = cost;
              bestIndex = candidate;
            }
          }
          *index = bestIndex;
          changed = changed || bestIndex != chosen;
          if (i + 1 < order || stage < 2) FilterFrom(stage, indices);
        }
      }
    }
    std::copy(saved[0], saved[0] + kHistory, y1.begin());
    std::copy(saved[1], saved[1] + kHistory, y2.begin());
    FilterFrom(0, indices);
  }
  // Runs stages `stage`..3 with the given indices.
  void FilterFrom(int stage, const int* indices) {
    std::int16_t* ins[3] = {x.data() + kHistory, y1.data() + kHistory, y2.data() + kHistory};
    std::int16_t* outs[3] = {y1.data() + kHistory, y2.data() + kHistory, out.data()};
    for (int s = stage; s < 3; ++s) {
      const int order = s == 2 ? 10 : 2;
      float q[11] = {}, a[11];
      for (int i = 1; i <= order; ++i) q[i] = QuantiserFor(i).value[indices[2 * s + i - 1]];
      LarToCoefficients(q, order, a);
      FilterLanes(ins[s], n, order, a, outs[s]);
    }
  }
  // Estimated bits of the first c residual values as the block coder sees
  // them: per channel, in runs of 128 samples, about log2 of the mean
  // magnitude a sample (what a shift chosen per sub-block costs, give or
  // take a constant).
  static double ResidualCost(const std::int16_t* r, int c, int channels) {
    // The first values are left out: with the trials' cleared memories they
    // are off (the three stages look back 14 samples in all).
    constexpr int kSettle = 14;
    constexpr int kRun = 128;
    double bits = 0.0;
    const int span = kRun * channels;
    for (int start = kSettle; start < c; start += span) {
      const int end = std::min(c, start + span);
      // Both channels' sums in one pass over the interleaved samples.
      std::uint32_t sum[2] = {0, 0};
      int i = start;
      if (channels == 2)
        for (; i + 1 < end; i += 2) {
          sum[0] += static_cast<std::uint32_t>(std::abs(static_cast<int>(r[i])));
          sum[1] += static_cast<std::uint32_t>(std::abs(static_cast<int>(r[i + 1])));
        }
      for (; i < end; ++i) sum[(i - start) % channels] += static_cast<std::uint32_t>(std::abs(static_cast<int>(r[i])));
      for (int ch = 0; ch < channels; ++ch) {
        const int count = (end - start - ch + channels - 1) / channels;
        if (count > 0) bits += count * std::log2(1.0 + static_cast<double>(sum[ch]) / count);
      }
    }
    return bits;
  }
  // Moves on to the next frame.
  void Advance() {
    for (auto* buf : {&x, &y1, &y2}) std::copy(buf->end() - kHistory, buf->end(), buf->begin());
    std::copy(out.begin(), out.end(), x.begin() + kHistory);
  }

  int n;
  std::vector<std::int16_t> x, y1, y2, out;
};

// The same cascade with three frames in flight, one at each stage: a step
// makes the autocorrelations of all three side by side (each alone is bound
// by the latency of its chain of float additions, not by arithmetic), then
// runs stage 3 of the oldest frame, stage 2 of the next and stage 1 of the
// newest, in that order, so that each stage's buffer has been read before
// the stage before it overwrites it. Every frame sees exactly the inputs and
// memories of the sequential cascade, so the files are the same.
class PipelinedCascade {
 public:
  explicit PipelinedCascade(int length)
      : x(kHistory + length, 0), out(length, 0), n_(length), y1_(kHistory + length, 0), y2_(kHistory + length, 0) {}

  std::vector<std::int16_t> x;    // the newest frame; its history slots are set by the caller at the start
  std::vector<std::int16_t> out;  // the residual of the frame Step returned

  bool Busy() const { return atX_ >= 0 || atY1_ >= 0 || atY2_ >= 0; }

  // Takes frame f's c samples. A partial frame (c < n) keeps the previous
  // frame's residual in its other positions, so the pipeline must be empty.
  void Load(std::int64_t f, const std::uint8_t* raw, int c) {
    if (loaded_) ShiftHistory(x);
    loaded_ = true;
    std::int16_t* frame = x.data() + kHistory;
    if (c < n_) std::copy(out.begin(), out.end(), frame);
    for (int i = 0; i < c; ++i)
      frame[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(raw[2 * i] | (raw[2 * i + 1] << 8)));
    atX_ = f;
  }

  // One step; returns the frame that left stage 3 (its residual in `out`,
  // its indices from Indices), or -1.
  std::int64_t Step() {
    float r1[11], r2[11], r10[11];
    const bool s1 = atX_ >= 0, s2 = atY1_ >= 0, s3 = atY2_ >= 0;
    std::int16_t* xs = x.data() + kHistory;
    std::int16_t* y1s = y1_.data() + kHistory;
    std::int16_t* y2s = y2_.data() + kHistory;
    if (s1 && s2 && s3) {
      AutocorrelateThree(y2s, y1s, xs, n_, r10, r2, r1);
    } else {
      if (s1 && s2) {
        AutocorrelatePair2(y1s, xs, n_, r2, r1);
      } else if (s1) {
        CAudioType::Autocorrelate(xs, n_, 2, r1);
      } else if (s2) {
        CAudioType::Autocorrelate(y1s, n_, 2, r2);
      }
      if (s3) CAudioType::Autocorrelate(y2s, n_, 10, r10);
    }
    std::int64_t done = -1;
    if (s3) {
      CAudioType::AnalyseStage(y2s, n_, 10, r10, out.data(), Indices(atY2_) + 4);
      done = atY2_;
      atY2_ = -1;
    }
    if (s2) {
      ShiftHistory(y2_);
      CAudioType::AnalyseStage(y1s, n_, 2, r2, y2s, Indices(atY1_) + 2);
      atY2_ = atY1_;
      atY1_ = -1;
    }
    if (s1) {
      ShiftHistory(y1_);
      CAudioType::AnalyseStage(xs, n_, 2, r1, y1s, Indices(atX_));
      atY1_ = atX_;
      atX_ = -1;
    }
    return done;
  }

  int* Indices(std::int64_t f) { return indices_[f % 4]; }

 private:
  // The frame a buffer holds becomes the history (the last inputs) in front of the next.
  void ShiftHistory(std::vector<std::int16_t>& buf) const {
    std::copy(buf.end() - kHistory, buf.end(), buf.begin());
  }

  int n_;
  std::vector<std::int16_t> y1_, y2_;
  bool loaded_ = false;
  std::int64_t atX_ = -1, atY1_ = -1, atY2_ = -1;  // the frame waiting for stage 1, 2, 3
  int indices_[4][14] = {};
};

// Frames [first, end) of the source into their places in the residual and
// analysis files. A range that does not start the source first runs three
// frames before it: after them every memory of the cascade holds exactly
// what a run from the start would hold, since each stage's memory is its own
// last inputs (frame 1 makes the first stage's output exact, frame 2 the
// second's, frame 3 the final residual). `first` is a multiple of 4, where
// the analysis stream is on a byte boundary (4 frames are 27 bytes).
void AnalyseRange(const std::filesystem::path& source, const std::filesystem::path& residualPath,
                  const std::filesystem::path& analysisPath, int n, std::uint64_t samples, std::uint64_t first,
                  std::uint64_t end, bool search, int channels, Crc32* crc, const std::atomic<bool>& cancel,
                  std::atomic<std::uint64_t>& done) {
  const std::uint64_t warm = first >= 3 ? first - 3 : 0;
  Cascade cascade(n);
  PipelinedCascade pipeline(n);
  InFile in(source);
  std::vector<std::uint8_t> raw(2 * static_cast<std::size_t>(n));
  if (warm > 0) {
    // The first stage's memory: the last inputs of the frame before.
    in.Seek((warm * n - kHistory) * 2);
    in.Read(raw.data(), 2 * kHistory);
    for (int i = 0; i < kHistory; ++i) {
      cascade.x[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(raw[2 * i] | (raw[2 * i + 1] << 8)));
      pipeline.x[i] = cascade.x[i];
    }
  }
  in.Seek(warm * n * 2);
  OutFile residual, analysis;
  residual.OpenForUpdate(residualPath);
  residual.Seek(first * n * 2);
  analysis.OpenForUpdate(analysisPath);
  analysis.Seek(first / 4 * 27);
  LsbBitWriter bits(analysis);
  std::vector<std::uint8_t> outBytes(2 * static_cast<std::size_t>(n));
  auto frameSamples = [&](std::uint64_t f) {
    return static_cast<int>(std::min<std::uint64_t>(static_cast<std::uint64_t>(n), samples - f * n));
  };
  auto emit = [&](std::uint64_t f, const int* indices, const std::vector<std::int16_t>& out) {
    if (f < first) return;  // a frame run only to set the memories
    for (int i = 0; i < 14; ++i) bits.Put(static_cast<unsigned>(indices[i]), kIndexBits[i]);
    const int c = frameSamples(f);
    for (int i = 0; i < c; ++i) {
      outBytes[2 * i] = static_cast<std::uint8_t>(out[i]);
      outBytes[2 * i + 1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(out[i]) >> 8);
    }
    residual.Write(outBytes.data(), 2 * static_cast<std::size_t>(c));
  };
  for (std::uint64_t f = warm; f < end; ++f) {
    if (cancel.load(std::memory_order_relaxed)) throw TaskCancelled{};
    if (f > first) done.fetch_add(1, std::memory_order_relaxed);
    const int c = frameSamples(f);
    in.Read(raw.data(), 2 * static_cast<std::size_t>(c));
    if (f >= first) crc->Update(raw.data(), 2 * static_cast<std::size_t>(c));
    if (search) {
      int indices[14];
      cascade.FrameSearch(raw.data(), c, indices, channels);
      emit(f, indices, cascade.out);
      cascade.Advance();
      continue;
    }
    auto step = [&] {
      const std::int64_t finished = pipeline.Step();
      if (finished >= 0) emit(static_cast<std::uint64_t>(finished), pipeline.Indices(finished), pipeline.out);
    };
    if (c < n)
      while (pipeline.Busy()) step();
    pipeline.Load(static_cast<std::int64_t>(f), raw.data(), c);
    step();
  }
  while (pipeline.Busy()) {
    const std::int64_t finished = pipeline.Step();
    if (finished >= 0) emit(static_cast<std::uint64_t>(finished), pipeline.Indices(finished), pipeline.out);
  }
  done.fetch_add(1, std::memory_order_relaxed);
  bits.Flush();  // only the last range can end within a byte
  residual.Close();
  analysis.Close();
}

}  // namespace

bool CAudioType::Analyse(std::uint8_t waveHeader, const std::filesystem::path& source,
                         const std::filesystem::path& residualPath, const std::filesystem::path& analysisPath,
                         std::uint32_t* sourceCrc, JobProgress* progress) {
  const int n = FrameLength(waveHeader != 0);
  const std::uint64_t samples = FileSize(source) / 2;  // a final odd byte belongs to no sample
  const std::uint64_t frames = (samples + static_cast<std::uint64_t>(n) - 1) / static_cast<std::uint64_t>(n);
  {
    OutFile analysis(analysisPath);
    OutFile residual(residualPath);
    analysis.Close();
    residual.Close();
  }
  // Ranges of whole groups of four frames, one per thread; short sources in one.
  const std::uint64_t parts = frames >= 64 ? std::max(1u, threads_) : 1;
  const std::uint64_t span = ((frames + parts - 1) / parts + 3) / 4 * 4;
  std::vector<std::function<void()>> tasks;
  // Each range also takes the checksum of the source bytes it reads.
  std::vector<Crc32> rangeCrcs(span ? static_cast<std::size_t>((frames + span - 1) / span) : 0);
  std::atomic<std::uint64_t> done{0};
  std::atomic<bool> cancel{false};
  for (std::uint64_t first = 0; first < frames; first += span) {
    const std::uint64_t end = std::min(frames, first + span);
    Crc32* crc = &rangeCrcs[static_cast<std::size_t>(first / span)];
    tasks.push_back([=, this, &cancel, &done] {
      AnalyseRange(source, residualPath, analysisPath, n, samples, first, end, search_, channels_, crc, cancel, done);
    });
  }
  // One unit a frame; the frames are checked for a cancel one by one.
  NullProgress quiet;
  JobProgress& shown = progress ? *progress : quiet;
  shown.Begin({}, frames);
  const bool ran = RunWithProgress(tasks, threads_, shown, done, cancel);
  shown.End();
  if (ran && sourceCrc) {
    // The ranges' checksums joined in order, and a final odd byte, which no
    // sample holds.
    std::uint32_t crc = Crc32().Value();
    for (std::size_t r = 0; r < rangeCrcs.size(); ++r) {
      const std::uint64_t first = r * span, end = std::min(frames, first + span);
      const std::uint64_t bytes = 2 * (std::min(samples, end * n) - first * n);
      crc = Crc32::Combine(crc, rangeCrcs[r].Value(), bytes);
    }
    if (FileSize(source) % 2 != 0) {
      InFile in(source);
      in.Seek(2 * samples);
      Crc32 last;
      last.Update(static_cast<std::uint8_t>(in.Get()));
      crc = Crc32::Combine(crc, last.Value(), 1);
    }
    *sourceCrc = crc;
  }
  return ran;
}

}  // namespace ost
