#include "extract/SynthesisStages.h"

#include <vector>

#include "common/CpuFeatures.h"
#include "extract/Recursion.h"

namespace ost::synthesis {

namespace {

// The three stages over c samples, order 10 first, sample by sample, so that
// the three recursions' chains overlap.
template <bool Exact3, bool Exact2, bool Exact1>
void RunStages(const Predictor& p3, const Predictor& p2, const Predictor& p1, const std::int16_t* e, int c,
               std::int16_t* y2, std::int16_t* y1, std::int16_t* x) {
  Recursion<10, Exact3> s3(p3, y2);
  Recursion<2, Exact2> s2(p2, y1);
  Recursion<2, Exact1> s1(p1, x);
  for (int i = 0; i < c; ++i) s1.Next(i, s2.Next(i, s3.Next(i, e[i])));
}

}  // namespace

const Path kPortable{"portable",
                     {RunStages<false, false, false>, RunStages<false, false, true>, RunStages<false, true, false>,
                      RunStages<false, true, true>, RunStages<true, false, false>, RunStages<true, false, true>,
                      RunStages<true, true, false>, RunStages<true, true, true>}};

const Path* const* Every(int& count) {
  static const auto every = [] {
    std::vector<const Path*> paths{&kPortable};
#if defined(OST_AVX_PATHS)
    if (cpu::Avx2()) paths.push_back(&kAvx2);
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
    return *every[count - 1];
  }();
  return best;
}

void RunFrame(const Path& path, const float* a3, const float* a2, const float* a1, const std::int16_t* e, int c,
              std::int16_t* y2, std::int16_t* y1, std::int16_t* x) {
  const Predictor p3 = MakePredictor(a3, 10), p2 = MakePredictor(a2, 2), p1 = MakePredictor(a1, 2);
  const int which = (p3.exact ? 4 : 0) | (p2.exact ? 2 : 0) | (p1.exact ? 1 : 0);
  const StagesFn run = path.runs[which] ? path.runs[which] : kPortable.runs[which];
  run(p3, p2, p1, e, c, y2, y1, x);
}

}  // namespace ost::synthesis
