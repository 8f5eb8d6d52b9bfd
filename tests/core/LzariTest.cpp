#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <future>
#include <random>
#include <string>

#include "TestUtil.h"
#include "common/ByteChannel.h"
#include "common/ByteReader.h"
#include "common/Errors.h"
#include "common/Parallel.h"
#include "lzari/LzariDecoder.h"
#include "lzari/LzariEncoder.h"

namespace ost {
namespace {

using test::Bytes;

// FNV-1a over the bytes, then the length: a compact fingerprint of a stream.
std::uint64_t Fingerprint(const Bytes& bytes) {
  std::uint64_t h = 14695981039346656037ull;
  for (std::uint8_t b : bytes) h = (h ^ b) * 1099511628211ull;
  return h ^ bytes.size();
}

// Inputs from the generator's raw outputs only, so they are the same with
// every standard library.
Bytes Random(std::size_t n, std::uint32_t seed, unsigned alphabet = 256) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng() % alphabet);
  return b;
}
// Mostly small values, geometrically fewer large ones: many symbols, a few
// of them very frequent.
Bytes Skewed(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(std::countr_zero(rng() | 0x80000000u) * 7);
  return b;
}
// Chunks repeated at several distances, with some noise: matches of every
// length, and equal-length candidates at different distances.
Bytes Repeats(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b;
  while (b.size() < n) {
    if (b.size() > 100 && rng() % 4 != 0) {
      const std::size_t from = b.size() - 1 - rng() % std::min<std::size_t>(b.size(), 5000);
      const std::size_t len = 1 + rng() % 70;
      for (std::size_t k = 0; k < len; ++k) b.push_back(b[from + k]);
    } else {
      b.push_back(static_cast<std::uint8_t>(rng() % 40));
    }
  }
  b.resize(n);
  return b;
}

Bytes RoundTrip(const Bytes& input) {
  Bytes coded = CLzariEncoder::EncodeBytes(input);
  Bytes back = CLzariDecoder::DecodeBytes(coded);
  EXPECT_EQ(back, input) << "length " << input.size();
  return coded;
}

TEST(Lzari, EdgeCasesRoundTrip) {
  EXPECT_EQ(RoundTrip({}), Bytes(4, 0));  // the length alone, no code
  RoundTrip({42});
  RoundTrip(Bytes(59, 'a'));
  Bytes shortText{'h', 'e', 'l', 'l', 'o', ' ', 'h', 'e', 'l', 'l', 'o'};
  RoundTrip(shortText);
  // A long run codes as overlapping 60-byte matches at distance 1, about
  // ten bits each.
  EXPECT_LT(RoundTrip(Bytes(100000, 7)).size(), 2200u);
  // Leading spaces match the window's pre-filled spaces.
  Bytes spaces(300, ' ');
  spaces.push_back('x');
  EXPECT_LT(RoundTrip(spaces).size(), 20u);
  // A match of exactly 60 bytes, repeated, and equal candidates at two distances.
  Bytes pattern;
  for (int r = 0; r < 50; ++r)
    for (int i = 0; i < 60; ++i) pattern.push_back(static_cast<std::uint8_t>(i * 7 + (r % 3)));
  RoundTrip(pattern);
}

// The decoder's symbol search gives the symbol a plain scan of the counts
// gives, whether the processor counts bits in one instruction or not, for
// models of every shape: fresh, skewed, and after halvings.
TEST(Lzari, TheSymbolSearchAgreesWithAScanEitherWay) {
  lzari::SymbolModel model;
  model.InitModel();
  std::mt19937 rng(7);
  auto check = [&](std::uint32_t x) {
    int expected = 1;
    while (model.Cumulative(expected) > x) ++expected;
    std::uint32_t upperFast = 0, upperPlain = 0;
    ASSERT_EQ(model.Find<true>(x, upperFast), expected) << x;
    ASSERT_EQ(model.Find<false>(x, upperPlain), expected) << x;
    ASSERT_EQ(upperFast, model.Cumulative(expected - 1));
    ASSERT_EQ(upperPlain, upperFast);
  };
  for (int round = 0; round < 200; ++round) {
    for (std::uint32_t x : {0u, model.total - 1, model.total, model.total + 5, 0xFFFFu, 0xFFFFFFFFu}) check(x);
    for (int i = 0; i < 50; ++i) check(rng() % model.total);
    // A few symbols far more often than the rest, so runs of equal counts
    // form and break up, and the total passes the halving limit.
    for (int i = 0; i < 400; ++i) {
      const int symbol = 1 + static_cast<int>(rng() % 8 == 0 ? rng() % lzari::kSymbols : rng() % 5);
      model.AdaptModel(symbol);
    }
  }
}

