#include "compress/AudioType.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>

#include "common/Crc32.h"
#include "common/FileIO.h"
#include "common/Parallel.h"
#include "common/VectorClones.h"
#include "compress/AnalysisFilter.h"
#include "compress/Autocorrelation.h"
#include "format/Prediction.h"
#include "format/Quantiser.h"

namespace ost {

namespace {

// Packs bits least significant first into bytes and writes whole bytes.
class LsbBitWriter {
 public:
  explicit LsbBitWriter(OutFile& out) : out_(out) {}
  void Put(unsigned value, int bits) {
    for (int b = 0; b < bits; ++b) {
      acc_ |= ((value >> b) & 1u) << count_;
      if (++count_ == 8) {
        out_.Put(static_cast<std::uint8_t>(acc_));
        acc_ = 0;
        count_ = 0;
      }
    }
  }
  // Pads with zero bits to the next whole byte.
  void Flush() {
    if (count_ > 0) out_.Put(static_cast<std::uint8_t>(acc_));
    acc_ = 0;
    count_ = 0;
  }

 private:
  OutFile& out_;
  unsigned acc_ = 0;
  int count_ = 0;
};

// Stage buffers hold `kHistory` slots of the previous frame's last inputs in
// front of the frame, so the filter reads s[-1] .. s[-order] directly.
constexpr int kHistory = 10;

}  // namespace

namespace {

// Per-thread scratch for a stage's input as doubles.
std::vector<double>& FilterScratch() {
  thread_local std::vector<double> scratch;
  return scratch;
}

// The residual of known samples: many predictions side by side, each lane
// the prescribed sum in its order (PredictionSum), so no check is needed.
// The input is converted to double once, not once per term.
template <int Order>
void Filter(const std::int16_t* in, const double* x, int length, const float* a, std::int16_t* out) {
  for (int i = 0; i < length; ++i) {
    const std::int32_t residual = static_cast<std::int32_t>(in[i]) - PredictionSum<Order>(x + i, a);
    out[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(residual));
  }
}

// The filter over an input already held as doubles, x[-order .. length).
// With `outDoubles`, the output is also written there as doubles, ready to
// be the next stage's input.
template <int Order>
void FilterTo(const std::int16_t* in, const double* x, int length, const float* a, std::int16_t* out,
              double* outDoubles) {
  for (int i = 0; i < length; ++i) {
    const auto value = static_cast<std::int16_t>(
        static_cast<std::uint16_t>(static_cast<std::int32_t>(in[i]) - PredictionSum<Order>(x + i, a)));
    out[i] = value;
    outDoubles[i] = value;
  }
}

// `exact`: MakePredictor accepts `a` (the order-10 filter may then fuse).
OST_VECTOR_CLONES void FilterDoubles(const std::int16_t* in, const double* x, int length, int order, const float* a,
                                     bool exact, std::int16_t* out, double* outDoubles = nullptr) {
  if (outDoubles)
    order == 2 ? FilterTo<2>(in, x, length, a, out, outDoubles) : FilterTo<10>(in, x, length, a, out, outDoubles);
  else if (order == 2)
    Filter<2>(in, x, length, a, out);
  else if (exact)
    analysis_filter::Chosen().order10Exact(in, x, length, a, out);
  else
    analysis_filter::Chosen().order10(in, x, length, a, out);
}

OST_VECTOR_CLONES void ToDoubles(const std::int16_t* in, int count, double* out) {
  for (int i = 0; i < count; ++i) out[i] = in[i];
}

void FilterLanes(const std::int16_t* in, int length, int order, const float* a, std::int16_t* out) {
  std::vector<double>& scratch = FilterScratch();
  scratch.resize(static_cast<std::size_t>(length) + kHistory);
  ToDoubles(in - order, length + order, scratch.data() + kHistory - order);
  FilterDoubles(in, scratch.data() + kHistory, length, order, a, order == 10 && MakePredictor(a, 10).exact, out);
}

}  // namespace

void CAudioType::AnalysisFilter(const std::int16_t* in, int length, const float* a, int order, std::int16_t* out) {
  FilterLanes(in, length, order, a, out);
}

void CAudioType::LevinsonToLar(float* r, int order, float* k, float* lar) {
  if (r[0] == 0.0f) r[0] = 1e-8f;
  const double p = static_cast<double>(r[0]) * 1.0039062;
  r[0] = static_cast<float>(p);
  float a[11];
  k[1] = static_cast<float>(static_cast<double>(r[1]) / p);
  a[1] = k[1];
  float e = static_cast<float>(static_cast<double>(r[0]) -
                               static_cast<double>(r[1]) * static_cast<double>(r[1]) / static_cast<double>(r[0]));
  for (int m = 2; m <= order; ++m) {
    float acc = 0.0f;
    for (int i = 1; i < m; ++i)
      acc = static_cast<float>(static_cast<double>(acc) + static_cast<double>(a[i]) * static_cast<double>(r[m - i]));
    if (e == 0.0f) e = 1e-15f;
    k[m] = static_cast<float>((static_cast<double>(r[m]) - static_cast<double>(acc)) / static_cast<double>(e));
    StepUp(a, m, k[m]);
    e = static_cast<float>((1.0 - static_cast<double>(k[m]) * static_cast<double>(k[m])) * static_cast<double>(e));
  }
  for (int i = 1; i <= order; ++i) {
    if (k[i] >= 1.0f) k[i] = 0.999f;
    if (k[i] <= -1.0f || std::isnan(k[i])) k[i] = -0.999f;
    const double v = k[i];
    double l;
    if (v > -0.675 && v < 0.675)
      l = -v;
    else if (v >= 0.675 && v < 0.95)
      l = 0.675 - 2.0 * v;
    else if (v > -0.95 && v <= -0.675)
      l = -0.675 - 2.0 * v;
    else if (v >= 0.95)
      l = 6.375 - 8.0 * v;
    else
      l = -6.375 - 8.0 * v;
    lar[i] = static_cast<float>(l);
  }
}

void CAudioType::AnalyseStage(const std::int16_t* in, int length, int order, std::int16_t* out, int* indices) {
  float r[11];
  autocorrelation::Chosen().lags(in, length, order, r);
  AnalyseStage(in, length, order, r, out, indices);
}

void CAudioType::AnalyseStage(const std::int16_t* in, int length, int order, float* r, std::int16_t* out,
                              int* indices) {
  float k[11], lar[11], q[11] = {}, a[11];
  LevinsonToLar(r, order, k, lar);
  for (int i = 1; i <= order; ++i) {
    indices[i - 1] = QuantiseIndex(i, lar[i]);
    q[i] = QuantiserFor(i).value[indices[i - 1]];
  }
  LarToCoefficients(q, order, a);
  AnalysisFilter(in, length, a, order, out);
}

namespace {

std::int16_t Sample(const std::uint8_t* p) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
}

// The inputs of the three stages, each with `kHistory` history slots (its
// last inputs of the previous frame) in front: x (the frame's source
// samples), y1 and y2 (the first and second stages' outputs); and the final
// residual.
struct StageBuffers {
  explicit StageBuffers(int length)
      : n(length), x(kHistory + length, 0), y1(kHistory + length, 0), y2(kHistory + length, 0), out(length, 0) {}

