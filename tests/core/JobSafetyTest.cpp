// What happens around a job: a source that changes while it is read, an
// output that is its own input, a check that fails before the archive is in
// place, leftovers of killed processes, long names, and one progress bar
// that follows every pass and stops within each of them.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "Chain.h"
#include "common/FileIO.h"
#include "common/JobMeter.h"
#include "common/Leftovers.h"
#include "common/Parallel.h"
#include "common/Password.h"
#include "common/PendingOutput.h"
#include "extract/ArchiveReader.h"
#include "lzari/LzariDecoder.h"
#include "lzari/LzariEncoder.h"

namespace ost {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

std::size_t Entries(const fs::path& dir, const std::string& prefix) {
  std::size_t n = 0;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().filename().string().rfind(prefix, 0) == 0) ++n;
  return n;
}

// Records the bar as the job drives it and runs `onStep(position)` at each
// step; cancels from position `cancelAt` on.
class Recorder final : public JobProgress {
 public:
  void Begin(std::string_view text, std::uint64_t units) override {
    ++begins;
    this->text = text;
    total = units;
  }
  void Step() override {
    ++steps;
    if (onStep) onStep(steps);
  }
  bool IsCancelled() override { return steps >= cancelAt; }
  void End() override { ++ends; }
  int begins = 0, ends = 0;
  std::string text;
  std::uint64_t total = 0, steps = 0, cancelAt = ~std::uint64_t{0};
  std::function<void(std::uint64_t)> onStep;
};

// A source long enough for every pass to have many units of work.
Bytes LongWave() { return test::Wave(2, 44100, test::Noise(1'600'000, 6000, 3)); }

CompressionOptions Options(const fs::path& source, const fs::path& archive, Rate rate = Rate::Fast) {
  CompressionOptions o;
  o.source = source;
  o.archive = archive;
  o.rate = rate;
  o.threads = 2;
  return o;
}

// A job that the system gives too little memory fails as any job fails: an
// Error the programs show (it was a bare "std::bad_alloc"), and nothing
// left. The failed allocation is made to happen at the job's first step of
// progress, in the middle of its passes, whichever thread reports it.
TEST(Resources, AJobWithoutMemoryFailsWithAnErrorAndLeavesNothing) {
  struct FailingAllocation final : public JobProgress {
    void Begin(std::string_view, std::uint64_t) override {}
    void Step() override { throw std::bad_alloc(); }
    bool IsCancelled() override { return false; }
    void End() override {}
  };
  test::Scratch s;
  const fs::path src = s.Put("src.wav", LongWave());
  ASSERT_FALSE(test::Compress(src, s.dir.File("made.otq"), Rate::Maximum).cancelled);
  for (const bool compressing : {true, false}) {
    SCOPED_TRACE(compressing ? "compressing" : "extracting");
    const fs::path out = s.dir.File(compressing ? "a.otq" : "a.wav");
    FailingAllocation failing;
    try {
      if (compressing) {
        test::FixedChannels none(std::nullopt);
        CompressionJob(Options(src, out, Rate::Maximum), failing, none).Run();
      } else {
        ExtractionOptions o;
        o.archive = s.dir.File("made.otq");
        o.target = out;
        o.threads = 2;
        ExtractionJob(o, failing, nullptr).Run();
      }
      ADD_FAILURE() << "no step was made";
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), ErrorKind::Resources);
      EXPECT_EQ(std::string(e.what()), "there is not enough memory for the job");
    }
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(Entries(s.dir.path(), ".a."), 0u);  // no unfinished output
  }
}

