#include "compress/CompressionJob.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <string>

#include "common/ByteSource.h"
#include "common/Crc32.h"
#include "common/Errors.h"
#include "common/FileIO.h"
#include "common/JobMeter.h"
#include "common/Parallel.h"
#include "common/Password.h"
#include "common/PendingOutput.h"
#include "common/WorkFolder.h"
#include "compress/AudioType.h"
#include "compress/BlockEncoder.h"
#include "compress/WaveHeader.h"
#include "lzari/LzariEncoder.h"

namespace ost {

const char* RateName(Rate rate) {
  switch (rate) {
    case Rate::Fastest: return "Fastest";
    case Rate::Fast: return "Fast";
    case Rate::Normal: return "Normal";
    case Rate::Maximum: return "Maximum";
    case Rate::Extreme: return "Extreme";
  }
  return "Maximum";
}

std::optional<Rate> ParseRate(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  if (lower == "fastest") return Rate::Fastest;
  if (lower == "fast") return Rate::Fast;
  if (lower == "normal") return Rate::Normal;
  if (lower == "maximum") return Rate::Maximum;
  if (lower == "extreme") return Rate::Extreme;
  return std::nullopt;
}

void WriteStreamLength(OutFile& out, InFile& in) {
  const std::uint64_t length = in.Size();
  if (length > 0xFFFFFFFFu)
    throw Error(ErrorKind::Unsupported, in.path().string() + " is longer than an archive stream can be (4 GiB)");
  out.WriteU32(static_cast<std::uint32_t>(length));
}

void CopyStream(OutFile& out, InFile& in) {
  in.Rewind();
  std::uint8_t buffer[1 << 15];
  for (std::size_t got; (got = in.Read(buffer, sizeof buffer)) > 0;) out.Write(buffer, got);
}

namespace {

std::string UpperName(const std::filesystem::path& p) {
  std::string name = p.filename().string();
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::toupper(c); });
  return name;
}

bool EndsWith(const std::string& s, const char* suffix) {
  const std::string t(suffix);
  return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

}  // namespace

CompressionJob::CompressionJob(CompressionOptions options, JobProgress& progress, ChannelQuestion& channels)
    : options_(std::move(options)), progress_(progress), channels_(channels) {}