  std::int16_t* In(int stage) { return (stage == 0 ? x : stage == 1 ? y1 : y2).data() + kHistory; }
  std::int16_t* Out(int stage) { return stage == 2 ? out.data() : In(stage + 1); }
  static int Order(int stage) { return stage == 2 ? 10 : 2; }

  // The frame a stage's input held becomes the history in front of the next.
  void ShiftHistory(int stage) {
    std::vector<std::int16_t>& buf = stage == 0 ? x : stage == 1 ? y1 : y2;
    std::copy(buf.end() - kHistory, buf.end(), buf.begin());
  }
  // Takes c new samples into x. A partial frame (c < n) keeps the previous
  // frame's residual in its other positions: they shape only this frame's
  // coefficients, never its written residual.
  void Load(const std::uint8_t* raw, int c) {
    std::int16_t* frame = In(0);
    if (c < n) std::copy(out.begin(), out.end(), frame);
    for (int i = 0; i < c; ++i) frame[i] = Sample(raw + 2 * i);
  }
  // The first stage's memory when a range starts after the source's start:
  // the last kHistory source samples before it.
  void LoadHistory(const std::uint8_t* raw) {
    for (int i = 0; i < kHistory; ++i) x[static_cast<std::size_t>(i)] = Sample(raw + 2 * i);
  }

