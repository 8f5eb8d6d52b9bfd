#include "fuzz/FuzzTargets.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/Errors.h"
#include "common/FileIO.h"
#include "common/JobInterfaces.h"
#include "common/Leftovers.h"
#include "compress/CompressionJob.h"
#include "compress/WaveHeader.h"
#include "extract/BlockDecoder.h"
#include "extract/ExtractionJob.h"
#include "lzari/LzariDecoder.h"
#include "lzari/LzariEncoder.h"

namespace ost::fuzz {

namespace fs = std::filesystem;

namespace {

// Scratch files are the harness's own: a failure to write them is not the
// core's doing, so it is not an ost::Error that could pass for a refusal.
void WriteFile(const fs::path& path, const void* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  if (!out) throw std::runtime_error("fuzz harness: cannot write " + path.string());
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("fuzz harness: cannot read " + path.string());
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The damaged-archive message, or for input that begins as a WAVE file
// does, the word that it is a recording.
bool IsDamagedRefusal(const Outcome& o) {
  return o.refusal == ErrorKind::Damaged &&
         (o.message.rfind(kDamagedMessage, 0) == 0 || o.message.find(kWaveNotArchive) != std::string::npos);
}

void ExpectDamaged(const Outcome& o, const char* what) {
  if (o.refusal && !IsDamagedRefusal(o))
    throw Finding(std::string(what) + " refused with an error that is not the damaged-archive message: " + o.message);
}

class FixedPassword final : public PasswordQuestion {
 public:
  std::optional<std::string> AskPassword(const fs::path&) override { return std::string(kSeedPassword); }
};

class FixedChannels final : public ChannelQuestion {
 public:
  explicit FixedChannels(ChannelLayout layout) : layout_(layout) {}
  std::optional<ChannelLayout> AskChannels(const fs::path&) override { return layout_; }

 private:
  ChannelLayout layout_;
};

std::uint16_t U16(std::span<const std::uint8_t> d, std::size_t at) {
  return static_cast<std::uint16_t>(d[at] | (d[at + 1] << 8));
}

}  // namespace

Scratch& Scratch::Get() {
  static Scratch scratch;
  return scratch;
}

Scratch::Scratch() {
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  if (ec) base = "/tmp";
  // Held under its lock while this process runs, as a job's working folder
  // is, so that the folders of killed runs (a fuzzer stopped with kill -9)
  // are told from those of running ones and removed.
  leftovers::RemoveDead(base, kPrefix);
  try {
    lock_ = leftovers::MakeFolder(base, kPrefix);
  } catch (const Error& e) {
    throw std::runtime_error(std::string("fuzz harness: ") + e.what());
  }
  root_ = lock_.path;
  temp_ = root_ / "tmp";
  out_ = root_ / "out";
  fs::create_directory(temp_);
  fs::create_directory(out_);
  setenv("TMPDIR", temp_.c_str(), 1);
}

Scratch::~Scratch() {
  std::error_code ec;
  fs::remove_all(root_, ec);
  leftovers::Release(lock_);
}

void Scratch::CheckClean(const char* after) const {
  for (const fs::path& dir : {temp_, out_}) {
    for (const auto& entry : fs::directory_iterator(dir)) {
      const std::string left = entry.path().string();
      std::error_code ec;
      fs::remove_all(entry.path(), ec);  // so that one finding does not repeat on every later input
      throw Finding(std::string(after) + " left " + left + " behind");
    }
  }
}

Outcome RunExtraction(std::span<const std::uint8_t> data) {
  Scratch& scratch = Scratch::Get();
  const fs::path archive = scratch.root() / "input.otq";
  const fs::path target = scratch.out() / "restored";
  WriteFile(archive, data.data(), data.size());

  ExtractionOptions options;
  options.archive = archive;
  options.target = target;
  NullProgress progress;
  FixedPassword password;
  ExtractionResult result;
  const Outcome outcome = Guard([&] { result = ExtractionJob(options, progress, &password).Run(); });
  if (outcome.accepted) {
    if (result.cancelled) throw Finding("extraction reports a cancel nobody asked for");
    std::error_code ec;
    const std::uintmax_t written = fs::file_size(target, ec);
    if (ec || written != result.restoredSize)
      throw Finding("extraction succeeded but the restored file is missing or not " +
                    std::to_string(result.restoredSize) + " bytes");
    if (result.info.integrity.has_value() != result.integrityChecked)
      throw Finding("extraction of an archive with an integrity record succeeded without checking it");
    fs::remove(target);
  } else if (outcome.refusal != ErrorKind::WrongPassword) {
    ExpectDamaged(outcome, "extraction");
  }
  scratch.CheckClean("extraction");
  return outcome;
}

Outcome RunLzari(std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> decoded;
  const Outcome outcome = Guard([&] { decoded = CLzariDecoder::DecodeBytes(data); });
  if (outcome.accepted) {
    const std::uint32_t stated = data.size() >= 4 ? static_cast<std::uint32_t>(U16(data, 0) | (U16(data, 2) << 16)) : 0;
    if (decoded.size() != stated)
      throw Finding("the LZARI decoder gave " + std::to_string(decoded.size()) + " bytes of a stream stating " +
                    std::to_string(stated));
  }
  ExpectDamaged(outcome, "the LZARI decoder");

  // Whatever the bytes are, the coder must bring them back.
  const std::vector<std::uint8_t> coded = CLzariEncoder::EncodeBytes(data);
  std::vector<std::uint8_t> back;
  const Outcome again = Guard([&] { back = CLzariDecoder::DecodeBytes(coded); });
  if (!again.accepted) throw Finding("the LZARI decoder refuses what the encoder wrote: " + again.message);
  if (!std::equal(back.begin(), back.end(), data.begin(), data.end()))
    throw Finding("LZARI coding and decoding changed the bytes");
  return outcome;
}

std::string PackBlockStreams(bool eightPredictors, const std::string& header, const std::string& flags,
                             const std::string& sign, const std::string& lower, const std::string& higher) {
  std::string packed(1, static_cast<char>(eightPredictors ? 1 : 0));
  for (const std::string* s : {&header, &flags, &sign, &lower}) {
    if (s->size() > 0xFFFF) throw std::runtime_error("fuzz harness: a block stream over 64 KiB cannot be packed");
    packed += static_cast<char>(s->size() & 0xFF);
    packed += static_cast<char>(s->size() >> 8);
  }
  return packed + header + flags + sign + lower + higher;
}

Outcome RunBlockDecoder(std::span<const std::uint8_t> data) {
  Scratch& scratch = Scratch::Get();
  static const char* kNames[5] = {"Header1.out", "H1.out", "Sign1.out", "Lower.out", "Higher1.out"};
  const bool eightPredictors = !data.empty() && (data[0] & 1) != 0;
  std::size_t at = data.size() >= 9 ? 9 : data.size();
  for (int i = 0; i < 5; ++i) {
    std::size_t length = data.size() - at;
    if (i < 4) length = data.size() >= 9 ? std::min<std::size_t>(U16(data, 1 + 2 * i), length) : 0;
    WriteFile(scratch.root() / kNames[i], data.data() + at, length);
    at += length;
  }
  const fs::path output = scratch.root() / "temp.out";
  BlockLayout layout;
  const Outcome outcome = Guard([&] {
    InFile header(scratch.root() / kNames[0]), flags(scratch.root() / kNames[1]), sign(scratch.root() / kNames[2]),
        lower(scratch.root() / kNames[3]), higher(scratch.root() / kNames[4]);
    layout = ScanLayout(header, flags, eightPredictors);
    OutFile out(output);
    CBlockDecoder decoder;
    decoder.ResetBlockDecoder();
    NullProgress progress;
    if (!decoder.DecodeAll(header, flags, sign, lower, higher, out, layout, progress))
      throw Finding("the block decoder reports a cancel nobody asked for");
    out.Close();
  });
  if (outcome.accepted && FileSize(output) != 2 * layout.samples)
    throw Finding("the block decoder wrote " + std::to_string(FileSize(output)) + " bytes for " +
                  std::to_string(layout.samples) + " samples");
  ExpectDamaged(outcome, "the block decoder");
  return outcome;
}

Outcome RunWaveScan(std::span<const std::uint8_t> data) {
  std::optional<int> channels;
  const Outcome outcome = Guard([&] { channels = ScanWaveHeaderBytes(data); });
  if (!outcome.accepted) throw Finding("the header scan threw: " + outcome.message);
  if (channels) {
    // The answer must come from some "fmt " in the bytes with its bytes 9 and 10 present.
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    bool found = false;
    for (std::size_t p = text.find("fmt "); p != std::string_view::npos && !found; p = text.find("fmt ", p + 1))
      found = p + 10 < data.size() && (data[p + 9] & 15) + (data[p + 10] & 15) == *channels;
    if (!found) throw Finding("the header scan found " + std::to_string(*channels) + " channels in no \"fmt \" chunk");
  }
  return outcome;
}

Outcome RunRoundTrip(std::span<const std::uint8_t> data) {
  Scratch& scratch = Scratch::Get();
  const std::uint8_t select = data.empty() ? 0 : data[0];
  const std::span<const std::uint8_t> body = data.empty() ? data : data.subspan(1);
  static const Rate kRates[4] = {Rate::Fastest, Rate::Fast, Rate::Normal, Rate::Maximum};
  const fs::path source = scratch.root() / ((select & 4) ? "source.wav" : "source.pcm");
  const fs::path archive = scratch.root() / "source.otq";
  WriteFile(source, body.data(), body.size());

  CompressionOptions options;
  options.source = source;
  options.archive = archive;
  options.rate = (select & 64) ? Rate::Extreme : kRates[select & 3];
  options.replaceArchive = true;
  options.integrityRecord = (select & 16) == 0;
  if (select & 32) options.password = kSeedPassword;
  NullProgress progress;
  FixedChannels channels((select & 8) ? ChannelLayout::Stereo : ChannelLayout::Mono);
  CompressionResult made;
  const Outcome outcome = Guard([&] { made = CompressionJob(options, progress, channels).Run(); });
  if (!outcome.accepted) {
    // The one source the format refuses: an odd number of bytes.
    if (outcome.refusal != ErrorKind::Unsupported || body.size() % 2 == 0)
      throw Finding("compression refused a source: " + outcome.message);
    scratch.CheckClean("a refused compression");
    return outcome;
  }

  ExtractionOptions back;
  back.archive = archive;
  back.target = scratch.out() / "restored";
  back.password = options.password;
  ExtractionResult restored;
  const Outcome extracted = Guard([&] { restored = ExtractionJob(back, progress, nullptr).Run(); });
  if (!extracted.accepted) throw Finding("extraction refused an archive the compressor wrote: " + extracted.message);
  const std::string bytes = ReadFile(back.target);
  if (made.keptSize != body.size() || bytes.size() != made.keptSize ||
      std::memcmp(bytes.data(), body.data(), bytes.size()) != 0)
    throw Finding("the round trip did not restore the source's " + std::to_string(body.size()) + " bytes (" +
                  std::to_string(bytes.size()) + " came back)");
  fs::remove(back.target);
  fs::remove(archive);
  scratch.CheckClean("a round trip");
  return outcome;
}

}  // namespace ost::fuzz
