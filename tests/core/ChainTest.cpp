#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "Chain.h"
#include "common/JobMeter.h"
#include "Sha256.h"
#include "compress/AudioType.h"

namespace ost {
namespace {

using test::Bytes;
using test::Compress;
using test::Extract;
namespace fs = std::filesystem;

// Points the temporary folder (TMPDIR) at a fresh folder for one test, so
// that the job folders it counts are its own even when tests run side by side.
class PrivateTemp {
 public:
  PrivateTemp() {
    std::string templ = (fs::temp_directory_path() / "ostinato-test-XXXXXX").string();
    dir_ = mkdtemp(templ.data());
    if (const char* old = std::getenv("TMPDIR")) old_ = old;
    setenv("TMPDIR", dir_.c_str(), 1);
  }
  ~PrivateTemp() {
    if (old_) setenv("TMPDIR", old_->c_str(), 1); else unsetenv("TMPDIR");
    fs::remove_all(dir_);
  }
  // Job folders left in it: a job must leave none.
  std::size_t JobFolders() const {
    std::size_t n = 0;
    for (const auto& e : fs::directory_iterator(dir_))
      if (e.path().filename().string().rfind("ostinato-job-", 0) == 0) ++n;
    return n;
  }

 private:
  fs::path dir_;
  std::optional<std::string> old_;
};

std::size_t FilesIn(const fs::path& dir) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

Bytes Restore(const fs::path& archive, std::optional<std::string> password = std::nullopt) {
  test::Scratch out;
  Extract(archive, out.dir.File("restored"), std::move(password));
  return test::ReadAll(out.dir.File("restored"));
}

TEST(ArchiveFormat, HeadBytes) {
  test::Scratch s;
  auto mono = s.Put("a.pcm", test::Pcm(test::Sweep(3000, 5000, 1)));
  Compress(mono, s.dir.File("a.otq"), Rate::Fastest, ChannelLayout::Mono, std::nullopt, false);
  Bytes a = test::ReadAll(s.dir.File("a.otq"));
  EXPECT_EQ(test::Hex(Bytes(a.begin(), a.begin() + 5)), "00 00 00 00 00");

  auto stereo = s.Put("b.WAV", test::Wave(2, 44100, test::Sweep(6000, 5000, 2)));
  Compress(stereo, s.dir.File("b.otq"), Rate::Maximum, std::nullopt, "aB3", false);
  Bytes b = test::ReadAll(s.dir.File("b.otq"));
  EXPECT_EQ(test::Hex(Bytes(b.begin(), b.begin() + 9)), "01 01 01 01 04 03 61 42 33");
  // The file ends with the last stream: 29 + P + the six lengths.
  std::uint64_t sum = 0;
  for (int i = 0; i < 6; ++i) sum += b[9 + 4 * i] | (b[10 + 4 * i] << 8) | (b[11 + 4 * i] << 16) | (b[12 + 4 * i] << 24);
  EXPECT_EQ(b.size(), 33 + sum);

  // With the integrity record: 16 more bytes, tag, length, CRC-32.
  Compress(mono, s.dir.File("c.otq"), Rate::Fastest, ChannelLayout::Mono);
  Bytes c = test::ReadAll(s.dir.File("c.otq"));
  ASSERT_EQ(c.size(), a.size() + 16);
  EXPECT_TRUE(std::equal(a.begin(), a.end(), c.begin()));
  EXPECT_EQ(test::Hex(Bytes(c.end() - 16, c.end() - 12)), "4F 54 51 43");
  EXPECT_EQ(c[c.size() - 12] | (c[c.size() - 11] << 8), 6000);
}

// Pins the bytes the format writes for fixed inputs: a change of arithmetic,
// evaluation order or compiler that alters one byte fails here.
TEST(ArchiveFormat, PinnedDigests) {
  test::Scratch s;
  // Tones, noise bursts and silence, so that the size search picks every size.
  std::vector<std::int16_t> mixed = test::Sweep(3000, 12000, 9);
  for (int burst = 0; burst < 6; ++burst) {
    auto noise = test::Noise(static_cast<std::size_t>(100 + 150 * burst), 40 << burst, static_cast<unsigned>(burst));
    mixed.insert(mixed.end(), noise.begin(), noise.end());
    mixed.insert(mixed.end(), static_cast<std::size_t>(64 * burst), 0);
    auto tone = test::Sweep(700, 3000.0 * burst, static_cast<unsigned>(burst));
    mixed.insert(mixed.end(), tone.begin(), tone.end());
  }
  auto speech = s.Put("s.pcm", test::Pcm(mixed));
  auto music = s.Put("m.wav", test::Wave(2, 44100, test::Sweep(20000, 20000, 10)));
  const char* expected[8] = {
      "383e5242c6a3bb2d2c48dd93dfa113a71a31d86641b90e6ec1c6c0c92e7f8a4d",
      "9210997c077853db57a49375b20fadc288dfcc68bfe2cc92389437feb6a03d90",
      "dad56fb612405c4d4a736b4c189e5025c69d99e7fee81d52c881d6940b62a2f4",
      "aa1aae197f78b9652c3fe8a0c1dc2b39ee9c9f687ae57f56cd805cc327ca1dc4",
      "b3eaa9ea6ada58c7dbd9aff03dda48f7008a7eb0acd90295b4ebf7a2ceb94fad",
      "e922464dd65566e0fd4e297d09f8424cffd3450d6cc4999b5087f7e55d72236d",
      "3625b9a2e58534dd1808843c2530a9ff454cacee548a88dba19db972eb4c23d8",
      "d233df70c414e20d98e9c83b54904b62c12754453b191eb6d40bfeb04ccd8875",
  };
  int i = 0;
  for (Rate rate : test::kRates) {
    for (const fs::path& src : {speech, music}) {
      const fs::path archive = s.dir.File("pin.otq");
      fs::remove(archive);
      Compress(src, archive, rate, ChannelLayout::Mono, std::nullopt, false);
      const std::string digest = test::Sha256(test::ReadAll(archive));
      EXPECT_EQ(digest, expected[i]) << src.filename() << " at " << RateName(rate);
      ++i;
    }
  }
}

TEST(CompressionJob, SameInputSameArchive) {
  test::Scratch s;
  auto src = s.Put("x.wav", test::Wave(1, 8000, test::Sweep(5000, 9000, 4)));
  Compress(src, s.dir.File("1.otq"), Rate::Normal, std::nullopt, "pw");
  Compress(src, s.dir.File("2.otq"), Rate::Normal, std::nullopt, "pw");
  EXPECT_EQ(test::ReadAll(s.dir.File("1.otq")), test::ReadAll(s.dir.File("2.otq")));
}

TEST(CompressionJob, ChannelDetection) {
  test::Scratch s;
  test::FixedChannels never(std::nullopt);
  NullProgress progress;
  auto run = [&](const fs::path& src, ChannelQuestion& q) {
    CompressionOptions o;
    o.source = src;
    o.archive = s.dir.File("out.otq");
    o.replaceArchive = true;
    return CompressionJob(o, progress, q).Run();
  };
  // A standard ".wav" says its channels; its archive has byte 0 = 1.
  auto mono = s.Put("m.Wav", test::Wave(1, 8000, test::Noise(100, 50, 1)));
  EXPECT_EQ(run(mono, never).channels, ChannelLayout::Mono);
  EXPECT_EQ(test::ReadAll(s.dir.File("out.otq"))[0], 1);
  auto stereo = s.Put("s.wav", test::Wave(2, 8000, test::Noise(100, 50, 1)));
  EXPECT_EQ(run(stereo, never).channels, ChannelLayout::Stereo);
  EXPECT_EQ(never.asked, 0);
  // Format tag 0xFFFE gives 15 + channels: the question is asked.
  Bytes ext = test::Wave(2, 8000, test::Noise(100, 50, 1));
  ext[20] = 0xFE;
  ext[21] = 0xFF;
  test::FixedChannels stereoAnswer(ChannelLayout::Stereo);
  EXPECT_EQ(run(s.Put("e.wav", ext), stereoAnswer).channels, ChannelLayout::Stereo);
  EXPECT_EQ(stereoAnswer.asked, 1);
  // A ".pcm" always asks; unanswered, the job stops with "Action Cancelled".
  try {
    run(s.Put("p.pcm", Bytes(100, 1)), never);
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::ChannelCancelled);
    EXPECT_STREQ(e.what(), "Action Cancelled");
  }
  // A ".wav" without a "fmt " chunk is coded as headerless samples (byte 0 = 0).
  test::FixedChannels monoAnswer(ChannelLayout::Mono);
  auto noFmt = s.Put("n.wav", test::Pcm(test::Noise(300, 50, 2)));
  CompressionResult r = run(noFmt, monoAnswer);
  EXPECT_FALSE(r.waveHeader);
  EXPECT_EQ(monoAnswer.asked, 1);
  // The user is told, by the file's name, that it was not read as a ".wav".
  ASSERT_EQ(r.notices.size(), 1u);
  EXPECT_EQ(r.notices[0].rfind(noFmt.string() + " ", 0), 0u) << r.notices[0];
  EXPECT_NE(r.notices[0].find("no \"fmt \" chunk"), std::string::npos) << r.notices[0];
  EXPECT_EQ(test::ReadAll(s.dir.File("out.otq"))[0], 0);
  EXPECT_EQ(Restore(s.dir.File("out.otq")), test::ReadAll(noFmt));
  // Two channels that do not fill whole pairs go in the one-channel layout.
  auto ragged = s.Put("r.pcm", test::Pcm(test::Noise(301, 50, 3)));
  r = run(ragged, stereoAnswer);
  EXPECT_EQ(r.channels, ChannelLayout::Mono);
  EXPECT_FALSE(r.notices.empty());
  EXPECT_EQ(Restore(s.dir.File("out.otq")), test::ReadAll(ragged));
}

// The analysis pass reads the source in ranges of frames, one per thread
// once there are 64 frames, and joins the ranges' checksums into the
// integrity record's CRC. A last range that ends in a partial frame must
// count only the bytes it read.
TEST(CompressionJob, IntegrityRecordWhenRangesEndInAPartialFrame) {
  test::Scratch s;
  const Bytes wave = test::Wave(2, 44100, test::Sweep(2 * (70 * 2048 - 333), 9000, 14));  // 70 frames of 2048
  const Bytes pcm = test::Pcm(test::Sweep(130 * 512 - 101, 9000, 15));                  // 130 frames of 512
  for (const auto& [name, source] : {std::pair{"p.wav", wave}, std::pair{"p.pcm", pcm}}) {
    const fs::path src = s.Put(name, source);
    for (unsigned threads : {2u, 3u}) {
      CompressionOptions o;
      o.source = src;
      o.archive = s.dir.File("p.otq");
      o.rate = Rate::Fastest;
      o.replaceArchive = true;
      o.threads = threads;
      NullProgress progress;
      test::FixedChannels mono(ChannelLayout::Mono);
      CompressionJob(o, progress, mono).Run();
      test::Scratch out;
      try {
        EXPECT_TRUE(Extract(o.archive, out.dir.File("r")).integrityChecked) << name << " on " << threads << " threads";
        EXPECT_EQ(test::ReadAll(out.dir.File("r")), source) << name << " on " << threads << " threads";
      } catch (const Error& e) {
        ADD_FAILURE() << name << " on " << threads << " threads: " << e.what();
      }
    }
  }
}

TEST(CompressionJob, FailuresLeaveNothingBehind) {
  test::Scratch s;
  PrivateTemp temp;
  auto expectKind = [&](const fs::path& src, ErrorKind kind) {
    try {
      Compress(src, s.dir.File("out.otq"), Rate::Fast, ChannelLayout::Mono);
      ADD_FAILURE() << src;
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), kind) << e.what();
    }
    EXPECT_FALSE(fs::exists(s.dir.File("out.otq")));
  };
  expectKind(s.Put("a.wave", Bytes(10, 0)), ErrorKind::InvalidName);
  expectKind(s.dir.File("missing.wav"), ErrorKind::InvalidName);
  expectKind(s.dir.File("missing.pcm"), ErrorKind::Io);
  expectKind(s.Put("odd.pcm", Bytes(11, 0)), ErrorKind::Unsupported);

  // An existing archive is not replaced unless asked, and survives a cancel.
  auto src = s.Put("long.pcm", test::Pcm(test::Sweep(40000, 9000, 5)));
  s.Put("keep.otq", Bytes{1, 2, 3});
  try {
    Compress(src, s.dir.File("keep.otq"), Rate::Fast, ChannelLayout::Mono);
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::Exists);
  }
  CompressionOptions o;
  o.source = src;
  o.archive = s.dir.File("keep.otq");
  o.replaceArchive = true;
  test::CancelAfter cancel(10);
  test::FixedChannels mono(ChannelLayout::Mono);
  CompressionResult r = CompressionJob(o, cancel, mono).Run();
  EXPECT_TRUE(r.cancelled);
  EXPECT_EQ(cancel.total, JobMeter::kUnits);  // one bar over the whole job
  EXPECT_EQ(test::ReadAll(s.dir.File("keep.otq")), (Bytes{1, 2, 3}));
  EXPECT_EQ(FilesIn(s.dir.path()), 4u);  // the sources and keep.otq only: no partial archive
  EXPECT_EQ(temp.JobFolders(), 0u);
}

