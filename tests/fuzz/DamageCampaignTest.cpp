// The damage campaign: archives of short cuts of real recordings at every
// rate, cut and with single bits flipped, each damaged copy extracted. Every
// copy must either restore the exact original or be refused with the
// damaged-archive message, leaving no restored file and no working folder;
// the copies whose damage the format does not read must restore exactly.
// With the integrity record nothing else may happen; without it (older
// archives) some damage restores wrong bytes unseen, and that share is
// reported.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <set>
#include <thread>

#include "ArchiveParts.h"
#include "extract/ExtractionJob.h"

namespace ost {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

struct Tally {
  std::uint64_t exact = 0, refused = 0, wrong = 0, other = 0;
  std::uint64_t mustRestore = 0, missed = 0;  // copies that must restore exactly, and those that did not
  std::vector<std::string> examples;        // of "other" and "missed", for the failure message
  std::vector<std::string> wrongExamples;

  void Add(const Tally& t) {
    exact += t.exact;
    refused += t.refused;
    wrong += t.wrong;
    other += t.other;
    mustRestore += t.mustRestore;
    missed += t.missed;
    for (const auto& e : t.examples)
      if (examples.size() < 10) examples.push_back(e);
    for (const auto& e : t.wrongExamples)
      if (wrongExamples.size() < 10) wrongExamples.push_back(e);
  }
  std::uint64_t total() const { return exact + refused + wrong + other; }
};

struct Damaged {
  Bytes bytes;
  std::string what;          // "cut at 123", "bit 4 of byte 56"
  bool mustRestore = false;  // the damage lies where the format reads nothing
};

// Extracts one damaged copy in `dir` and sorts the outcome.
void Classify(const Damaged& copy, const Bytes& original, const fs::path& dir, Tally& tally) {
  const fs::path archive = dir / "damaged.otq";
  const fs::path out = dir / "out";
  test::WriteBytes(archive, copy.bytes);
  fs::create_directories(out);
  auto example = [&](const std::string& why) {
    if (tally.examples.size() < 10) tally.examples.push_back(copy.what + ": " + why);
  };
  auto other = [&](const std::string& why) {
    ++tally.other;
    example(why);
  };
  ExtractionOptions options;
  options.archive = archive;
  options.target = out / "restored.pcm";
  NullProgress progress;
  bool exact = false;
  try {
    ExtractionJob(options, progress, nullptr).Run();
    exact = test::ReadBytes(options.target) == original;
    if (exact)
      ++tally.exact;
    else if (++tally.wrong && tally.wrongExamples.size() < 10)
      tally.wrongExamples.push_back(copy.what);
  } catch (const Error& e) {
    const std::string message = e.what();
    if (e.kind() != ErrorKind::Damaged || message.rfind(kDamagedMessage, 0) != 0) {
      other("refused with another error: " + message);
    } else if (!fs::is_empty(out)) {
      other("refused but left " + fs::directory_iterator(out)->path().string());
    } else {
      ++tally.refused;
      if (copy.mustRestore) example("must restore exactly, refused: " + message);
    }
  } catch (const std::exception& e) {
    other(std::string("unexpected exception: ") + e.what());
  }
  if (copy.mustRestore) {
    ++tally.mustRestore;
    if (!exact) ++tally.missed;
  }
  fs::remove_all(out);
}

// The damaged copies of one archive, chosen where the format's checks lie:
// - Cuts at every offset of the first 64 bytes (the head and the start of
//   the streams) and of the last 24, and at 16 spread offsets. Any other cut
//   leaves six lengths that do not add up to the file's size, the one check
//   that every further cut would reach again.
// - One bit flipped in every byte of the head and of the integrity record,
//   and each stream's length grown and shrunk by 16 (a change of the sum
//   that the record's 16 bytes could hide).
// - Each boundary between two streams moved by one byte both ways, the
//   lengths still adding up: only the streams' own contents can tell.
// - One bit flipped in every other byte of the archive (`everyByte`), or at
//   120 sampled offsets.
// - The copies that must restore exactly: the archive itself, bit 0 of head
//   byte 1 (which says what the source was and which restoring does not
//   read), and, with the record, the archive cut before its record (which
//   reads as an older archive).
std::vector<Damaged> DamagedCopies(const Bytes& archive, bool everyByte, bool integrity, unsigned seed) {
  std::vector<Damaged> copies;
  copies.push_back({archive, "no damage", true});

  std::set<std::size_t> cuts;
  for (std::size_t i = 0; i < 64 && i < archive.size(); ++i) cuts.insert(i);
  for (std::size_t i = 1; i <= 24 && i <= archive.size(); ++i) cuts.insert(archive.size() - i);
  for (std::size_t i = 0; i < 16; ++i) cuts.insert(i * archive.size() / 16);
  for (std::size_t at : cuts)
    copies.push_back({Bytes(archive.begin(), archive.begin() + static_cast<std::ptrdiff_t>(at)),
                      "cut at " + std::to_string(at), integrity && at + 16 == archive.size()});

  const std::size_t lengths = 5 + archive[4];
  for (int i = 0; i < 6; ++i) {
    for (int by : {16, -16}) {
      Bytes changed = archive;
      test::PutU32(changed, lengths + 4 * i, test::GetU32(archive, lengths + 4 * i) + static_cast<std::uint32_t>(by));
      copies.push_back({std::move(changed), "length " + std::to_string(i) + (by > 0 ? " + 16" : " - 16")});
    }
    if (i == 5) continue;
    for (int by : {1, -1}) {
      Bytes moved = archive;
      test::PutU32(moved, lengths + 4 * i, test::GetU32(archive, lengths + 4 * i) + static_cast<std::uint32_t>(by));
      test::PutU32(moved, lengths + 4 * i + 4, test::GetU32(archive, lengths + 4 * i + 4) - static_cast<std::uint32_t>(by));
      copies.push_back({std::move(moved), "boundary after stream " + std::to_string(i) + (by > 0 ? " + 1" : " - 1")});
    }
  }

  std::mt19937 rng(seed);
  std::set<std::pair<std::size_t, int>> bits;
  bits.insert({1, 0});
  const std::size_t head = lengths + 24;
  for (std::size_t i = 0; i < head; ++i) bits.insert({i, static_cast<int>(rng() % 8)});
  for (std::size_t i = archive.size() >= 16 ? archive.size() - 16 : 0; i < archive.size(); ++i)
    bits.insert({i, static_cast<int>(rng() % 8)});
  if (everyByte) {
    for (std::size_t i = head; i < archive.size(); ++i) bits.insert({i, static_cast<int>(rng() % 8)});
  } else {
    for (const std::size_t target = bits.size() + 120; bits.size() < target;)
      bits.insert({rng() % archive.size(), static_cast<int>(rng() % 8)});
  }
  for (const auto& [at, bit] : bits) {
    Bytes flipped = archive;
    flipped[at] ^= static_cast<std::uint8_t>(1u << bit);
    copies.push_back({std::move(flipped), "bit " + std::to_string(bit) + " of byte " + std::to_string(at),
                      at == 1 && bit == 0});
  }
  return copies;
}

// Classifies the copies on two threads, each in a folder of its own.
Tally Campaign(const std::vector<Damaged>& copies, const Bytes& original) {
  Tally tallies[2];
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      const fs::path dir = fuzz::Scratch::Get().root() / ("campaign-" + std::to_string(t));
      fs::create_directories(dir);
      for (std::size_t i = static_cast<std::size_t>(t); i < copies.size(); i += 2)
        Classify(copies[i], original, dir, tallies[t]);
      fs::remove_all(dir);
    });
  }
  for (auto& th : threads) th.join();
  Tally all;
  all.Add(tallies[0]);
  all.Add(tallies[1]);
  return all;
}

