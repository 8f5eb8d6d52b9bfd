#include "extract/AudioSynth.h"

#include <algorithm>
#include <vector>

#include "common/FileIO.h"
#include "compress/AudioType.h"
#include "compress/Quantiser.h"

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

class FileResidual final : public ResidualSource {
 public:
  explicit FileResidual(InFile& in) : in_(in) {}
  std::size_t ReadSamples(std::int16_t* samples, std::size_t count) override {
    raw_.resize(2 * count);
    const std::size_t got = in_.Read(raw_.data(), raw_.size()) / 2;
    for (std::size_t i = 0; i < got; ++i)
      samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(raw_[2 * i] | (raw_[2 * i + 1] << 8)));
    return got;
  }

 private:
  InFile& in_;
  std::vector<std::uint8_t> raw_;
};

class FileSampleSink final : public SampleSink {
 public:
  explicit FileSampleSink(const std::filesystem::path& p) : out_(p) {}
  void Write(const std::uint8_t* data, std::size_t count) override { out_.Write(data, count); }
  void Close() { out_.Close(); }

 private:
  OutFile out_;
};

}  // namespace

namespace {

// y = e + prediction from the outputs before it, modulo 65536.
template <int Order>
inline std::int16_t SynthesisStep(std::int16_t e, const std::int16_t* y, const float* a) {
  const std::int32_t t = PredictionSum<Order>(y, a);
  return static_cast<std::int16_t>(
      static_cast<std::uint16_t>(static_cast<std::uint32_t>(t) + static_cast<std::uint32_t>(e)));
}

}  // namespace

void CAudioSynth::SynthesisFilter(const std::int16_t* e, int length, const float* a, int order, std::int16_t* out) {
  for (int i = 0; i < length; ++i)
    out[i] = order == 2 ? SynthesisStep<2>(e[i], out + i, a) : SynthesisStep<10>(e[i], out + i, a);
}

void CAudioSynth::Synthesize(std::uint8_t sourceType, const std::filesystem::path& work,
                             const std::filesystem::path& output, const std::filesystem::path& parameters) {
  InFile in(work);
  InFile params(parameters);
  FileResidual residual(in);
  FileSampleSink sink(output);
  Synthesize(sourceType, residual, sink, params);
  sink.Close();
}

void CAudioSynth::Synthesize(std::uint8_t sourceType, ResidualSource& in, SampleSink& output, InFile& params) {
  const int n = FrameLength(sourceType != 0);
  LsbBitReader bits(params);

  // Each stage's output with its memory (its last outputs) in front.
  std::vector<std::int16_t> residual(n), y2(kHistory + n, 0), y1(kHistory + n, 0), x(kHistory + n, 0);
  std::vector<std::uint8_t> raw(2 * static_cast<std::size_t>(n));

  FrameParameters frame = ReadRecord(bits);
  for (;;) {
    const int c = static_cast<int>(in.ReadSamples(residual.data(), static_cast<std::size_t>(n)));
    if (c == 0) break;
    ++frameCounter_;
    // The three stages, order 10 first, run sample by sample so that the
    // order-2 stages overlap the long recursion of the order-10 one.
    std::int16_t* o2 = y2.data() + kHistory;
    std::int16_t* o1 = y1.data() + kHistory;
    std::int16_t* o0 = x.data() + kHistory;
    for (int i = 0; i < c; ++i) {
      o2[i] = SynthesisStep<10>(residual[i], o2 + i, frame.a3);
      o1[i] = SynthesisStep<2>(o2[i], o1 + i, frame.a2);
      o0[i] = SynthesisStep<2>(o1[i], o0 + i, frame.a1);
    }
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