  int n;
  std::vector<std::int16_t> x, y1, y2, out;
};

// The cascade with three frames in flight, one at each stage: a step makes
// the autocorrelations of all three side by side (each alone is bound by
// the latency of its chain of float additions, not by arithmetic), then
// runs stage 3 of the oldest frame, stage 2 of the next and stage 1 of the
// newest, in that order, so that each stage's buffer has been read before
// the stage before it overwrites it. Every frame sees exactly the inputs and
// memories of a cascade run a frame at a time, so the files are the same.
class PipelinedCascade {
 public:
  explicit PipelinedCascade(int length) : b(length) {}

  StageBuffers b;  // `out` holds the residual of the frame Step returned

  bool Busy() const { return at_[0] >= 0 || at_[1] >= 0 || at_[2] >= 0; }

  // Takes frame f's c samples. A partial frame must find the pipeline empty:
  // it reads the residual of the frame before.
  void Load(std::int64_t f, const std::uint8_t* raw, int c) {
    if (loaded_) b.ShiftHistory(0);
    loaded_ = true;
    b.Load(raw, c);
    at_[0] = f;
  }

  // Every stage holds a frame: the step's sums are the three of ThreeFn,
  // from Signals (s, a, b: the inputs of stages 3, 2 and 1).
  bool Full() const { return at_[0] >= 0 && at_[1] >= 0 && at_[2] >= 0; }
  void Signals(const std::int16_t** x) {
    x[0] = b.In(2);
    x[1] = b.In(1);
    x[2] = b.In(0);
  }

  // The autocorrelations of every stage that holds a frame, interleaved
  // where more than one does.
  void Autocorrelations(float (*r)[11]) {
    const autocorrelation::Paths& paths = autocorrelation::Chosen();
    const bool s1 = at_[0] >= 0, s2 = at_[1] >= 0, s3 = at_[2] >= 0;
    if (s1 && s2 && s3) {
      paths.three(b.In(2), b.In(1), b.In(0), b.n, r[2], r[1], r[0]);
      return;
    }
    if (s1 && s2)
      paths.pair(b.In(1), b.In(0), b.n, r[1], r[0]);
    else if (s1 || s2)
      paths.lags(b.In(s1 ? 0 : 1), b.n, 2, r[s1 ? 0 : 1]);
    if (s3) paths.lags(b.In(2), b.n, 10, r[2]);
  }

  // One step with the stages' autocorrelations r; returns the frame that
  // left stage 3 (its residual in b.out, its indices from Indices), or -1.
  std::int64_t Advance(float (*r)[11]) {
    std::int64_t done = -1;
    for (int stage = 2; stage >= 0; --stage) {
      if (at_[stage] < 0) continue;
      if (stage < 2) b.ShiftHistory(stage + 1);
      CAudioType::AnalyseStage(b.In(stage), b.n, StageBuffers::Order(stage), r[stage], b.Out(stage),
                               Indices(at_[stage]) + 2 * stage);
      if (stage == 2)
        done = at_[2];
      else
        at_[stage + 1] = at_[stage];
      at_[stage] = -1;
    }
    return done;
  }

  int* Indices(std::int64_t f) { return indices_[f % 4]; }

