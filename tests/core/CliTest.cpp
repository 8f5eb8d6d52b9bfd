#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/wait.h>

#include "TestUtil.h"

namespace ost {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

struct OtqRun {
  int status;
  std::string out;  // standard output and standard error together
};

OtqRun Otq(const std::string& args) {
  const std::string command = std::string(OSTINATO_OTQ) + " " + args + " 2>&1 </dev/null";
  OtqRun run{0, {}};
  FILE* pipe = popen(command.c_str(), "r");
  std::array<char, 4096> buffer;
  for (std::size_t got; (got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) run.out.append(buffer.data(), got);
  const int raw = pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return run;
}

std::string Q(const fs::path& p) { return "'" + p.string() + "'"; }

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wav = dir.File("take one.wav");
    test::WriteAll(wav, test::Wave(2, 44100, test::Sweep(30000, 9000, 21)));
    pcm = dir.File("voice.PCM");
    test::WriteAll(pcm, test::Pcm(test::Sweep(9000, 6000, 22)));
  }
  WorkFolder dir;
  fs::path wav, pcm;
};

TEST_F(CliTest, CompressListExtractRoundTrip) {
  OtqRun c = Otq("compress " + Q(wav) + " -r fast");
  ASSERT_EQ(c.status, 0) << c.out;
  EXPECT_NE(c.out.find("% saved"), std::string::npos) << c.out;
  const fs::path archive = dir.File("take one.otq");  // the source's name with .otq
  ASSERT_TRUE(fs::exists(archive));

  OtqRun l = Otq("list " + Q(archive));
  EXPECT_EQ(l.status, 0);
  EXPECT_NE(l.out.find(".wav (restores as take one.wav)"), std::string::npos) << l.out;
  EXPECT_NE(l.out.find("two (stereo)"), std::string::npos);
  EXPECT_NE(l.out.find("password:        no"), std::string::npos);

  fs::create_directory(dir.File("out"));
  OtqRun x = Otq("extract " + Q(archive) + " -d " + Q(dir.File("out")));
  ASSERT_EQ(x.status, 0) << x.out;
  EXPECT_EQ(test::ReadAll(dir.File("out") / "take one.wav"), test::ReadAll(wav));
  // Never replaced without -f.
  OtqRun again = Otq("extract " + Q(archive) + " -d " + Q(dir.File("out")));
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.out.find("already exists"), std::string::npos) << again.out;
  EXPECT_EQ(Otq("compress " + Q(wav) + " -r fast").status, 1);
  EXPECT_EQ(Otq("compress " + Q(wav) + " -r fast -f --verify").status, 0);

  OtqRun t = Otq("test " + Q(archive));
  EXPECT_EQ(t.status, 0);
  EXPECT_NE(t.out.find(": ok"), std::string::npos);
}

TEST_F(CliTest, HeaderlessSourcesNeedTheirChannels) {
  OtqRun c = Otq("compress " + Q(pcm));
  EXPECT_EQ(c.status, 1);
  EXPECT_NE(c.out.find("--channels mono"), std::string::npos) << c.out;
  EXPECT_FALSE(fs::exists(dir.File("voice.otq")));
  ASSERT_EQ(Otq("compress " + Q(pcm) + " --channels mono -o " + Q(dir.File("v.otq"))).status, 0);
  OtqRun x = Otq("extract " + Q(dir.File("v.otq")));
  ASSERT_EQ(x.status, 0) << x.out;
  EXPECT_EQ(test::ReadAll(dir.File("v.pcm")), test::ReadAll(pcm));  // last four characters replaced
}

TEST_F(CliTest, Passwords) {
  ASSERT_EQ(Otq("compress " + Q(wav) + " -o " + Q(dir.File("p.otq")) + " --password s3cret").status, 0);
  OtqRun none = Otq("extract " + Q(dir.File("p.otq")));
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.out.find("--password"), std::string::npos) << none.out;
  OtqRun wrong = Otq("extract " + Q(dir.File("p.otq")) + " --password S3cret");
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.out.find("You have Entered the WRONG PASSWORD!"), std::string::npos) << wrong.out;
  EXPECT_FALSE(fs::exists(dir.File("p.wav")));
  test::WriteAll(dir.File("pw.txt"), Bytes{'s', '3', 'c', 'r', 'e', 't', '\n'});
  EXPECT_EQ(Otq("extract " + Q(dir.File("p.otq")) + " --password-file " + Q(dir.File("pw.txt"))).status, 0);
  EXPECT_EQ(Otq("compress " + Q(wav) + " -f --password fifteen-chars!!").status, 1);
  EXPECT_EQ(Otq("list " + Q(dir.File("p.otq"))).out.find("s3cret"), std::string::npos);  // never printed
}

TEST_F(CliTest, DamageAndUsage) {
  ASSERT_EQ(Otq("compress " + Q(wav) + " -o " + Q(dir.File("d.otq"))).status, 0);
  Bytes archive = test::ReadAll(dir.File("d.otq"));
  archive.resize(archive.size() - 100);
  test::WriteAll(dir.File("cut.otq"), archive);
  OtqRun t = Otq("test " + Q(dir.File("cut.otq")) + " " + Q(dir.File("d.otq")));
  EXPECT_EQ(t.status, 1);
  EXPECT_NE(t.out.find("The archive is damaged"), std::string::npos) << t.out;
  EXPECT_NE(t.out.find("d.otq: ok"), std::string::npos) << t.out;
  OtqRun x = Otq("extract " + Q(dir.File("cut.otq")) + " -o " + Q(dir.File("cut.wav")));
  EXPECT_EQ(x.status, 1);
  EXPECT_FALSE(fs::exists(dir.File("cut.wav")));

  EXPECT_EQ(Otq("compress " + Q(wav) + " -r fastest2").status, 2);
  EXPECT_EQ(Otq("frobnicate").status, 2);
  EXPECT_EQ(Otq("--help").status, 0);
  EXPECT_EQ(Otq("compress " + Q(dir.File("a.flac"))).status, 1);
}

}  // namespace
}  // namespace ost
