#include "extract/AudioSynth.h"

#include <algorithm>
#include <vector>

#include "common/FileIO.h"
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

// The three stages over c samples, order 10 first, sample by sample, so that
// the three recursions' chains overlap.
template <bool Exact3, bool Exact2, bool Exact1>
void RunStages(const Predictor& p3, const Predictor& p2, const Predictor& p1, const std::int16_t* e, int c,
               std::int16_t* y2, std::int16_t* y1, std::int16_t* x) {
  Recursion<10, Exact3> s3(p3, y2);
  Recursion<2, Exact2> s2(p2, y1);
  Recursion<2, Exact1> s1(p1, x);
  for (int i = 0; i < c; ++i) s1.Next(i, s2.Next(i, s3.Next(i, e[i])));
}

}  // namespace

void CAudioSynth::SynthesisFilter(const std::int16_t* e, int length, const float* a, int order, std::int16_t* out) {
  const Predictor p = MakePredictor(a, order);
  auto run = [&](auto recursion) {
    for (int i = 0; i < length; ++i) recursion.Next(i, e[i]);
  };
  if (order == 2)
    p.exact ? run(Recursion<2, true>(p, out)) : run(Recursion<2, false>(p, out));
  else
    p.exact ? run(Recursion<10, true>(p, out)) : run(Recursion<10, false>(p, out));
}

void CAudioSynth::SynthesizeFrame(const float* a3, const float* a2, const float* a1, const std::int16_t* e, int c,
                                  std::int16_t* y2, std::int16_t* y1, std::int16_t* x) {
  const Predictor p3 = MakePredictor(a3, 10), p2 = MakePredictor(a2, 2), p1 = MakePredictor(a1, 2);
  using Run = void (*)(const Predictor&, const Predictor&, const Predictor&, const std::int16_t*, int, std::int16_t*,
                       std::int16_t*, std::int16_t*);
  static constexpr Run kRuns[8] = {
      RunStages<false, false, false>, RunStages<false, false, true>, RunStages<false, true, false>,
      RunStages<false, true, true>,   RunStages<true, false, false>, RunStages<true, false, true>,
      RunStages<true, true, false>,   RunStages<true, true, true>,
  };
  kRuns[(p3.exact ? 4 : 0) | (p2.exact ? 2 : 0) | (p1.exact ? 1 : 0)](p3, p2, p1, e, c, y2, y1, x);
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