TEST(CompressionJob, KeepWorkLeavesTheNamedFiles) {
  test::Scratch s;
  auto src = s.Put("k.wav", test::Wave(2, 8000, test::Noise(2000, 500, 6)));
  CompressionOptions o;
  o.source = src;
  o.archive = s.dir.File("k.otq");
  o.keepWorkDir = s.dir.File("work");
  NullProgress progress;
  test::FixedChannels never(std::nullopt);
  CompressionJob(o, progress, never).Run();
  for (const char* name : {"temp.out", "ilar.txt", "Header.out", "H.out", "Lower.out", "Higher.out", "Sign.out",
                           "Header1.out", "H1.out", "Higher1.out", "Sign1.out"})
    EXPECT_TRUE(fs::exists(s.dir.File("work") / name)) << name;
}

// Byte-for-byte round trips of synthetic signals at every rate, mono and
// two-channel, ".wav" and ".pcm", at the frame boundaries of both lengths.
TEST(RoundTrip, SyntheticSignals) {
  test::Scratch s;
  std::vector<std::pair<std::string, std::vector<std::int16_t>>> signals = {
      {"silence", std::vector<std::int16_t>(3000, 0)},
      {"noise", test::Noise(2500, 32767, 1)},
      {"sweep", test::Sweep(6000, 30000, 2)},
  };
  std::vector<std::int16_t> square(3000), impulse(2100, 0);
  for (std::size_t i = 0; i < square.size(); ++i) square[i] = (i / 40) % 2 ? 32767 : -32768;
  impulse[1000] = 32767;
  signals.push_back({"square", square});
  signals.push_back({"impulse", impulse});
  for (int n : {1, 2, 3, 511, 512, 513, 2047, 2048, 2049}) signals.push_back({"n" + std::to_string(n), test::Sweep(static_cast<std::size_t>(n), 8000, 7)});
  for (const auto& [name, samples] : signals) {
    for (Rate rate : test::kAllRates) {
      for (int channels : {1, 2}) {
        if (channels == 2 && samples.size() % 2) continue;
        for (bool wave : {false, true}) {
          const Bytes source = wave ? test::Wave(channels, 44100, samples) : test::Pcm(samples);
          const fs::path src = s.Put(name + (wave ? ".wav" : ".pcm"), source);
          const fs::path archive = s.dir.File("rt.otq");
          fs::remove(archive);
          Compress(src, archive, rate, channels == 1 ? ChannelLayout::Mono : ChannelLayout::Stereo);
          EXPECT_EQ(Restore(archive), source) << name << " " << RateName(rate) << " ch" << channels << " wav" << wave;
        }
      }
    }
  }
}

