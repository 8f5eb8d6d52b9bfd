#include "format/Prediction.h"

#include <bit>

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
    // |a[j]| = m * 2^e with the integer m of at most 24 bits, read off the
    // float's fields (a subnormal has no leading 1 and the exponent of 1).
    const auto bits = std::bit_cast<std::uint32_t>(a[j]);
    const int biased = static_cast<int>((bits >> 23) & 0xFF);
    if (biased == 0xFF) return p;  // infinite or NaN
    const std::uint64_t m = (bits & 0x7FFFFFu) | (biased ? 0x800000u : 0u);
    const int e = (biased ? biased : 1) - 150;
    const int zeros = std::countr_zero(m);
    odd[j] = m >> zeros;
    low[j] = e + zeros;
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
