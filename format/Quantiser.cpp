#include "format/Quantiser.h"

namespace ost {

namespace {

const float kT1[32] = {-1.484f, -1.41f,  -1.331f, -1.25f,  -1.184f, -1.127f, -1.061f, -0.984f,
                       -0.9f,   -0.81f,  -0.705f, -0.605f, -0.513f, -0.412f, -0.311f, -0.219f,
                       -0.123f, -0.035f, 0.046f,  0.138f,  0.238f,  0.334f,  0.42f,   0.502f,
                       0.585f,  0.693f,  0.787f,  0.865f,  0.96f,   1.058f,  1.164f,  10.0f};
const float kV1[32] = {-1.522f, -1.446f, -1.374f, -1.289f, -1.211f, -1.158f, -1.097f, -1.026f,
                       -0.942f, -0.859f, -0.76f,  -0.65f,  -0.561f, -0.466f, -0.357f, -0.264f,
                       -0.173f, -0.072f, 0.002f,  0.089f,  0.186f,  0.29f,   0.378f,  0.462f,
                       0.542f,  0.629f,  0.756f,  0.819f,  0.911f,  1.009f,  1.106f,  1.221f};
const float kT2[32] = {-1.003f, -0.892f, -0.818f, -0.75f,  -0.671f, -0.592f, -0.51f,  -0.418f,
                       -0.331f, -0.251f, -0.173f, -0.097f, -0.022f, 0.063f,  0.154f,  0.239f,
                       0.323f,  0.409f,  0.495f,  0.578f,  0.657f,  0.743f,  0.834f,  0.922f,
                       1.004f,  1.083f,  1.159f,  1.244f,  1.344f,  1.436f,  1.532f,  10.0f};
const float kV2[32] = {-1.073f, -0.933f, -0.85f,  -0.786f, -0.713f, -0.628f, -0.556f, -0.463f,
                       -0.372f, -0.29f,  -0.212f, -0.135f, -0.06f,  0.017f,  0.11f,   0.198f,
                       0.28f,   0.366f,  0.452f,  0.537f,  0.618f,  0.697f,  0.789f,  0.879f,
                       0.965f,  1.043f,  1.123f,  1.195f,  1.294f,  1.395f,  1.478f,  1.586f};
const float kT3[16] = {-0.9115f, -0.7282f, -0.5868f, -0.4775f, -0.3833f, -0.298f, -0.2137f, -0.1269f,
                       -0.0364f, 0.0596f,  0.1628f,  0.2728f,  0.3967f,  0.5397f, 0.7292f,  10.0f};
const float kV3[16] = {-1.011f,  -0.8119f, -0.6446f, -0.529f,  -0.426f, -0.3406f, -0.2555f, -0.172f,
                       -0.0819f, 0.0091f,  0.1101f,  0.2155f,  0.3302f, 0.4631f,  0.6163f,  0.8f};
const float kT4[16] = {-0.4887f, -0.3485f, -0.2323f, -0.1323f, -0.0412f, 0.0463f, 0.1354f, 0.23f,
                       0.3273f,  0.4227f,  0.5167f,  0.6104f,  0.7224f,  0.8746f, 0.99f,   10.0f};
const float kV4[16] = {-0.5661f, -0.4112f, -0.2858f, -0.1788f, -0.0859f, 0.0036f, 0.089f,  0.1818f,
                       0.2782f,  0.3764f,  0.4689f,  0.5646f,  0.6561f,  0.7886f, 0.9206f, 1.0f};
const float kT5[16] = {-0.6215f, -0.4959f, -0.3943f, -0.3035f, -0.2231f, -0.1516f, -0.0822f, -0.0149f,
                       0.055f,   0.1311f,  0.2082f,  0.2886f,  0.3811f,  0.5007f,  0.66f,    10.0f};
const float kV5[16] = {-0.6927f, -0.5504f, -0.4414f, -0.3473f, -0.2597f, -0.1866f, -0.1167f, -0.0477f,
                       0.018f,   0.0921f,  0.1702f,  0.2463f,  0.3309f,  0.4313f,  0.5702f,  0.7201f};
const float kT6[8] = {-0.2392f, -0.0654f, 0.0725f, 0.2f, 0.3306f, 0.4838f, 0.6917f, 10.0f};
const float kV6[8] = {-0.3213f, -0.137f, 0.0061f, 0.1389f, 0.2611f, 0.4001f, 0.5676f, 0.75f};
const float kT7[8] = {-0.5866f, -0.4474f, -0.3225f, -0.1903f, -0.0596f, 0.0776f, 0.2546f, 10.0f};
const float kV7[8] = {-0.666f, -0.5072f, -0.3876f, -0.2574f, -0.1232f, 0.0393f, 0.1512f, 0.358f};
const float kT8[4] = {-0.2569f, -0.0216f, 0.1969f, 10.0f};
const float kV8[4] = {-0.3917f, -0.122f, 0.0788f, 0.315f};
const float kT9[4] = {-0.31f, -0.0717f, 0.1516f, 10.0f};
const float kV9[4] = {-0.44f, -0.1827f, 0.0393f, 0.2639f};
const float kT10[4] = {-0.0726f, 0.0837f, 0.2609f, 10.0f};
const float kV10[4] = {-0.1432f, -0.0021f, 0.1694f, 0.3522f};

const LarQuantiser kQuantisers[10] = {
    {5, kT1, kV1}, {5, kT2, kV2}, {4, kT3, kV3}, {4, kT4, kV4}, {4, kT5, kV5},
    {3, kT6, kV6}, {3, kT7, kV7}, {2, kT8, kV8}, {2, kT9, kV9}, {2, kT10, kV10},
};

// Inverse of the log-area-ratio mapping: quantised ratio to reflection coefficient.
float ReflectionFromLar(float q) {
  const double v = q;
  if (v > -0.675 && v < 0.675) return -q;
  if (v > -1.225 && v <= -0.675) return static_cast<float>(0.3375 - 0.5 * v);
  if (v >= 0.675 && v < 1.225) return static_cast<float>(-0.3375 - 0.5 * v);
  if (v <= -1.225) return static_cast<float>(0.796875 - 0.125 * v);
  return static_cast<float>(-0.796875 - 0.125 * v);
}

}  // namespace

const LarQuantiser& QuantiserFor(int coefficient) { return kQuantisers[coefficient - 1]; }

int QuantiseIndex(int coefficient, float lar) {
  const LarQuantiser& q = QuantiserFor(coefficient);
  const int last = (1 << q.bits) - 1;
  for (int i = 0; i < last; ++i)
    if (lar < q.threshold[i]) return i;
  return last;  // the last threshold (10) exceeds every ratio; NaN lands here too
}

void StepUp(float* a, int m, float k) {
  float previous[11];
  for (int j = 1; j < m; ++j) previous[j] = a[j];
  a[m] = k;
  for (int j = 1; j < m; ++j)
    a[j] = static_cast<float>(static_cast<double>(previous[j]) - static_cast<double>(k) * static_cast<double>(previous[m - j]));
}

void LarToCoefficientsFrom(const float* q, int order, int kept, float (*steps)[11]) {
  for (int m = kept + 1; m <= order; ++m) {
    float* a = steps[m];
    if (m == 1) {
      a[1] = ReflectionFromLar(q[1]);
      continue;
    }
    for (int j = 1; j < m; ++j) a[j] = steps[m - 1][j];
    StepUp(a, m, ReflectionFromLar(q[m]));
  }
}

void LarToCoefficients(const float* q, int order, float* a) {
  float steps[11][11];
  LarToCoefficientsFrom(q, order, 0, steps);
  for (int j = 1; j <= order; ++j) a[j] = steps[order][j];
}

}  // namespace ost
