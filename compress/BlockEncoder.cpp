#include "compress/BlockEncoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "common/JobInterfaces.h"
#include "common/Parallel.h"
#include "common/VectorClones.h"
#include "format/BlockHeader.h"

namespace ost {

namespace {

constexpr int kBlock = 256;


// Magnitude of a 16-bit value: -32768 counts as 32768.
inline std::uint32_t Magnitude(std::uint16_t v) { return (v & 0x8000) ? static_cast<std::uint16_t>(-v) : v; }

// First estimate of the shift from the sum of magnitudes. A mean of
// magnitudes is at most 32768, so every mean's shift is worked out once, by
// the same expression, when the first is needed (static initialisation is
// thread-safe).
int ShiftFromMean(std::uint32_t total, int n) {
  static const std::array<std::int8_t, 32769> kShift = [] {
    std::array<std::int8_t, 32769> shift{};
    const double ln2 = std::log(2.0);
    for (std::uint32_t mean = 1; mean <= 32768; ++mean)
      shift[mean] = static_cast<std::int8_t>(std::ceil(std::log2(ln2 * static_cast<double>(mean))));
    return shift;
  }();
  return kShift[total / static_cast<std::uint32_t>(n)];
}

// The best of k0 and its neighbours by the cost sum(m >> k) + n k, held and
// compared as 16-bit numbers; `shifted(k)` gives sum(m >> k). A first
// estimate of 15 gives 14, keeping 15 for silent sub-blocks.
template <typename Shifted>
int Refine(int k0, int n, Shifted shifted) {
  auto cost = [&](int k) { return static_cast<std::uint16_t>(shifted(k) + static_cast<std::uint32_t>(n * k)); };
  int best = k0;
  std::uint16_t bestCost = cost(k0);
  if (k0 > 1) {
    const std::uint16_t c = cost(k0 - 1);
    if (c < bestCost) {
      best = k0 - 1;
      bestCost = c;
    }
  }
  if (k0 < 13 && cost(k0 + 1) < bestCost) best = k0 + 1;
  return k0 == 15 ? 14 : best;
}

template <int P>
inline std::uint32_t ResidualMagnitude(const std::int16_t* x, int i, std::int16_t* residual) {
  constexpr const int* c = kPredictorCoefficients[P];
  const int pred = c[0] * x[i - 1] + c[1] * x[i - 2] + c[2] * x[i - 3] + c[3] * x[i - 4] + c[4] * x[i - 5];
  const auto v = static_cast<std::int16_t>(x[i] - pred);
  *residual = v;
  return static_cast<std::uint32_t>(v < 0 ? -static_cast<int>(v) : static_cast<int>(v));
}

// Sums of squared residual magnitudes by chunk, as prefix sums.
template <int P>
[[gnu::always_inline]] inline void SquareSums(const std::int16_t* x, int n, int chunk, std::uint64_t* sq) {
  sq[0] = 0;
  for (int c = 0; c * chunk < n; ++c) {
    std::uint64_t s = 0;
    for (int i = c * chunk; i < (c + 1) * chunk; ++i) {
      std::int16_t v;
      const std::uint32_t m = ResidualMagnitude<P>(x, i, &v);
      s += static_cast<std::uint64_t>(m * m);
    }
    sq[c + 1] = sq[c] + s;
  }
}

// The residuals, their sign-magnitude low 15 bits, and the magnitude sums by chunk.
template <int P>
void Residuals(const std::int16_t* x, int n, int chunk, std::uint16_t* r, std::uint16_t* m15, std::uint32_t* mag) {
  std::uint32_t m[256];
  for (int i = 0; i < n; ++i) {
    std::int16_t v;
    m[i] = ResidualMagnitude<P>(x, i, &v);
    r[i] = static_cast<std::uint16_t>(v);
    m15[i] = static_cast<std::uint16_t>(m[i] & 0x7FFF);
  }
  mag[0] = 0;
  for (int c = 0; c * chunk < n; ++c) {
    std::uint32_t t = 0;
    for (int i = c * chunk; i < (c + 1) * chunk; ++i) t += m[i];
    mag[c + 1] = mag[c] + t;
  }
}

}  // namespace

void WordBitWriter::PutFields(const std::uint16_t* values, int n, int k) {
  const std::uint32_t mask = (1u << k) - 1;
  std::uint64_t acc = acc_;
  int held = held_;  // below 16 on entry, below 32 between fields
  for (int i = 0; i < n; ++i) {
    acc = (acc << k) | (values[i] & mask);
    held += k;
    if (held >= 32) Out32(acc, held);
  }
  acc_ = acc;
  held_ = held;
  total_ += static_cast<std::uint64_t>(n) * static_cast<std::uint64_t>(k);
  Spill();
}

void WordBitWriter::PutUnary(const std::uint16_t* values, int n, int k) {
  std::uint16_t largest = 0;
  for (int i = 0; i < n; ++i) largest = std::max(largest, values[i]);
  if ((largest >> k) <= kShortUnary && n <= kShortUnaryCount) {
    PutShortUnary(values, n, k);
    return;
  }
  std::uint64_t acc = acc_;
  int held = held_;
  std::uint64_t bits = 0;
  for (int i = 0; i < n; ++i) {
    std::uint32_t h = static_cast<std::uint32_t>(values[i]) >> k;
    bits += h + 1;
    for (; h >= 16; h -= 16) {
      acc <<= 16;
      held += 16;
      if (held >= 32) Out32(acc, held);
    }
    acc = (acc << (h + 1)) | 1u;
    held += static_cast<int>(h) + 1;
    if (held >= 32) Out32(acc, held);
  }
  acc_ = acc;
  held_ = held;
  total_ += bits;
  Spill();
}

// The codes go into a register whose top bits are the next bits of the
// stream, which is stored whole after every code and advanced by the bytes
// it completed: no branch depends on the values, where moving out words as
// they fill took one the processor could not foresee.
void WordBitWriter::PutShortUnary(const std::uint16_t* values, int n, int k) {
  std::uint8_t* const begin = bytes_.get() + used_;
  std::uint8_t* p = begin;
  int held = held_;  // below 16: whole words only are in the buffer
  std::uint64_t top = held ? acc_ << (64 - held) : 0;
  for (int i = 0; i < n; ++i) {
    const int h = values[i] >> k;  // at most kShortUnary: held + h + 1 stays below 64
    top |= std::uint64_t{1} << (63 - held - h);
    held += h + 1;
    std::uint64_t out = top;
    if constexpr (std::endian::native == std::endian::little) out = __builtin_bswap64(out);
    std::memcpy(p, &out, 8);
    const int whole = held & ~7;
    p += whole >> 3;
    top <<= whole;
    held -= whole;
  }
  // The codes' bits: the bytes they completed and the change in what is held.
  total_ +=
      8 * static_cast<std::uint64_t>(p - begin) + static_cast<std::uint64_t>(held) - static_cast<std::uint64_t>(held_);
  used_ = static_cast<std::size_t>(p - bytes_.get());
  if (used_ % 2 != 0) {
    // The last byte goes back into the register, so that the buffer keeps
    // whole words.
    --used_;
    top = (top >> 8) | (std::uint64_t{bytes_[used_]} << 56);
    held += 8;
  }
  acc_ = held ? top >> (64 - held) : 0;
  held_ = held;
  if (used_ >= kFlushAt) Flush();
}

void WordBitWriter::Finish() {
  if (held_ > 0) Put(0, 16 - held_);
  Flush();
}

void WordBitWriter::Append(InFile& in, std::uint64_t bits) {
  for (; bits >= 16; bits -= 16) {
    const int hi = in.Get();
    const int lo = in.Get();
    Put(static_cast<std::uint32_t>((hi << 8) | lo), 16);
  }
  if (bits > 0) {
    const int hi = in.Get();
    const int lo = in.Get();
    Put(static_cast<std::uint32_t>((hi << 8) | lo) >> (16 - bits), static_cast<int>(bits));
  }
}

ResidualReader::ResidualReader(const std::filesystem::path& file, bool interleaved)
    : in_(file), interleaved_(interleaved) {
  frames_ = in_.Size() / 4;
  size_ = interleaved ? 4 * frames_ : in_.Size();
}

void ResidualReader::Seek(std::uint64_t offset) {
  position_ = std::min(offset, size_);
  if (!interleaved_) in_.Seek(position_);
}

std::size_t ResidualReader::Read(std::uint8_t* out, std::size_t count) {
  if (!interleaved_) {
    const std::size_t got = in_.Read(out, count);
    position_ += got;
    return got;
  }
  std::size_t done = 0;
  std::uint8_t pairs[4096];
  while (done + 2 <= count && position_ < size_) {
    const std::uint64_t sample = position_ / 2;
    const int channel = sample < frames_ ? 0 : 1;
    const std::uint64_t frame = sample - (channel == 0 ? 0 : frames_);
    const std::size_t run = static_cast<std::size_t>(
        std::min<std::uint64_t>({(count - done) / 2, frames_ - frame, sizeof pairs / 4}));
    in_.Seek(4 * frame);  // within the buffer, this only moves the read position
    if (in_.Read(pairs, 4 * run) != 4 * run) ThrowIo("cannot read", in_.path(), 0);
    for (std::size_t i = 0; i < run; ++i) {
      out[done + 2 * i] = pairs[4 * i + 2 * channel];
      out[done + 2 * i + 1] = pairs[4 * i + 2 * channel + 1];
    }
    done += 2 * run;
    position_ += 2 * run;
  }
  return done;
}

void CBlockEncoder::ResetBlockEncoder() {
  std::memset(history_, 0, sizeof history_);
  lastPredictorFlag_ = 0;
}

int CBlockEncoder::EstimateShift(std::uint16_t* r, int n) {
  std::uint32_t total = 0;
  for (int i = 0; i < n; ++i) {
    total += Magnitude(r[i]);
    if (r[i] & 0x8000) r[i] = static_cast<std::uint16_t>(0x8000 | (static_cast<std::uint16_t>(-r[i]) & 0x7FFF));
  }
  return ShiftFromMean(total, n);
}

int CBlockEncoder::RefineShift(int k0, const std::uint16_t* r, int n) {
  return Refine(k0, n, [&](int k) {
    std::uint32_t c = 0;
    for (int i = 0; i < n; ++i) c += static_cast<std::uint32_t>((r[i] & 0x7FFF) >> k);
    return c;
  });
}

namespace {

// The square sums of every predictor of the set, in one function so that it
// is compiled for wider vectors too.
OST_VECTOR_CLONES void AllSquareSums(const std::int16_t* x, int n, int chunk, int predictors, std::uint64_t (*sq)[9]) {
  SquareSums<0>(x, n, chunk, sq[0]);
  SquareSums<1>(x, n, chunk, sq[1]);
  SquareSums<2>(x, n, chunk, sq[2]);
  SquareSums<3>(x, n, chunk, sq[3]);
  if (predictors == 8) {
    SquareSums<4>(x, n, chunk, sq[4]);
    SquareSums<5>(x, n, chunk, sq[5]);
    SquareSums<6>(x, n, chunk, sq[6]);
    SquareSums<7>(x, n, chunk, sq[7]);
  }
}

}  // namespace

void CBlockEncoder::RunPredictors(const std::int16_t* x, int n, int predictors, Trials& t) {
  t.n = n;
  t.x = x;
  t.chunk = n == kBlock ? 32 : n;
  for (int p = 0; p < predictors; ++p) t.ready[p] = false;
  AllSquareSums(x, n, t.chunk, predictors, t.squares);
  // The residual of predictor 0 is the input itself.
  for (int c = 0; c <= n / t.chunk; ++c) t.energy[c] = t.squares[0][c];
}

namespace {

// One predictor's residuals, compiled for wider vectors too.
OST_VECTOR_CLONES void AnyResiduals(int p, const std::int16_t* x, int n, int chunk, std::uint16_t* r,
                                    std::uint16_t* m15, std::uint32_t* mag) {
  WithPredictor(p, [&]<int P>() { Residuals<P>(x, n, chunk, r, m15, mag); });
}

// sum(m >> k) for k = lo, lo + 1, lo + 2 in one pass.
OST_VECTOR_CLONES void ShiftedSums(const std::uint16_t* m, int n, int lo, std::uint32_t* sums) {
  std::uint32_t s0 = 0, s1 = 0, s2 = 0;
  for (int i = 0; i < n; ++i) {
    s0 += static_cast<std::uint32_t>(m[i] >> lo);
    s1 += static_cast<std::uint32_t>(m[i] >> (lo + 1));
    s2 += static_cast<std::uint32_t>(m[i] >> (lo + 2));
  }
  sums[0] = s0;
  sums[1] = s1;
  sums[2] = s2;
}

}  // namespace

void CBlockEncoder::Trials::Ensure(int p) {
  if (ready[p]) return;
  AnyResiduals(p, x, n, chunk, residual[p], magnitude15[p], magnitudes[p]);
  ready[p] = true;
}

int CBlockEncoder::ChoosePredictor(const Trials& t, int predictors, int start, int n) {
  // The best gain 10 log10(E / s) in double precision, ties keeping the
  // lower number; the sums are exact integers. With E the same for every
  // predictor the gains rank as the sums do, so the logarithms are taken
  // only when two sums are too close for their gains to be told apart
  // without them (rounding could make those gains equal).
  const int a = start / t.chunk, b = (start + n) / t.chunk;
  const double energy = static_cast<double>(t.energy[b] - t.energy[a]);
  // E = 0: predictor 0's gain is NaN (0 / 0), which no gain exceeds.
  if (energy == 0.0) return 0;
  auto gain = [&](double s) { return 10.0 * std::log10(energy / s); };
  int best = 0;
  double bestSum = energy;  // predictor 0's residual is the input itself: gain 0
  for (int p = 1; p < predictors; ++p) {
    const double s = static_cast<double>(t.squares[p][b] - t.squares[p][a]);
    bool better;
    if (s == 0.0 || bestSum == 0.0)
      better = s < bestSum;  // a gain of +inf is beaten by nothing
    else if (s * (1.0 + 1e-9) < bestSum)
      better = true;
    else if (s > bestSum * (1.0 + 1e-9))
      better = false;
    else
      better = gain(s) > gain(bestSum);
    if (better) {
      best = p;
      bestSum = s;
    }
  }
  return best;
}

CBlockEncoder::Choice CBlockEncoder::ChooseSubBlock(Trials& t, int predictors, int start, int n) {
  Choice c;
  c.predictor = ChoosePredictor(t, predictors, start, n);
  const int p = c.predictor;
  const int a = start / t.chunk, b = (start + n) / t.chunk;
  if (t.squares[p][b] == t.squares[p][a]) {
    c.k = 15;
    c.unary = 0;
    return c;
  }
  t.Ensure(p);
  const int k0 = ShiftFromMean(t.magnitudes[p][b] - t.magnitudes[p][a], n);
  // sum(m >> k) for the three candidate shifts in one pass.
  const int lo = std::max(k0 - 1, 0);
  std::uint32_t sums[3];
  ShiftedSums(t.magnitude15[p] + start, n, lo, sums);
  auto shifted = [&](int k) { return sums[k - lo]; };
  c.k = Refine(k0, n, shifted);
  c.unary = shifted(c.k);
  return c;
}

std::uint32_t CBlockEncoder::EstimateBlockCost(Trials& t, int predictors, int size, Choice* choices) {
  std::uint32_t shiftBits = 0;
  std::uint32_t unary = 0;
  for (int start = 0; start < kBlock; start += size) {
    const Choice c = ChooseSubBlock(t, predictors, start, size);
    choices[start / size] = c;
    if (c.k == 15) continue;
    shiftBits += static_cast<std::uint32_t>(c.k * size);
    unary += c.unary;
  }
  return unary + shiftBits + 8u * static_cast<std::uint32_t>(kBlock / size);
}

void CBlockEncoder::WriteBlockHeader(int predictor, int k, int sizeCode, bool last, OutFile& stream) {
  stream.Put(HeaderByte(predictor, k, sizeCode, last));
}

void CBlockEncoder::PackLowerBits(const Trials& t, int p, int start, int n, int k) {
  lower_->PutFields(t.magnitude15[p] + start, n, k);
}

void CBlockEncoder::PackHigherBits(const Trials& t, int p, int start, int n, int k) {
  higher_->PutUnary(t.magnitude15[p] + start, n, k);
}

void CBlockEncoder::PackSignBits(const Trials& t, int p, int start, int n, OutFile& stream) {
  const std::uint16_t* r = t.residual[p] + start;
  for (int j = 0; j < n; j += 8) {
    unsigned byte = 0;
    for (int b = 0; b < 8 && j + b < n; ++b) byte |= static_cast<unsigned>(r[j + b] >> 15) << (7 - b);
    stream.Put(static_cast<std::uint8_t>(byte));
  }
}

void CBlockEncoder::EncodeBlock(Trials& t, int predictors, int size, int start, int count, bool last, bool tail,
                                const Choice* known, BlockStreams out) {
  for (int j = 0; j < count; ++j) {
    const int at = start + j * size;
    const Choice c = known ? known[j] : ChooseSubBlock(t, predictors, at, size);
    const bool final = last && j == count - 1;
    lastPredictorFlag_ = c.predictor >= 4 ? 1 : 0;
    out.flags.Put(lastPredictorFlag_);
    WriteBlockHeader(c.predictor, c.k, SizeCode(tail ? 256 : size), final, out.header);
    if (final) out.header.Put(static_cast<std::uint8_t>(size - 1));
    if (c.k == 15) continue;  // every residual zero: nothing else is written
    if (c.k != 0) PackLowerBits(t, c.predictor, at, size, c.k);
    PackSignBits(t, c.predictor, at, size, out.sign);
    PackHigherBits(t, c.predictor, at, size, c.k);
  }
}

void CBlockEncoder::LoadHistory(ResidualReader& in, std::uint64_t offset) {
  std::memset(history_, 0, sizeof history_);
  if (offset < 10) return;
  in.Seek(offset - 10);
  std::uint8_t bytes[10];
  in.Read(bytes, 10);
  for (int i = 0; i < 5; ++i)
    history_[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
}

bool CBlockEncoder::EncodeRange(const std::filesystem::path& residual, std::uint64_t first, std::uint64_t end,
                                std::uint64_t blocks, bool endsStream, BlockStreams out, WordBitWriter& lower,
                                WordBitWriter& higher, int predictors, bool searchSize, std::atomic<bool>& cancel,
                                std::atomic<std::uint64_t>& done) {
  lower_ = &lower;
  higher_ = &higher;
  ResidualReader in(residual, interleaved_);
  // The predictors look back five inputs, across block boundaries.
  LoadHistory(in, 512 * first);
  in.Seek(512 * first);
  auto trials = std::make_unique<Trials>();
  std::int16_t x[5 + kBlock];
  std::uint8_t bytes[2 * kBlock];
  for (std::uint64_t i = first; i < end; ++i) {
    if (cancel) return false;
    std::memcpy(x, history_, sizeof history_);
    in.Read(bytes, sizeof bytes);
    for (int j = 0; j < kBlock; ++j)
      x[5 + j] = static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[2 * j] | (bytes[2 * j + 1] << 8)));
    RunPredictors(x + 5, kBlock, predictors, *trials);
    std::memcpy(history_, x + kBlock, sizeof history_);
    const bool last = endsStream && i == blocks - 1;
    if (searchSize) {
      // The choices of each trial size are kept for the coding of the best one.
      Choice choices[4][8];
      int best = 0;
      std::uint32_t bestCost = EstimateBlockCost(*trials, predictors, 32, choices[0]);
      for (int s = 1; s < 4; ++s) {
        const std::uint32_t c = EstimateBlockCost(*trials, predictors, 32 << s, choices[s]);
        if (c < bestCost) {  // a tie keeps the smaller size
          best = s;
          bestCost = c;
        }
      }
      EncodeBlock(*trials, predictors, 32 << best, 0, kBlock / (32 << best), last, false, choices[best], out);
    } else {
      EncodeBlock(*trials, predictors, kBlock, 0, 1, last, false, nullptr, out);
    }
    ++done;
  }
  return true;
}

