// The log-area-ratio quantisers of the three prediction stages and the one
// conversion from quantised ratios to predictor coefficients. The
// pre-analysis and the synthesis both use exactly these functions (and the
// prediction of Prediction.h), so that they compute every prediction to the
// same bit.
#pragma once

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

// The same conversion keeping the coefficients after every step, steps[m]
// after step m (steps[order] is the result), and starting after step
// `kept`: steps[1..kept] are those of an earlier call whose q[1..kept] were
// these. A search that changes one ratio at a time redoes only the steps
// from that ratio on, with the same arithmetic.
void LarToCoefficientsFrom(const float* q, int order, int kept, float (*steps)[11]);

}  // namespace ost