CompressionResult CompressionJob::Run() {
  CompressionResult result;
  const std::filesystem::path& source = options_.source;
  const std::string shown = options_.shownAs.empty() ? source.string() : options_.shownAs;

  // The suffix decides the kind of source, whatever the case of the name.
  const std::string upper = UpperName(source);
  const bool isPcm = EndsWith(upper, ".PCM");
  const bool isWav = EndsWith(upper, ".WAV");
  if (!isPcm && !isWav) throw Error(ErrorKind::InvalidName, kInvalidFileNameMessage);

  // Checked before anything is created: an unreadable source, one whose
  // bytes the format cannot all bring back, and an archive that would
  // replace its own source.
  std::error_code statError;
  const auto status = std::filesystem::status(source, statError);
  if (!statError && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status))
    throw Error(ErrorKind::Io, shown +
                                   " is not a regular file: a source must be a file on disk (a device, a pipe or a "
                                   "folder cannot be read twice, as compression does)");
  InFile sourceFile;
  try {
    sourceFile.Open(source);
  } catch (const Error& e) {
    throw Error(isWav ? ErrorKind::InvalidName : ErrorKind::Io, e.what());
  }
  const FileIdentity identity = IdentityOf(source);
  result.sourceSize = sourceFile.Size();
  if (result.sourceSize % 2 != 0)
    throw Error(ErrorKind::Unsupported, shown + " has an odd number of bytes (" +
                                            std::to_string(result.sourceSize) +
                                            "); 16-bit samples come in pairs of bytes, so its last byte could not "
                                            "be restored");
  if (SameFile(source, options_.archive))
    throw Error(ErrorKind::SameFile,
                options_.archive.string() + " is the source itself; its archive must be written to another file");
  auto changed = [&] {
    return Error(ErrorKind::Changed, shown + " changed while it was being compressed");
  };

  std::optional<std::string> passwordRecord;
  if (options_.password) passwordRecord = PasswordRecord(*options_.password);

  // Channel layout: the "fmt " chunk of a ".wav", else the caller's answer.
  std::optional<ChannelLayout> layout;
  bool waveHeader = false;
  if (isWav) {
    FileSource scan{sourceFile};
    try {
      if (std::optional<int> c = ScanWaveHeader(scan)) {
        waveHeader = true;
        if (*c == 1) layout = ChannelLayout::Mono;
        if (*c == 2) layout = ChannelLayout::Stereo;
      }
    } catch (const Error& e) {
      if (e.kind() == ErrorKind::Changed) throw changed();
      throw;
    }
  }
  sourceFile.Close();
  if (!layout) {
    layout = channels_.AskChannels(source);
    if (!layout) throw Error(ErrorKind::ChannelCancelled, kActionCancelledMessage);
  }
  if (isWav && !waveHeader)
    result.notices.push_back(shown + " has no \"fmt \" chunk; it was coded as headerless samples");
  if (*layout == ChannelLayout::Stereo && result.sourceSize % 4 != 0) {
    // Two-channel coding keeps whole sample pairs only; the one-channel
    // layout keeps every byte.
    layout = ChannelLayout::Mono;
    result.notices.push_back(shown +
                             " does not end on a whole pair of samples; it was coded in the one-channel layout so "
                             "that every byte comes back");
  }
  result.channels = *layout;
  result.waveHeader = waveHeader;
  result.keptSize = result.sourceSize;

  PendingOutput archive(options_.archive, options_.replaceArchive);
  WorkFolder work;
  auto file = [&](const char* name) { return work.File(name); };
  const bool keep = options_.keepWorkDir.has_value();
  auto discard = [&](const char* name) {
    if (!keep) RemoveQuietly(file(name));
  };
  const unsigned threads = options_.threads ? options_.threads : DefaultThreads();

  // The passes' shares of the bar, from their measured cost on music and
  // speech: the analysis dominates Extreme, the stream coder the others.
  const bool extreme = options_.rate == Rate::Extreme;
  JobMeter meter(progress_, kCompressingText,
                 extreme ? std::initializer_list<double>{90, 4, 5, 1} : std::initializer_list<double>{25, 30, 40, 5});

  CAudioType analysis;
  analysis.SetThreads(threads);
  // Extreme searches the analysis's quantiser indices; its block coding is Maximum's.
  analysis.SetSearch(extreme, *layout == ChannelLayout::Stereo ? 2 : 1);
  std::uint32_t sourceCrc = 0;
  try {
    if (!analysis.Analyse(waveHeader ? 1 : 0, source, file("temp.out"), file("ilar.txt"), &sourceCrc,
                          &meter.NextPass())) {
      result.cancelled = true;
      return result;
    }
  } catch (const Error& e) {
    if (e.kind() == ErrorKind::Changed) throw changed();
    throw;
  }
  // Everything after this reads the job's own files; a source that changed
  // during the analysis is refused now rather than after the slow passes.
  if (IdentityOf(source) != identity) throw changed();

  // Two-channel residuals are coded one channel after the other; the block
  // encoder reads them in that order straight from the interleaved file.
  const std::filesystem::path residual = file("temp.out");

  bool ran = false;
  {
    InFile in(residual);
    OutFile lower(file("Lower.out")), sign(file("Sign.out")), higher(file("Higher.out")),
        header(file("Header.out")), flags(file("H.out"));
    BlockStreams streams{lower, sign, higher, header, flags};
    CBlockEncoder encoder;
    encoder.ResetBlockEncoder();
    encoder.SetThreads(threads);
    encoder.SetInterleaved(*layout == ChannelLayout::Stereo);
    JobProgress& pass = meter.NextPass();
    switch (options_.rate) {
      case Rate::Fastest: ran = encoder.EncodeFastest(in, streams, pass); break;
      case Rate::Fast: ran = encoder.EncodeFast(in, streams, pass); break;
      case Rate::Normal: ran = encoder.EncodeNormal(in, streams, pass); break;
      case Rate::Maximum:
      case Rate::Extreme: ran = encoder.EncodeMaximum(in, streams, pass); break;
    }
    if (!ran) {
      result.cancelled = true;
      return result;  // the working folder and the unfinished archive go with their owners
    }
    lower.Close();
    sign.Close();
    higher.Close();
    header.Close();
    flags.Close();
  }
  discard("temp.out");

  // Four of the streams are squeezed once more; each coder runs exactly one stream.
  struct Coded {
    const char* in;
    const char* out;
    const char* message;
  };
  // The four coders share nothing, so they run side by side, the largest
  // stream first; they count their progress in blocks of input.
  std::atomic<std::uint64_t> coded{0};
  std::atomic<bool> cancel{false};
  std::uint64_t codedUnits = 0;
  std::vector<std::function<void()>> coders;
  for (const Coded& c : {Coded{"Higher.out", "Higher1.out", "Write Error"}, Coded{"Sign.out", "Sign1.out", "Write Error3"},
                         Coded{"Header.out", "Header1.out", "Write Error2"}, Coded{"H.out", "H1.out", "Write Error4"}}) {
    codedUnits += FileSize(file(c.in)) / CLzariEncoder::kWatchBytes;
    coders.push_back([&, c] {
      CLzariEncoder encoder(file(c.in), file(c.out), c.message);
      encoder.Watch(&cancel, &coded);
      encoder.CompressFile();
      discard(c.in);
    });
  }
  JobProgress& streamPass = meter.NextPass();
  streamPass.Begin({}, codedUnits);
  if (!RunWithProgress(coders, threads, streamPass, coded, cancel)) {
    result.cancelled = true;
    return result;
  }

  {
    JobProgress& writePass = meter.NextPass();
    OutFile out(archive.temp(), options_.archive);
    const std::uint8_t head[5] = {
        static_cast<std::uint8_t>(waveHeader ? 1 : 0),
        static_cast<std::uint8_t>(isPcm ? 0 : 1),
        static_cast<std::uint8_t>(options_.rate == Rate::Fastest || options_.rate == Rate::Normal ? 0 : 1),
        static_cast<std::uint8_t>(*layout == ChannelLayout::Mono ? 0 : 1),
        static_cast<std::uint8_t>(passwordRecord ? passwordRecord->size() : 0),
    };
    out.Write(head, 5);
    if (passwordRecord) out.Write(passwordRecord->data(), passwordRecord->size());
    InFile parts[6];
    const char* names[6] = {"Header1.out", "Sign1.out", "Lower.out", "Higher1.out", "H1.out", "ilar.txt"};
    std::uint64_t total = 0;
    for (int i = 0; i < 6; ++i) {
      parts[i].Open(file(names[i]));
      total += parts[i].Size();
    }
    for (auto& part : parts) WriteStreamLength(out, part);
    // Copied in blocks, a unit each, with a look for a cancel between them.
    constexpr std::size_t kBlock = 1 << 20;
    writePass.Begin({}, total / kBlock + 1);
    std::vector<std::uint8_t> buffer(kBlock);
    for (auto& part : parts) {
      part.Rewind();
      for (std::size_t got; (got = part.Read(buffer.data(), buffer.size())) > 0;) {
        out.Write(buffer.data(), got);
        writePass.Step();
        if (writePass.IsCancelled()) {
          result.cancelled = true;
          return result;
        }
      }
    }
    if (options_.integrityRecord) {
      out.Write(kIntegrityTag, 4);
      const std::uint64_t length = result.keptSize;
      for (int i = 0; i < 8; ++i) out.Put(static_cast<std::uint8_t>(length >> (8 * i)));
      out.WriteU32(sourceCrc);
    }
    out.Close();
  }
  if (options_.keepWorkDir) work.CopyAllTo(*options_.keepWorkDir);
  // The archive holds the source as it was when the job began, or nothing
  // is written.
  if (IdentityOf(source) != identity) throw changed();
  if (options_.beforeCommit) options_.beforeCommit(archive.temp());
  archive.Commit();
  meter.Finish();
  result.archiveSize = FileSize(options_.archive);
  return result;
}

}  // namespace ost