// A range of blocks coded on a thread of its own; every range but the
// first writes its streams to part files, joined after the first's.
struct CBlockEncoder::Range {
  std::uint64_t first, end;
  std::unique_ptr<CBlockEncoder> encoder;
  std::unique_ptr<OutFile> files[5];
  std::unique_ptr<WordBitWriter> lower, higher;
};

void CBlockEncoder::JoinRanges(std::vector<Range>& ranges, BlockStreams out, WordBitWriter& higher,
                               const std::function<std::filesystem::path(std::size_t, int)>& partName,
                               std::vector<HigherPart>* pending) {
  for (std::size_t r = 1; r < ranges.size(); ++r) {
    Range& range = ranges[r];
    const std::uint64_t higherBits = range.higher->bits();
    range.lower->Finish();  // on a word boundary: pads nothing
    range.higher->Finish();
    for (int k = 0; k < 5; ++k) range.files[k]->Close();
    for (int k : {0, 1, 3, 4}) {
      OutFile& target = k == 0 ? out.lower : k == 1 ? out.sign : k == 3 ? out.header : out.flags;
      InFile part(partName(r, k));
      std::uint8_t buffer[1 << 15];
      for (std::size_t got; (got = part.Read(buffer, sizeof buffer)) > 0;) target.Write(buffer, got);
    }
    for (int k : {0, 1, 3, 4}) RemoveQuietly(partName(r, k));
    if (pending) {
      pending->push_back({partName(r, 2), higherBits});
      continue;
    }
    InFile part(partName(r, 2));
    higher.Append(part, higherBits);
    part.Close();
    RemoveQuietly(partName(r, 2));
  }
}