struct Recording {
  std::string name;
  Bytes source;
  bool wave;
  ChannelLayout layout;
};

// Half a second of mono speech in a ".wav", a quarter of a second of stereo
// music in a ".pcm" (43 frames), and 12 ms of stereo music in a ".wav" whose
// archive is small enough to flip a bit in every byte. The damage is found
// by the archive's structure, which short cuts have in full; longer ones
// only cost time. Without the recordings, synthetic signals of the same
// shapes stand in.
std::vector<Recording> Recordings() {
  const fs::path corpus = test::CorpusDir();
  std::vector<Recording> r;
  auto add = [&](const char* file, std::size_t header, std::size_t from, std::size_t bytes, bool wave,
                 ChannelLayout layout) {
    if (auto cut = test::CutOf(corpus / file, header, from, bytes)) r.push_back({file, *cut, wave, layout});
  };
  add("speech-en-voicemail.wav", 44, 32000, 8000, true, ChannelLayout::Mono);
  add("music-drascula-t03.pcm", 0, 5 * 176400, 44100, false, ChannelLayout::Stereo);
  add("music-drascula-t07.wav", 44, 4 * 176400, 2048, true, ChannelLayout::Stereo);
  if (r.size() == 3) return r;
  std::printf("[ campaign ] recordings not found in %s; synthetic signals stand in\n", corpus.c_str());
  r.clear();
  r.push_back({"synthetic mono", test::SweepPcm(4000, 11), false, ChannelLayout::Mono});
  r.push_back({"synthetic stereo", test::SweepPcm(22050, 12), false, ChannelLayout::Stereo});
  r.push_back({"synthetic stereo, short", test::SweepPcm(1024, 13), false, ChannelLayout::Stereo});
  return r;
}

// Which recording at which rate, and whether every byte gets a flipped bit.
struct Run {
  std::size_t recording;
  Rate rate;
  bool everyByte;
};

