// The eight fixed polynomial predictors of the block coder, shared by the
// block encoder and the block decoder.
#pragma once

namespace ost {

// Prediction coefficients c1..c5 of the eight fixed predictors.
inline constexpr int kPredictorCoefficients[8][5] = {
    {0, 0, 0, 0, 0}, {1, 0, 0, 0, 0},    {2, -1, 0, 0, 0}, {3, -3, 1, 0, 0},
    {5, -10, 10, -5, 1}, {2, -2, 1, 0, 0}, {4, -6, 4, -1, 0}, {1, -1, 1, 0, 0},
};

// Calls f.template operator()<P>() with predictor number p as a constant, so
// that a loop over kPredictorCoefficients[P] is compiled with its
// coefficients known (a predictor then costs only its own terms).
template <typename F>
inline void WithPredictor(int p, F&& f) {
  switch (p) {
    case 0: f.template operator()<0>(); break;
    case 1: f.template operator()<1>(); break;
    case 2: f.template operator()<2>(); break;
    case 3: f.template operator()<3>(); break;
    case 4: f.template operator()<4>(); break;
    case 5: f.template operator()<5>(); break;
    case 6: f.template operator()<6>(); break;
    default: f.template operator()<7>(); break;
  }
}

}  // namespace ost
