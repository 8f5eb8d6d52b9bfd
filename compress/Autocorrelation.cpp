#include "compress/Autocorrelation.h"

#include <algorithm>
#include <vector>

namespace ost::autocorrelation {

namespace {

// The prescribed sums: each lag's products added in order, the running sum
// rounded to float after every addition. Every other path must give these
// bits.
template <int Order>
void ScalarLags(const std::int16_t* s, int length, float* r) {
  float sum[Order + 1] = {};
  for (int i = 0; i < length; ++i)
    for (int j = 0; j <= std::min(i, Order); ++j) {
      const std::int32_t product = static_cast<std::int32_t>(s[i]) * static_cast<std::int32_t>(s[i - j]);
      sum[j] = static_cast<float>(static_cast<double>(sum[j]) + static_cast<double>(product));
    }
  for (int j = 0; j <= Order; ++j) r[j] = sum[j];
}

void PortableLags(const std::int16_t* s, int length, int order, float* r) {
  if (order == 2)
    ScalarLags<2>(s, length, r);
  else
    ScalarLags<10>(s, length, r);
}

void PortablePair(const std::int16_t* a, const std::int16_t* b, int length, float* ra, float* rb) {
  ScalarLags<2>(a, length, ra);
  ScalarLags<2>(b, length, rb);
}

void PortableThree(const std::int16_t* s, const std::int16_t* a, const std::int16_t* b, int length, float* r10,
                   float* ra, float* rb) {
  ScalarLags<10>(s, length, r10);
  PortablePair(a, b, length, ra, rb);
}

void PortableSix(const std::int16_t* const* signals, int length, float* const* r) {
  SixByThree(PortableThree, signals, length, r);
}

}  // namespace

const Paths kPortable{"portable", PortableLags, PortablePair, PortableThree, PortableSix};

void SixByThree(ThreeFn three, const std::int16_t* const* signals, int length, float* const* r) {
  three(signals[0], signals[1], signals[2], length, r[0], r[1], r[2]);
  three(signals[3], signals[4], signals[5], length, r[3], r[4], r[5]);
}

double* ReversedScratch(int size, int slot) {
  thread_local std::vector<double> scratch[6];
  std::vector<double>& mine = scratch[slot];
  if (mine.size() < static_cast<std::size_t>(size)) mine.resize(static_cast<std::size_t>(size));
  return mine.data();
}

const Paths* const* Every(int& count) {
  static const auto every = [] {
    std::vector<const Paths*> paths{&kPortable};
#if defined(OST_X86_AUTOCORRELATION)
    paths.push_back(&kSse2);
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx")) paths.push_back(&kAvx);
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl")) paths.push_back(&kAvx512);
#endif
    return paths;
  }();
  count = static_cast<int>(every.size());
  return every.data();
}

const Paths& Chosen() {
  static const Paths& best = []() -> const Paths& {
    int count = 0;
    const Paths* const* every = Every(count);
    return *every[count - 1];  // the last is the widest
  }();
  return best;
}

}  // namespace ost::autocorrelation
