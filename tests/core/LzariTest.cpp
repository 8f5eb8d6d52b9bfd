#include <gtest/gtest.h>

#include <random>

#include "common/Errors.h"
#include "lzari/LzariDecoder.h"
#include "lzari/LzariEncoder.h"
#include "TestUtil.h"

namespace ost {
namespace {

using test::Bytes;

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

}  // namespace
}  // namespace ost