TEST(RoundTrip, EmptySourceAndBundledRecording) {
  test::Scratch s;
  auto empty = s.Put("e.pcm", {});
  Compress(empty, s.dir.File("e.otq"), Rate::Maximum, ChannelLayout::Mono);
  EXPECT_TRUE(fs::exists(s.dir.File("e.otq")));
  EXPECT_EQ(Restore(s.dir.File("e.otq")), Bytes{});

  const fs::path sample = fs::path(OSTINATO_SAMPLES) / "digits.wav";
  const Bytes original = test::ReadAll(sample);
  ASSERT_GT(original.size(), 1000u);
  for (Rate rate : test::kAllRates) {
    fs::remove(s.dir.File("d.otq"));
    CompressionResult r = Compress(sample, s.dir.File("d.otq"), rate);
    EXPECT_LT(r.archiveSize, original.size() * 7 / 10);
    EXPECT_EQ(Restore(s.dir.File("d.otq")), original);
  }
}

// Extreme writes an ordinary archive of the eight-predictor set whose
// analysis indices are searched: on a real recording it is smaller than
// Maximum, and only its analysis stream and what follows from it differ.
TEST(ExtremeRate, SmallerThanMaximumOnARealRecording) {
  test::Scratch s;
  const fs::path sample = fs::path(OSTINATO_SAMPLES) / "digits.wav";
  Compress(sample, s.dir.File("max.otq"), Rate::Maximum, std::nullopt, std::nullopt, false);
  Compress(sample, s.dir.File("ext.otq"), Rate::Extreme, std::nullopt, std::nullopt, false);
  const Bytes max = test::ReadAll(s.dir.File("max.otq"));
  const Bytes ext = test::ReadAll(s.dir.File("ext.otq"));
  EXPECT_LT(ext.size(), max.size());
  ASSERT_GT(ext.size(), 29u);
  EXPECT_TRUE(std::equal(ext.begin(), ext.begin() + 5, max.begin())) << "same head bytes, predictor set 1";
  EXPECT_EQ(ext[2], 1);
  // The analysis stream has the same length (54 bits a frame) but other indices.
  auto length = [](const Bytes& a, int field) {
    std::uint32_t v = 0;
    for (int b = 0; b < 4; ++b) v |= static_cast<std::uint32_t>(a[5 + 4 * field + b]) << (8 * b);
    return v;
  };
  EXPECT_EQ(length(ext, 5), length(max, 5));
  EXPECT_FALSE(std::equal(ext.end() - length(ext, 5), ext.end(), max.end() - length(max, 5)));
  EXPECT_EQ(Restore(s.dir.File("ext.otq")), test::ReadAll(sample));
  EXPECT_EQ(std::string(RateName(Rate::Extreme)), "Extreme");
  EXPECT_EQ(ParseRate("EXTREME"), Rate::Extreme);
}

