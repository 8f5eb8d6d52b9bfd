// fuzz_seeds: makes the seed corpora of the fuzz targets from real archives.
//
//   fuzz_seeds OUT_DIR [RECORDING...]
//
// Each recording (".wav" or headerless ".pcm"; "NAME.pcm" is taken as two
// channels when its name contains "music") is cut short and compressed at
// every rate, with and without a password and an integrity record. From each
// archive come: the archive itself (extract/), its four coded streams
// (lzari/), the block streams the block encoder wrote, packed for the block
// target (block/), and the cut source with a selector byte for the round
// trip (roundtrip/). The first bytes of every ".wav" seed the header scan
// (wav/). Without recordings, synthetic signals stand in for them.
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <unistd.h>
#include <string>
#include <vector>

#include "common/JobInterfaces.h"
#include "compress/CompressionJob.h"
#include "extract/ArchiveReader.h"
#include "fuzz/FuzzTargets.h"

namespace fs = std::filesystem;
using namespace ost;

namespace {

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

class Answer final : public ChannelQuestion {
 public:
  explicit Answer(ChannelLayout layout) : layout_(layout) {}
  std::optional<ChannelLayout> AskChannels(const fs::path&) override { return layout_; }

 private:
  ChannelLayout layout_;
};

struct Source {
  std::string name;   // stem for the seed names
  std::string bytes;  // the recording, whole
  bool wave;          // keep the first `header` bytes and cut the samples after them
  std::size_t header;
  ChannelLayout layout;
};

// A sweep with noise, like music to the predictors, 16-bit little-endian.
std::string Synthetic(std::size_t samples, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 40.0);
  std::string out;
  double phase = 0;
  for (std::size_t i = 0; i < samples; ++i) {
    phase += 0.02 + 0.2 * static_cast<double>(i) / static_cast<double>(samples);
    const auto s = static_cast<std::int16_t>(std::lround(9000.0 * std::sin(phase) + noise(rng)));
    out += static_cast<char>(s & 0xFF);
    out += static_cast<char>((s >> 8) & 0xFF);
  }
  return out;
}

// A plain 44-byte RIFF header before the samples.
std::string Wave(int channels, const std::string& samples) {
  std::string h;
  auto put = [&](std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) h += static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  const std::uint32_t rate = 44100, size = static_cast<std::uint32_t>(samples.size());
  h += "RIFF";
  put(36 + size, 4);
  h += "WAVEfmt ";
  put(16, 4);
  put(1, 2);
  put(static_cast<std::uint32_t>(channels), 2);
  put(rate, 4);
  put(rate * 2 * static_cast<std::uint32_t>(channels), 4);
  put(2 * static_cast<std::uint32_t>(channels), 2);
  put(16, 2);
  h += "data";
  put(size, 4);
  return h + samples;
}

// The cut: the header (if any) and `bytes` bytes of samples from a quarter into the recording.
std::string Cut(const Source& s, std::size_t bytes) {
  const std::size_t body = s.bytes.size() - s.header;
  std::size_t from = s.header + (body / 4) / 4 * 4;
  if (from + bytes > s.bytes.size()) from = s.header;
  std::string cut = s.bytes.substr(0, s.header) + s.bytes.substr(from, bytes);
  if (cut.size() % 2) cut.pop_back();
  return cut;
}

