#include "format/Prediction.h"

#include <bit>
#include <cmath>

namespace ost {

namespace {

// 2^15 * sum |A[j]| < 2^53: the bound on every partial sum in units of 2^L.
constexpr int kSumBits = 53 - 15;

}  // namespace

Predictor MakePredictor(const float* a, int order) {
  Predictor p;
  p.order = order;
  p.a = a;
  std::int64_t c[11] = {};
  // Each non-zero coefficient as an odd integer m times 2^u.
  std::uint64_t odd[11] = {};
  int low[11] = {};
  int lowest = 0;
  for (int j = 1; j <= order; ++j) {
    if (a[j] == 0.0f) continue;
    if (!std::isfinite(a[j])) return p;
    int e = 0;
    const double f = std::frexp(static_cast<double>(a[j]), &e);  // |f| in [0.5, 1)
    // A float has at most 24 significant bits: f * 2^24 is an integer.
    const auto m = static_cast<std::uint64_t>(std::fabs(std::ldexp(f, 24)));
    const int zeros = std::countr_zero(m);
    odd[j] = m >> zeros;
    low[j] = e - 24 + zeros;
    if (low[j] < lowest) lowest = low[j];
  }
  const int shift = -lowest;
  if (shift > 62) return p;
  std::uint64_t total = 0;
  for (int j = 1; j <= order; ++j) {
    if (odd[j] == 0) continue;
    // |A[j]| = odd * 2^(u - L); a term of kSumBits bits or more fails alone.
    const int up = low[j] - lowest;
    if (up >= kSumBits || std::bit_width(odd[j]) + up > kSumBits) return p;
    const std::uint64_t magnitude = odd[j] << up;
    total += magnitude;  // ten terms below 2^38 each: no overflow
    c[j] = a[j] < 0.0f ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
  }
  if (total >= std::uint64_t{1} << kSumBits) return p;
  // B < 2^31: 2^15 * total * 2^-s < 2^31, so the truncated sum fits an int32.
  if (shift + 16 < kSumBits && total >= std::uint64_t{1} << (shift + 16)) return p;
  p.exact = true;
  p.shift = shift;
  for (int j = 1; j <= order; ++j) p.c[j] = c[j];
  return p;
}

}  // namespace ost