 private:
  bool loaded_ = false;
  std::int64_t at_[3] = {-1, -1, -1};  // the frame waiting for stage 1, 2, 3
  int indices_[4][14] = {};
};

// The cascade a frame at a time, with the quantiser indices of every frame
// searched against the coded cost of its final residual instead of taken
// as the nearest: each coefficient in turn tries its neighbouring indices,
// re-filtering from its stage on, and keeps the one whose final residual
// costs the fewest estimated bits; sweeps repeat while they change anything.
// The trials run with the second and third stages' memories cleared, so
// every choice depends on this frame's samples alone (and the source
// samples just before it): a range of frames started anywhere chooses
// exactly as a run from the start. The real filtering then uses the true
// memories.
class IndexSearch {
 public:
  IndexSearch(int length, int channels) : b(length), channels_(channels) {
    for (auto& d : doubles_) d.resize(kHistory + static_cast<std::size_t>(length));
  }

  StageBuffers b;  // `out` holds the residual of the frame Frame made

  void Frame(const std::uint8_t* raw, int c, int* indices) {
    if (loaded_)
      for (int stage = 0; stage < 3; ++stage) b.ShiftHistory(stage);
    loaded_ = true;
    b.Load(raw, c);  // a partial frame keeps the previous residual past its samples
    converted_[0] = converted_[1] = converted_[2] = false;
    std::int16_t saved[2][kHistory];
    for (int stage = 1; stage < 3; ++stage) {
      std::copy(b.In(stage) - kHistory, b.In(stage), saved[stage - 1]);
      std::fill(b.In(stage) - kHistory, b.In(stage), std::int16_t{0});
    }
    for (int stage = 0; stage < 3; ++stage)
      CAudioType::AnalyseStage(b.In(stage), b.n, StageBuffers::Order(stage), b.Out(stage), indices + 2 * stage);
    Search(c, indices);
    for (int stage = 1; stage < 3; ++stage) std::copy(saved[stage - 1], saved[stage - 1] + kHistory, b.In(stage) - kHistory);
    converted_[1] = converted_[2] = false;
    FilterFrom(0, indices);
  }

