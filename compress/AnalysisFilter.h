// The order-10 analysis filter over known samples held as doubles: the
// Extreme search runs it about 130 times a frame, most of that rate's time.
// out[i] = in[i] - the prescribed prediction from x[i-1] .. x[i-10], low 16
// bits. Every path runs many predictions side by side, each lane the
// prescribed sum in its order, so every path gives the same residuals; a
// path's exact form, for coefficients MakePredictor accepts, may fuse and
// reorder the sum, which then cannot round. Beside it, the run sums that
// the search's cost of each trial is made of.
// The paths sit behind one table chosen once at start-up.
#pragma once

#include <cstdint>

#include "common/VectorClones.h"

namespace ost::analysis_filter {

using Order10Fn = void (*)(const std::int16_t* in, const double* x, int length, const float* a, std::int16_t* out);
// Two coefficient sets over the same samples: the residuals of `a` in outA
// and of `b` in outB, as two calls would give them.
using Order10PairFn = void (*)(const std::int16_t* in, const double* x, int length, const float* a, const float* b,
                               std::int16_t* outA, std::int16_t* outB);
// The sums of |r[i]| over runs of `span` values (a multiple of 16; the last
// run may be shorter), channel by channel: sums[channels * run + ch] adds
// the values whose offset in the run leaves ch modulo `channels` (1 or 2).
// Returns the runs. What the search's cost is made of.
using RunSumsFn = int (*)(const std::int16_t* r, int count, int span, int channels, std::uint32_t* sums);

struct Path {
  const char* name;
  Order10Fn order10;
  // The same residuals, only for coefficients that MakePredictor finds
  // exact: no partial sum can round, so the sum may be fused and reordered.
  Order10Fn order10Exact;
  RunSumsFn runSums;
  // The exact form for two sets at once, sharing the shifted windows of x
  // (the search tries several sets on one input); null where a path has none.
  Order10PairFn order10ExactPair;
};

// The compiler's vectors (AVX2 where the processor has it).
extern const Path kVectorised;
#if defined(OST_AVX_PATHS)
// Eight lanes to a vector (AVX-512 with its 16-bit operations, checked at run time).
extern const Path kAvx512;
#endif

// The best path this processor has; chosen once.
const Path& Chosen();
// Every path this build and processor have, the compiler's first.
const Path* const* Every(int& count);

}  // namespace ost::analysis_filter