bool CBlockEncoder::EncodeLevel(InFile& in, BlockStreams out, JobProgress& progress, int predictors,
                                bool searchSize) {
  ResidualReader reader(in.path(), interleaved_);
  const std::uint64_t length = reader.Size();
  const std::uint64_t blocks = length / 512;
  const int rem = static_cast<int>(length % 512);
  progress.Begin({}, blocks);  // the job that runs this pass says what is being done

  // Blocks in ranges, one per thread. Each block writes whole 16-bit words
  // of low bits and whole bytes of the byte streams, so the ranges' streams
  // join end to end; only the high parts, a continuous bit stream, are
  // joined bit by bit.
  const std::uint64_t parts = blocks >= 64 ? threads_ : 1;
  const std::uint64_t span = (blocks + parts - 1) / std::max<std::uint64_t>(parts, 1);
  std::vector<Range> ranges;
  WordBitWriter lower(out.lower);
  // Shared: with a channel, the writer outlives this call in the rest it hands back.
  const auto higherWriter = out.higherChannel ? std::make_shared<WordBitWriter>(*out.higherChannel)
                                              : std::make_shared<WordBitWriter>(*out.higher);
  WordBitWriter& higher = *higherWriter;
  const std::filesystem::path base = out.lower.path();
  auto partName = [&](std::size_t r, int stream) {
    return base.parent_path() / ("part" + std::to_string(r) + "-" + std::to_string(stream) + ".out");
  };
  for (std::uint64_t first = 0; first < blocks || ranges.empty(); first += std::max<std::uint64_t>(span, 1)) {
    Range range{first, std::min(blocks, first + span), std::make_unique<CBlockEncoder>(), {}, nullptr, nullptr};
    range.encoder->SetInterleaved(interleaved_);
    const std::size_t r = ranges.size();
    if (r > 0) {
      for (int k = 0; k < 5; ++k) range.files[k] = std::make_unique<OutFile>(partName(r, k));
      range.lower = std::make_unique<WordBitWriter>(*range.files[0]);
      range.higher = std::make_unique<WordBitWriter>(*range.files[2]);
    }
    ranges.push_back(std::move(range));
    if (blocks == 0) break;
  }
  std::atomic<bool> cancel{false};
  std::atomic<std::uint64_t> done{0};
  std::vector<std::function<void()>> tasks;
  for (std::size_t r = 0; r < ranges.size(); ++r) {
    tasks.push_back([&, r] {
      Range& range = ranges[r];
      BlockStreams streams = r == 0 ? out
                                    : BlockStreams{*range.files[0], *range.files[1], range.files[2].get(),
                                                   *range.files[3], *range.files[4]};
      range.encoder->EncodeRange(in.path(), range.first, range.end, blocks, rem == 0, streams,
                                 r == 0 ? lower : *range.lower, r == 0 ? higher : *range.higher, predictors,
                                 searchSize, cancel, done);
    });
  }
  const bool ran = RunWithProgress(tasks, threads_, progress, done, cancel);
  if (!ran) {
    progress.End();
    for (std::size_t r = 1; r < ranges.size(); ++r)
      for (int k = 0; k < 5; ++k) {
        ranges[r].files[k].reset();
        RemoveQuietly(partName(r, k));
      }
    return false;
  }
  lower.Flush();
  std::vector<HigherPart> pending;
  const bool deferred = out.higherChannel && out.higherRest;
  JoinRanges(ranges, out, higher, partName, deferred ? &pending : nullptr);
  CBlockEncoder& lastRange = *ranges.back().encoder;
  lastPredictorFlag_ = lastRange.lastPredictorFlag_;
  if (rem == 0) {
    lower.Finish();
    if (!deferred) higher.Finish();
    out.flags.Put(lastPredictorFlag_);
  } else if (!deferred) {
    EncodeTail(reader, blocks, rem, predictors, out, lower, higher);
  } else {
    // The tail's high parts follow the ranges': they wait in a part of their own.
    const std::filesystem::path tailPart = partName(ranges.size(), 2);
    OutFile file(tailPart);
    WordBitWriter tailHigher(file);
    EncodeTail(reader, blocks, rem, predictors, out, lower, tailHigher, false);
    pending.push_back({tailPart, tailHigher.bits()});
    tailHigher.Finish();
    file.Close();
  }
  if (deferred) {
    std::uint64_t bits = higher.bits();
    for (const HigherPart& part : pending) bits += part.bits;
    out.higherRest->streamBytes = (bits + 15) / 16 * 2;
    out.higherRest->run = [higherWriter, pending] {
      for (const HigherPart& part : pending) {
        InFile file(part.file);
        higherWriter->Append(file, part.bits);
        file.Close();
        RemoveQuietly(part.file);
      }
      higherWriter->Finish();
    };
  }
  progress.End();
  return true;
}

