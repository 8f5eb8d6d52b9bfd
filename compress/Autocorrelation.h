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

// Two independent sets of what ThreeFn takes, all of the same length:
// signals s, a, b of one set, then of the other; r: r10, ra, rb likewise.
using SixFn = void (*)(const std::int16_t* const* signals, int length, float* const* r);

struct Paths {
  const char* name;
  LagsFn lags;
  PairFn pair;
  ThreeFn three;
  SixFn six;
};

// The best paths this processor has; chosen once.
const Paths& Chosen();

// Every set of paths this build and processor have, the portable one first;
// `count` gets how many.
const Paths* const* Every(int& count);

// The scalar sums, compiled on every machine.
extern const Paths kPortable;

#if defined(OST_X86_AUTOCORRELATION)
// SSE2 (every x86-64 processor), AVX and AVX-512 (checked at run time).
extern const Paths kSse2;
extern const Paths kAvx;
extern const Paths kAvx512;
#endif

// Each path keeps per-thread scratches of reversed signals as doubles
// (`slot` 0 to 5, one for each signal of SixFn); the vector files, which
// must not instantiate shared inline code with their own flags, get them
// from here. Holds at least `size` doubles.
double* ReversedScratch(int size, int slot = 0);

// SixFn as two calls of a ThreeFn.
void SixByThree(ThreeFn three, const std::int16_t* const* signals, int length, float* const* r);

}  // namespace ost::autocorrelation