TEST(Lzari, SkewedDataHalvesTheCountsOnBothSides) {
  // Far more than 32767 symbols of a skewed source: the model halves its
  // counts several times, and encoder and decoder must halve together.
  std::mt19937 rng(1);
  std::geometric_distribution<int> d(0.3);
  Bytes data(400000);
  for (auto& b : data) b = static_cast<std::uint8_t>(std::min(d(rng), 255));
  RoundTrip(data);
}

TEST(Lzari, RandomInputsOfManySizes) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    const std::size_t n = round < 100 ? static_cast<std::size_t>(round) : rng() % 20000;
    const int alphabet = 1 + static_cast<int>(rng() % 256);
    Bytes data(n);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng() % static_cast<unsigned>(alphabet));
    Bytes coded = RoundTrip(data);
    ASSERT_GE(coded.size(), 4u);
    EXPECT_EQ(coded[0] | (coded[1] << 8) | (coded[2] << 16) | (coded[3] << 24), static_cast<int>(n));
  }
}

TEST(Lzari, FilesCodeLikeMemory) {
  WorkFolder dir;
  Bytes data = test::Pcm(test::Sweep(5000, 3000, 2));
  test::WriteAll(dir.File("Higher.out"), data);
  CLzariEncoder(dir.File("Higher.out"), dir.File("Higher1.out"), "Write Error").CompressFile();
  EXPECT_EQ(test::ReadAll(dir.File("Higher1.out")), CLzariEncoder::EncodeBytes(data));
  CLzariDecoder(dir.File("Higher1.out"), dir.File("back"), "Read Error_d").ExpandFile();
  EXPECT_EQ(test::ReadAll(dir.File("back")), data);
  EXPECT_THROW(CLzariEncoder(dir.File("missing"), dir.File("x"), "Write Error").CompressFile(), Error);
  // A text read to its end, its length written last, codes the same bytes;
  // an empty one stays four bytes of length.
  for (const Bytes& text : {Bytes{}, Bytes{7}, Bytes(60, 1), data}) {
    SCOPED_TRACE(text.size());
    test::WriteAll(dir.File("text"), text);
    InFile in(dir.File("text"));
    FileReader reader(in);
    CLzariEncoder(dir.File("unused"), dir.File("coded"), "Write Error").CompressFrom(reader);
    EXPECT_EQ(test::ReadAll(dir.File("coded")), CLzariEncoder::EncodeBytes(text));
  }
}

TEST(Lzari, DamagedStreamsAreRefused) {
  std::mt19937 rng(3);
  Bytes data(20000);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng() % 40);
  const Bytes coded = CLzariEncoder::EncodeBytes(data);
  auto expectDamaged = [](const Bytes& bytes) {
    try {
      CLzariDecoder::DecodeBytes(bytes);
      ADD_FAILURE() << "accepted a damaged stream of " << bytes.size() << " bytes";
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), ErrorKind::Damaged);
    }
  };
  expectDamaged({1, 2});                                   // shorter than the length
  expectDamaged(Bytes(coded.begin(), coded.begin() + coded.size() / 2));  // code cut short
  Bytes huge = coded;
  huge[3] = 0x7F;  // announces ~2 GB from a few kilobytes of code
  expectDamaged(huge);
  expectDamaged({0, 0, 0, 0, 1});  // an empty stream with code bytes
}