void CBlockEncoder::EncodeTail(ResidualReader& reader, std::uint64_t blocks, int rem, int predictors, BlockStreams out,
                               WordBitWriter& lower, WordBitWriter& higher, bool endsHigher) {
  const int n = (rem + 1) / 2;
  lower_ = &lower;
  higher_ = &higher;
  LoadHistory(reader, 512 * blocks);
  std::int16_t x[5 + kBlock];
  std::memcpy(x, history_, sizeof history_);
  std::int16_t* tail = x + 5;
  std::uint8_t bytes[2 * kBlock];
  reader.Seek(512 * blocks);
  const std::size_t got = reader.Read(bytes, 2 * static_cast<std::size_t>(n));
  std::memset(bytes + got, 0xFF, 2 * static_cast<std::size_t>(n) - got);  // past the end: 0xFF
  for (int i = 0; i < n; ++i)
    tail[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
  auto trials = std::make_unique<Trials>();
  RunPredictors(tail, n, predictors, *trials);
  EncodeBlock(*trials, predictors, n, 0, 1, true, true, nullptr, out);
  lower.Finish();
  if (endsHigher) higher.Finish();
  lower_ = higher_ = nullptr;
}

bool CBlockEncoder::EncodeFastest(InFile& in, BlockStreams out, JobProgress& progress) {
  return EncodeLevel(in, out, progress, 4, false);
}
bool CBlockEncoder::EncodeFast(InFile& in, BlockStreams out, JobProgress& progress) {
  return EncodeLevel(in, out, progress, 8, false);
}
bool CBlockEncoder::EncodeNormal(InFile& in, BlockStreams out, JobProgress& progress) {
  return EncodeLevel(in, out, progress, 4, true);
}
bool CBlockEncoder::EncodeMaximum(InFile& in, BlockStreams out, JobProgress& progress) {
  return EncodeLevel(in, out, progress, 8, true);
}

}  // namespace ost
