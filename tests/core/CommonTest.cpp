#include <gtest/gtest.h>

#include <vector>

#include <string>

#include "common/Crc32.h"
#include "common/Errors.h"
#include "common/Password.h"
#include "common/PendingOutput.h"
#include "TestUtil.h"

namespace ost {
namespace {

TEST(Crc32, CheckValueInPiecesAndWhole) {
  const std::string text = "123456789";
  Crc32 whole;
  whole.Update(text.data(), text.size());
  EXPECT_EQ(whole.Value(), 0xCBF43926u);
  Crc32 pieces;  // any split gives the same value as the 16-byte steps
  pieces.Update(text.data(), 2);
  pieces.Update(text.data() + 2, 7);
  EXPECT_EQ(pieces.Value(), 0xCBF43926u);
  const std::string fox = "The quick brown fox jumps over the lazy dog";  // two 16-byte steps and the rest
  Crc32 longer;
  longer.Update(fox.data(), fox.size());
  EXPECT_EQ(longer.Value(), 0x414FA339u);
}

TEST(Crc32, CombinedPiecesGiveTheWhole) {
  std::vector<std::uint8_t> data(100000);
  std::uint32_t seed = 7;
  for (auto& b : data) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(seed >> 24);
  }
  Crc32 whole;
  whole.Update(data.data(), data.size());
  for (std::size_t split : {std::size_t{0}, std::size_t{1}, std::size_t{9}, std::size_t{4096}, std::size_t{99999},
                            data.size()}) {
    Crc32 a, b;
    a.Update(data.data(), split);
    b.Update(data.data() + split, data.size() - split);
    EXPECT_EQ(Crc32::Combine(a.Value(), b.Value(), data.size() - split), whole.Value()) << split;
  }
}

TEST(Password, RecordBytes) {
  EXPECT_EQ(PasswordRecord("abc"), std::string("\x03" "abc"));
  EXPECT_EQ(PasswordRecord(""), std::string(1, '\0'));
  EXPECT_EQ(PasswordRecord("caf\xc3\xa9"), std::string("\x04" "caf\xe9"));       // Windows-1252
  EXPECT_EQ(PasswordRecord("\xe2\x82\xac"), std::string("\x01\x80"));            // the euro sign is 0x80 there
  EXPECT_NO_THROW(PasswordRecord("fourteen chars"));
  EXPECT_THROW(PasswordRecord("fifteen chars!!"), Error);
  EXPECT_THROW(PasswordRecord("\xff"), Error);  // not UTF-8
}

TEST(PendingOutput, AppearsOnlyWhenCommitted) {
  WorkFolder dir;
  const auto target = dir.File("out.bin");
  {
    PendingOutput out(target, false);
    test::WriteAll(out.temp(), {1, 2, 3});
    EXPECT_FALSE(std::filesystem::exists(target));
  }  // dropped: nothing is left, not even the temporary file
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  {
    PendingOutput out(target, false);
    test::WriteAll(out.temp(), {1, 2, 3});
    out.Commit();
  }
  EXPECT_EQ(test::ReadAll(target), (test::Bytes{1, 2, 3}));
  EXPECT_THROW(PendingOutput(target, false), Error);
  {
    // A file that appears at the target while the job runs is not replaced.
    PendingOutput late(dir.File("late.bin"), false);
    test::WriteAll(dir.File("late.bin"), {9});
    EXPECT_THROW(late.Commit(), Error);
  }
  EXPECT_EQ(test::ReadAll(dir.File("late.bin")), test::Bytes{9});
  {
    PendingOutput replace(target, true);
    test::WriteAll(replace.temp(), {4});
    replace.Commit();
  }
  EXPECT_EQ(test::ReadAll(target), test::Bytes{4});
}

}  // namespace
}  // namespace ost
