// The log-area-ratio quantisers of the three prediction stages, the one
// conversion from quantised ratios to predictor coefficients, and the one
// prediction sum. The pre-analysis and the synthesis both use exactly these
// functions, so that they compute every prediction to the same bit.
#pragma once

#include <cstdint>

namespace ost {

struct LarQuantiser {
  int bits;                // index width in the analysis stream
  const float* threshold;  // 2^bits entries; index = first i with L < threshold[i]
  const float* value;      // reconstruction values
};

// Quantisers of the ten coefficients of the order-10 stage; the order-2
// stages use the first two.
const LarQuantiser& QuantiserFor(int coefficient);  // coefficient 1..10

// Index of a log-area ratio in the quantiser of `coefficient`.
int QuantiseIndex(int coefficient, float lar);

// One step of the recursion from reflection coefficients to direct-form
// coefficients: a[m] := k and a[j] -= k a[m-j] for j < m, all from the old
// values, each in double precision and rounded to float.
void StepUp(float* a, int m, float k);

// Quantised log-area ratios q[1..order] to direct-form predictor
// coefficients a[1..order] (index 0 unused).
void LarToCoefficients(const float* q, int order, float* a);

// The prediction of sample x[0] from x[-1] .. x[-order] with coefficients
// a[1..order]: the products summed in double precision in the order
// j = 1, 2, ..., order, truncated toward zero.
// WATCHOUT: archives depend on this exact evaluation order and rounding;
// never reorder, vectorise or fuse it.
template <int Order>
inline std::int32_t PredictionSum(const std::int16_t* x, const float* a) {
  // The sum starts at 0.0; 0.0 + p is p exactly (but for the sign of a zero,
  // which no later addition or the truncation can tell), so it starts at the
  // first product: one addition fewer in the synthesis's recursion.
  double sum = static_cast<double>(x[-1]) * static_cast<double>(a[1]);
  for (int j = 2; j <= Order; ++j) sum = sum + static_cast<double>(x[-j]) * static_cast<double>(a[j]);
  return static_cast<std::int32_t>(sum);
}

}  // namespace ost