TEST(ExtractionJob, Passwords) {
  test::Scratch s;
  auto src = s.Put("p.wav", test::Wave(1, 8000, test::Sweep(3000, 4000, 8)));
  Compress(src, s.dir.File("pw.otq"), Rate::Fast, std::nullopt, "Geheim");
  Compress(src, s.dir.File("empty.otq"), Rate::Fast, std::nullopt, "");
  Compress(src, s.dir.File("none.otq"), Rate::Fast);
  Compress(src, s.dir.File("accent.otq"), Rate::Fast, std::nullopt, "caf\xc3\xa9");
  EXPECT_EQ(test::ReadAll(s.dir.File("accent.otq"))[4], 5);  // stored as Windows-1252: 4 bytes
  const Bytes original = test::ReadAll(src);
  EXPECT_EQ(Restore(s.dir.File("pw.otq"), "Geheim"), original);
  EXPECT_EQ(Restore(s.dir.File("empty.otq"), ""), original);
  EXPECT_EQ(Restore(s.dir.File("none.otq")), original);
  EXPECT_EQ(Restore(s.dir.File("accent.otq"), "caf\xc3\xa9"), original);
  for (auto [archive, typed] : {std::pair{"pw.otq", "geheim"}, std::pair{"empty.otq", "x"}, std::pair{"pw.otq", ""}}) {
    test::Scratch out;
    try {
      Extract(s.dir.File(archive), out.dir.File("r.wav"), std::string(typed));
      ADD_FAILURE() << archive;
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), ErrorKind::WrongPassword);
      EXPECT_STREQ(e.what(), "You have Entered the WRONG PASSWORD!");
    }
    EXPECT_EQ(FilesIn(out.dir.path()), 0u);
  }
  EXPECT_THROW(Compress(src, s.dir.File("long.otq"), Rate::Fast, std::nullopt, "fifteen chars!!"), Error);
}