// The coder works several code bits at a time, on a tree of 16-bit links and
// on blocked cumulative counts; these fingerprints were taken from the
// bit-at-a-time coder it replaced, so any change of a coded byte shows.
TEST(Lzari, CodedBytesStayThoseOfTheBitSerialCoder) {
  Bytes spaces(300, ' ');
  spaces.push_back('x');
  // Decoded from a code stream with a long run of equal bits: coding it owes
  // more than a hundred follow bits when the code ends.
  const Bytes follow = {0x4c, 0xc6, 0x3a, 0x3d, 0x10, 0x5d, 0xaf, 0x4b, 0xd9, 0x3f,
                        0x25, 0xd4, 0x39, 0x51, 0x4b, 0x77, 0xd6, 0x02, 0xed};
  struct Case {
    const char* name;
    Bytes input;
    std::uint64_t fingerprint;
    std::size_t size;
  };
  const Case cases[] = {
      {"empty", {}, 0x4d25767f9dce13f1ull, 4},
      {"one byte", {42}, 0xfc6f76c73ca117a7ull, 6},
      {"59 random", Random(59, 1), 0x413a9ad90f9bf4ffull, 66},
      {"60 random", Random(60, 2), 0xfc6b8e5a4e5e73e1ull, 67},
      {"61 random", Random(61, 3), 0x64b0a2f2985cadb8ull, 68},
      {"run of 59", Bytes(59, 'a'), 0x10ecfc37b98efa10ull, 8},
      {"run of 60", Bytes(60, 'a'), 0x49e8da6ad8da938aull, 8},
      {"run of 61", Bytes(61, 'a'), 0x5c0ab7167865ba16ull, 8},
      {"spaces", spaces, 0x1a95d2d754c06040ull, 16},
      {"long run", Bytes(100000, 7), 0xed98ee54d33567c3ull, 2076},
      {"random bytes", Random(200000, 4), 0x781f48ce5fbe13daull, 200316},
      {"skewed, halved often", Skewed(400000, 5), 0xf865e44b3a571bbcull, 133824},
      {"repeats", Repeats(300000, 6), 0x50053163fa9f324full, 30946},
      {"three symbols", Random(50000, 7, 3), 0x732e3058bbdf9d75ull, 12493},
      {"long follow run", follow, 0xa71bf65a22f28fc7ull, 24},
  };
  for (const Case& c : cases) {
    const Bytes coded = RoundTrip(c.input);
    EXPECT_EQ(Fingerprint(coded), c.fingerprint) << c.name;
    EXPECT_EQ(coded.size(), c.size) << c.name;
  }
}

// A run of 95 follow bits settled in the middle of the code, more than the
// coder emits in one step: the stream decodes to these bytes, and coding
// them gives the stream back bit for bit.
TEST(Lzari, LongFollowRunInsideTheCode) {
  const Bytes coded = {0x14, 0, 0, 0, 0x4b, 0xa3, 0xd2, 0x6c, 0x82, 0xed, 0xf0, 0xf8, 0xff,
                       0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xe3};
  const Bytes data = {0xdd, 0x44, 0xef, 0xb0, 0xf9, 0xe6, 0x89, 0x8a, 0x27, 0x46,
                      0xc6, 0x0f, 0xc4, 0x4c, 0xd9, 0xc2, 0xf6, 0x87, 0xba, 0xc1};
  EXPECT_EQ(CLzariDecoder::DecodeBytes(coded), data);
  EXPECT_EQ(CLzariEncoder::EncodeBytes(data), coded);
}

// The decoder fetches code bits ahead but must refuse, and accept, exactly
// what a bit-at-a-time reader did: outcomes taken from that reader.
TEST(Lzari, DamagedStreamOutcomesStayTheSame) {
  const Bytes coded = CLzariEncoder::EncodeBytes(Repeats(20000, 8));
  ASSERT_EQ(coded.size(), 2000u);
  auto outcome = [](const Bytes& bytes) -> std::string {
    try {
      return std::to_string(Fingerprint(CLzariDecoder::DecodeBytes(bytes)));
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), ErrorKind::Damaged);
      const std::string what = e.what();
      return what.find("runs past") != std::string::npos ? "match past end"
             : what.find("ends before") != std::string::npos ? "ends early"
                                                             : what;
    }
  };
  auto cut = [&](std::size_t k) { return outcome(Bytes(coded.begin(), coded.end() - static_cast<long>(k))); };
  auto flip = [&](std::size_t at) {
    Bytes bytes = coded;
    bytes[at] ^= 0x10;
    return outcome(bytes);
  };
  const std::string intact = std::to_string(Fingerprint(Repeats(20000, 8)));
  EXPECT_EQ(cut(1), "match past end");
  EXPECT_EQ(cut(2), std::to_string(0x8e2e7920b834f5d3ull));  // missing bits read as 1 and happen to decode
  for (std::size_t k = 3; k <= 6; ++k) EXPECT_EQ(cut(k), "ends early") << k;
  Bytes longer = coded;
  longer.push_back(0);  // read only as look-ahead bits
  EXPECT_EQ(outcome(longer), intact);
  EXPECT_EQ(flip(4), "ends early");
  EXPECT_EQ(flip(1000), "ends early");
  EXPECT_EQ(flip(1999), intact);
  // A stream with a long run of 1-bits, much of it past what its data needs.
  EXPECT_EQ(outcome({0x13, 0, 0, 0, 0xc1, 0x85, 0xa6, 0xcd, 0x4f, 0xf0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                     0xff, 0xff, 0xff, 0xff, 0xff, 0xff}),
            std::to_string(0xa729042bc0b3fd5aull));
}

