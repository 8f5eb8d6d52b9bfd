// One synthesis stage's recursion, shared by the portable and the
// processor-specific runs of the three stages.
#pragma once

#include <cstdint>

#include "format/Prediction.h"

namespace ost::synthesis {

// One synthesis stage's recursion over a frame: y[i] = e[i] + the prediction
// from y[i-1] .. y[i-Order], modulo 65536 (y[-1] .. y[-Order] hold the
// memory). With an exact predictor the sum of the older terms (Ahead) does
// not wait for y[i-1], which is carried in a register: a sample waits for one
// multiply, one add, the shift and the residual add. Otherwise the
// prescribed sum, unchanged.
template <int Order, bool Exact>
class Recursion {
 public:
  Recursion(const Predictor& p, std::int16_t* y) : p_(p), y_(y), last_(y[-1]) {}
  std::int16_t Next(int i, std::int16_t e) {
    std::int32_t t;
    if constexpr (Exact)
      t = p_.Finish(p_.template Ahead<Order>(y_ + i), last_);
    else
      t = PredictionSum<Order>(y_ + i, p_.a);
    last_ = static_cast<std::int16_t>(
        static_cast<std::uint16_t>(static_cast<std::uint32_t>(t) + static_cast<std::uint32_t>(e)));
    y_[i] = last_;
    return last_;
  }

 private:
  const Predictor& p_;
  std::int16_t* y_;
  std::int16_t last_;
};

}  // namespace ost::synthesis