 private:
  // A stage is filtered only when a trial needs its output and it no
  // longer matches the indices (valid_ counts the leading stages whose
  // outputs do), so the chosen index is not filtered again just to be
  // overwritten by the next coefficient's trials.
  void Search(int c, int* indices) {
    double best = ResidualCost(b.out.data(), c, channels_);
    valid_ = 3;
    // Three sweeps of the nearest two indices on either side: wider reaches
    // and more sweeps cost far more time for a few hundredths of a percent.
    constexpr int kSweeps = 3;
    // A coefficient whose trials kept its index, and after which no index
    // changed, would try the same sets again and keep its index again: it
    // is passed over. `changes` counts the indices changed so far;
    // triedAt[p] is the count when p's trials last kept its index.
    int changes = 0;
    int triedAt[14];
    std::fill(std::begin(triedAt), std::end(triedAt), -1);
    bool changed = true;
    for (int sweep = 0; sweep < kSweeps && changed; ++sweep) {
      changed = false;
      for (int stage = 0; stage < 3; ++stage) {
        const int order = StageBuffers::Order(stage);
        for (int i = 0; i < order; ++i) {
          if (triedAt[2 * stage + i] == changes) continue;
          int* index = indices + 2 * stage + i;
          const int chosen = *index;
          int bestIndex = chosen;
          const int last = (1 << QuantiserFor(i + 1).bits) - 1;
          int candidates[2 * kReach];
          int count = 0;
          for (int d = -kReach; d <= kReach; ++d)
            if (d != 0 && chosen + d >= 0 && chosen + d <= last) candidates[count++] = chosen + d;
          double costs[2 * kReach];
          Costs(stage, c, indices, index, candidates, count, costs);
          for (int k = 0; k < count; ++k)
            if (costs[k] < best) {
              best = costs[k];
              bestIndex = candidates[k];
            }
          *index = bestIndex;
          valid_ = std::min(valid_, stage);
          changed = changed || bestIndex != chosen;
          if (bestIndex != chosen) ++changes;
          // A changed index has new neighbours to try.
          triedAt[2 * stage + i] = bestIndex == chosen ? changes : -1;
        }
      }
    }
  }
  // The costs of `*index` set to each candidate in turn (it is left at the
  // last); the indices of `stage` are those that change. Trials of the last
  // stage share its input, and exact sets are filtered two at a time where
  // the path can.
  void Costs(int stage, int c, int* indices, int* index, const int* candidates, int count, double* costs) {
    const analysis_filter::Order10PairFn pair = analysis_filter::Chosen().order10ExactPair;
    if (stage < 2 || !pair) {
      for (int k = 0; k < count; ++k) {
        *index = candidates[k];
        costs[k] = Cost(stage, c, indices);
      }
      return;
    }
    FilterFrom(std::min(valid_, stage), indices, 2);  // the stages before bring the input up to date
    const double* x = StageDoubles(2);
    float sets[2 * kReach][11];
    bool exact[2 * kReach];
    for (int k = 0; k < count; ++k) {
      *index = candidates[k];
      std::copy_n(Coefficients(2, indices), 11, sets[k]);
      exact[k] = made_[2].exact;
    }
    for (auto& out : trial_) out.resize(static_cast<std::size_t>(b.n));
    for (int k = 0; k < count;) {
      if (k + 1 < count && exact[k] && exact[k + 1]) {
        pair(b.In(2), x, b.n, sets[k], sets[k + 1], trial_[0].data(), trial_[1].data());
        costs[k] = ResidualCost(trial_[0].data(), c, channels_);
        costs[k + 1] = ResidualCost(trial_[1].data(), c, channels_);
        k += 2;
      } else {
        FilterDoubles(b.In(2), x, b.n, 10, sets[k], exact[k], trial_[0].data());
        costs[k] = ResidualCost(trial_[0].data(), c, channels_);
        k += 1;
      }
    }
    valid_ = 2;  // the last stage's output is not that of any trial
  }
  // The cost of the indices, of which those of `stage` have just changed.
  double Cost(int stage, int c, const int* indices) {
    FilterFrom(std::min(valid_, stage), indices);
    valid_ = 3;
    return ResidualCost(b.out.data(), c, channels_);
  }
  // A stage's input as doubles, converted again only when it has changed:
  // the trials of a stage filter the same input many times.
  double* StageDoubles(int s) {
    double* x = doubles_[s].data() + kHistory;
    if (!converted_[s]) ToDoubles(b.In(s) - kHistory, kHistory + b.n, x - kHistory);
    converted_[s] = true;
    return x;
  }
  // Runs stages `stage` to `end` - 1 with the given indices.
  void FilterFrom(int stage, const int* indices, int end = 3) {
    for (int s = stage; s < end; ++s) {
      const int order = StageBuffers::Order(s);
      const float* a = Coefficients(s, indices);
      const bool exact = made_[s].exact;
      double* x = StageDoubles(s);
      if (s == 2) {
        FilterDoubles(b.In(s), x, b.n, order, a, exact, b.Out(s));
        continue;
      }
      // The next stage's input as doubles too: its frame from the filter,
      // its history slots as they stand.
      double* next = doubles_[s + 1].data();
      FilterDoubles(b.In(s), x, b.n, order, a, exact, b.Out(s), next + kHistory);
      ToDoubles(b.In(s + 1) - kHistory, kHistory, next);
      converted_[s + 1] = true;
    }
  }
  // The coefficients of a stage's indices, made again only when they
  // changed, and then only from the first changed index on.
  const float* Coefficients(int stage, const int* indices) {
    const int order = StageBuffers::Order(stage);
    Made& made = made_[stage];
    const int* wanted = indices + 2 * stage;
    int kept = 0;
    if (made.valid)
      while (kept < order && wanted[kept] == made.indices[kept]) ++kept;
    if (kept < order) {
      float q[11] = {};
      for (int i = 1; i <= order; ++i) q[i] = QuantiserFor(i).value[wanted[i - 1]];
      LarToCoefficientsFrom(q, order, kept, made.steps);
      made.exact = order == 10 && MakePredictor(made.steps[order], order).exact;  // only the order-10 filter fuses
      std::copy(wanted, wanted + order, made.indices);
      made.valid = true;
    }
    return made.steps[order];
  }
  // Estimated bits of the first c residual values as the block coder sees
  // them: per channel, in runs of 128 samples, about log2 of the mean
  // magnitude a sample (what a shift chosen per sub-block costs, give or
  // take a constant).
  static double ResidualCost(const std::int16_t* r, int c, int channels) {
    // The first values are left out: with the trials' cleared memories they
    // are off (the three stages look back 14 samples in all).
    constexpr int kSettle = 14;
    constexpr int kRun = 128;
    const int span = kRun * channels;
    std::uint32_t sums[2 * (2048 / kRun + 1)];  // a frame holds at most 2048 values
    const int runs = analysis_filter::Chosen().runSums(r + kSettle, c - kSettle, span, channels, sums);
    double bits = 0.0;
    for (int run = 0; run < runs; ++run) {
      const int values = std::min(span, c - kSettle - run * span);
      for (int ch = 0; ch < channels; ++ch) {
        const int count = (values - ch + channels - 1) / channels;
        const std::uint32_t sum = sums[channels * run + ch];
        if (count > 0) bits += count * std::log2(1.0 + static_cast<double>(sum) / count);
      }
    }
    return bits;
  }

