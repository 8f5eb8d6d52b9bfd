// Helpers of the damage tests: archives made in memory from synthetic or
// real recordings, taken apart into their head and six streams, changed,
// and put together again with lengths that agree with the changed streams.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/JobInterfaces.h"
#include "compress/CompressionJob.h"
#include "fuzz/FuzzTargets.h"

namespace ost::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::uint32_t GetU32(const Bytes& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at] | (b[at + 1] << 8) | (b[at + 2] << 16)) |
         (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

inline void PutU32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// An archive taken apart: the five head bytes and the password record, the
// six streams (header, sign, low bits, high parts, predictor flags,
// analysis) and whatever follows them (the integrity record).
struct ArchiveParts {
  Bytes head;
  std::array<Bytes, 6> streams;
  Bytes trailer;

  static ArchiveParts Split(const Bytes& archive) {
    ArchiveParts p;
    const std::size_t lengths = 5 + archive[4];
    p.head.assign(archive.begin(), archive.begin() + static_cast<std::ptrdiff_t>(lengths));
    std::size_t at = lengths + 24;
    for (int i = 0; i < 6; ++i) {
      const std::uint32_t n = GetU32(archive, lengths + 4 * i);
      p.streams[i].assign(archive.begin() + static_cast<std::ptrdiff_t>(at),
                          archive.begin() + static_cast<std::ptrdiff_t>(at + n));
      at += n;
    }
    p.trailer.assign(archive.begin() + static_cast<std::ptrdiff_t>(at), archive.end());
    return p;
  }

  Bytes Join() const {
    Bytes out = head;
    for (const Bytes& s : streams) {
      out.resize(out.size() + 4);
      PutU32(out, out.size() - 4, static_cast<std::uint32_t>(s.size()));
    }
    for (const Bytes& s : streams) out.insert(out.end(), s.begin(), s.end());
    out.insert(out.end(), trailer.begin(), trailer.end());
    return out;
  }
};

// A sweep with a little noise, 16-bit little-endian: the predictors treat it like music.
inline Bytes SweepPcm(std::size_t samples, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 30.0);
  Bytes out;
  double phase = 0;
  for (std::size_t i = 0; i < samples; ++i) {
    phase += 0.01 + 0.3 * static_cast<double>(i) / static_cast<double>(samples);
    const auto s = static_cast<std::int16_t>(std::lround(8000.0 * std::sin(phase) + noise(rng)));
    out.push_back(static_cast<std::uint8_t>(s & 0xFF));
    out.push_back(static_cast<std::uint8_t>((s >> 8) & 0xFF));
  }
  return out;
}

// The folder of real recordings: $OSTINATO_CORPUS, else the developer corpus.
inline std::filesystem::path CorpusDir() {
  const char* env = std::getenv("OSTINATO_CORPUS");
  return env && *env ? std::filesystem::path(env) : std::filesystem::path(OSTINATO_SOURCE_DIR) / ".." / "shared" / "corpus";
}

// `bytes` bytes of a recording starting `from` bytes in, after its first
// `header` bytes (kept, for a ".wav"); nullopt when the file is not there.
inline std::optional<Bytes> CutOf(const std::filesystem::path& file, std::size_t header, std::size_t from,
                                  std::size_t bytes) {
  Bytes all = ReadBytes(file);
  if (all.size() < header + from + bytes) return std::nullopt;
  Bytes cut(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(header));
  cut.insert(cut.end(), all.begin() + static_cast<std::ptrdiff_t>(header + from),
             all.begin() + static_cast<std::ptrdiff_t>(header + from + bytes));
  return cut;
}

class AnswerChannels final : public ChannelQuestion {
 public:
  explicit AnswerChannels(ChannelLayout layout) : layout_(layout) {}
  std::optional<ChannelLayout> AskChannels(const std::filesystem::path&) override { return layout_; }

 private:
  ChannelLayout layout_;
};

struct MadeArchive {
  Bytes source;   // the bytes extraction must restore
  Bytes archive;
};

// Compresses `source` (named NAME.wav or NAME.pcm by `wave`) in a scratch folder.
inline MadeArchive Compress(const Bytes& source, bool wave, ChannelLayout layout, Rate rate, bool integrity,
                            std::optional<std::string> password = std::nullopt) {
  const std::filesystem::path dir = fuzz::Scratch::Get().root();
  const std::filesystem::path file = dir / (wave ? "made.wav" : "made.pcm");
  WriteBytes(file, source);
  CompressionOptions options;
  options.source = file;
  options.archive = dir / "made.otq";
  options.rate = rate;
  options.replaceArchive = true;
  options.integrityRecord = integrity;
  options.password = std::move(password);
  NullProgress progress;
  AnswerChannels answer(layout);
  CompressionJob(options, progress, answer).Run();
  MadeArchive made{source, ReadBytes(options.archive)};
  std::filesystem::remove(options.archive);
  std::filesystem::remove(file);
  return made;
}

}  // namespace ost::test
