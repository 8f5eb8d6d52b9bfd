// Synthesis: the exact inverse of the pre-analysis. Per frame it reads the
// 54 bits of quantiser indices, rebuilds the three predictors with the same
// conversion the analysis used, and runs the all-pole filters in reverse
// order (order 10, then the two order-2 stages) over the decoded residual.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ost {

// Where the restored samples go: a file, a checksum, a comparison.
class SampleSink {
 public:
  virtual ~SampleSink() = default;
  virtual void Write(const std::uint8_t* data, std::size_t count) = 0;
};

class InFile;

// Where the decoded residual comes from, in the order of the source's
// samples: one file, or two channels stored one after the other.
class ResidualSource {
 public:
  virtual ~ResidualSource() = default;
  // Reads up to `count` samples; fewer only at the end.
  virtual std::size_t ReadSamples(std::int16_t* samples, std::size_t count) = 0;
};

class CAudioSynth {
 public:
  // `waveHeader` non-zero selects 2048-sample frames, else 512. Throws Error
  // on a file failure.
  void Synthesize(std::uint8_t waveHeader, ResidualSource& work, SampleSink& output, InFile& parameters);

  // The three stages over c samples of a frame with coefficients a3 (order
  // 10), a2 and a1 (order 2): y2, y1 and x receive the stages' outputs, each
  // with its memory in the 10 slots in front.
  static void SynthesizeFrame(const float* a3, const float* a2, const float* a1, const std::int16_t* e, int c,
                              std::int16_t* y2, std::int16_t* y1, std::int16_t* x);
};

}  // namespace ost