  static constexpr int kReach = 2;  // indices tried on either side of a coefficient's (Search)
  int channels_;
  bool loaded_ = false;
  int valid_ = 3;
  std::vector<double> doubles_[3];
  struct Made {
    bool valid = false;
    int indices[10];
    float steps[11][11];  // the conversion's coefficients after each step; steps[order] is the result
    bool exact = false;   // MakePredictor accepts the result
  } made_[3];
  bool converted_[3] = {};
  std::vector<std::int16_t> trial_[2];  // residuals of the last stage's trials
};

// Writes frames' indices and residuals to their places in the analysis and
// residual files.
class FrameWriter {
 public:
  FrameWriter(const std::filesystem::path& residualPath, const std::filesystem::path& analysisPath, int n,
              std::uint64_t first)
      : bits_(analysis_), bytes_(2 * static_cast<std::size_t>(n)) {
    residual_.OpenForUpdate(residualPath);
    residual_.Seek(first * static_cast<std::uint64_t>(n) * 2);
    analysis_.OpenForUpdate(analysisPath);
    analysis_.Seek(first / 4 * 27);
  }
  void Put(const int* indices, const std::vector<std::int16_t>& out, int c) {
    for (int i = 0; i < 14; ++i) bits_.Put(static_cast<unsigned>(indices[i]), kIndexBits[i]);
    for (int i = 0; i < c; ++i) {
      bytes_[2 * static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(out[static_cast<std::size_t>(i)]);
      bytes_[2 * static_cast<std::size_t>(i) + 1] =
          static_cast<std::uint8_t>(static_cast<std::uint16_t>(out[static_cast<std::size_t>(i)]) >> 8);
    }
    residual_.Write(bytes_.data(), 2 * static_cast<std::size_t>(c));
  }
  void Close() {
    bits_.Flush();  // only the last range can end within a byte
    residual_.Close();
    analysis_.Close();
  }

 private:
  OutFile residual_, analysis_;
  LsbBitWriter bits_;
  std::vector<std::uint8_t> bytes_;
};

// Frames [first, end) of the source through the cascade (or the search)
// into their places in the residual and analysis files, with the checksum
// of the source bytes they hold. A range that does not start the source
// first runs three frames before it: after them every memory of the cascade
// holds exactly what a run from the start would hold, since each stage's
// memory is its own last inputs (frame 1 makes the first stage's output
// exact, frame 2 the second's, frame 3 the final residual). `first` is a
// multiple of 4, where the analysis stream is on a byte boundary (4 frames
// are 27 bytes). It goes a step at a time (Ready, then the step's
// autocorrelations and Step), so that a thread can run two ranges with
// their autocorrelations in one loop.
class RangeRun {
 public:
  RangeRun(const std::filesystem::path& source, const std::filesystem::path& residualPath,
           const std::filesystem::path& analysisPath, int n, std::uint64_t samples, std::uint64_t first,
           std::uint64_t end, bool search, int channels, Crc32* crc, const std::atomic<bool>& cancel,
           std::atomic<std::uint64_t>& done)
      : n_(n),
        samples_(samples),
        first_(first),
        end_(end),
        search_(search),
        crc_(crc),
        cancel_(cancel),
        done_(done),
        searching_(search ? n : 0, channels),
        pipeline_(search ? 0 : n),
        in_(source),
        raw_(2 * static_cast<std::size_t>(n)),
        writer_(residualPath, analysisPath, n, first),
        f_(first >= 3 ? first - 3 : 0) {
    if (f_ > 0) {
      in_.Seek((f_ * n - kHistory) * 2);
      in_.Read(raw_.data(), 2 * kHistory);
      Buffers().LoadHistory(raw_.data());
    }
    in_.Seek(f_ * n * 2);
  }

