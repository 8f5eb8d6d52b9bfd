#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "compress/AnalysisFilter.h"
#include "compress/AudioType.h"
#include "extract/AudioSynth.h"
#include "extract/SynthesisStages.h"
#include "format/Prediction.h"
#include "format/Quantiser.h"

namespace ost {
namespace {

// Coefficients a[1..order] (index 0 unused, the rest zero).
struct Coefficients {
  float a[11] = {};
  int order = 2;
};

Coefficients Set(int order, std::initializer_list<float> values) {
  Coefficients c;
  c.order = order;
  int j = 1;
  for (float v : values) c.a[j++] = v;
  return c;
}

Coefficients FromIndices(int order, const int* indices) {
  float q[11] = {};
  for (int i = 1; i <= order; ++i) q[i] = QuantiserFor(i).value[indices[i - 1]];
  Coefficients c;
  c.order = order;
  LarToCoefficients(q, order, c.a);
  return c;
}

// Sets the check must refuse: tiny non-zero coefficients beside large ones,
// extreme exponents, sums too large for the 32-bit truncation.
std::vector<Coefficients> HostileSets() {
  return {
      Set(2, {1.5f, std::ldexp(1.0f, -38)}),  // past the bound: this one rounds (below)
      Set(2, {1.5f, 1e-40f}),                 // a subnormal beside a large one
      Set(2, {std::ldexp(1.0f, -149), 0.0f}),  // the smallest float alone: shift beyond 62
      Set(10, {1.9f, -0.9f, 0.3f, -0.2f, 0.1f, 0.05f, -0.02f, 0.01f, 0.001f, 3e-6f}),
      Set(10, {1.5f, std::ldexp(1.0f, -38), 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, -std::ldexp(1.0f, -60)}),
  };
}

// Sets the check must accept.
std::vector<Coefficients> ExactSets() {
  const int silence[10] = {18, 13, 9, 5, 8, 2, 5, 2, 2, 1};
  const int extremes[10] = {0, 31, 0, 15, 0, 7, 0, 3, 0, 3};
  return {
      Set(2, {1.0f, std::ldexp(1.0f, -37)}),  // just inside the bound
      Set(2, {0.5f, 0.25f}),
      Set(2, {-0.75f, 0.0f}),
      Set(2, {0.0f, 0.0f}),
      FromIndices(10, silence),
      FromIndices(10, extremes),
      FromIndices(2, extremes),
  };
}

// Windows of 16-bit samples: the extremes and random values.
std::vector<std::vector<std::int16_t>> Windows(int count, int limit = 32768) {
  std::vector<std::vector<std::int16_t>> w;
  const std::int16_t lo = static_cast<std::int16_t>(-limit), hi = static_cast<std::int16_t>(limit - 1);
  for (std::int16_t v : {lo, hi, std::int16_t{-1}, std::int16_t{1}, std::int16_t{0}}) w.push_back(std::vector<std::int16_t>(11, v));
  // Read from the end: x[-1] = w[10], x[-2] = w[9], ...
  w.push_back({0, 0, 0, 0, 0, 0, 0, 0, 0, -1, 21846});
  w.push_back({0, lo, hi, lo, hi, lo, hi, lo, hi, -1, lo});
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> sample(-limit, limit - 1);
  while (static_cast<int>(w.size()) < count) {
    std::vector<std::int16_t> v(11);
    for (auto& s : v) s = static_cast<std::int16_t>(sample(rng));
    w.push_back(v);
  }
  return w;
}

std::int32_t Prescribed(const std::int16_t* x, const Coefficients& c) {
  return c.order == 2 ? PredictionSum<2>(x, c.a) : PredictionSum<10>(x, c.a);
}

std::int32_t Predicted(const Predictor& p, const std::int16_t* x) {
  return p.order == 2 ? p.Predict<2>(x) : p.Predict<10>(x);
}

// What the check must decide, and at the bound why: past it the prescribed
// double sum really rounds, so the exact sum would give another prediction.
TEST(Prediction, TheCheckAcceptsExactSetsAndRefusesTheOthers) {
  for (const Coefficients& c : ExactSets()) EXPECT_TRUE(MakePredictor(c.a, c.order).exact) << c.a[1] << " " << c.a[2];
  for (const Coefficients& c : HostileSets()) EXPECT_FALSE(MakePredictor(c.a, c.order).exact) << c.a[1] << " " << c.a[2];
  EXPECT_FALSE(MakePredictor(Set(2, {65536.0f, 0.0f}).a, 2).exact);  // 2^15 * 2^16 does not fit the int32 truncation
  EXPECT_TRUE(MakePredictor(Set(2, {65535.0f, 0.0f}).a, 2).exact);
  EXPECT_FALSE(MakePredictor(Set(2, {NAN, 0.0f}).a, 2).exact);

  // 1.5 * 21846 - 2^-38 = 32769 - 2^-38 is a tie in double precision and
  // rounds to 32769; the exact sum truncates to 32768.
  const std::int16_t x[2] = {-1, 21846};
  const Coefficients past = Set(2, {1.5f, std::ldexp(1.0f, -38)});
  EXPECT_EQ(PredictionSum<2>(x + 2, past.a), 32769);
  EXPECT_EQ(MakePredictor(past.a, 2).Predict<2>(x + 2), 32769);
  // Negative sums truncate toward zero: -1.5 * 21846 + 0.5 = -32768.5.
  const std::int16_t y[2] = {2, 21846};
  const Coefficients half = Set(2, {-1.5f, 0.25f});
  ASSERT_TRUE(MakePredictor(half.a, 2).exact);
  EXPECT_EQ(MakePredictor(half.a, 2).Predict<2>(y + 2), -32768);
  EXPECT_EQ(PredictionSum<2>(y + 2, half.a), -32768);
}

// Both paths give the prescribed prediction to the bit: the fixed-point one
// (truncation toward zero of negative sums included) and the fallback.
TEST(Prediction, BothPathsGiveThePrescribedSum) {
  std::vector<Coefficients> sets = ExactSets();
  for (const Coefficients& c : HostileSets()) sets.push_back(c);
  // Random table sets, which nearly all pass.
  std::mt19937 rng(3);
  for (int k = 0; k < 40; ++k) {
    int indices[10];
    for (int i = 0; i < 10; ++i) indices[i] = static_cast<int>(rng() % (1u << QuantiserFor(i + 1).bits));
    sets.push_back(FromIndices(k % 2 ? 10 : 2, indices));
  }
  const auto windows = Windows(3000);
  int exact = 0;
  for (const Coefficients& c : sets) {
    const Predictor p = MakePredictor(c.a, c.order);
    exact += p.exact;
    for (const auto& w : windows) ASSERT_EQ(Predicted(p, w.data() + 11), Prescribed(w.data() + 11, c)) << c.a[1];
  }
  EXPECT_GT(exact, 40);
  EXPECT_LT(exact, static_cast<int>(sets.size()));
  // The set too large for the int32 truncation, with inputs it can take.
  const Coefficients large = Set(2, {1e6f, 1e6f});
  const Predictor p = MakePredictor(large.a, 2);
  for (const auto& w : Windows(200, 1000)) ASSERT_EQ(p.Predict<2>(w.data() + 11), PredictionSum<2>(w.data() + 11, large.a));
}

// Every path of the order-10 analysis filter gives the prescribed residuals:
// vector bodies and scalar tails of every length, on sets the check
// accepts and sets it refuses, and on a signal of extremes and noise.
TEST(Prediction, OrderTenFilterPathsGiveThePrescribedResiduals) {
  std::vector<Coefficients> sets;
  for (const auto& group : {ExactSets(), HostileSets()})
    for (const Coefficients& c : group)
      if (c.order == 10) sets.push_back(c);
  std::mt19937 rng(5);
  for (int k = 0; k < 20; ++k) {
    int indices[10];
    for (int i = 0; i < 10; ++i) indices[i] = static_cast<int>(rng() % (1u << QuantiserFor(i + 1).bits));
    sets.push_back(FromIndices(10, indices));
  }
  const int n = 2048 + 13;
  std::vector<std::int16_t> signal(10 + n);  // 10 samples of memory in front
  for (std::size_t i = 0; i < signal.size(); ++i)
    signal[i] = i % 40 < 12 ? static_cast<std::int16_t>(i % 2 ? 32767 : -32768) : static_cast<std::int16_t>(rng());
  const std::vector<double> x(signal.begin(), signal.end());
  int count = 0;
  const analysis_filter::Path* const* every = analysis_filter::Every(count);
  EXPECT_EQ(&analysis_filter::Chosen(), every[count - 1]);
  auto prescribed = [&](const Coefficients& c, int length) {
    std::vector<std::int16_t> want(static_cast<std::size_t>(length));
    for (int i = 0; i < length; ++i)
      want[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(static_cast<std::uint16_t>(
          signal[10 + static_cast<std::size_t>(i)] - PredictionSum<10>(signal.data() + 10 + i, c.a)));
    return want;
  };
  // The pair form's second set: an accepted one unlike most others.
  const Coefficients partner =
      *std::find_if(sets.rbegin(), sets.rend(), [](const Coefficients& c) { return MakePredictor(c.a, 10).exact; });
  for (const Coefficients& c : sets)
    for (int length : {0, 1, 7, 8, 9, 15, 16, 17, n}) {
      const std::vector<std::int16_t> want = prescribed(c, length);
      // The exact forms only for sets the check accepts.
      const bool exact = MakePredictor(c.a, 10).exact;
      for (int p = 0; p < count; ++p)
        for (const auto& [fn, form] : {std::pair(every[p]->order10, ""), std::pair(every[p]->order10Exact, " exact")}) {
          if (*form && !exact) continue;
          std::vector<std::int16_t> got(static_cast<std::size_t>(length) + 1,
                                        0x5555);  // one past the end, to be left alone
          fn(signal.data() + 10, x.data() + 10, length, c.a, got.data());
          const std::string where = std::string(every[p]->name) + form + ", " + std::to_string(length) +
                                    " samples, a[1] " + std::to_string(c.a[1]);
          EXPECT_EQ(got.back(), 0x5555) << where << ": wrote past the end";
          got.pop_back();
          EXPECT_EQ(got, want) << where;
        }
      for (int p = 0; p < count; ++p) {
        if (!exact || !every[p]->order10ExactPair) continue;
        std::vector<std::int16_t> first(static_cast<std::size_t>(length) + 1, 0x5555), second = first;
        every[p]->order10ExactPair(signal.data() + 10, x.data() + 10, length, c.a, partner.a, first.data(),
                                   second.data());
        const std::string where = std::string(every[p]->name) + " pair, " + std::to_string(length) + " samples, a[1] " +
                                  std::to_string(c.a[1]);
        EXPECT_EQ(first.back(), 0x5555) << where << ": wrote past the end";
        EXPECT_EQ(second.back(), 0x5555) << where << ": wrote past the end";
        first.pop_back();
        second.pop_back();
        EXPECT_EQ(first, want) << where;
        EXPECT_EQ(second, prescribed(partner, length)) << where << ", second set";
      }
    }
#if defined(OST_AVX_PATHS)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw"))
    EXPECT_EQ(count, 2);
#endif
}

// Every path's run sums are the plain per-channel sums of magnitudes: whole
// and cut runs, both channel counts, and the value whose magnitude does not
// fit 16 bits signed.
TEST(Prediction, RunSumsOfEveryPathAreThePlainSums) {
  std::mt19937 rng(3);
  std::vector<std::int16_t> r(4096 + 40);
  for (std::size_t i = 0; i < r.size(); ++i)
    r[i] = i % 7 == 0 ? std::int16_t{-32768} : static_cast<std::int16_t>(rng());
  int count = 0;
  const analysis_filter::Path* const* every = analysis_filter::Every(count);
  for (int channels : {1, 2})
    for (int values : {0, 1, 15, 16, 17, 128, 255, 256, 257, 4096 + 40}) {
      const int span = 128 * channels;
      std::vector<std::uint32_t> want;
      for (int start = 0; start < values; start += span) {
        std::uint32_t sum[2] = {};
        for (int i = start; i < std::min(values, start + span); ++i)
          sum[(i - start) % channels] +=
              static_cast<std::uint32_t>(std::abs(static_cast<int>(r[static_cast<std::size_t>(i)])));
        want.insert(want.end(), sum, sum + channels);
      }
      for (int p = 0; p < count; ++p) {
        std::vector<std::uint32_t> got(want.size() + 1, 7);  // one past the end, to be left alone
        const int runs = every[p]->runSums(r.data(), values, span, channels, got.data());
        EXPECT_EQ(runs * channels, static_cast<int>(want.size())) << every[p]->name;
        EXPECT_EQ(got.back(), 7u) << every[p]->name << ": wrote past the end";
        got.pop_back();
        EXPECT_EQ(got, want) << every[p]->name << ", " << channels << " channels, " << values << " values";
      }
    }
}

// The analysis filter fuses its sum only for sets the check accepts: on
// this input the last hostile set's prescribed sum rounds twice, a fused one
// once, and their predictions differ (41796 against 41795).
TEST(Prediction, TheAnalysisFilterKeepsThePrescribedSumForRefusedSets) {
  const Coefficients hostile = HostileSets()[4];
  ASSERT_FALSE(MakePredictor(hostile.a, 10).exact);
  const int n = 16;  // vector bodies, not only the scalar tail
  std::vector<std::int16_t> in(10 + n, 0), out(n);
  for (int i = 0; i < n; i += 4) {
    in[static_cast<std::size_t>(10 + i - 1)] = 27864;
    in[static_cast<std::size_t>(10 + i - 2)] = -1;
    if (i >= 8) in[static_cast<std::size_t>(10 + i - 10)] = 28250;
  }
  CAudioType::AnalysisFilter(in.data() + 10, n, hostile.a, 10, out.data());
  for (int i = 0; i < n; ++i)
    EXPECT_EQ(out[static_cast<std::size_t>(i)],
              static_cast<std::int16_t>(in[static_cast<std::size_t>(10 + i)] -
                                        PredictionSum<10>(in.data() + 10 + i, hostile.a)))
        << i;
}

// Every order-2 set of the tables passes the check: the fixed-point path is
// the one the synthesis really runs.
TEST(Prediction, EveryOrderTwoTableSetIsExact) {
  for (int i = 0; i < 32; ++i)
    for (int k = 0; k < 32; ++k) {
      const int indices[2] = {i, k};
      const Coefficients c = FromIndices(2, indices);
      EXPECT_TRUE(MakePredictor(c.a, 2).exact) << i << " " << k;
    }
}

// A signal through the three analysis filters and back through the
// synthesis, with every mix of exact and refused stages: the synthesis must
// restore the signal, memories included, and the analysis filter must be the
// prescribed one. The signal holds the pattern on which the prescribed sum of
// the first hostile set rounds.
TEST(Prediction, AnalysisAndSynthesisAgreeOnEveryMixOfPaths) {
  for (int n : {1, 2, 3, 700}) {
    std::vector<std::int16_t> signal(10 + n);
    std::mt19937 rng(11);
    for (std::size_t i = 0; i < signal.size(); ++i)
      signal[i] = i % 50 < 10 ? static_cast<std::int16_t>(i % 2 ? 21846 : -1) : static_cast<std::int16_t>(rng());
    const Coefficients hostile2 = HostileSets()[0], hostile10 = HostileSets()[4];
    const Coefficients exact2 = ExactSets()[6], exact10 = ExactSets()[4];
    for (int mix = 0; mix < 8; ++mix) {
      const Coefficients& a1 = mix & 1 ? exact2 : hostile2;
      const Coefficients& a2 = mix & 2 ? exact2 : hostile2;
      const Coefficients& a3 = mix & 4 ? exact10 : hostile10;
      // Analysis: x -> y1 -> y2 -> e, each stage's input with 10 samples of memory in front.
      std::vector<std::int16_t> y1(10 + n), y2(10 + n), e(n);
      for (int i = 0; i < 10; ++i) {
        y1[i] = signal[i + n];
        y2[i] = static_cast<std::int16_t>(-signal[i]);
      }
      CAudioType::AnalysisFilter(signal.data() + 10, n, a1.a, 2, y1.data() + 10);
      CAudioType::AnalysisFilter(y1.data() + 10, n, a2.a, 2, y2.data() + 10);
      CAudioType::AnalysisFilter(y2.data() + 10, n, a3.a, 10, e.data());
      for (int i = 0; i < n; ++i) {
        ASSERT_EQ(static_cast<std::int16_t>(y1[10 + i] + PredictionSum<2>(signal.data() + 10 + i, a1.a)), signal[10 + i]);
        ASSERT_EQ(static_cast<std::int16_t>(y2[10 + i] + PredictionSum<2>(y1.data() + 10 + i, a2.a)), y1[10 + i]);
        ASSERT_EQ(static_cast<std::int16_t>(e[i] + PredictionSum<10>(y2.data() + 10 + i, a3.a)), y2[10 + i]) << mix;
      }
      // Synthesis with the stages' memories as the analysis had them.
      // Every path this processor has, the portable one included.
      int paths = 0;
      const synthesis::Path* const* every = synthesis::Every(paths);
      for (int p = 0; p < paths; ++p) {
        std::vector<std::int16_t> s2(10 + n), s1(10 + n), x(10 + n);
        std::copy(y2.begin(), y2.begin() + 10, s2.begin());
        std::copy(y1.begin(), y1.begin() + 10, s1.begin());
        std::copy(signal.begin(), signal.begin() + 10, x.begin());
        synthesis::RunFrame(*every[p], a3.a, a2.a, a1.a, e.data(), n, s2.data() + 10, s1.data() + 10, x.data() + 10);
        const std::string where = std::string(every[p]->name) + " " + std::to_string(mix) + " " + std::to_string(n);
        EXPECT_EQ(s2, y2) << where;
        EXPECT_EQ(s1, y1) << where;
        EXPECT_EQ(x, signal) << where;
      }
    }
  }
}

}  // namespace
}  // namespace ost