TEST(SourceChanges, ShrinkingOrRewrittenSourceFailsTheJobAndLeavesNothing) {
  for (bool integrity : {true, false}) {
    for (int when : {0, 1}) {  // 0: cut before the analysis reads it; 1: rewritten in place mid-job
      SCOPED_TRACE(std::to_string(integrity) + " " + std::to_string(when));
      test::Scratch s;
      const fs::path src = s.Put("src.wav", LongWave());
      CompressionOptions o = Options(src, s.dir.File("a.otq"));
      o.integrityRecord = integrity;
      Recorder progress;
      test::FixedChannels none(std::nullopt);
      bool done = false;
      auto change = [&] {
        if (done) return;
        done = true;
        if (when == 0) {
          fs::resize_file(src, fs::file_size(src) / 2);
        } else {
          Bytes data = test::ReadAll(src);
          data[data.size() / 2] ^= 1;
          test::WriteAll(src, data);  // same size; a new modification time
          fs::last_write_time(src, fs::last_write_time(src) + std::chrono::seconds(2));
        }
      };
      if (when == 0) {
        progress.onStep = [&](std::uint64_t) {};
        struct CutAtBegin final : public JobProgress {
          std::function<void()> cut;
          void Begin(std::string_view, std::uint64_t) override { cut(); }
          void Step() override {}
          bool IsCancelled() override { return false; }
          void End() override {}
        } cutter;
        cutter.cut = change;
        try {
          CompressionJob(o, cutter, none).Run();
          ADD_FAILURE() << "a source cut while it was read was reported as compressed";
        } catch (const Error& e) {
          EXPECT_EQ(e.kind(), ErrorKind::Changed);
          EXPECT_EQ(std::string(e.what()), src.string() + " changed while it was being compressed");
        }
      } else {
        progress.onStep = [&](std::uint64_t at) {
          if (at == JobMeter::kUnits / 2) change();
        };
        try {
          CompressionJob(o, progress, none).Run();
          ADD_FAILURE() << "a source rewritten while it was read was reported as compressed";
        } catch (const Error& e) {
          EXPECT_EQ(e.kind(), ErrorKind::Changed) << e.what();
        }
      }
      EXPECT_FALSE(fs::exists(s.dir.File("a.otq")));
      EXPECT_EQ(Entries(s.dir.path(), ".a.otq.part-"), 0u);
    }
  }
}

TEST(SourceChanges, AFileThatEndsBeforeItsSizeIsAChangeNotAnEnd) {
  test::Scratch s;
  const fs::path file = s.Put("f", Bytes(300000, 7));
  InFile in(file);
  std::vector<std::uint8_t> buffer(100000);
  ASSERT_EQ(in.Read(buffer.data(), buffer.size()), buffer.size());
  fs::resize_file(file, 150000);
  try {
    while (in.Read(buffer.data(), buffer.size()) > 0) {
    }
    ADD_FAILURE() << "a short read was taken for the end of the file";
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::Changed);
  }
}

TEST(SameFile, AnOutputNeverReplacesItsOwnInput) {
  test::Scratch s;
  const Bytes wave = test::Wave(1, 8000, test::Noise(4000, 300, 1));
  const fs::path src = s.Put("s.wav", wave);
  fs::create_hard_link(src, s.dir.File("link.otq"));
  fs::create_symlink(src, s.dir.File("sym.otq"));
  for (const fs::path& out : {src, s.dir.path() / "." / "s.wav", s.dir.File("link.otq"), s.dir.File("sym.otq")}) {
    SCOPED_TRACE(out.string());
    CompressionOptions o = Options(src, out);
    o.replaceArchive = true;
    test::FixedChannels none(std::nullopt);
    NullProgress quiet;
    try {
      CompressionJob(o, quiet, none).Run();
      ADD_FAILURE();
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), ErrorKind::SameFile);
    }
    EXPECT_EQ(test::ReadAll(src), wave);
  }
  // Extraction: the restored file may not be the archive itself.
  test::Compress(src, s.dir.File("a.otq"), Rate::Fast);
  const Bytes archive = test::ReadAll(s.dir.File("a.otq"));
  ExtractionOptions x;
  x.archive = s.dir.File("a.otq");
  x.target = s.dir.File("a.otq");
  x.replaceTarget = true;
  NullProgress quiet;
  EXPECT_THROW(ExtractionJob(x, quiet, nullptr).Run(), Error);
  EXPECT_EQ(test::ReadAll(s.dir.File("a.otq")), archive);
}

TEST(Verification, AFailedCheckKeepsTheArchiveThatWasThere) {
  test::Scratch s;
  const fs::path src = s.Put("v.wav", test::Wave(2, 8000, test::Noise(8000, 500, 2)));
  s.Put("v.otq", Bytes{1, 2, 3});
  CompressionOptions o = Options(src, s.dir.File("v.otq"));
  o.replaceArchive = true;
  fs::path checked;
  o.beforeCommit = [&](const fs::path& finished) {
    checked = finished;
    EXPECT_TRUE(fs::exists(finished));
    EXPECT_EQ(test::ReadAll(s.dir.File("v.otq")), (Bytes{1, 2, 3}));  // not yet in place
    throw Error(ErrorKind::Verify, "differs");
  };
  test::FixedChannels none(std::nullopt);
  NullProgress quiet;
  EXPECT_THROW(CompressionJob(o, quiet, none).Run(), Error);
  EXPECT_EQ(test::ReadAll(s.dir.File("v.otq")), (Bytes{1, 2, 3}));
  EXPECT_FALSE(checked.empty());
  EXPECT_FALSE(fs::exists(checked));
}

