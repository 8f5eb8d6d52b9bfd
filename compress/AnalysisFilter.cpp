#include "compress/AnalysisFilter.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "format/Prediction.h"

namespace ost::analysis_filter {

namespace {

OST_VECTOR_CLONES void Vectorised10(const std::int16_t* in, const double* x, int length, const float* a,
                                    std::int16_t* out) {
  for (int i = 0; i < length; ++i) {
    const std::int32_t residual = static_cast<std::int32_t>(in[i]) - PredictionSum<10>(x + i, a);
    out[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(residual));
  }
}

// The sums are exact, so they are taken 16 values side by side; lane j
// holds channel j % channels, since a span is a multiple of 16.
OST_VECTOR_CLONES int VectorisedRunSums(const std::int16_t* r, int count, int span, int channels, std::uint32_t* sums) {
  int runs = 0;
  for (int start = 0; start < count; start += span, ++runs) {
    const int end = std::min(count, start + span);
    std::uint32_t lanes[16] = {};
    int i = start;
    for (; i + 16 <= end; i += 16)
      for (int j = 0; j < 16; ++j) lanes[j] += static_cast<std::uint32_t>(std::abs(static_cast<int>(r[i + j])));
    std::uint32_t* sum = sums + channels * runs;
    for (int ch = 0; ch < channels; ++ch) sum[ch] = 0;
    for (int j = 0; j < 16; ++j) sum[j % channels] += lanes[j];
    for (; i < end; ++i) sum[(i - start) % channels] += static_cast<std::uint32_t>(std::abs(static_cast<int>(r[i])));
  }
  return runs;
}

}  // namespace

const Path kVectorised{"vectorised", Vectorised10, Vectorised10, VectorisedRunSums, nullptr};

const Path* const* Every(int& count) {
  static const auto every = [] {
    std::vector<const Path*> paths{&kVectorised};
#if defined(OST_AVX_PATHS)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw"))
      paths.push_back(&kAvx512);
#endif
    return paths;
  }();
  count = static_cast<int>(every.size());
  return every.data();
}

const Path& Chosen() {
  static const Path& best = []() -> const Path& {
    int count = 0;
    const Path* const* every = Every(count);
    return *every[count - 1];  // the last is the widest
  }();
  return best;
}

}  // namespace ost::analysis_filter