TEST(ExtractionJob, CancelLeavesNothingAndKeepsTheOldFile) {
  test::Scratch s;
  auto src = s.Put("c.pcm", test::Pcm(test::Sweep(50000, 9000, 12)));
  Compress(src, s.dir.File("c.otq"), Rate::Maximum, ChannelLayout::Stereo);
  test::Scratch out;
  PrivateTemp temp;
  out.Put("c.pcm", Bytes{9, 9});
  ExtractionOptions o;
  o.archive = s.dir.File("c.otq");
  o.target = out.dir.File("c.pcm");
  o.replaceTarget = true;
  test::CancelAfter cancel(5);
  EXPECT_TRUE(ExtractionJob(o, cancel, nullptr).Run().cancelled);
  EXPECT_EQ(test::ReadAll(out.dir.File("c.pcm")), (Bytes{9, 9}));
  EXPECT_EQ(FilesIn(out.dir.path()), 1u);
  EXPECT_EQ(temp.JobFolders(), 0u);
  // Without leave to replace, an existing file stops the job before any work.
  o.replaceTarget = false;
  NullProgress progress;
  EXPECT_THROW(ExtractionJob(o, progress, nullptr).Run(), Error);
}

// What a job keeps in memory and what it puts in working files (the
// expanded header and flag streams, the left half of two channels) changes
// nothing restored, on any number of threads, and the working files go with
// the job.
TEST(ExtractionJob, AnyBoundOnWorkingMemoryRestoresTheSame) {
  test::Scratch s, out;
  PrivateTemp temp;
  for (int channels : {1, 2}) {
    const Bytes source = test::Wave(channels, 44100, test::Sweep(12000, 9000, 14));
    const fs::path src = s.Put("m.wav", source), archive = s.dir.File("m.otq");
    fs::remove(archive);
    Compress(src, archive, Rate::Maximum);
    const std::uint64_t leftHalf = channels == 2 ? 12000 : 0;  // bytes: 6000 samples of two
    for (std::uint64_t bound : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{4095}, leftHalf - 1, leftHalf,
                                leftHalf + 1, std::uint64_t{1} << 20}) {
      for (unsigned threads : {1u, 2u, 3u}) {
        ExtractionOptions o;
        o.archive = archive;
        o.target = out.dir.File("r.wav");
        o.replaceTarget = true;
        o.threads = threads;
        o.workingMemory = bound;
        NullProgress progress;
        ExtractionJob(o, progress, nullptr).Run();
        EXPECT_EQ(test::ReadAll(o.target), source) << channels << " channels, bound " << bound << ", " << threads;
        EXPECT_EQ(temp.JobFolders(), 0u);
      }
    }
  }
}