TEST(Verification, ComparesEveryByteAndTheLength) {
  test::Scratch s;
  const Bytes wave = test::Wave(2, 8000, test::Noise(8000, 500, 4));
  const fs::path src = s.Put("c.wav", wave);
  test::Compress(src, s.dir.File("c.otq"), Rate::Fast, std::nullopt, std::nullopt, /*integrity=*/false);
  Bytes longer = wave, changed = wave;
  longer.push_back(0);
  changed[100] ^= 4;
  Bytes shorter(wave.begin(), wave.end() - 2);
  for (const auto& [name, reference] : {std::pair{"longer", longer}, {"changed", changed}, {"shorter", shorter}}) {
    SCOPED_TRACE(name);
    ExtractionOptions x;
    x.archive = s.dir.File("c.otq");
    x.compareWith = s.Put(name, reference);
    NullProgress quiet;
    try {
      ExtractionJob(x, quiet, nullptr).Run();
      ADD_FAILURE() << "a restored file that differs from its source passed verification";
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), ErrorKind::Verify);
    }
  }
  ExtractionOptions same;
  same.archive = s.dir.File("c.otq");
  same.compareWith = src;
  NullProgress quiet;
  EXPECT_NO_THROW(ExtractionJob(same, quiet, nullptr).Run());
}

TEST(Integrity, RequiredRecordRefusesArchivesWithoutOne) {
  test::Scratch s;
  const fs::path src = s.Put("r.wav", test::Wave(1, 8000, test::Noise(3000, 500, 5)));
  test::Compress(src, s.dir.File("with.otq"), Rate::Fast);
  test::Compress(src, s.dir.File("without.otq"), Rate::Fast, std::nullopt, std::nullopt, false);
  for (const char* name : {"with.otq", "without.otq"}) {
    ExtractionOptions x;
    x.archive = s.dir.File(name);
    x.requireIntegrity = true;
    NullProgress quiet;
    if (std::string(name) == "with.otq") {
      EXPECT_TRUE(ExtractionJob(x, quiet, nullptr).Run().integrityChecked);
    } else {
      try {
        ExtractionJob(x, quiet, nullptr).Run();
        ADD_FAILURE();
      } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::NoIntegrity);
      }
    }
  }
}

// An error says which file its message names, by the name the user knows,
// so that no caller has to search the message for it; the messages are
// pinned as well, since users and scripts read them.
TEST(ErrorFiles, TheFailuresAUserMeetsNameTheirFile) {
  test::Scratch s;
  const fs::path src = s.Put("e.wav", test::Wave(2, 8000, test::Noise(6000, 500, 9)));
  auto failure = [](const std::function<void()>& run) {
    try {
      run();
    } catch (const Error& e) {
      return e;
    }
    ADD_FAILURE() << "no error";
    return Error(ErrorKind::Io, "");
  };
  test::FixedChannels none(std::nullopt);
  NullProgress quiet;
  // A missing source.
  const fs::path missing = s.dir.File("missing.wav");
  Error e = failure([&] { CompressionJob(Options(missing, s.dir.File("m.otq")), quiet, none).Run(); });
  EXPECT_EQ(e.file(), missing);
  EXPECT_EQ(std::string(e.what()), "cannot open " + missing.string() + ": No such file or directory");
  // A target that exists.
  const fs::path archive = s.dir.File("e.otq");
  test::Compress(src, archive, Rate::Fast);
  e = failure([&] { CompressionJob(Options(src, archive), quiet, none).Run(); });
  EXPECT_EQ(e.kind(), ErrorKind::Exists);
  EXPECT_EQ(e.file(), archive);
  EXPECT_EQ(std::string(e.what()), archive.string() + " already exists");
  // Damaged archives, found in the head, before the passes, and by the last
  // check: each names the archive by the name it is shown as.
  const Bytes good = test::ReadAll(archive);
  Bytes cut(good.begin(), good.begin() + 3), announces = good, crc = good;
  announces[29 + 3] = 0x7F;  // the header stream's stated length
  crc.back() ^= 1;           // the integrity record's CRC-32
  for (const auto& [name, bytes] : {std::pair{"cut", cut}, {"announces", announces}, {"crc", crc}}) {
    SCOPED_TRACE(name);
    ExtractionOptions x;
    x.archive = s.Put("damaged.otq", bytes);
    x.shownAs = "the take";
    e = failure([&] { ExtractionJob(x, quiet, nullptr).Run(); });
    EXPECT_EQ(e.kind(), ErrorKind::Damaged) << e.what();
    EXPECT_EQ(e.file(), fs::path("the take"));
    EXPECT_EQ(std::string(e.what()).rfind("The archive is damaged: the take", 0), 0u) << e.what();
  }
  // A message that names no file has none.
  test::Compress(src, s.dir.File("p.otq"), Rate::Fast, std::nullopt, "right");
  ExtractionOptions x;
  x.archive = s.dir.File("p.otq");
  x.password = "wrong";
  e = failure([&] { ExtractionJob(x, quiet, nullptr).Run(); });
  EXPECT_EQ(e.kind(), ErrorKind::WrongPassword);
  EXPECT_TRUE(e.file().empty());
}

