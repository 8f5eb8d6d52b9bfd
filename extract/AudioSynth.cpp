#include "extract/AudioSynth.h"

#include <algorithm>
#include <vector>

#include "common/FileIO.h"
#include "extract/SynthesisStages.h"
#include "format/ArchiveFormat.h"
#include "format/Prediction.h"
#include "format/Quantiser.h"

namespace ost {

namespace {

constexpr int kHistory = 10;

// Reads the analysis stream: fields least significant bit first, bytes
// fetched as needed; bytes missing at the end read as 0.
class LsbBitReader {
 public:
  explicit LsbBitReader(InFile& in) : in_(in) {}
  unsigned Get(int bits) {
    unsigned v = 0;
    for (int b = 0; b < bits; ++b) {
      if (held_ == 0) {
        const int c = in_.Get();
        byte_ = c == EOF ? 0u : static_cast<unsigned>(c);
        held_ = 8;
      }
      v |= (byte_ & 1u) << b;
      byte_ >>= 1;
      --held_;
    }
    return v;
  }

 private:
  InFile& in_;
  unsigned byte_ = 0;
  int held_ = 0;
};

struct FrameParameters {
  float a1[3], a2[3], a3[11];
};

FrameParameters ReadRecord(LsbBitReader& bits) {
  int indices[14];
  for (int i = 0; i < 14; ++i) indices[i] = static_cast<int>(bits.Get(kIndexBits[i]));
  FrameParameters p;
  float q[11];
  auto dequantise = [&](const int* idx, int order, float* a) {
    for (int i = 1; i <= order; ++i) q[i] = QuantiserFor(i).value[idx[i - 1]];
    LarToCoefficients(q, order, a);
  };
  dequantise(indices, 2, p.a1);
  dequantise(indices + 2, 2, p.a2);
  dequantise(indices + 4, 10, p.a3);
  return p;
}

}  // namespace

void CAudioSynth::SynthesizeFrame(const float* a3, const float* a2, const float* a1, const std::int16_t* e, int c,
                                  std::int16_t* y2, std::int16_t* y1, std::int16_t* x) {
  synthesis::RunFrame(synthesis::Chosen(), a3, a2, a1, e, c, y2, y1, x);
}

void CAudioSynth::Synthesize(std::uint8_t waveHeader, ResidualSource& in, SampleSink& output, InFile& params) {
  const int n = FrameLength(waveHeader != 0);
  LsbBitReader bits(params);

  // Each stage's output with its memory (its last outputs) in front.
  std::vector<std::int16_t> residual(n), y2(kHistory + n, 0), y1(kHistory + n, 0), x(kHistory + n, 0);
  std::vector<std::uint8_t> raw(2 * static_cast<std::size_t>(n));

  FrameParameters frame = ReadRecord(bits);
  for (;;) {
    const int c = static_cast<int>(in.ReadSamples(residual.data(), static_cast<std::size_t>(n)));
    if (c == 0) break;
    SynthesizeFrame(frame.a3, frame.a2, frame.a1, residual.data(), c, y2.data() + kHistory, y1.data() + kHistory,
                    x.data() + kHistory);
    for (int i = 0; i < c; ++i) {
      const auto v = static_cast<std::uint16_t>(x[kHistory + i]);
      raw[2 * i] = static_cast<std::uint8_t>(v);
      raw[2 * i + 1] = static_cast<std::uint8_t>(v >> 8);
    }
    output.Write(raw.data(), 2 * static_cast<std::size_t>(c));
    if (c < n) break;
    for (auto* buf : {&y2, &y1, &x}) std::copy(buf->end() - kHistory, buf->end(), buf->begin());
    frame = ReadRecord(bits);
  }
}

}  // namespace ost