  // Readies the next step of the cascade: true when one is due. Reads the
  // next frame (the search runs it whole at once), and empties the cascade
  // before a partial frame, which reads the residual of the frame before,
  // and at the end. False once the range is written.
  bool Ready() {
    for (;;) {
      if (held_ >= 0) {  // a partial frame waits for the cascade to empty
        if (pipeline_.Busy()) return true;
        pipeline_.Load(static_cast<std::int64_t>(f_ - 1), raw_.data(), held_);
        held_ = -1;
        return true;
      }
      if (f_ < end_) {
        if (cancel_.load(std::memory_order_relaxed)) throw TaskCancelled{};
        const std::uint64_t f = f_++;
        if (f > first_) done_.fetch_add(1, std::memory_order_relaxed);
        const int c = FrameSamples(f);
        in_.Read(raw_.data(), 2 * static_cast<std::size_t>(c));
        if (f >= first_) crc_->Update(raw_.data(), 2 * static_cast<std::size_t>(c));
        if (search_) {
          int indices[14];
          searching_.Frame(raw_.data(), c, indices);
          Emit(f, indices);
          continue;
        }
        if (c < n_ && pipeline_.Busy()) {
          held_ = c;
          return true;
        }
        pipeline_.Load(static_cast<std::int64_t>(f), raw_.data(), c);
        return true;
      }
      if (pipeline_.Busy()) return true;
      if (!closed_) {
        done_.fetch_add(1, std::memory_order_relaxed);
        writer_.Close();
        closed_ = true;
      }
      return false;
    }
  }

  PipelinedCascade& Cascade() { return pipeline_; }

  void Step(float (*r)[11]) {
    const std::int64_t finished = pipeline_.Advance(r);
    if (finished >= 0) Emit(static_cast<std::uint64_t>(finished), pipeline_.Indices(finished));
  }

 private:
  StageBuffers& Buffers() { return search_ ? searching_.b : pipeline_.b; }
  int FrameSamples(std::uint64_t f) const {
    return static_cast<int>(std::min<std::uint64_t>(static_cast<std::uint64_t>(n_), samples_ - f * n_));
  }
  void Emit(std::uint64_t f, const int* indices) {
    if (f >= first_) writer_.Put(indices, Buffers().out, FrameSamples(f));  // earlier frames only set the memories
  }