// Two streams expanded on one thread into bounded channels come out whole
// whatever order their consumer reads them in: all of one first (the other
// waits while the first goes on alone), or both in turn. Lengths differ, so
// one ends long before the other.
// Decoding on demand gives the bytes of decoding at once, piece by piece,
// and the same checks at the stream's end; nothing comes after the end.
TEST(Lzari, OnDemandDecodingGivesTheSameBytesAndChecks) {
  WorkFolder dir;
  for (const Bytes& text : {Bytes{}, Random(10, 1), Skewed(50'000, 2), Random(20'000, 3, 4)}) {
    test::WriteAll(dir.File("coded"), CLzariEncoder::EncodeBytes(text));
    InFile in(dir.File("coded"));
    CLzariDecoder decoder({}, {}, {});
    Bytes back;
    int calls = 0;
    while (decoder.ExpandSome(in, back)) ++calls;
    EXPECT_EQ(back, text);
    EXPECT_GE(calls, static_cast<int>(text.size() / 4096));  // a round of the ring at most a call
    EXPECT_FALSE(decoder.ExpandSome(in, back));
  }
  // Code bytes after the data, and a stream that ends before its data.
  Bytes coded = CLzariEncoder::EncodeBytes(Skewed(50'000, 4));
  for (const Bytes& damaged : {[&] {
                                 Bytes b = coded;
                                 b.insert(b.end(), 40, 0x55);
                                 return b;
                               }(),
                               Bytes(coded.begin(), coded.end() - 40)}) {
    test::WriteAll(dir.File("damaged"), damaged);
    InFile in(dir.File("damaged"));
    CLzariDecoder decoder({}, {}, {});
    Bytes back;
    EXPECT_THROW(
        {
          while (decoder.ExpandSome(in, back)) {
          }
        },
        Error);
  }
}

TEST(Lzari, PairedStreamsComeOutWholeHoweverTheyAreRead) {
  WorkFolder dir;
  const Bytes first = Repeats(700'000, 11), second = Repeats(300'000, 12);
  test::WriteAll(dir.File("a"), CLzariEncoder::EncodeBytes(first));
  test::WriteAll(dir.File("b"), CLzariEncoder::EncodeBytes(second));
  enum class Order { FirstThenSecond, SecondThenFirst, InTurn };
  for (Order order : {Order::FirstThenSecond, Order::SecondThenFirst, Order::InTurn}) {
    SCOPED_TRACE(static_cast<int>(order));
    ChannelHub hub;
    ByteChannel channelA(1 << 16, &hub), channelB(1 << 16, &hub);
    auto decoding = std::async(std::launch::async, [&] {
      InFile inA(dir.File("a")), inB(dir.File("b"));
      CLzariDecoder a({}, {}, "Read Error_d"), b({}, {}, "Read Error3_d");
      ChannelWriter outA(channelA), outB(channelB);
      try {
        CLzariDecoder::ExpandPairInto(a, inA, outA, b, inB, outB);
      } catch (...) {
        channelA.Abort();
        channelB.Abort();
        throw;
      }
    });
    // A hang shows as a failure: after a while the channels are aborted,
    // which wakes both sides.
    std::promise<void> finished;
    auto watchdog = std::async(std::launch::async, [&, done = finished.get_future()] {
      if (done.wait_for(std::chrono::seconds(20)) == std::future_status::timeout) {
        channelA.Abort();
        channelB.Abort();
      }
    });
    ChannelReader readA(channelA), readB(channelB);
    Bytes gotA, gotB;
    auto take = [](ByteReader& r, Bytes& into, std::size_t n) {
      for (int c; n > 0 && (c = r.Get()) != EOF; --n) into.push_back(static_cast<std::uint8_t>(c));
    };
    bool hung = false;
    try {
      if (order == Order::FirstThenSecond) take(readA, gotA, ~std::size_t{0});
      if (order == Order::SecondThenFirst) take(readB, gotB, ~std::size_t{0});
      while (gotA.size() < first.size() || gotB.size() < second.size()) {
        const std::size_t a = gotA.size(), b = gotB.size();
        take(readA, gotA, 3000);
        take(readB, gotB, 500);
        if (gotA.size() == a && gotB.size() == b) break;
      }
      EXPECT_EQ(readA.Get(), EOF);
      EXPECT_EQ(readB.Get(), EOF);
    } catch (const TaskCancelled&) {
      hung = true;
    }
    finished.set_value();
    ASSERT_FALSE(hung) << "the paired decoders or their reader hung";
    decoding.get();
    EXPECT_TRUE(gotA == first && gotB == second);
  }
}

}  // namespace
}  // namespace ost
