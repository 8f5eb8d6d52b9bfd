// A named collection of damaged archives, each made by hand from a good one
// with the one fault it carries, and the exact outcome expected of the
// extraction: the error's kind and a part of its detail, or (where the
// format cannot see the fault) a restore without an error.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string_view>

#include "ArchiveParts.h"
#include "extract/ExtractionJob.h"
#include "lzari/LzariDecoder.h"
#include "lzari/LzariEncoder.h"

namespace ost {
namespace {

using test::ArchiveParts;
using test::Bytes;

enum class Base {
  Stereo,           // two channels, 6000 sample pairs, "Fast" (eight predictors), integrity record
  StereoNoRecord,   // the same without the integrity record, as older archives are
  MonoPassword,     // one channel, 3001 samples, "Fastest" (four predictors), password "fuzz", record
};

const test::MadeArchive& Made(Base base) {
  static const test::MadeArchive stereo =
      test::Compress(test::SweepPcm(12000, 7), false, ChannelLayout::Stereo, Rate::Fast, true);
  static const test::MadeArchive stereoNoRecord =
      test::Compress(test::SweepPcm(12000, 7), false, ChannelLayout::Stereo, Rate::Fast, false);
  static const test::MadeArchive mono = test::Compress(test::SweepPcm(3001, 8), false, ChannelLayout::Mono,
                                                       Rate::Fastest, true, std::string(fuzz::kSeedPassword));
  switch (base) {
    case Base::Stereo: return stereo;
    case Base::StereoNoRecord: return stereoNoRecord;
    case Base::MonoPassword: return mono;
  }
  return stereo;
}

// Changes one coded stream's content: decoded, changed, coded again, so that
// the fault lies in what the stream carries and not in its coding.
std::function<void(Bytes&)> InStream(int stream, std::function<void(Bytes&)> change) {
  return [stream, change](Bytes& archive) {
    ArchiveParts parts = ArchiveParts::Split(archive);
    Bytes plain = CLzariDecoder::DecodeBytes(parts.streams[stream]);
    change(plain);
    parts.streams[stream] = CLzariEncoder::EncodeBytes(plain);
    archive = parts.Join();
  };
}

// Changes one stream as stored (the low-bits and analysis streams are not coded).
std::function<void(Bytes&)> Stored(int stream, std::function<void(Bytes&)> change) {
  return [stream, change](Bytes& archive) {
    ArchiveParts parts = ArchiveParts::Split(archive);
    change(parts.streams[stream]);
    archive = parts.Join();
  };
}

std::function<void(Bytes&)> Trailer(std::function<void(Bytes&)> change) {
  return [change](Bytes& archive) {
    ArchiveParts parts = ArchiveParts::Split(archive);
    change(parts.trailer);
    archive = parts.Join();
  };
}

constexpr std::size_t kLengthsAt = 5;  // without a password record

struct Fault {
  const char* name;
  const char* fault;
  Base base;
  std::function<void(Bytes&)> damage;
  std::optional<ErrorKind> kind;  // nullopt: restored without an error
  const char* detail;             // part of the error text; for a restore, the outcome
  const char* knownFailure = nullptr;  // why the core does not give the outcome yet
};

const Fault kFaults[] = {
    {"Empty", "a file of no bytes", Base::Stereo, [](Bytes& a) { a.clear(); }, ErrorKind::Damaged,
     "shorter than the 5-byte head of an archive"},
    {"HeadByteNotAFlag", "the channel byte is 2", Base::Stereo, [](Bytes& a) { a[3] = 2; }, ErrorKind::Damaged,
     "head byte 3 is 2, not 0 or 1"},
    {"PasswordLength255InShortFile", "byte 4 claims a 255-byte password record in a 40-byte file", Base::Stereo,
     [](Bytes& a) {
       a.resize(40);
       a[4] = 255;
     },
     ErrorKind::Damaged, "ends within its password record"},
    {"PasswordRecordDisagrees", "the password record's length byte says 3 for a 4-character record",
     Base::MonoPassword, [](Bytes& a) { a[5] = 3; }, ErrorKind::Damaged,
     "the password record's length byte disagrees with its size"},
    {"CutInTheLengths", "the file ends 12 bytes into the six stream lengths", Base::Stereo,
     [](Bytes& a) { a.resize(kLengthsAt + 12); }, ErrorKind::Damaged, "ends within its six stream lengths"},
    {"LengthClaimsGigabytes", "the header stream's length field says 4 GiB", Base::Stereo,
     [](Bytes& a) { test::PutU32(a, kLengthsAt, 0xFFFFFFF0u); }, ErrorKind::Damaged,
     "its six stream lengths add up to"},
    {"ZeroLengthStreams", "the head and six lengths of 0, nothing else", Base::Stereo,
     [](Bytes& a) { a.assign(kLengthsAt + 24, 0); }, ErrorKind::Damaged,
     "the header stream is shorter than its 4-byte length"},
    {"ByteAppended", "one byte after the analysis stream of an archive without a record", Base::StereoNoRecord,
     [](Bytes& a) { a.push_back(0); }, ErrorKind::Damaged, "bytes, but"},
    {"CutByOneByte", "the last byte is missing", Base::Stereo, [](Bytes& a) { a.pop_back(); }, ErrorKind::Damaged,
     "its six stream lengths add up to"},
    {"RecordTagChanged", "the integrity record's tag has one bit flipped", Base::Stereo,
     Trailer([](Bytes& t) { t[0] ^= 1; }), ErrorKind::Damaged, "16 bytes after its streams that are not an integrity record"},
    {"RecordCrcChanged", "the integrity record's CRC-32 has one bit flipped", Base::Stereo,
     Trailer([](Bytes& t) { t[12] ^= 1; }), ErrorKind::Damaged,
     "does not match the archive's integrity record (CRC-32)"},
    {"RecordLengthChanged", "the integrity record's length is 2 bytes more", Base::Stereo,
     Trailer([](Bytes& t) { t[4] += 2; }), ErrorKind::Damaged,
     "the integrity record's length disagrees with the sub-blocks"},
    {"CodedLengthInflated", "the header stream states 2 GiB of content", Base::Stereo,
     Stored(kHeaderStream, [](Bytes& s) { test::PutU32(s, 0, 0x7FFFFFFFu); }), ErrorKind::Damaged,
     "announces 2147483647 bytes"},
    // The analysis stream's 24 frames hold at most 12288 samples in 386
    // sub-blocks: their signs take at most 12288 / 8 + 386 = 1922 bytes.
    // One byte more is refused before the stream is expanded.
    {"SignLengthJustPastItsBound", "the sign stream states 1923 bytes of content", Base::Stereo,
     Stored(kSignStream, [](Bytes& s) { test::PutU32(s, 0, 1923); }), ErrorKind::Damaged,
     "the sign stream announces 1923 bytes"},
    {"EmptyCodedStreamWithCode", "the sign stream states 0 bytes but carries code", Base::Stereo,
     Stored(kSignStream, [](Bytes& s) { test::PutU32(s, 0, 0); }), ErrorKind::Damaged,
     "the sign stream: an empty coded stream carries code bytes"},
    {"CodeCut", "the high-part stream lost the second half of its code", Base::Stereo,
     Stored(kHigherStream, [](Bytes& s) { s.resize(s.size() / 2); }), ErrorKind::Damaged,
     "the high-part stream: a coded stream ends before the data it announces"},
    {"LowBitsShort", "the low-bits stream lost its last word", Base::StereoNoRecord,
     Stored(kLowerStream, [](Bytes& s) { s.resize(s.size() - 2); }), ErrorKind::Damaged,
     "the low-bits stream holds"},
    {"AnalysisShort", "the analysis stream lost its last byte", Base::StereoNoRecord,
     Stored(kAnalysisStream, [](Bytes& s) { s.pop_back(); }), ErrorKind::Damaged, "the analysis stream holds"},
    {"WaveFlagSet", "byte 0 says \".wav\" (2048-sample frames) for an archive of 512-sample frames",
     Base::StereoNoRecord, [](Bytes& a) { a[0] = 1; }, ErrorKind::Damaged, "the analysis stream holds"},
    {"OddSamplesAsStereo", "the channel byte says two channels for 3001 samples", Base::MonoPassword,
     [](Bytes& a) { a[3] = 1; }, ErrorKind::Damaged, "a two-channel recording with an odd number of samples"},
    {"StoredPasswordChanged", "one character of the stored password differs", Base::MonoPassword,
     [](Bytes& a) { a[6] ^= 1; }, ErrorKind::WrongPassword, "You have Entered the WRONG PASSWORD!"},
    {"FlagOutsideEveryPredictorSet", "the first predictor flag is 2", Base::StereoNoRecord,
     InStream(kFlagStream, [](Bytes& s) { s[0] = 2; }), ErrorKind::Damaged,
     "sub-block 0 names a predictor outside the archive's set"},
    {"EightPredictorFlagInFourPredictorArchive", "a flag of 1 in a \"Fastest\" archive", Base::MonoPassword,
     InStream(kFlagStream, [](Bytes& s) { s[0] = 1; }), ErrorKind::Damaged,
     "sub-block 0 names a predictor outside the archive's set"},
    {"FlagStreamLong", "one predictor flag too many", Base::StereoNoRecord,
     InStream(kFlagStream, [](Bytes& s) { s.push_back(s.back()); }), ErrorKind::Damaged,
     "the predictor-flag stream holds"},
    {"HeaderCountByteMissing", "the header stream lost the last sub-block's count byte", Base::StereoNoRecord,
     InStream(kHeaderStream, [](Bytes& s) { s.pop_back(); }), ErrorKind::Damaged,
     "the predictor-flag stream holds"},
    {"SubBlockOutsideItsBlock", "the first sub-block's size code changed from its block's", Base::StereoNoRecord,
     InStream(kHeaderStream, [](Bytes& s) { s[0] = static_cast<std::uint8_t>(s[0] ^ 0x04); }), ErrorKind::Damaged,
     "does not fit its block"},
    {"SignShort", "the sign stream lost its last byte", Base::StereoNoRecord,
     InStream(kSignStream, [](Bytes& s) { s.pop_back(); }), ErrorKind::Damaged, "the sign stream holds"},
    {"HighPartsAllZero", "every bit of the high-part stream is 0", Base::StereoNoRecord,
     InStream(kHigherStream, [](Bytes& s) { std::fill(s.begin(), s.end(), 0); }), ErrorKind::Damaged,
     "the high-part stream holds a run of zeros no sample can have"},
    {"HighPartsExtraWord", "two bytes after the last high part", Base::StereoNoRecord,
     InStream(kHigherStream, [](Bytes& s) { s.insert(s.end(), {0xFF, 0xFF}); }), ErrorKind::Damaged,
     "the high-part stream holds more than its sub-blocks use"},
    // The predictor-flag stream's length grown by 16 makes the archive's size
    // that of one without a record: the stream would take 16 bytes of the
    // analysis stream as spare code, and the analysis stream the record.
    // (Found by the damage campaign.)
    {"FlagLengthGrownBy16HidesTheRecord", "bit 4 of the predictor-flag stream's length set", Base::Stereo,
     [](Bytes& a) { test::PutU32(a, kLengthsAt + 16, test::GetU32(a, kLengthsAt + 16) + 16); }, ErrorKind::Damaged,
     "the predictor-flag stream: a coded stream holds code bytes after its data"},
    {"LowBitFlippedWithRecord", "one low bit of a sample flipped", Base::Stereo,
     Stored(kLowerStream, [](Bytes& s) { s[100] ^= 0x10; }), ErrorKind::Damaged,
     "does not match the archive's integrity record (CRC-32)"},
    {"LowBitFlippedWithoutRecord", "one low bit of a sample flipped, no record to see it", Base::StereoNoRecord,
     Stored(kLowerStream, [](Bytes& s) { s[100] ^= 0x10; }), std::nullopt, "restored, with different bytes"},
    {"AnalysisBitFlippedWithoutRecord", "one bit of the analysis stream flipped, no record to see it",
     Base::StereoNoRecord, Stored(kAnalysisStream, [](Bytes& s) { s[3] ^= 0x01; }), std::nullopt,
     "restored, with different bytes"},
};

void PrintTo(const Fault& f, std::ostream* os) { *os << f.name << " (" << f.fault << ")"; }

class DamagedArchive : public ::testing::TestWithParam<Fault> {};

TEST_P(DamagedArchive, GivesTheExpectedOutcomeAndLeavesNothing) {
  const Fault& f = GetParam();
  SCOPED_TRACE(f.fault);
  if (f.knownFailure) GTEST_SKIP() << "known failure: " << f.knownFailure;
  Bytes archive = Made(f.base).archive;
  f.damage(archive);
  // The fuzz target's own harness: it also checks that no restored file and
  // no working folder stay behind.
  const fuzz::Outcome outcome = fuzz::RunExtraction(archive);
  if (f.kind) {
    ASSERT_FALSE(outcome.accepted) << "restored without an error";
    std::printf("[ refused  ] %s\n", outcome.message.c_str());
    EXPECT_EQ(outcome.refusal, f.kind) << outcome.message;
    EXPECT_NE(outcome.message.find(f.detail), std::string::npos) << outcome.message;
    if (f.kind == ErrorKind::Damaged) EXPECT_EQ(outcome.message.rfind(kDamagedMessage, 0), 0u) << outcome.message;
    return;
  }
  // The format carries no check of this: the bytes come back different, silently.
  ASSERT_TRUE(outcome.accepted) << outcome.message;
  const std::filesystem::path dir = fuzz::Scratch::Get().root();
  test::WriteBytes(dir / "damaged.otq", archive);
  test::WriteBytes(dir / "original.pcm", Made(f.base).source);
  ExtractionOptions options;
  options.archive = dir / "damaged.otq";
  options.compareWith = dir / "original.pcm";
  NullProgress progress;
  try {
    ExtractionJob(options, progress, nullptr).Run();
    ADD_FAILURE() << "the damaged archive restored the original bytes";
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::Verify) << e.what();
  }
}

TEST(DamagedArchive, TheGoodArchivesRestore) {
  for (Base base : {Base::Stereo, Base::StereoNoRecord, Base::MonoPassword}) {
    const fuzz::Outcome outcome = fuzz::RunExtraction(Made(base).archive);
    EXPECT_TRUE(outcome.accepted) << outcome.message;
  }
}

// The harness's scratch folder of a run that was killed (a fuzzer stopped
// with kill -9, a timeout) goes with the next run, as a job's working
// folder does; a running harness's folder stays. Each side is this test
// binary started again, in a temporary folder of its own.
TEST(Scratch, AKilledRunsFolderGoesWithTheNextRun) {
  if (const char* role = std::getenv("OSTINATO_SCRATCH_ROLE")) {
    fuzz::Scratch::Get();
    if (std::string_view(role) == "killed") std::raise(SIGKILL);
    return;
  }
  const std::filesystem::path temp =
      std::filesystem::temp_directory_path() / ("scratch-test-" + std::to_string(getpid()));
  std::filesystem::create_directories(temp);
  auto run = [&](const char* role) {
    const std::string command = "TMPDIR='" + temp.string() + "' OSTINATO_SCRATCH_ROLE=" + role + " /proc/" +
                                std::to_string(getpid()) +
                                "/exe --gtest_filter=Scratch.AKilledRunsFolderGoesWithTheNextRun >/dev/null 2>&1";
    return std::system(command.c_str());
  };
  auto folders = [&] {
    std::size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(temp))
      n += entry.path().filename().string().rfind("ostinato-fuzz-", 0) == 0;
    return n;
  };
  run("killed");
  EXPECT_EQ(folders(), 1u);  // left by the killed run
  EXPECT_EQ(run("next"), 0);
  EXPECT_EQ(folders(), 0u);  // gone with the next, which removed its own at its end
  std::error_code ec;
  std::filesystem::remove_all(temp, ec);
}

INSTANTIATE_TEST_SUITE_P(Faults, DamagedArchive, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<Fault>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ost