// Each run costs about a millisecond a copy, nearly all of it the job's own
// setting up, so the runs are chosen rather than multiplied. With the
// record: every rate on the short archive, with a bit in every byte of it at
// Maximum (eight predictors, the most searched block sizes); the longer
// recordings at two rates each, so that each rate meets a longer one too.
const std::vector<Run> kWithRecord = {
    {0, Rate::Fastest, false}, {0, Rate::Normal, false}, {1, Rate::Fast, false},   {1, Rate::Maximum, false},
    {2, Rate::Fastest, false}, {2, Rate::Fast, false},   {2, Rate::Normal, false}, {2, Rate::Maximum, true},
};
// Without it the same decoder runs over the same streams (with the record it
// runs to the end before the checksum refuses): only the end of the archive
// and what is reported differ. Both predictor sets, and a bit in every byte
// of the short archive with four predictors (Fastest).
const std::vector<Run> kWithoutRecord = {
    {0, Rate::Fastest, false},
    {1, Rate::Maximum, false},
    {2, Rate::Fastest, true},
    {2, Rate::Maximum, false},
};

Tally RunCampaign(bool integrity) {
  const std::vector<Recording> recordings = Recordings();
  Tally all;
  unsigned seed = integrity ? 100 : 200;
  for (const Run& run : integrity ? kWithRecord : kWithoutRecord) {
    const Recording& rec = recordings[run.recording];
    const test::MadeArchive made = test::Compress(rec.source, rec.wave, rec.layout, run.rate, integrity);
    const std::vector<Damaged> copies = DamagedCopies(made.archive, run.everyByte, integrity, ++seed);
    const Tally t = Campaign(copies, made.source);
    std::printf("[ campaign ] %-24s %-8s %7zu bytes, %4llu copies: %4llu exact, %4llu refused, %3llu wrong, %llu other\n",
                rec.name.c_str(), RateName(run.rate), made.archive.size(), static_cast<unsigned long long>(t.total()),
                static_cast<unsigned long long>(t.exact), static_cast<unsigned long long>(t.refused),
                static_cast<unsigned long long>(t.wrong), static_cast<unsigned long long>(t.other));
    all.Add(t);
  }
  return all;
}

void ExpectNoWorkingFolderLeft() {
  for (const auto& entry : fs::directory_iterator(fuzz::Scratch::Get().temp()))
    ADD_FAILURE() << "a job left " << entry.path();
}

std::string Examples(const std::vector<std::string>& examples) {
  std::string s;
  for (const auto& e : examples) s += "\n  " + e;
  return s;
}

TEST(DamageCampaign, WithTheIntegrityRecordEveryCopyRestoresExactlyOrIsRefused) {
  const Tally t = RunCampaign(true);
  std::printf("[ campaign ] with the record: %llu copies, %llu exact, %llu refused, %llu wrong, %llu other\n",
              static_cast<unsigned long long>(t.total()), static_cast<unsigned long long>(t.exact),
              static_cast<unsigned long long>(t.refused), static_cast<unsigned long long>(t.wrong),
              static_cast<unsigned long long>(t.other));
  EXPECT_EQ(t.wrong, 0u) << "damaged copies restored wrong bytes without an error:" << Examples(t.wrongExamples);
  EXPECT_EQ(t.other, 0u) << Examples(t.examples);
  // Three a run: the archive, its source-type bit, and the archive without its record.
  EXPECT_EQ(t.mustRestore, 3 * kWithRecord.size());
  EXPECT_EQ(t.missed, 0u) << "copies that must restore exactly did not:" << Examples(t.examples);
  EXPECT_GT(t.refused, t.total() / 2);
  ExpectNoWorkingFolderLeft();
}

TEST(DamageCampaign, WithoutTheRecordDamageIsRefusedOrUnseenButNeverWorse) {
  const Tally t = RunCampaign(false);
  std::printf("[ campaign ] without the record: %llu copies, %llu exact, %llu refused, %llu wrong (%.1f%%, the "
              "format cannot see them), %llu other\n",
              static_cast<unsigned long long>(t.total()), static_cast<unsigned long long>(t.exact),
              static_cast<unsigned long long>(t.refused), static_cast<unsigned long long>(t.wrong),
              t.total() ? 100.0 * static_cast<double>(t.wrong) / static_cast<double>(t.total()) : 0.0,
              static_cast<unsigned long long>(t.other));
  RecordProperty("restored_wrong", std::to_string(t.wrong));
  RecordProperty("copies", std::to_string(t.total()));
  // Unseen damage is only reported; a crash, another error or a file left behind is still a fault.
  EXPECT_EQ(t.other, 0u) << Examples(t.examples);
  EXPECT_EQ(t.mustRestore, 2 * kWithoutRecord.size());
  EXPECT_EQ(t.missed, 0u) << "copies that must restore exactly did not:" << Examples(t.examples);
  ExpectNoWorkingFolderLeft();
}

}  // namespace
}  // namespace ost