  const int n_;
  const std::uint64_t samples_, first_, end_;
  const bool search_;
  Crc32* crc_;
  const std::atomic<bool>& cancel_;
  std::atomic<std::uint64_t>& done_;
  IndexSearch searching_;
  PipelinedCascade pipeline_;
  InFile in_;
  std::vector<std::uint8_t> raw_;
  FrameWriter writer_;
  std::uint64_t f_;  // the next frame to read
  int held_ = -1;    // the samples of a partial frame read but not yet loaded
  bool closed_ = false;
};

// One range, or two side by side: a step of each in turn, the two steps'
// autocorrelations in one loop whenever both cascades are full (each step's
// sums are a chain of dependent float additions; two fill its gaps).
void RunRanges(RangeRun& a, RangeRun* b, int n) {
  bool readyA = a.Ready(), readyB = b && b->Ready();
  while (readyA || readyB) {
    float ra[3][11], rb[3][11];
    if (readyA && readyB && a.Cascade().Full() && b->Cascade().Full()) {
      const std::int16_t* x[6];
      a.Cascade().Signals(x);
      b->Cascade().Signals(x + 3);
      float* const r[6] = {ra[2], ra[1], ra[0], rb[2], rb[1], rb[0]};
      autocorrelation::Chosen().six(x, n, r);
    } else {
      if (readyA) a.Cascade().Autocorrelations(ra);
      if (readyB) b->Cascade().Autocorrelations(rb);
    }
    if (readyA) a.Step(ra);
    if (readyB) b->Step(rb);
    readyA = readyA && a.Ready();
    readyB = readyB && b->Ready();
  }
}

}  // namespace

bool CAudioType::Analyse(std::uint8_t waveHeader, const std::filesystem::path& source,
                         const std::filesystem::path& residualPath, const std::filesystem::path& analysisPath,
                         std::uint32_t* sourceCrc, JobProgress* progress) {
  const int n = FrameLength(waveHeader != 0);
  const std::uint64_t samples = FileSize(source) / 2;  // a final odd byte belongs to no sample
  const std::uint64_t frames = (samples + static_cast<std::uint64_t>(n) - 1) / static_cast<std::uint64_t>(n);
  {
    OutFile analysis(analysisPath);
    OutFile residual(residualPath);
    analysis.Close();
    residual.Close();
  }
  // Ranges of whole groups of four frames, one per thread, or without the
  // search two per thread, run side by side; short sources in one.
  const unsigned perThread = search_ ? 1 : 2;
  const std::uint64_t parts = frames >= 64 ? std::max(1u, threads_) * perThread : 1;
  const std::uint64_t span = ((frames + parts - 1) / parts + 3) / 4 * 4;
  std::vector<std::function<void()>> tasks;
  // Each range also takes the checksum of the source bytes it reads.
  std::vector<Crc32> rangeCrcs(span ? static_cast<std::size_t>((frames + span - 1) / span) : 0);
  std::atomic<std::uint64_t> done{0};
  std::atomic<bool> cancel{false};
  for (std::uint64_t first = 0; first < frames; first += perThread * span) {
    tasks.push_back([=, this, &rangeCrcs, &cancel, &done] {
      auto range = [&](std::uint64_t from) {
        return std::make_unique<RangeRun>(source, residualPath, analysisPath, n, samples, from,
                                          std::min(frames, from + span), search_, channels_,
                                          &rangeCrcs[static_cast<std::size_t>(from / span)], cancel, done);
      };
      const auto a = range(first);
      const auto b = perThread > 1 && first + span < frames ? range(first + span) : nullptr;
      RunRanges(*a, b.get(), n);
    });
  }
  // One unit a frame; the frames are checked for a cancel one by one.
  NullProgress quiet;
  JobProgress& shown = progress ? *progress : quiet;
  shown.Begin({}, frames);
  const bool ran = RunWithProgress(tasks, threads_, shown, done, cancel);
  shown.End();
  if (ran && sourceCrc) {
    // The ranges' checksums joined in order, and a final odd byte, which no
    // sample holds.
    std::uint32_t crc = Crc32().Value();
    for (std::size_t r = 0; r < rangeCrcs.size(); ++r) {
      const std::uint64_t first = r * span, end = std::min(frames, first + span);
      const std::uint64_t bytes = 2 * (std::min(samples, end * n) - first * n);
      crc = Crc32::Combine(crc, rangeCrcs[r].Value(), bytes);
    }
    if (FileSize(source) % 2 != 0) {
      InFile in(source);
      in.Seek(2 * samples);
      Crc32 last;
      last.Update(static_cast<std::uint8_t>(in.Get()));
      crc = Crc32::Combine(crc, last.Value(), 1);
    }
    *sourceCrc = crc;
  }
  return ran;
}

}  // namespace ost