TEST(ExtractionJob, TruncatedAndForeignArchivesAreDamaged) {
  test::Scratch s;
  auto src = s.Put("t.wav", test::Wave(2, 44100, test::Sweep(8000, 9000, 13)));
  Compress(src, s.dir.File("t.otq"), Rate::Normal);
  const Bytes good = test::ReadAll(s.dir.File("t.otq"));
  for (std::size_t cut : {std::size_t{0}, std::size_t{3}, std::size_t{20}, good.size() / 2, good.size() - 1}) {
    auto p = s.Put("cut.otq", Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut)));
    test::Scratch out;
    try {
      Extract(p, out.dir.File("r.wav"));
      ADD_FAILURE() << cut;
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), ErrorKind::Damaged) << e.what();
      EXPECT_EQ(std::string(e.what()).rfind("The archive is damaged", 0), 0u);
    }
    EXPECT_EQ(FilesIn(out.dir.path()), 0u);
  }
  // A coded stream that announces more than the recording can need is
  // refused before it is expanded.
  {
    Bytes huge = good;
    auto u32 = [&](std::size_t at) {
      return static_cast<std::uint32_t>(huge[at] | (huge[at + 1] << 8) | (huge[at + 2] << 16) | (huge[at + 3] << 24));
    };
    const std::size_t higher = 29 + u32(5) + u32(9) + u32(13);  // after header, sign and low bits
    huge[higher + 3] = 0x40;  // about a gigabyte
    test::Scratch out;
    try {
      Extract(s.Put("huge.otq", huge), out.dir.File("r.wav"));
      ADD_FAILURE();
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find("high-part stream announces"), std::string::npos) << e.what();
    }
  }
  // A bit flipped in the low-bits stream changes samples: the integrity record catches it.
  Bytes flipped = good;
  flipped[good.size() / 2] ^= 0x10;
  test::Scratch out;
  EXPECT_THROW(Extract(s.Put("f.otq", flipped), out.dir.File("r.wav")), Error);
  EXPECT_EQ(FilesIn(out.dir.path()), 0u);
}

