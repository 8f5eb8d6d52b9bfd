// The three synthesis stages over c samples of a frame, order 10 first:
// the portable runs, and runs for processors that have more, behind one
// table chosen once at start-up. Every path gives the same samples.
#pragma once

#include <cstdint>

#include "common/VectorClones.h"
#include "format/Prediction.h"

namespace ost::synthesis {

using StagesFn = void (*)(const Predictor& p3, const Predictor& p2, const Predictor& p1, const std::int16_t* e, int c,
                          std::int16_t* y2, std::int16_t* y1, std::int16_t* x);

// A path's runs by (p3.exact ? 4 : 0) | (p2.exact ? 2 : 0) | (p1.exact ? 1 : 0);
// an empty entry falls back to the portable run.
struct Path {
  const char* name;
  StagesFn runs[8];
};

extern const Path kPortable;
#if defined(OST_AVX_PATHS)
// The exact order-10 stage's older terms in double lanes (AVX2, checked at run time).
extern const Path kAvx2;
#endif

// The best path this processor has; chosen once.
const Path& Chosen();
// Every path this build and processor have, the portable one first.
const Path* const* Every(int& count);

// One frame on `path`: predictors made and checked from a3 (order 10), a2
// and a1 (order 2); y2, y1 and x receive the stages' outputs, each with its
// memory in the 10 slots in front.
void RunFrame(const Path& path, const float* a3, const float* a2, const float* a1, const std::int16_t* e, int c,
              std::int16_t* y2, std::int16_t* y1, std::int16_t* x);

}  // namespace ost::synthesis
