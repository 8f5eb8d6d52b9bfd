#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "TestUtil.h"
#include "common/ByteChannel.h"
#include "common/ByteReader.h"
#include "common/Errors.h"
#include "common/JobInterfaces.h"
#include "compress/BlockEncoder.h"
#include "extract/BlockDecoder.h"

namespace ost {
namespace {

using test::Bytes;

struct Streams {
  Bytes lower, sign, higher, header, flags;
};

enum class Level { Fastest, Fast, Normal, Maximum };

// `channelled`: the high parts go through a small channel, read by another
// thread, with what is left of them handed back and run after the rest.
Streams Encode(const Bytes& residual, Level level, unsigned threads = 1, bool interleaved = false,
               bool channelled = false) {
  WorkFolder dir;
  test::WriteAll(dir.File("temp.out"), residual);
  Bytes fromChannel;
  {
    InFile in(dir.File("temp.out"));
    OutFile lower(dir.File("Lower.out")), sign(dir.File("Sign.out")), higher(dir.File("Higher.out")),
        header(dir.File("Header.out")), flags(dir.File("H.out"));
    CBlockEncoder encoder;
    encoder.ResetBlockEncoder();
    encoder.SetThreads(threads);
    encoder.SetInterleaved(interleaved);
    NullProgress progress;
    ByteChannel channel(1 << 16);
    std::thread reader([&] {
      for (std::vector<std::uint8_t> chunk; channel.PullChunk(chunk);)
        fromChannel.insert(fromChannel.end(), chunk.begin(), chunk.end());
    });
    BlockStreams::Rest rest;
    BlockStreams out{lower, sign, &higher, header, flags};
    if (channelled) {
      out.higherChannel = &channel;
      out.higherRest = &rest;
    }
    switch (level) {
      case Level::Fastest: encoder.EncodeFastest(in, out, progress); break;
      case Level::Fast: encoder.EncodeFast(in, out, progress); break;
      case Level::Normal: encoder.EncodeNormal(in, out, progress); break;
      case Level::Maximum: encoder.EncodeMaximum(in, out, progress); break;
    }
    if (rest.run) rest.run();
    channel.Close();
    reader.join();
    for (OutFile* f : {&lower, &sign, &higher, &header, &flags}) f->Close();
    if (channelled) EXPECT_EQ(rest.streamBytes, fromChannel.size());
  }
  return {test::ReadAll(dir.File("Lower.out")), test::ReadAll(dir.File("Sign.out")),
          channelled ? fromChannel : test::ReadAll(dir.File("Higher.out")), test::ReadAll(dir.File("Header.out")),
          test::ReadAll(dir.File("H.out"))};
}

Bytes Decode(const Streams& s, bool eight) {
  WorkFolder dir;
  test::WriteAll(dir.File("Header1.out"), s.header);
  test::WriteAll(dir.File("H1.out"), s.flags);
  test::WriteAll(dir.File("Sign1.out"), s.sign);
  test::WriteAll(dir.File("Lower.out"), s.lower);
  test::WriteAll(dir.File("Higher1.out"), s.higher);
  InFile header(dir.File("Header1.out")), flags(dir.File("H1.out")), sign(dir.File("Sign1.out")),
      lower(dir.File("Lower.out")), higher(dir.File("Higher1.out"));
  const BlockLayout layout = ScanLayout(header, flags, eight);
  {
    OutFile out(dir.File("temp.out"));
    CBlockDecoder decoder;
    decoder.ResetBlockDecoder();
    NullProgress progress;
    EXPECT_TRUE(decoder.DecodeAll(header, flags, sign, lower, higher, out, layout, progress));
    out.Close();
  }
  return test::ReadAll(dir.File("temp.out"));
}

TEST(BlockEncoder, KnownStreamsOfSmallResiduals) {
  Streams empty = Encode({}, Level::Maximum);
  EXPECT_EQ(empty.flags, Bytes{0});
  EXPECT_TRUE(empty.header.empty() && empty.lower.empty() && empty.sign.empty() && empty.higher.empty());

  Streams zeros = Encode(Bytes(1024, 0), Level::Fastest);
  EXPECT_EQ(test::Hex(zeros.header), "FF FF FF");
  EXPECT_EQ(zeros.flags, Bytes(3, 0));
  EXPECT_TRUE(zeros.lower.empty() && zeros.sign.empty() && zeros.higher.empty());

  const Bytes block = test::Pcm(test::Noise(256, 300, 5));
  for (Level level : {Level::Fastest, Level::Fast, Level::Normal, Level::Maximum}) {
    Streams one = Encode(block, level);
    ASSERT_GE(one.header.size(), 2u);
    const int last = one.header[one.header.size() - 2];
    const int count = one.header.back();
    EXPECT_EQ(last & 12, 12);  // size code 3 on the final sub-block
    EXPECT_TRUE(count == 31 || count == 63 || count == 127 || count == 255) << count;
    EXPECT_EQ(one.flags.size(), one.header.size());  // one flag per sub-block, plus the repeat
    EXPECT_EQ(one.flags.back(), one.flags[one.flags.size() - 2]);
  }

  Bytes tailed = block;
  tailed.push_back(9);
  tailed.push_back(0);
  Streams tail = Encode(tailed, Level::Fastest);
  ASSERT_EQ(tail.header.size(), 3u);        // block header, tail header, count
  EXPECT_EQ(tail.header[1] & 12, 12);
  EXPECT_EQ(tail.header[2], 0);             // one sample
  EXPECT_EQ(tail.flags.size(), 2u);         // no repeated flag after a tail
}

TEST(BlockEncoder, MinusFullScaleIsSignOneMagnitudeZero) {
  // One sample of -32768 with predictor 0: sign 1, high part 0, no low bits.
  Streams s = Encode(test::Pcm({-32768}), Level::Fastest);
  ASSERT_EQ(s.header.size(), 2u);
  EXPECT_EQ(s.sign, Bytes{0x80});
  EXPECT_EQ(test::Hex(s.higher), "80 00");  // a lone stop bit: high part 0
  EXPECT_EQ(Decode(s, false), test::Pcm({-32768}));
}

TEST(BlockEncoder, ShiftEstimates) {
  std::uint16_t ones[4] = {1, 0, 0xFFFF, 0};
  EXPECT_EQ(CBlockEncoder::EstimateShift(ones, 4), 0);
  EXPECT_EQ(ones[2], 0x8001);  // rewritten into sign-magnitude form
  std::uint16_t big[2] = {0x8000, 0x8000};  // -32768 counts as 32768
  EXPECT_EQ(CBlockEncoder::EstimateShift(big, 2), 15);
  EXPECT_EQ(CBlockEncoder::RefineShift(15, big, 2), 14);
}

// The bit writer against a plain one, a bit at a time: fields, unary codes
// short and long (the long ones take another path), and single puts mixed,
// so that codes end at every bit of a byte. Many writers, each ending after
// a different mix, and one over more than a buffer's worth, which crosses
// the points where the buffer goes out.
TEST(WordBitWriter, WritesWhatABitByBitWriterWrites) {
  std::mt19937 rng(5);
  WorkFolder dir;
  std::vector<std::uint16_t> values(512);
  for (int trial = 0; trial < 40; ++trial) {
    std::vector<bool> bits;
    {
      OutFile file(dir.File("bits.out"));
      WordBitWriter writer(file);
      const int rounds = trial == 0 ? 3000 : 1 + static_cast<int>(rng() % 30);
      for (int round = 0; round < rounds; ++round) {
        const int k = static_cast<int>(rng() % 15);
        const int n = 1 + static_cast<int>(rng() % values.size());
        const int kind = static_cast<int>(rng() % 8);
        for (auto& v : values) {
          const std::uint32_t h = kind == 0 ? rng() % 200 : rng() % 4;  // kind 0: some codes over 48 bits
          v = static_cast<std::uint16_t>(std::min<std::uint32_t>((h << k) | (rng() & ((1u << k) - 1)), 0x7FFF));
        }
        if (kind < 5) {
          writer.PutUnary(values.data(), n, k);
          for (int i = 0; i < n; ++i) {
            bits.insert(bits.end(), values[i] >> k, false);
            bits.push_back(true);
          }
        } else if (kind < 7 && k > 0) {
          writer.PutFields(values.data(), n, k);
          for (int i = 0; i < n; ++i)
            for (int b = k - 1; b >= 0; --b) bits.push_back((values[i] >> b) & 1);
        } else {
          const int width = 1 + static_cast<int>(rng() % 16);
          writer.Put(values[0] & ((1u << width) - 1), width);
          for (int b = width - 1; b >= 0; --b) bits.push_back((values[0] >> b) & 1);
        }
        ASSERT_EQ(writer.bits(), bits.size());
      }
      writer.Finish();
      file.Close();
      if (trial == 0) ASSERT_GT(bits.size(), 8u << 16);  // more than one buffer
    }
    while (bits.size() % 16 != 0) bits.push_back(false);  // the last word is padded
    Bytes expected(bits.size() / 8, 0);
    for (std::size_t i = 0; i < bits.size(); ++i)
      if (bits[i]) expected[i / 8] = static_cast<std::uint8_t>(expected[i / 8] | 0x80 >> (i % 8));
    ASSERT_EQ(test::ReadAll(dir.File("bits.out")), expected) << "trial " << trial;
  }
}

TEST(BlockCodec, RoundTripsAtEveryLevel) {
  std::mt19937 rng(11);
  const Level levels[4] = {Level::Fastest, Level::Fast, Level::Normal, Level::Maximum};
  for (int round = 0; round < 24; ++round) {
    const std::size_t n = round < 8 ? static_cast<std::size_t>(round * 37) : rng() % 3000;
    std::vector<std::int16_t> samples;
    switch (round % 4) {
      case 0: samples = test::Noise(n, 32767, static_cast<unsigned>(round)); break;
      case 1: samples = test::Sweep(n, 20000, static_cast<unsigned>(round)); break;
      case 2: samples = test::Noise(n, 2, static_cast<unsigned>(round)); break;
      default: samples.assign(n, 0); if (n > 10) samples[n / 2] = -32768; break;
    }
    // Spikes in near silence: high parts of many thousand zero bits, runs
    // that fill whole words of the high-part stream.
    if (round % 8 == 7)
      for (std::size_t i = 5; i < n; i += 301) samples[i] = static_cast<std::int16_t>(i % 2 ? 32000 - i : 70 + i);
    const Bytes residual = test::Pcm(samples);
    for (Level level : levels) {
      const bool eight = level == Level::Fast || level == Level::Maximum;
      EXPECT_EQ(Decode(Encode(residual, level), eight), residual) << "round " << round;
    }
  }
}

// Blocks coded in ranges on several threads give the streams of one run,
// whether the high parts go to a file or through a channel with the later
// ranges' and the tail's parts joined afterwards.
TEST(BlockEncoder, ThreadsChangeNoByte) {
  for (std::size_t samples : {64u * 256, 64u * 256 + 77, 200u * 256 + 3}) {
    const Bytes residual = test::Pcm(test::Sweep(samples, 15000, static_cast<unsigned>(samples)));
    for (Level level : {Level::Fastest, Level::Maximum}) {
      const Streams one = Encode(residual, level, 1);
      for (unsigned threads : {1u, 2u, 3u})
        for (bool channelled : {false, true}) {
          if (threads == 1 && !channelled) continue;
          const Streams many = Encode(residual, level, threads, false, channelled);
          const std::string where = std::to_string(samples) + " samples, " + std::to_string(threads) + " threads" +
                                    (channelled ? ", channelled" : "");
          EXPECT_EQ(many.lower, one.lower) << where;
          EXPECT_EQ(many.higher, one.higher) << where;
          EXPECT_EQ(many.sign, one.sign) << where;
          EXPECT_EQ(many.header, one.header) << where;
          EXPECT_EQ(many.flags, one.flags) << where;
        }
    }
  }
}

// Two interleaved channels are coded as the left samples followed by the
// right ones, read in that order from the interleaved file, on any number of
// threads (ranges may start in either channel or straddle the two).
TEST(BlockEncoder, InterleavedChannelsCodeAsOneAfterTheOther) {
  for (std::size_t frames : {0u, 1u, 100u, 256u, 64u * 256 + 77, 100u * 256}) {
    const auto left = test::Sweep(frames, 15000, 3);
    const auto right = test::Sweep(frames, 9000, 11);
    std::vector<std::int16_t> interleaved, joined(left);
    joined.insert(joined.end(), right.begin(), right.end());
    for (std::size_t i = 0; i < frames; ++i) {
      interleaved.push_back(left[i]);
      interleaved.push_back(right[i]);
    }
    const Streams expected = Encode(test::Pcm(joined), Level::Maximum);
    for (unsigned threads : {1u, 2u, 3u}) {
      Bytes bytes = test::Pcm(interleaved);
      bytes.push_back(0x5A);  // a remainder of fewer than four bytes is left out
      bytes.push_back(0x5A);
      const Streams got = Encode(bytes, Level::Maximum, threads, true);
      EXPECT_EQ(got.lower, expected.lower) << frames << " frames, " << threads << " threads";
      EXPECT_EQ(got.higher, expected.higher) << frames << " frames, " << threads << " threads";
      EXPECT_EQ(got.sign, expected.sign);
      EXPECT_EQ(got.header, expected.header);
      EXPECT_EQ(got.flags, expected.flags);
    }
  }
}

TEST(BlockDecoder, ReconstructionEdgeCases) {
  WorkFolder dir;
  auto run = [&](CBlockDecoder& d) {
    {
      OutFile out(dir.File("o"));
      d.ReconstructBlock(out);
      out.Close();
    }
    Bytes b = test::ReadAll(dir.File("o"));
    std::vector<std::int16_t> v;
    for (std::size_t i = 0; i + 1 < b.size(); i += 2) v.push_back(static_cast<std::int16_t>(b[i] | (b[i + 1] << 8)));
    return v;
  };
  CBlockDecoder d;
  d.ResetBlockDecoder();
  // A silent sub-block with predictor 2 continues a straight line.
  d.SetHistory({10, 7, 0, 0, 0});
  d.DecodeBlockHeader(0xF0 | 1, 0);  // k = 15, size 32, code 1 = predictor 2
  EXPECT_EQ(d.predictor(), 2);
  auto line = run(d);
  EXPECT_EQ(std::vector<std::int16_t>(line.begin(), line.begin() + 3), (std::vector<std::int16_t>{13, 16, 19}));
  // A silent sub-block with predictor 0 writes zeros and zeroes the history,
  // so predictor 1 afterwards starts from 0.
  d.DecodeBlockHeader(0xF0 | 3, 0);
  EXPECT_EQ(run(d), std::vector<std::int16_t>(32, 0));
  d.DecodeBlockHeader(0xF0 | 0, 0);
  EXPECT_EQ(run(d), std::vector<std::int16_t>(32, 0));
  // Predictor 4 on the history 1..5 predicts 6.
  d.SetHistory({5, 4, 3, 2, 1});
  d.DecodeBlockHeader(0xF0 | 3, 1);
  EXPECT_EQ(d.predictor(), 4);
  d.SetLength(1);
  EXPECT_EQ(run(d), std::vector<std::int16_t>{6});
  // Sign 1 with magnitude 0 is -32768; 32767 + 1 wraps to -32768.
  d.SetHistory({0, 0, 0, 0, 0});
  d.DecodeBlockHeader(0x00 | 3, 0);
  d.SetLength(1);
  d.signs[0] = 1;
  EXPECT_EQ(run(d), std::vector<std::int16_t>{-32768});
  d.SetHistory({32767, 0, 0, 0, 0});
  d.DecodeBlockHeader(0x00 | 0, 0);  // predictor 1
  d.SetLength(1);
  d.signs[0] = 0;
  d.highParts[0] = 1;
  EXPECT_EQ(run(d), std::vector<std::int16_t>{-32768});
}

// The low bits of sub-blocks of every width, whole groups of eight and
// counts that leave a sub-block starting within a byte.
TEST(BlockDecoder, LowBitsOfEveryWidthFromAnyBit) {
  std::mt19937 rng(5);
  std::vector<std::pair<int, int>> blocks;  // count, width
  for (int k = 1; k <= 15; ++k)
    for (int count : {256, 8, 13, 64, 3, 200, 1, 255}) blocks.emplace_back(count, k);
  std::vector<std::vector<std::uint16_t>> fields;
  Bytes stream;
  int bits = 0;
  for (auto [count, k] : blocks) {
    fields.emplace_back();
    for (int i = 0; i < count; ++i) {
      const auto v = static_cast<std::uint16_t>(rng() & ((1u << k) - 1));
      fields.back().push_back(v);
      for (int b = k - 1; b >= 0; --b, ++bits) {
        if (bits % 8 == 0) stream.push_back(0);
        stream.back() = static_cast<std::uint8_t>(stream.back() | ((v >> b) & 1) << (7 - bits % 8));
      }
    }
  }
  WorkFolder dir;
  test::WriteAll(dir.File("Lower.out"), stream);
  InFile in(dir.File("Lower.out"));
  CBlockDecoder d;
  d.ResetBlockDecoder();
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    d.ReadLowerBits(in, blocks[b].first, blocks[b].second);
    ASSERT_EQ(std::vector<std::uint16_t>(d.lowParts, d.lowParts + blocks[b].first), fields[b])
        << "count " << blocks[b].first << ", width " << blocks[b].second;
  }
  EXPECT_EQ(in.Get(), EOF);  // every byte read, and no more
}

// The high parts of sub-blocks of several shifts: short runs many to a
// byte, runs over many bytes, and sub-blocks that end within a byte.
TEST(BlockDecoder, HighPartsOfEveryLengthAcrossBytes) {
  std::mt19937 rng(9);
  struct Block {
    int count, header;
    std::vector<std::uint16_t> parts;
  };
  std::vector<Block> blocks;
  Bytes stream;
  int bits = 0;
  auto put = [&](int bit) {
    if (bits++ % 8 == 0) stream.push_back(0);
    stream.back() = static_cast<std::uint8_t>(stream.back() | bit << (7 - (bits - 1) % 8));
  };
  for (int round = 0; round < 60; ++round) {
    const int header = static_cast<int>(rng() % 15) << 4;  // the shift, with the smallest sub-block size
    const int limit = 0x7FFF >> (header >> 4);
    Block b{static_cast<int>(1 + rng() % 40), header, {}};
    for (int i = 0; i < b.count; ++i) {
      const int kind = static_cast<int>(rng() % 10);
      const int run = kind < 6 ? static_cast<int>(rng() % 3) : kind < 9 ? static_cast<int>(rng() % 20) : limit;
      b.parts.push_back(static_cast<std::uint16_t>(std::min(run, limit)));
      for (int z = 0; z < b.parts.back(); ++z) put(0);
      put(1);
    }
    blocks.push_back(b);
  }
  while (bits % 16 != 0) put(0);
  WorkFolder dir;
  test::WriteAll(dir.File("Higher.out"), stream);
  InFile in(dir.File("Higher.out"));
  FileReader reader(in);
  CBlockDecoder d;
  d.ResetBlockDecoder();
  for (const Block& b : blocks) {
    d.DecodeBlockHeader(b.header, 0);
    ASSERT_EQ(d.shift(), b.header >> 4);
    d.ReadHigherBits(reader, b.count);
    ASSERT_EQ(std::vector<std::uint16_t>(d.highParts, d.highParts + b.count), b.parts) << "shift " << d.shift();
  }
}

TEST(BlockDecoder, InconsistentStreamsAreDamaged) {
  const Bytes residual = test::Pcm(test::Sweep(700, 9000, 4));
  const Streams good = Encode(residual, Level::Maximum);
  auto expectDamaged = [&](Streams s, const char* what) {
    try {
      Decode(s, true);
      ADD_FAILURE() << what;
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), ErrorKind::Damaged) << what;
    }
  };
  Streams s = good;
  s.flags.pop_back();
  expectDamaged(s, "a flag missing");
  s = good;
  s.flags[0] = 2;
  expectDamaged(s, "a flag of 2");
  s = good;
  s.higher.resize(s.higher.size() / 2);
  expectDamaged(s, "high parts cut short");
  s = good;
  s.sign.pop_back();
  expectDamaged(s, "a sign byte missing");
  s = good;
  s.header.insert(s.header.begin(), 0x45);  // a 64-sample sub-block in front of the first block
  s.flags.insert(s.flags.begin(), 0);
  expectDamaged(s, "sub-blocks that do not tile their blocks");
  s = good;
  s.flags[0] = 1;  // predictors 4..7 in an archive of the four-predictor set
  EXPECT_THROW(Decode(s, false), Error);
}

}  // namespace
}  // namespace ost
