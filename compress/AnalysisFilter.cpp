#include "compress/AnalysisFilter.h"

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

}  // namespace

const Path kVectorised{"vectorised", Vectorised10, Vectorised10};

const Path* const* Every(int& count) {
  static const auto every = [] {
    std::vector<const Path*> paths{&kVectorised};
#if defined(OST_AVX_PATHS)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl")) paths.push_back(&kAvx512);
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