// The bar opens once, when the job starts, and ends exactly at its range,
// for the shortest and for long jobs, at every rate, in both directions.
TEST(Progress, OneBarOverTheWholeJobReachesItsEnd) {
  test::Scratch s;
  const fs::path tiny = s.Put("tiny.wav", test::Wave(1, 8000, test::Noise(10, 100, 6)));
  const fs::path long_ = s.Put("long.wav", test::Wave(2, 44100, test::Noise(400'000, 4000, 7)));
  for (const fs::path& src : {tiny, long_}) {
    for (Rate rate : test::kAllRates) {
      if (rate == Rate::Extreme && src == long_) continue;  // the same passes; slow
      SCOPED_TRACE(src.filename().string() + " " + RateName(rate));
      const fs::path archive = s.dir.File("p.otq");
      fs::remove(archive);
      Recorder c;
      test::FixedChannels none(std::nullopt);
      ASSERT_FALSE(CompressionJob(Options(src, archive, rate), c, none).Run().cancelled);
      EXPECT_EQ(c.begins, 1);
      EXPECT_EQ(c.text, kCompressingText);
      EXPECT_EQ(c.total, JobMeter::kUnits);
      EXPECT_EQ(c.steps, JobMeter::kUnits);
      EXPECT_EQ(c.ends, 1);
    }
    ExtractionOptions x;
    x.archive = s.dir.File("p.otq");
    x.target = s.dir.File("back.wav");
    x.replaceTarget = true;
    Recorder e;
    ASSERT_FALSE(ExtractionJob(x, e, nullptr).Run().cancelled);
    EXPECT_EQ(e.begins, 1);
    EXPECT_EQ(e.text, kExtractingText);
    EXPECT_EQ(e.steps, JobMeter::kUnits);
    EXPECT_EQ(e.ends, 1);
    EXPECT_EQ(test::ReadAll(s.dir.File("back.wav")), test::ReadAll(src));
  }
}

// A cancel in any pass stops that pass: a cancel that stands when a pass
// begins (the bar at the end of the pass before) never lets the bar run on
// to the end of the pass's share, and nothing is left behind. (How soon a
// cancel is seen while a pass runs is a matter of time, measured by
// scripts/fault-campaign.py; StreamCodersStopOnTheCancelFlag shows the
// stream coders look at it.)
TEST(Progress, CancelStopsWithinEveryPass) {
  test::Scratch s;
  const fs::path src = s.Put("c.wav", LongWave());
  test::Compress(src, s.dir.File("c.otq"), Rate::Fast);
  // Compression passes end at 250, 550, 950 and 1000; extraction at 20
  // (the header and flag streams), 980 (the other coded streams, block decoding
  // and synthesis side by side) and 1000.
  for (const auto& [at, passEnd] : {std::pair<std::uint64_t, std::uint64_t>{0, 250}, {250, 550}, {550, 950}}) {
    SCOPED_TRACE("compress " + std::to_string(at));
    Recorder r;
    r.cancelAt = at;
    test::FixedChannels none(std::nullopt);
    CompressionOptions o = Options(src, s.dir.File("new.otq"), Rate::Maximum);
    EXPECT_TRUE(CompressionJob(o, r, none).Run().cancelled);
    EXPECT_LT(r.steps, passEnd);
    EXPECT_EQ(r.ends, 1);
    EXPECT_FALSE(fs::exists(s.dir.File("new.otq")));
    EXPECT_EQ(Entries(s.dir.path(), ".new.otq.part-"), 0u);
  }
  for (const auto& [at, passEnd] : {std::pair<std::uint64_t, std::uint64_t>{0, 20}, {20, 980}}) {
    SCOPED_TRACE("extract " + std::to_string(at));
    Recorder r;
    r.cancelAt = at;
    ExtractionOptions x;
    x.archive = s.dir.File("c.otq");
    x.target = s.dir.File("back.wav");
    x.threads = 2;
    EXPECT_TRUE(ExtractionJob(x, r, nullptr).Run().cancelled);
    EXPECT_LT(r.steps, passEnd);
    EXPECT_FALSE(fs::exists(s.dir.File("back.wav")));
    EXPECT_EQ(Entries(s.dir.path(), ".back.wav.part-"), 0u);
  }
}

TEST(Progress, StreamCodersStopOnTheCancelFlag) {
  test::Scratch s;
  const fs::path in = s.Put("in", test::Pcm(test::Noise(400'000, 3000, 8)));
  std::atomic<bool> cancel{false};
  std::atomic<std::uint64_t> done{0};
  CLzariEncoder encoder(in, s.dir.File("coded"), "Write Error");
  encoder.Watch(&cancel, &done);
  encoder.CompressFile();
  EXPECT_EQ(done.load(), fs::file_size(in) / CLzariEncoder::kWatchBytes);
  done = 0;
  CLzariDecoder decoder(s.dir.File("coded"), s.dir.File("back"), "Read Error_d");
  decoder.Watch(&cancel, &done);
  decoder.ExpandFile();
  EXPECT_EQ(done.load(), fs::file_size(in) / CLzariDecoder::kWatchBytes);
  cancel = true;
  CLzariEncoder stopped(in, s.dir.File("coded2"), "Write Error");
  stopped.Watch(&cancel, nullptr);
  EXPECT_THROW(stopped.CompressFile(), TaskCancelled);
  CLzariDecoder stoppedDecoder(s.dir.File("coded"), s.dir.File("back2"), "Read Error_d");
  stoppedDecoder.Watch(&cancel, nullptr);
  EXPECT_THROW(stoppedDecoder.ExpandFile(), TaskCancelled);
}

// A stream coder that fails (here its output cannot be made: a folder has
// its name) fails the job with its error. With two threads the high parts
// are coded beside the block coding, and the coder's end stops the block
// coder as a cancel would; the job still fails, and leaves nothing.
TEST(Progress, AStreamCodersFailureFailsTheJob) {
  test::Scratch s;
  const fs::path src = s.Put("f.wav", LongWave());
  const fs::path temp = s.dir.File("tmp");
  fs::create_directory(temp);
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  setenv("TMPDIR", temp.c_str(), 1);
  for (const unsigned threads : {1u, 2u}) {
    SCOPED_TRACE(threads);
    Recorder r;
    r.onStep = [&](std::uint64_t step) {
      if (step != 1) return;
      for (const auto& job : fs::directory_iterator(temp)) fs::create_directory(job.path() / "Higher1.out");
    };
    test::FixedChannels none(std::nullopt);
    CompressionOptions o = Options(src, s.dir.File("f.otq"), Rate::Maximum);
    o.threads = threads;
    try {
      const CompressionResult result = CompressionJob(o, r, none).Run();
      ADD_FAILURE() << (result.cancelled ? "told as cancelled" : "no error");
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), ErrorKind::Io) << e.what();
    }
    EXPECT_FALSE(fs::exists(s.dir.File("f.otq")));
    EXPECT_TRUE(fs::is_empty(temp));
  }
  // The high parts of the second range are handed to that coder after the
  // block pass, from their part file: one that is gone by then (removed
  // during the block pass) fails the job too, rather than ending the
  // stream early.
  Recorder r;
  r.onStep = [&](std::uint64_t step) {
    if (step != 300) return;  // in the block pass (250 to 550)
    for (const auto& job : fs::directory_iterator(temp)) fs::remove(job.path() / "part1-2.out");
  };
  test::FixedChannels none(std::nullopt);
  try {
    const CompressionResult result = CompressionJob(Options(src, s.dir.File("f.otq"), Rate::Maximum), r, none).Run();
    ADD_FAILURE() << (result.cancelled ? "told as cancelled" : "no error");
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::Io) << e.what();
  }
  EXPECT_FALSE(fs::exists(s.dir.File("f.otq")));
  EXPECT_TRUE(fs::is_empty(temp));
  if (old)
    setenv("TMPDIR", saved.c_str(), 1);
  else
    unsetenv("TMPDIR");
}

// Extraction runs its stream decoders, block decoder and synthesis side by
// side, waiting on each other through bounded buffers. However the job ends
// (a damaged stream, a cancel, a sink that fails), no side may be left
// waiting on one that has stopped: each case runs in a child process that an
// alarm kills if it hangs.
void EndsWithin(int seconds, const std::function<bool()>& job, const std::string& what) {
  SCOPED_TRACE(what);
  const pid_t child = fork();
  if (child == 0) {
    alarm(static_cast<unsigned>(seconds));
    _exit(job() ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_FALSE(WIFSIGNALED(status)) << "the job hung (or crashed): signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the job ended another way than expected";
}

TEST(Progress, NoSideOfTheDecodeChainIsLeftWaiting) {
  test::Scratch s;
  const fs::path stereo = s.dir.File("s.otq"), mono = s.dir.File("m.otq");
  test::Compress(s.Put("s.wav", LongWave()), stereo, Rate::Fast);
  test::Compress(s.Put("m.pcm", test::Pcm(test::Noise(1'600'000, 6000, 4))), mono, Rate::Fast, ChannelLayout::Mono);
  // A byte of a coded stream changed halfway through its code.
  auto damaged = [&](int stream) {
    Bytes archive = test::ReadAll(stereo);
    const ArchiveInfo info = ReadArchiveInfo(stereo);
    std::uint64_t at = info.streamsOffset;
    for (int i = 0; i < stream; ++i) at += info.streamLength[i];
    archive[at + info.streamLength[stream] / 2] ^= 0x5A;
    const fs::path path = s.dir.File("damaged-" + std::to_string(stream) + ".otq");
    test::WriteAll(path, archive);
    return path;
  };
  auto extract = [&](const fs::path& archive, unsigned threads, JobProgress& progress) {
    ExtractionOptions x;
    x.archive = archive;
    x.target = s.dir.File("back.wav");
    x.replaceTarget = true;
    x.threads = threads;
    return ExtractionJob(x, progress, nullptr).Run();
  };
  auto failsAs = [&](const fs::path& archive, unsigned threads, ErrorKind kind) {
    return [=, &extract] {
      try {
        NullProgress none;
        extract(archive, threads, none);
      } catch (const Error& e) {
        return e.kind() == kind;
      }
      return false;
    };
  };
  // Three threads: the restored bytes are written on a thread of their own.
  for (unsigned threads : {1u, 2u, 3u}) {
    const std::string j = " with " + std::to_string(threads) + " thread(s)";
    for (int stream : {kHigherStream, kSignStream})
      EndsWithin(30, failsAs(damaged(stream), threads, ErrorKind::Damaged), std::string(stream == kSignStream ? "sign" : "high-part") + " stream damaged" + j);
    EndsWithin(30, [&] {
      test::CancelAfter cancel(500);  // within the decode pass
      return extract(stereo, threads, cancel).cancelled && !fs::exists(s.dir.File("back.wav"));
    }, "cancelled" + j);
    // Files may not grow past 1 MiB: the restored file fails to be written,
    // while the synthesis has the residual of both channels, or of one.
    for (const fs::path& archive : {stereo, mono})
      EndsWithin(30, [&] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1 << 20, 1 << 20};
        setrlimit(RLIMIT_FSIZE, &limit);
        return failsAs(archive, threads, ErrorKind::Io)();
      }, archive.filename().string() + " with a failing sink" + j);
  }
}

// A copy of `archive` whose coded stream states `change` bytes more (or
// fewer) than it carries.
fs::path Restated(const fs::path& archive, int stream, int change, const fs::path& copy) {
  Bytes bytes = test::ReadAll(archive);
  const ArchiveInfo info = ReadArchiveInfo(archive);
  std::size_t at = static_cast<std::size_t>(info.streamsOffset);
  for (int i = 0; i < stream; ++i) at += info.streamLength[i];
  const std::uint32_t stated = static_cast<std::uint32_t>(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16) |
                               static_cast<std::uint32_t>(bytes[at + 3]) << 24;
  for (int i = 0; i < 4; ++i)
    bytes[at + static_cast<std::size_t>(i)] =
        static_cast<std::uint8_t>((stated + static_cast<std::uint32_t>(change)) >> (8 * i));
  test::WriteAll(copy, bytes);
  return copy;
}

// What the extraction of a damaged archive with `threads` threads says.
std::string DamageTold(const fs::path& archive, unsigned threads) {
  ExtractionOptions x;
  x.archive = archive;
  x.threads = threads;
  NullProgress none;
  try {
    ExtractionJob(x, none, nullptr).Run();
  } catch (const Error& e) {
    return e.kind() == ErrorKind::Damaged ? e.what() : std::string("not damage: ") + e.what();
  }
  return "restored";
}

// The stream decoders run beside the layout check and the block decoder;
// a fault of a coded stream is still the one told, even when what it causes
// downstream is seen long before its decoder reaches it: here the sign
// stream states 100 bytes more than it carries, which the layout check sees
// at once and its decoder only at the stream's end.
TEST(Progress, AStreamsOwnDamageIsToldBeforeWhatItCauses) {
  test::Scratch s;
  const fs::path archive = s.dir.File("s.otq");
  test::Compress(s.Put("s.wav", LongWave()), archive, Rate::Fast);
  const fs::path changed = Restated(archive, kSignStream, 100, s.dir.File("changed.otq"));
  for (unsigned threads : {1u, 2u}) {
    const std::string told = DamageTold(changed, threads);
    EXPECT_NE(told.find("the sign stream: a coded stream ends before the data it announces"), std::string::npos)
        << told;
  }
}

// The high-part stream's own faults are told as such, in the same words,
// however many threads decode it (on two cores and two channels it is
// decoded on the block decoder's thread): a stream that announces more than
// it carries, and one that announces less. The block decoder, which runs
// short of high parts in both, must not be the one told.
TEST(Progress, TheHighPartStreamsOwnFaultsAreToldOnEveryPath) {
  test::Scratch s;
  const fs::path good = s.dir.File("s.otq");
  test::Compress(s.Put("s.wav", LongWave()), good, Rate::Fast);
  for (const auto& [change, fault] : {std::pair<int, const char*>{+100, "ends before the data it announces"},
                                      {-100, "holds code bytes after its data"}}) {
    const fs::path changed = Restated(good, kHigherStream, change, s.dir.File("changed.otq"));
    for (unsigned threads : {1u, 2u, 3u}) {
      const std::string told = DamageTold(changed, threads);
      EXPECT_NE(told.find(std::string("the high-part stream: a coded stream ") + fault), std::string::npos)
          << change << " bytes stated, " << threads << " thread(s): " << told;
    }
  }
}

// Runs `body` in a child process, which kills itself before its objects'
// destructors run, as a killed process leaves things.
void InKilledChild(const std::function<void()>& body) {
  const pid_t child = fork();
  if (child == 0) {
    body();  // ends with raise(SIGKILL), its objects still alive
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
}

TEST(Leftovers, ThoseOfKilledProcessesGoAndOnlyThose) {
  test::Scratch s;
  const fs::path target = s.dir.File("a.otq");
  InKilledChild([&] {
    PendingOutput out(target, false);
    test::WriteAll(out.temp(), {1, 2});
    raise(SIGKILL);
  });
  ASSERT_EQ(Entries(s.dir.path(), ".a.otq.part-"), 1u);
  {
    // A live one (ours, still being written) stays while the dead one goes.
    PendingOutput live(s.dir.File("a.otq"), false);
    PendingOutput other(target, false);
    EXPECT_EQ(Entries(s.dir.path(), ".a.otq.part-"), 2u);
    EXPECT_TRUE(fs::exists(live.temp()));
  }
  EXPECT_EQ(Entries(s.dir.path(), ".a.otq.part-"), 0u);
  // A stranger's file of a similar name, or one of an older program (same
  // name, no lock, no mark: it may be in use), is not ours to remove.
  s.Put(".a.otq.part-notours", {1});
  s.Put(".a.otq.part-Older1", {1});
  { PendingOutput again(target, false); }
  EXPECT_TRUE(fs::exists(s.dir.File(".a.otq.part-notours")));
  EXPECT_TRUE(fs::exists(s.dir.File(".a.otq.part-Older1")));

  // Working folders: the temporary folder pointed at this scratch folder.
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  setenv("TMPDIR", s.dir.path().c_str(), 1);
  InKilledChild([] {
    WorkFolder dead;
    test::WriteAll(dead.File("temp.out"), {1, 2, 3});
    raise(SIGKILL);
  });
  EXPECT_EQ(Entries(s.dir.path(), "ostinato-job-"), 1u);
  fs::create_directory(s.dir.File("ostinato-job-Older1"));  // an older program's, perhaps in use
  {
    WorkFolder live;
    EXPECT_EQ(Entries(s.dir.path(), "ostinato-job-"), 2u);  // the dead one went; this one and the older one's
    WorkFolder second;
    EXPECT_TRUE(fs::exists(live.path()));
    EXPECT_EQ(Entries(s.dir.path(), "ostinato-job-"), 3u);
  }
  if (old) setenv("TMPDIR", saved.c_str(), 1); else unsetenv("TMPDIR");
}

TEST(Leftovers, RemoveAllTakesEveryRegisteredOutputAndFolder) {
  test::Scratch s;
  auto* out = new PendingOutput(s.dir.File("x.otq"), false);
  auto* work = new WorkFolder;
  test::WriteAll(work->File("a"), {1});
  const fs::path temp = out->temp(), folder = work->path();
  leftovers::RemoveAll();
  EXPECT_FALSE(fs::exists(temp));
  EXPECT_FALSE(fs::exists(folder));
  delete out;
  delete work;
}

// A second Ctrl-C removes what the run made on the signal thread while the
// main thread may be ending the process: the list of what to remove must
// outlive the end of main (its destruction at exit raced with the removal).
TEST(Leftovers, RemovalOnAnotherThreadMayMeetTheEndOfTheProcess) {
  test::Scratch s;
  for (int run = 0; run < 4; ++run) {  // (the thread sanitizer holds each exit for a second)
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::thread([&s] {
        for (int i = 0;; ++i) {
          leftovers::Add(s.dir.File("none-" + std::to_string(i % 8)));
          leftovers::RemoveAll();
        }
      }).detach();
      std::this_thread::sleep_for(std::chrono::microseconds(200 + 50 * run));
      std::exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "run " << run << ", status " << status;
  }
}

// Any name the file system takes for the target works: the temporary name
// is shortened, never the user's.
TEST(PendingOutput, TemporaryNamesFitWhereTheTargetFits) {
  test::Scratch s;
  const std::string longest(251, 'n');
  std::string wide;
  while (wide.size() + 2 <= 250) wide += "\xc3\xa9";  // é: two bytes each
  for (const std::string& name : {longest + ".otq", wide + ".wav", std::string("ab")}) {
    SCOPED_TRACE(name.size());
    const fs::path target = s.dir.File(name);
    {
      PendingOutput out(target, false);
      EXPECT_LE(out.temp().filename().string().size(), 255u);
      test::WriteAll(out.temp(), {7});
      out.Commit();
    }
    EXPECT_EQ(test::ReadAll(target), (Bytes{7}));
    // The mark of an unfinished output goes with the commit.
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::sticky_bit, fs::perms::none);
    const std::string prefix = PendingOutput::TempPrefix(target);
    EXPECT_EQ(prefix.rfind(".part-"), prefix.size() - 6);
    // Cut on a character boundary: the part kept is a prefix of whole characters.
    EXPECT_NE(static_cast<unsigned char>(prefix[prefix.size() - 7]) & 0xC0, 0xC0u);
  }
}

TEST(RestoredNames, ShortNamesKeepTheirCharacters) {
  EXPECT_EQ(RestoredName("take.otq", 1), "take.wav");
  EXPECT_EQ(RestoredName("voice.PCM", 0), "voice.pcm");
  EXPECT_EQ(RestoredName("abcde", 1), "a.wav");
  EXPECT_EQ(RestoredName("abcd", 1), "abcd.wav");  // not the hidden ".wav"
  EXPECT_EQ(RestoredName("ab", 0), "ab.pcm");
  EXPECT_EQ(RestoredName("", 1), ".wav");
}

TEST(Password, OnlyTheArchivesCodePageAndOldArchivesStillOpen) {
  // "é中": 中 has no Windows-1252 form, so it cannot be stored.
  const std::string mixed = "\xc3\xa9\xe4\xb8\xad";
  try {
    PasswordRecord(mixed);
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::Unsupported);
    EXPECT_NE(std::string(e.what()).find("Windows-1252"), std::string::npos) << e.what();
  }
  EXPECT_THROW(PasswordRecord("\xd0\x96"), Error);
  // Archives that stored such a password in UTF-8 open with the same text.
  EXPECT_TRUE(PasswordMatches(mixed, mixed));
  EXPECT_FALSE(PasswordMatches(mixed, "\xc3\xa9"));
  EXPECT_TRUE(PasswordMatches("caf\xc3\xa9", "caf\xe9"));
  EXPECT_FALSE(PasswordMatches("caf\xc3\xa9", "caf\xc3\xa9"));  // é has a code-page form: that is what was stored
  EXPECT_FALSE(PasswordMatches("fifteen chars!!", "fifteen chars!!"));
}

}  // namespace
}  // namespace ost