int Make(const fs::path& outDir, const std::vector<Source>& sources) {
  for (const char* target : {"extract", "lzari", "block", "wav", "roundtrip"}) fs::create_directories(outDir / target);
  const fs::path work = fs::temp_directory_path() / ("ostinato-seeds-" + std::to_string(::getpid()));
  fs::create_directories(work);
  static const Rate kRates[4] = {Rate::Fastest, Rate::Fast, Rate::Normal, Rate::Maximum};
  static const char* kRateNames[4] = {"fastest", "fast", "normal", "maximum"};
  int made = 0;
  for (const Source& s : sources) {
    if (s.wave) WriteFile(outDir / "wav" / s.name, s.bytes.substr(0, std::min<std::size_t>(s.bytes.size(), 256)));
    for (int r = 0; r < 4; ++r) {
      // Short cuts keep the fuzzers fast; one rate gets a longer one so that
      // several analysis frames and blocks of each size occur.
      const std::string cut = Cut(s, r == 3 ? 12288 : 3072);
      const std::string stem = s.name + "-" + kRateNames[r];
      const fs::path source = work / (s.wave ? "cut.wav" : "cut.pcm");
      WriteFile(source, cut);
      CompressionOptions options;
      options.source = source;
      options.archive = work / "cut.otq";
      options.rate = kRates[r];
      options.replaceArchive = true;
      options.integrityRecord = r != 2;
      if (r % 2) options.password = fuzz::kSeedPassword;
      options.keepWorkDir = work / "parts";
      fs::remove_all(work / "parts");
      NullProgress progress;
      Answer answer(s.layout);
      CompressionJob(options, progress, answer).Run();

      const std::string archive = ReadFile(options.archive);
      WriteFile(outDir / "extract" / stem, archive);
      const ArchiveInfo info = ReadArchiveInfo(options.archive);
      std::uint64_t at = info.streamsOffset;
      static const char* kStreams[6] = {"header", "sign", nullptr, "high", "flags", nullptr};
      for (int i = 0; i < 6; ++i) {
        if (kStreams[i]) WriteFile(outDir / "lzari" / (stem + "-" + kStreams[i]), archive.substr(at, info.streamLength[i]));
        at += info.streamLength[i];
      }
      const fs::path parts = work / "parts";
      WriteFile(outDir / "block" / stem,
                fuzz::PackBlockStreams(info.predictorSet != 0, ReadFile(parts / "Header.out"), ReadFile(parts / "H.out"),
                                       ReadFile(parts / "Sign.out"), ReadFile(parts / "Lower.out"),
                                       ReadFile(parts / "Higher.out")));
      // Round-trip selector: rate, ".wav", two channels, no integrity record, password.
      const std::uint8_t select = static_cast<std::uint8_t>(
          r | (s.wave ? 4 : 0) | (s.layout == ChannelLayout::Stereo ? 8 : 0) | (options.integrityRecord ? 0 : 16) |
          (options.password ? 32 : 0));
      WriteFile(outDir / "roundtrip" / stem, std::string(1, static_cast<char>(select)) + Cut(s, 2048));
      ++made;
    }
  }
  fs::remove_all(work);
  std::printf("fuzz_seeds: %d archives from %zu recordings into %s\n", made, sources.size(), outDir.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: fuzz_seeds OUT_DIR [RECORDING...]\n");
    return 2;
  }
  try {
    std::vector<Source> sources;
    for (int i = 2; i < argc; ++i) {
      const fs::path path = argv[i];
      const std::string name = path.filename().string();
      const bool wave = path.extension() == ".wav";
      Source s{name, ReadFile(path), wave, 0, ChannelLayout::Mono};
      if (wave) {
        // The samples start after the "data" chunk's 8-byte head.
        const std::size_t data = s.bytes.find("data");
        s.header = data == std::string::npos ? 0 : std::min(s.bytes.size(), data + 8);
        const std::size_t fmt = s.bytes.find("fmt ");
        if (fmt != std::string::npos && fmt + 11 < s.bytes.size() && s.bytes[fmt + 10] == 2)
          s.layout = ChannelLayout::Stereo;
      } else if (name.find("music") != std::string::npos) {
        s.layout = ChannelLayout::Stereo;
      }
      sources.push_back(std::move(s));
    }
    if (sources.empty()) {
      const std::string mono = Synthetic(20000, 1), stereo = Synthetic(40000, 2);
      sources.push_back({"synthetic-mono.pcm", mono, false, 0, ChannelLayout::Mono});
      sources.push_back({"synthetic-stereo.pcm", stereo, false, 0, ChannelLayout::Stereo});
      sources.push_back({"synthetic-mono.wav", Wave(1, mono), true, 44, ChannelLayout::Mono});
      sources.push_back({"synthetic-stereo.wav", Wave(2, stereo), true, 44, ChannelLayout::Stereo});
    }
    return Make(argv[1], sources);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fuzz_seeds: %s\n", e.what());
    return 1;
  }
}