// Short excerpts of real recordings kept in the tree (tests/data/README.md),
// at every rate: their archives (without the integrity record) are pinned,
// so that the check on real sound runs wherever the suite does. The digests
// were taken when the build matched the independent implementation's on the
// whole developer corpus (DeveloperCorpusDigests).
TEST(ArchiveFormat, PinnedRecordingDigests) {
  struct Excerpt {
    const char* file;
    const char* digest;  // of the excerpt itself
    std::optional<ChannelLayout> channels;  // the answer for a ".pcm"
    const char* archives[5];  // Fastest, Fast, Normal, Maximum, Extreme
  };
  const Excerpt excerpts[] = {
      {"voicemail-2s.wav", "d8f0f1ea0a93979f17f904afa852395c3b3aada1cf29637e4f958912883e773d", std::nullopt,
       {"0278a621156847e7019a28d0a07c385af048aa9e4c2d0551d87cca50df040b65",
        "b32b3cb99d9c3013514c6f30482d14c39fad09d72039270cda42b1a053dbed46",
        "6409dae39d369d6c494feb97edfeae4325ae79a321e0ef8511be3457fa003932",
        "dce81c55dfb93a1180d9d1535153d5b71b4e76927f1957728f4cff63c874c1a9",
        "264c0671d1877b47d1f0079d37502930a0ea08a870a927327d83d12a929959c2"}},
      {"conference-1.5s.pcm", "4c1b1ac2a05c9589d889ed65bbce2e4ca42f73530a1ab58efa45886361bfa60e", ChannelLayout::Mono,
       {"0ee0ef0954f68da93f3e8ae861e60efae3da8f2daf812dec95bd11c20328c502",
        "a1bc0b1b26a4ae2321bdc55d130ca6a7635cb0b47e740b84f1021685d8545f2e",
        "072b1acfdfa1f21269a25aa10fc3ae3678e97e519e458947c9b7dbe4ef4f0d43",
        "4fe7cb87e51517de0cc08029f2cc6ede57ed77396d0b6bfac76a76736a1b22a1",
        "b1daf151a5eed9dbe498c6ec8eacbada9bdc92472d8b20402e8b57b1541ca4b6"}},
      {"drascula-t03-0.5s.wav", "794ed195a1eabaa498ea0e883b90a6c6b5ed388c1eca7efe36193bc05c022cb5", std::nullopt,
       {"4c06ce7b26c4417ac3b535f7302e48a8ac27a0718b157ab83e456931217b135e",
        "50da5e8901dd70c34752c598246a650799450135cfafa20bfa0041f65ee31a38",
        "fc9983004159436890454e4714415379d2c2a73e0f4095f1508deb6868aeb699",
        "511cc26363cdaaffd690b59a8e00e79f99d2c1ab3e83d0e40bac247b4e92fa0f",
        "8be71cff3e6ee698e964b131ba7359f034f83b4246e0ed6222641fbef778ce61"}},
      {"drascula-t14-0.5s.pcm", "c5c9403b87d55618d72c3edb10cf31ea5b071909b118533291ec0871244412a0", ChannelLayout::Stereo,
       {"caf0ba0fe890a2796ac262e525ed74a1a39a2aba908bc2d413603a09a557727e",
        "a387e40e8942de2d38fca042ea4ce3e6c266be588142240f67eab0566a8fcb92",
        "37ce3de5a9cf9ee66778aa4e41a78e647a93899b655dd5e1da5b78c4afad4ca3",
        "da3e03cd7647d694617ed5e694d6a4ea1bba4bd229f06d9f48681bb0d400f503",
        "e9f7e56d63b83340e39c2bf3e1c3617bb5b617ba7f77c227f0241dbf80beeb22"}},
      // A header with a LIST chunk, and a length that is no whole number of
      // sample pairs: coded in the one-channel layout.
      {"drascula-t23-list-0.1s.wav", "0903d1aa19e2f9f5a34706f5592f2336ba1397b9dd3ca03ac7df1b25677fe940", std::nullopt,
       {"42d22d98db965429c6d444c91fa7c49ebf056b2bda31fddd663aae791857acd4",
        "90400f7d51427f10f8c2eb492ff5bfcf20a134a71c66ed66ce6634438c51d054",
        "cc5a64f6a11e2ee946c83f5ddfa5b256a8eb0b8d7b37973a8f82573d5c8a5fda",
        "0672fae5a4ab4c0c93e286d1bd240fa1b04bf85f7db7ed3d37bef486166ca5d4",
        "d27b7943a30289e4060b3342a1e37a1db9ee3e00835853489ea2df0b15479812"}},
  };
  test::Scratch s;
  for (const Excerpt& e : excerpts) {
    const fs::path source = test::SourceDir() / e.file;
    const Bytes original = test::ReadAll(source);
    ASSERT_EQ(test::Sha256(original), e.digest) << e.file << " is not the excerpt the digests were taken of";
    int i = 0;
    for (Rate rate : test::kAllRates) {
      const fs::path archive = s.dir.File("x.otq");
      fs::remove(archive);
      Compress(source, archive, rate, e.channels, std::nullopt, false);
      EXPECT_EQ(test::Sha256(test::ReadAll(archive)), e.archives[i]) << e.file << " at " << RateName(rate);
      EXPECT_EQ(Restore(archive), original) << e.file << " at " << RateName(rate);
      ++i;
    }
  }
}

