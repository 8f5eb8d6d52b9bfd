#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "TestUtil.h"
#include "common/FileIO.h"
#include "compress/AudioType.h"
#include "compress/Autocorrelation.h"
#include "extract/AudioSynth.h"
#include "format/Prediction.h"
#include "format/Quantiser.h"

namespace ost {
namespace {

using test::Bytes;

struct AnalysisRun {
  Bytes residual, analysis;
};

AnalysisRun Analyse(const Bytes& source, bool wave) {
  WorkFolder dir;
  test::WriteAll(dir.File("src"), source);
  CAudioType pass;
  pass.Analyse(wave ? 1 : 0, dir.File("src"), dir.File("temp.out"), dir.File("ilar.txt"));
  return {test::ReadAll(dir.File("temp.out")), test::ReadAll(dir.File("ilar.txt"))};
}

TEST(Analysis, SilenceGivesTheKnownIndicesAndStream) {
  std::int16_t zeros[10 + 512] = {};  // a stage reads its history in front of the frame
  int indices[2];
  std::int16_t out[512];
  CAudioType::AnalyseStage(zeros + 10, 512, 2, out, indices);
  EXPECT_EQ(indices[0], 18);
  EXPECT_EQ(indices[1], 13);
  int third[10];
  std::int16_t history[10 + 512] = {};
  CAudioType::AnalyseStage(history + 10, 512, 10, out, third);
  EXPECT_EQ(std::vector<int>(third, third + 10), (std::vector<int>{18, 13, 9, 5, 8, 2, 5, 2, 2, 1}));

  AnalysisRun one = Analyse(Bytes(1024, 0), false);
  EXPECT_EQ(test::Hex(one.analysis), "B2 C9 26 5B 16 AA 1A");
  EXPECT_EQ(one.residual, Bytes(1024, 0));

  AnalysisRun two = Analyse(Bytes(2048, 0), false);
  EXPECT_EQ(test::Hex(two.analysis), "B2 C9 26 5B 16 AA 9A 6C B2 C9 96 85 AA 06");
}

// The processor-specific autocorrelation paths (wider vectors, two signals
// interleaved) must give the portable float sums to the bit, or archives
// would depend on the machine that made them.
TEST(Analysis, AutocorrelationPathsAgreeToTheBit) {
  std::vector<std::int16_t> noise(2048 + 10);
  std::uint32_t seed = 12345;
  for (auto& v : noise) {
    seed = seed * 1103515245u + 12345u;
    v = static_cast<std::int16_t>(seed >> 16);
  }
  std::vector<std::int16_t> extreme(2048 + 10);
  for (std::size_t i = 0; i < extreme.size(); ++i) extreme[i] = (i / 3) % 2 ? 32767 : -32768;
  // Each path's kernels (one signal, two, three and two sets of three
  // interleaved) against the portable sums, on shifted copies so that the
  // signals of one call differ.
  int count = 0;
  const autocorrelation::Paths* const* every = autocorrelation::Every(count);
  ASSERT_GE(count, 1);
  EXPECT_EQ(&autocorrelation::Chosen(), every[count - 1]);
  const autocorrelation::Paths& portable = *every[0];
  for (const auto* signal : {&noise, &extreme})
    for (int length : {0, 1, 2, 3, 9, 10, 11, 512, 2048}) {
      const std::int16_t* s = signal->data() + 10;
      const std::int16_t* a = signal->data() + 7;
      const std::int16_t* b = signal->data() + 3;
      float want10[11], want2[11], wantA[3], wantB[3], wantA10[11];
      portable.lags(s, length, 10, want10);
      portable.lags(a, length, 10, wantA10);
      portable.lags(s, length, 2, want2);
      portable.lags(a, length, 2, wantA);
      portable.lags(b, length, 2, wantB);
      for (int p = 0; p < count; ++p) {
        const autocorrelation::Paths& path = *every[p];
        const std::string where = std::string(path.name) + ", " + std::to_string(length) + " samples";
        float r10[11], r2[11], ra[3], rb[3], t10[11], ta[3], tb[3];
        path.lags(s, length, 10, r10);
        path.lags(s, length, 2, r2);
        path.pair(a, b, length, ra, rb);
        path.three(s, a, b, length, t10, ta, tb);
        EXPECT_EQ(0, std::memcmp(r10, want10, sizeof r10)) << where << ", order 10";
        EXPECT_EQ(0, std::memcmp(r2, want2, 3 * sizeof(float))) << where << ", order 2";
        EXPECT_EQ(0, std::memcmp(ra, wantA, sizeof ra)) << where << ", pair";
        EXPECT_EQ(0, std::memcmp(rb, wantB, sizeof rb)) << where << ", pair";
        EXPECT_EQ(0, std::memcmp(t10, want10, sizeof t10)) << where << ", three";
        EXPECT_EQ(0, std::memcmp(ta, wantA, sizeof ta)) << where << ", three";
        EXPECT_EQ(0, std::memcmp(tb, wantB, sizeof tb)) << where << ", three";
        // Two sets at once, the second the first's signals in another order.
        const std::int16_t* signals[6] = {s, a, b, a, b, s};
        float x10[11], xa[3], xb[3], y10[11], ya[3], yb[3];
        float* const sums[6] = {x10, xa, xb, y10, ya, yb};
        path.six(signals, length, sums);
        EXPECT_EQ(0, std::memcmp(x10, want10, sizeof x10)) << where << ", six";
        EXPECT_EQ(0, std::memcmp(xa, wantA, sizeof xa)) << where << ", six";
        EXPECT_EQ(0, std::memcmp(xb, wantB, sizeof xb)) << where << ", six";
        EXPECT_EQ(0, std::memcmp(y10, wantA10, sizeof y10)) << where << ", six, second set";
        EXPECT_EQ(0, std::memcmp(ya, wantB, sizeof ya)) << where << ", six, second set";
        EXPECT_EQ(0, std::memcmp(yb, want2, sizeof yb)) << where << ", six, second set";
      }
    }
#if defined(__x86_64__)
  EXPECT_GE(count, 2) << "the SSE2 path is missing from an x86-64 build";
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl")) EXPECT_EQ(count, 4);
#endif
}

TEST(Analysis, FrameCountsAndStreamLengths) {
  EXPECT_TRUE(Analyse({}, false).analysis.empty());
  EXPECT_TRUE(Analyse({}, false).residual.empty());
  for (bool wave : {false, true}) {
    const int n = FrameLength(wave);
    for (int samples : {1, n - 1, n, n + 1, 3 * n + 7}) {
      auto signal = test::Sweep(static_cast<std::size_t>(samples), 8000, 3);
      AnalysisRun run = Analyse(test::Pcm(signal), wave);
      const int frames = (samples + n - 1) / n;
      EXPECT_EQ(run.residual.size(), 2u * static_cast<std::size_t>(samples));
      EXPECT_EQ(run.analysis.size(), static_cast<std::size_t>((54 * frames + 7) / 8)) << samples;
    }
  }
  // An odd final byte belongs to no sample.
  EXPECT_EQ(Analyse(Bytes(7, 1), false).residual.size(), 6u);
}

TEST(Analysis, LarToCoefficientsBoundariesAndStepUp) {
  // The boundaries belong to the outer ranges: 0.675 -> -0.675, -0.675 -> 0.675, 1.625 -> -1.
  float q[3] = {0, 0.675f, 0};
  float a[3];
  LarToCoefficients(q, 1, a);
  EXPECT_FLOAT_EQ(a[1], static_cast<float>(-0.3375 - 0.5 * static_cast<double>(0.675f)));
  q[1] = -0.675f;
  LarToCoefficients(q, 1, a);
  EXPECT_FLOAT_EQ(a[1], static_cast<float>(0.3375 + 0.5 * static_cast<double>(0.675f)));
  q[1] = 1.625f;
  LarToCoefficients(q, 1, a);
  EXPECT_EQ(a[1], -1.0f);
  // Order 2: a1 = k1 - k2 k1, a2 = k2.
  q[1] = -0.5f;
  q[2] = 0.25f;
  LarToCoefficients(q, 2, a);
  EXPECT_FLOAT_EQ(a[1], 0.5f - (-0.25f * 0.5f));
  EXPECT_FLOAT_EQ(a[2], -0.25f);
}

// The conversion that redoes only the steps from a changed ratio on gives
// the coefficients of the whole conversion, bit for bit, whichever ratio
// changes.
TEST(Analysis, LarToCoefficientsFromAKeptPrefixIsTheWholeConversion) {
  std::mt19937 rng(9);
  float q[11] = {}, steps[11][11] = {}, want[11] = {};
  for (int i = 1; i <= 10; ++i) q[i] = QuantiserFor(i).value[rng() % (1u << QuantiserFor(i).bits)];
  LarToCoefficientsFrom(q, 10, 0, steps);
  LarToCoefficients(q, 10, want);
  EXPECT_EQ(0, std::memcmp(steps[10] + 1, want + 1, 10 * sizeof(float)));
  for (int round = 0; round < 200; ++round) {
    const int changed = 1 + static_cast<int>(rng() % 10);
    q[changed] = QuantiserFor(changed).value[rng() % (1u << QuantiserFor(changed).bits)];
    LarToCoefficientsFrom(q, 10, changed - 1, steps);
    LarToCoefficients(q, 10, want);
    ASSERT_EQ(0, std::memcmp(steps[10] + 1, want + 1, 10 * sizeof(float)))
        << "ratio " << changed << ", round " << round;
  }
}

TEST(Analysis, ResidualOutsideSixteenBitsWraps) {
  // A full-scale square wave of period 20 drives the predictions of both
  // kinds of stage past the 16-bit range; the residual is written as its
  // low 16 bits, never saturated.
  std::vector<std::int16_t> square(4096);
  for (std::size_t i = 0; i < square.size(); ++i) square[i] = (i / 10) % 2 ? 32767 : -32768;

  // One stage: each written value is the low 16 bits of the sample less its
  // prediction from the stage's own quantised coefficients.
  for (int order : {2, 10}) {
    std::vector<std::int16_t> in(10 + 512, 0);  // the stage's history in front
    std::copy(square.begin(), square.begin() + 512, in.begin() + 10);
    std::int16_t out[512];
    int indices[10];
    CAudioType::AnalyseStage(in.data() + 10, 512, order, out, indices);
    float q[11] = {}, a[11];
    for (int c = 1; c <= order; ++c) q[c] = QuantiserFor(c).value[indices[c - 1]];
    LarToCoefficients(q, order, a);
    int outside = 0;
    for (int i = 0; i < 512; ++i) {
      const std::int16_t* x = in.data() + 10 + i;
      const std::int32_t residual = x[0] - (order == 2 ? PredictionSum<2>(x, a) : PredictionSum<10>(x, a));
      outside += residual < -32768 || residual > 32767;
      ASSERT_EQ(out[i], static_cast<std::int16_t>(static_cast<std::uint16_t>(residual)))
          << "order " << order << ", sample " << i << ", residual " << residual;
    }
    EXPECT_GT(outside, 0) << "order " << order << ": no residual outside 16 bits, the case is not tested";
  }

  // The whole pass: the synthesis gives the square back from what the pass
  // wrote, which a clipped residual could not.
  WorkFolder dir;
  test::WriteAll(dir.File("src"), test::Pcm(square));
  CAudioType().Analyse(0, dir.File("src"), dir.File("temp.out"), dir.File("ilar.txt"));
  struct Residual final : ResidualSource {
    Bytes bytes;
    std::size_t at = 0;
    std::size_t ReadSamples(std::int16_t* samples, std::size_t count) override {
      std::size_t n = 0;
      for (; n < count && at + 1 < bytes.size(); ++n, at += 2)
        samples[n] = static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8)));
      return n;
    }
  } residual;
  struct Restored final : SampleSink {
    Bytes bytes;
    void Write(const std::uint8_t* data, std::size_t count) override { bytes.insert(bytes.end(), data, data + count); }
  } back;
  residual.bytes = test::ReadAll(dir.File("temp.out"));
  InFile analysis(dir.File("ilar.txt"));
  CAudioSynth().Synthesize(0, residual, back, analysis);
  EXPECT_EQ(back.bytes, test::Pcm(square));
}

}  // namespace
}  // namespace ost

