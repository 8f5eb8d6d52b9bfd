// The one prediction of the three filter stages, used by the pre-analysis
// and the synthesis alike: the prescribed double-precision sum, and the
// exact integer form that a frame's coefficients may allow.
//
// The prescribed prediction of x[0] sums x[-j] * a[j] for j = 1 .. order in
// double precision, in that order, and truncates toward zero. Every product
// is exact (16 by 24 significant bits); only an addition can round. When
// none can, the sum is the exact rational sum, whatever the order and
// whatever the arithmetic, and it can be run in int64 fixed point:
//   - every a[j] is an integer multiple of 2^u_j, u_j the exponent of its
//     lowest set bit; let L = min(0, min u_j) over the non-zero a[j]; then
//     every product and every partial sum is an integer multiple of 2^L;
//   - the samples are 16-bit (|x| <= 2^15: the source, and every stage's
//     output, wrapped to 16 bits), so every partial sum, in any order, is at
//     most B = 2^15 * sum |a[j]| in magnitude;
//   - if B < 2^(L + 53), every partial sum is k * 2^L with |k| < 2^53, which
//     a double holds exactly: each rounded addition gives the exact partial
//     sum, and the prescribed result is trunc(K * 2^L), K = sum x[-j] * A[j]
//     with the integers A[j] = a[j] * 2^-L (and |K| < 2^53, no int64
//     overflow in any order). With s = -L >= 0 the truncation toward zero is
//     an arithmetic shift of K, or of K + 2^s - 1 when K is negative.
// The check also asks for B < 2^31, so that the prescribed conversion to a
// 32-bit integer is defined, and for s <= 62.
#pragma once

#include <cstdint>

namespace ost {

// The prediction of sample x[0] from x[-1] .. x[-order] with coefficients
// a[1..order]: the products summed in double precision in the order
// j = 1, 2, ..., order, truncated toward zero.
// WATCHOUT: archives depend on this exact evaluation order and rounding;
// never reorder, vectorise across j or fuse it. (Running it for many samples
// side by side, each lane in this order, changes nothing.) `Sample` is
// std::int16_t, or double holding 16-bit values.
template <int Order, typename Sample>
inline std::int32_t PredictionSum(const Sample* x, const float* a) {
  // The sum starts at 0.0; 0.0 + p is p exactly (but for the sign of a zero,
  // which no later addition or the truncation can tell), so it starts at the
  // first product: one addition fewer in the synthesis's recursion.
  double sum = static_cast<double>(x[-1]) * static_cast<double>(a[1]);
  for (int j = 2; j <= Order; ++j) sum = sum + static_cast<double>(x[-j]) * static_cast<double>(a[j]);
  return static_cast<std::int32_t>(sum);
}

// One stage's coefficients with the outcome of the exactness check, and
// when it holds their fixed-point form. Made once per frame and stage.
struct Predictor {
  int order = 0;           // 2 or 10
  const float* a = nullptr;  // a[1..order], the caller's; used by the prescribed sum
  bool exact = false;      // no partial sum of any 16-bit input can round
  int shift = 0;           // s = -L
  std::int64_t c[11] = {};  // c[j] = a[j] * 2^s, exact (index 0 unused)

  // The fixed-point sum of the terms j = 2 .. Order of the prediction of
  // x[0]: everything but the newest sample's term, so that a recursion can
  // have it ready before x[-1] is known.
  template <int Order>
  std::int64_t Ahead(const std::int16_t* x) const {
    std::int64_t sum = 0;
    for (int j = 2; j <= Order; ++j) sum += c[j] * x[-j];
    return sum;
  }
  // The prediction from Ahead's sum and the newest sample x[-1]: the exact
  // sum shifted down by s, truncated toward zero. Both candidates (the sum,
  // and the sum plus 2^s - 1 for a negative one) are formed side by side
  // and the sign picks one: a step fewer after the multiply.
  std::int32_t Finish(std::int64_t ahead, std::int16_t newest) const {
    const std::int64_t product = c[1] * newest;
    const std::int64_t k = ahead + product;
    const std::int64_t up = (ahead + ((std::int64_t{1} << shift) - 1)) + product;
    return static_cast<std::int32_t>((k < 0 ? up : k) >> shift);
  }
  // The prediction of x[0]: the same value as PredictionSum<Order>(x, a),
  // by the fixed-point form where the check holds.
  template <int Order>
  std::int32_t Predict(const std::int16_t* x) const {
    return exact ? Finish(Ahead<Order>(x), x[-1]) : PredictionSum<Order>(x, a);
  }
};

// Checks coefficients a[1..order] (order <= 10; the array must outlive the
// result) and makes their fixed-point form where the check holds.
Predictor MakePredictor(const float* a, int order);

}  // namespace ost
