// Autocorrelation of a stage's input, lags 0..order (order 2 or 10). Each
// lag is its own running float sum over i = j .. length-1 in ascending
// order: the exact integer product joins the float sum in double precision
// and the sum is rounded to float after every addition. The pre-analysis
// derives the predictors from these sums, so every path must give the bits
// of the scalar one.
//
// The portable sums are in Autocorrelation.cpp; processor-specific paths
// sit in files of their own (AutocorrelationSse2.cpp, AutocorrelationAvx.cpp,
// each built with its own flags) behind one table chosen once at start-up.
// They advance several lags, or several signals, side by side, which
// changes no rounding: each lag still sees the same additions in the same
// order.
#pragma once

#include <cstdint>

namespace ost::autocorrelation {

// Lags 0..order of s[0..length).
using LagsFn = void (*)(const std::int16_t* s, int length, int order, float* r);
// Lags 0..2 of two signals of the same length.
using PairFn = void (*)(const std::int16_t* a, const std::int16_t* b, int length, float* ra, float* rb);
// Lags 0..10 of s and 0..2 of a and b, all of the same length.
using ThreeFn = void (*)(const std::int16_t* s, const std::int16_t* a, const std::int16_t* b, int length, float* r10,
                         float* ra, float* rb);

struct Paths {
  const char* name;
  LagsFn lags;
  PairFn pair;
  ThreeFn three;
};

// The best paths this processor has; chosen once.
const Paths& Chosen();

// Every set of paths this build and processor have, the portable one first;
// `count` gets how many.
const Paths* const* Every(int& count);

// The scalar sums, compiled on every machine.
extern const Paths kPortable;

#if defined(OST_X86_AUTOCORRELATION)
// SSE2 (every x86-64 processor) and AVX (checked at run time).
extern const Paths kSse2;
extern const Paths kAvx;
#endif

// Each path keeps a per-thread scratch of the reversed signal as doubles;
// the vector files, which must not instantiate shared inline code with their
// own flags, get it from here. Holds at least `size` doubles.
double* ReversedScratch(int size);

}  // namespace ost::autocorrelation