// The archives of the developer corpus, when it is present ($OSTINATO_CORPUS,
// else beside the checkout), against the digests of an independent
// implementation of the format.
TEST(ArchiveFormat, DeveloperCorpusDigests) {
  const char* env = std::getenv("OSTINATO_CORPUS");
  const fs::path corpus =
      env && *env ? fs::path(env) : (fs::path(OSTINATO_SOURCE_DIR) / ".." / "shared" / "corpus").lexically_normal();
  std::ifstream list(corpus / "expected-archives.sha256");
  if (!list)
    GTEST_SKIP() << "no developer corpus: " << (corpus / "expected-archives.sha256").string()
                 << " cannot be read (set OSTINATO_CORPUS to the corpus folder); only the excerpts in the tree "
                    "are checked, by PinnedRecordingDigests";
  std::map<std::string, int> pcmChannels;
  std::ifstream formats(corpus / "pcm-formats.txt");
  for (std::string name; formats >> name;) {
    int channels, rate;
    formats >> channels >> rate;
    pcmChannels[name] = channels;
  }
  test::Scratch s;
  std::string digest, name;
  int checked = 0;
  while (list >> digest >> name) {
    const std::string file = name.substr(0, name.rfind('.'));
    const Rate rate = *ParseRate(name.substr(name.rfind('.') + 1));
    // Only the fast rates of the music, to keep the suite short; all of the speech.
    if (file.rfind("music", 0) == 0 && rate != Rate::Fastest && rate != Rate::Maximum) continue;
    const auto channels = pcmChannels.count(file) && pcmChannels[file] == 1 ? ChannelLayout::Mono : ChannelLayout::Stereo;
    const fs::path archive = s.dir.File("c.otq");
    fs::remove(archive);
    Compress(corpus / file, archive, rate, channels, std::nullopt, false);
    EXPECT_EQ(test::Sha256(test::ReadAll(archive)), digest) << name;
    ++checked;
  }
  EXPECT_GT(checked, 10);
}

}  // namespace
}  // namespace ost