namespace ost {
namespace {

// Frames analysed in ranges on several threads (without the search, two
// ranges a thread, side by side) give the same files wherever the ranges
// start: the three frames run before each range restore every memory of
// the cascade. The index search chooses from each frame's own
// samples, so it too is the same whatever the number of threads.
TEST(Analysis, ThreadsChangeNoByte) {
  for (bool search : {false, true})
  for (bool wave : {false, true}) {
    const int n = FrameLength(wave);
    for (int frames : {64, 67, 130}) {
      auto signal = test::Sweep(static_cast<std::size_t>(frames * n - n / 3), 12000, static_cast<unsigned>(frames));
      WorkFolder dir;
      test::WriteAll(dir.File("src"), test::Pcm(signal));
      test::Bytes residual, analysis;
      for (unsigned threads : {1u, 2u, 3u, 5u}) {
        CAudioType pass;
        pass.SetThreads(threads);
        pass.SetSearch(search, wave ? 2 : 1);
        pass.Analyse(wave ? 1 : 0, dir.File("src"), dir.File("temp.out"), dir.File("ilar.txt"));
        if (threads == 1) {
          residual = test::ReadAll(dir.File("temp.out"));
          analysis = test::ReadAll(dir.File("ilar.txt"));
          continue;
        }
        EXPECT_EQ(test::ReadAll(dir.File("temp.out")), residual) << frames << " frames, " << threads << " threads, search " << search;
        EXPECT_EQ(test::ReadAll(dir.File("ilar.txt")), analysis) << frames << " frames, " << threads << " threads, search " << search;
      }
    }
  }
}

}  // namespace
}  // namespace ost
