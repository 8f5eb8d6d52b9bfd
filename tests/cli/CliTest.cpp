#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "TestUtil.h"

namespace ost {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

struct OtqRun {
  int status;
  std::string out;  // standard output and standard error together
};

// Runs a command line through the shell, in a session of its own without
// a terminal (otq would ask a password on the terminal the tests were run
// from): what it printed, and its status.
OtqRun Capture(const std::string& command) {
  OtqRun run{0, {}};
  std::string quoted;
  for (const char c : command) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  FILE* pipe = popen(("setsid -w sh -c '" + quoted + "'").c_str(), "r");
  std::array<char, 4096> buffer;
  for (std::size_t got; (got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) run.out.append(buffer.data(), got);
  const int raw = pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return run;
}

OtqRun Otq(const std::string& args) { return Capture(std::string(OSTINATO_OTQ) + " " + args + " 2>&1 </dev/null"); }

std::string Q(const fs::path& p) { return "'" + p.string() + "'"; }
// The command that runs one of the tests' helper scripts (they give otq a
// terminal of its own, or feed it slowly).
std::string Script(const std::string& name) {
  return "python3 " + Q(std::string(OSTINATO_SOURCE_DIR) + "/tests/cli/scripts/" + name);
}

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
  EXPECT_NE(again.out.find("already exists (-f replaces it)"), std::string::npos) << again.out;
  EXPECT_EQ(Otq("compress " + Q(wav) + " -r fast").status, 1);
  EXPECT_EQ(Otq("compress " + Q(wav) + " -r fast -f --verify").status, 0);

  OtqRun t = Otq("test " + Q(archive));
  EXPECT_EQ(t.status, 0);
  EXPECT_NE(t.out.find(": ok"), std::string::npos);

  // An empty recording's archive is larger than it: nothing was saved, and
  // no percentage of nothing is claimed (it said "0.0% saved").
  test::WriteAll(dir.File("empty.pcm"), {});
  test::WriteAll(dir.File("blank.pcm"), {});
  OtqRun e = Otq("compress " + Q(dir.File("empty.pcm")) + " --channels mono");
  ASSERT_EQ(e.status, 0) << e.out;
  const std::string sizes = ": 0 -> " + std::to_string(fs::file_size(dir.File("empty.otq"))) + " bytes, ";
  EXPECT_NE(e.out.find(sizes), std::string::npos) << e.out;
  EXPECT_EQ(e.out.find("saved"), std::string::npos) << e.out;
  OtqRun both = Otq("compress " + Q(dir.File("empty.pcm")) + " " + Q(dir.File("blank.pcm")) + " --channels mono -d " +
                    Q(dir.File("out")));
  EXPECT_EQ(both.status, 0) << both.out;
  EXPECT_EQ(both.out.find("saved"), std::string::npos) << both.out;
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
  // An empty password (an unset variable, say) is refused before any work,
  // as an empty password file is; it made an archive that asks for a
  // password and takes none. Such archives still open with --password ''.
  OtqRun empty = Otq("compress " + Q(wav) + " -o " + Q(dir.File("e.otq")) + " --password ''");
  EXPECT_EQ(empty.status, 2) << empty.out;
  EXPECT_NE(empty.out.find("--password is empty"), std::string::npos) << empty.out;
  EXPECT_FALSE(fs::exists(dir.File("e.otq")));
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
  // -q, as for the other commands: the damaged one only.
  OtqRun quiet = Otq("test -q " + Q(dir.File("cut.otq")) + " " + Q(dir.File("d.otq")));
  EXPECT_EQ(quiet.status, 1);
  EXPECT_NE(quiet.out.find("The archive is damaged"), std::string::npos) << quiet.out;
  EXPECT_EQ(quiet.out.find("d.otq: ok"), std::string::npos) << quiet.out;
  EXPECT_EQ(Otq("test --quiet " + Q(dir.File("d.otq"))).out, "");
  OtqRun x = Otq("extract " + Q(dir.File("cut.otq")) + " -o " + Q(dir.File("cut.wav")));
  EXPECT_EQ(x.status, 1);
  EXPECT_FALSE(fs::exists(dir.File("cut.wav")));

  EXPECT_EQ(Otq("compress " + Q(wav) + " -r fastest2").status, 2);
  OtqRun unknown = Otq("frobnicate");
  EXPECT_EQ(unknown.status, 2);
  EXPECT_TRUE(unknown.out.find("unknown command 'frobnicate'") != std::string::npos) << unknown.out;
  EXPECT_EQ(Otq("--help").status, 0);
  EXPECT_EQ(Otq("compress " + Q(dir.File("a.flac"))).status, 1);
  // A source of another kind is told what compress takes (it was "Invalid
  // file name"), and an archive where to go instead.
  OtqRun other = Otq("compress " + Q(dir.File("d.otq")));
  EXPECT_EQ(other.status, 1) << other.out;
  EXPECT_NE(other.out.find("d.otq is not a .wav or .pcm recording; otq extract restores an archive"), std::string::npos)
      << other.out;
  // A folder without --recursive is a usage error that says what to add
  // (compress said "Invalid file name"), before any other input is worked on.
  fs::create_directory(dir.File("takes"));
  for (const std::string& command : {"compress " + Q(wav), std::string("extract ") + Q(dir.File("d.otq"))}) {
    OtqRun folder = Otq(command + " " + Q(dir.File("takes")) + " -d " + Q(dir.File("out")));
    EXPECT_EQ(folder.status, 2) << folder.out;
    EXPECT_NE(folder.out.find("takes is a folder; give --recursive"), std::string::npos) << folder.out;
  }
  EXPECT_FALSE(fs::exists(dir.File("out")));
  // A recording given where an archive belongs is told for what it is (it
  // was "The archive is damaged: ...: head byte 0 is 82, not 0 or 1").
  OtqRun mixed = Otq("extract " + Q(wav) + " -o " + Q(dir.File("x.wav")));
  EXPECT_EQ(mixed.status, 1) << mixed.out;
  EXPECT_NE(mixed.out.find(wav.string() + " is a WAVE recording, not an archive"), std::string::npos) << mixed.out;
  // An empty name (an unset variable) is refused, not taken for no option:
  // -o "$OUT" wrote the archive beside its source.
  fs::create_directory(dir.File("empty"));
  const fs::path away = dir.File("empty") / "a.wav";
  fs::copy_file(wav, away);
  for (const std::string& args :
       {"compress " + Q(away) + " -o ''", "compress " + Q(away) + " -d ''", "compress " + Q(away) + " --keep-work ''",
        "compress " + Q(away) + " --password-file ''", "extract " + Q(dir.File("d.otq")) + " -o ''",
        "extract " + Q(dir.File("d.otq")) + " -d ''", "extract " + Q(dir.File("d.otq")) + " --password-file ''"}) {
    OtqRun empty = Otq(args);
    EXPECT_EQ(empty.status, 2) << args << "\n" << empty.out;
    EXPECT_NE(empty.out.find(" is empty"), std::string::npos) << empty.out;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.File("empty")), fs::directory_iterator()), 1);
  EXPECT_FALSE(fs::exists(dir.File("d.wav")));
}

}  // namespace
}  // namespace ost

namespace ost {
namespace {

// Runs a bash script (written to a file, so that it may quote freely).
OtqRun Shell(const std::string& script) {
  char name[] = "/tmp/otq-test-script-XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0 || write(fd, script.data(), script.size()) != static_cast<ssize_t>(script.size())) return {-1, "no script"};
  close(fd);
  return Capture(std::string("bash ") + name + " 2>&1 </dev/null; s=$?; rm -f " + name + "; exit $s");
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::size_t Leftovers(const fs::path& dir) {
  std::size_t n = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (Has(name, ".part-") || name.rfind("ostinato-job-", 0) == 0) ++n;
  }
  return n;
}

// A password file that is the standard input the data comes through would
// take the data's first bytes as the password (a pipe's reader takes more
// than a line), and the archive would hold what was left.
TEST_F(CliTest, APasswordFileCannotShareStandardInputWithTheData) {
  ASSERT_EQ(Otq("compress " + Q(wav) + " -o " + Q(dir.File("p.otq")) + " --password s3cret").status, 0);
  const std::string otq = OSTINATO_OTQ;
  Bytes pcm{'a', 'b', 'c', '\n'};
  pcm.resize(20000, 7);
  test::WriteAll(dir.File("line.pcm"), pcm);
  for (const std::string& run : {"cat " + Q(dir.File("line.pcm")) + " | " + otq + " compress - --channels mono -o " +
                                     Q(dir.File("s.otq")) + " --password-file /dev/stdin",
                                 "cat " + Q(dir.File("p.otq")) + " | " + otq + " extract - -o " +
                                     Q(dir.File("s.wav")) + " --password-file /dev/fd/0"}) {
    OtqRun both = Shell(run);
    EXPECT_EQ(both.status, 2) << run << both.out;
    EXPECT_NE(both.out.find("standard input"), std::string::npos) << both.out;
  }
  EXPECT_FALSE(fs::exists(dir.File("s.otq")));
  EXPECT_FALSE(fs::exists(dir.File("s.wav")));
  // From standard input, with the data in a file, it is the usual way.
  EXPECT_EQ(Shell("echo s3cret | " + otq + " extract " + Q(dir.File("p.otq")) + " -o " + Q(dir.File("s.wav")) +
                  " --password-file /dev/stdin")
                .status,
            0);
}

TEST_F(CliTest, TheIntegrityRecordIsWrittenByDefaultAndCanBeRequired) {
  ASSERT_EQ(Otq("compress " + Q(wav) + " -o " + Q(dir.File("i.otq"))).status, 0);
  ASSERT_EQ(Otq("compress " + Q(wav) + " --no-integrity -o " + Q(dir.File("n.otq"))).status, 0);
  const Bytes with = test::ReadAll(dir.File("i.otq")), without = test::ReadAll(dir.File("n.otq"));
  ASSERT_EQ(with.size(), without.size() + 16);
  EXPECT_EQ(std::string(with.end() - 16, with.end() - 12), "OTQC");
  EXPECT_TRUE(std::equal(without.begin(), without.end(), with.begin()));
  OtqRun t = Otq("test --require-integrity " + Q(dir.File("i.otq")) + " " + Q(dir.File("n.otq")));
  EXPECT_EQ(t.status, 1);
  EXPECT_TRUE(Has(t.out, "i.otq: ok (length and CRC-32 match")) << t.out;
  EXPECT_TRUE(Has(t.out, "n.otq: the archive has no integrity record")) << t.out;
  // A test writes nothing: its summary counts archives found sound, not bytes saved.
  EXPECT_TRUE(Has(t.out, "2 archives: 1 ok, 1 failed, ")) << t.out;
  EXPECT_EQ(Otq("extract --require-integrity " + Q(dir.File("n.otq")) + " -o " + Q(dir.File("n.wav"))).status, 1);
  EXPECT_FALSE(fs::exists(dir.File("n.wav")));
}

TEST_F(CliTest, OneRunNeverWritesOneTargetTwice) {
  const Bytes first = test::ReadAll(wav);
  fs::copy_file(wav, dir.File("take one.WAV"));
  test::WriteAll(dir.File("take one.pcm"), test::Pcm(test::Noise(5000, 100, 1)));
  OtqRun c = Otq("compress " + Q(wav) + " " + Q(dir.File("take one.WAV")) + " " + Q(dir.File("take one.pcm")) +
                 " --channels mono -f -j 1");
  EXPECT_EQ(c.status, 1);
  EXPECT_TRUE(Has(c.out, "take one.WAV: would write")) << c.out;
  EXPECT_TRUE(Has(c.out, "which " + wav.string() + " already writes")) << c.out;
  fs::create_directories(dir.File("out"));
  ASSERT_EQ(Otq("extract " + Q(dir.File("take one.otq")) + " -d " + Q(dir.File("out"))).status, 0);
  EXPECT_EQ(test::ReadAll(dir.File("out") / "take one.wav"), first);  // the first source's archive, kept

  fs::create_directories(dir.File("d1"));
  fs::create_directories(dir.File("d2"));
  ASSERT_EQ(Otq("compress " + Q(wav) + " -o " + Q(dir.File("d1/a.otq"))).status, 0);
  ASSERT_EQ(Otq("compress " + Q(pcm) + " --channels mono -o " + Q(dir.File("d2/a.otq"))).status, 0);
  // d2/a.otq restores as a.pcm, d1/a.otq as a.wav: different targets. The same kind twice is refused.
  fs::copy_file(dir.File("d1/a.otq"), dir.File("d2/b.otq"));
  fs::copy_file(dir.File("d1/a.otq"), dir.File("d2/a.otq"), fs::copy_options::overwrite_existing);
  OtqRun x = Otq("extract " + Q(dir.File("d1/a.otq")) + " " + Q(dir.File("d2/a.otq")) + " -d " +
                 Q(dir.File("restored")) + " -f -j 2");
  EXPECT_EQ(x.status, 1);
  EXPECT_TRUE(Has(x.out, "d2/a.otq: would write")) << x.out;
  EXPECT_EQ(test::ReadAll(dir.File("restored/a.wav")), first);  // -d made the folder
}

TEST_F(CliTest, AnOutputThatIsItsOwnSourceIsRefused) {
  const Bytes original = test::ReadAll(wav);
  fs::create_hard_link(wav, dir.File("linked.otq"));
  for (const fs::path& out : {wav, dir.File("linked.otq")}) {
    OtqRun c = Otq("compress " + Q(wav) + " -o " + Q(out) + " -f");
    EXPECT_EQ(c.status, 1) << c.out;
    EXPECT_TRUE(Has(c.out, "is the source itself")) << c.out;
    EXPECT_EQ(test::ReadAll(wav), original);
  }
  ASSERT_EQ(Otq("compress " + Q(wav) + " -o " + Q(dir.File("x.otq"))).status, 0);
  const Bytes archive = test::ReadAll(dir.File("x.otq"));
  EXPECT_EQ(Otq("extract " + Q(dir.File("x.otq")) + " -o " + Q(dir.File("x.otq")) + " -f").status, 1);
  EXPECT_EQ(test::ReadAll(dir.File("x.otq")), archive);

  // The same file reached through a standard stream: as the standard input
  // that -o names, or as the standard output the input is appended to.
  // Messages come through standard error, sent where standard output was.
  const std::string otq = std::string(OSTINATO_OTQ) + " ";
  for (const auto& [command, said] :
       {std::pair(otq + "compress - -o " + Q(wav) + " -f 2>&1 < " + Q(wav), "is the source itself"),
        std::pair(otq + "extract - -o " + Q(dir.File("x.otq")) + " -f 2>&1 < " + Q(dir.File("x.otq")),
                  "is the archive itself"),
        std::pair(otq + "compress " + Q(wav) + " -o - -f 2>&1 >> " + Q(wav), "is also the standard output"),
        std::pair(otq + "extract " + Q(dir.File("x.otq")) + " -o /dev/stdout -f 2>&1 >> " + Q(dir.File("x.otq")),
                  "is also the standard output")}) {
    OtqRun c = Capture(command);
    EXPECT_EQ(c.status, 1) << command << "\n" << c.out;
    EXPECT_TRUE(Has(c.out, said)) << command << "\n" << c.out;
    EXPECT_EQ(test::ReadAll(wav), original) << command;
    EXPECT_EQ(test::ReadAll(dir.File("x.otq")), archive) << command;
  }
}

TEST_F(CliTest, PasswordFilesThatGiveNoPasswordAreErrors) {
  test::WriteAll(dir.File("empty.txt"), {});
  test::WriteAll(dir.File("blank.txt"), Bytes{'\n', 'x', '\n'});
  fs::create_directory(dir.File("folder"));
  for (const std::string& file : {dir.File("empty.txt").string(), dir.File("blank.txt").string(),
                                  dir.File("folder").string(), std::string("/dev/null")}) {
    OtqRun c = Otq("compress " + Q(wav) + " -o " + Q(dir.File("p.otq")) + " --password-file " + Q(file));
    EXPECT_EQ(c.status, 1) << file;
    EXPECT_TRUE(Has(c.out, file)) << c.out;
    EXPECT_FALSE(fs::exists(dir.File("p.otq")));
  }
  // A file saved with CRLF line ends holds the password without the CR.
  test::WriteAll(dir.File("crlf.txt"), Bytes{'s', '3', 'c', 'r', 'e', 't', '\r', '\n'});
  ASSERT_EQ(Otq("compress " + Q(wav) + " -o " + Q(dir.File("p.otq")) + " --password-file " + Q(dir.File("crlf.txt"))).status, 0);
  EXPECT_EQ(Otq("extract " + Q(dir.File("p.otq")) + " --password s3cret").status, 0);
  // The wrong password names its archive; a test needs no password at all.
  OtqRun wrong = Otq("extract " + Q(dir.File("p.otq")) + " -f --password nope");
  EXPECT_TRUE(Has(wrong.out, "otq: " + dir.File("p.otq").string() + ": You have Entered the WRONG PASSWORD!")) << wrong.out;
  EXPECT_EQ(Otq("test " + Q(dir.File("p.otq"))).status, 0);
  // Characters the archive's code page cannot hold are refused.
  OtqRun wide = Otq("compress " + Q(wav) + " -f -o " + Q(dir.File("w.otq")) + " --password " + Q("\xc3\xa9\xe4\xb8\xad"));
  EXPECT_EQ(wide.status, 1) << wide.out;
  EXPECT_TRUE(Has(wide.out, "Windows-1252")) << wide.out;
}

TEST_F(CliTest, SourcesThatAreNotFilesAndShortNames) {
  fs::create_symlink("/dev/zero", dir.File("zero.pcm"));
  OtqRun c =
      Shell("timeout 20 " + std::string(OSTINATO_OTQ) + " compress " + Q(dir.File("zero.pcm")) + " --channels mono");
  EXPECT_EQ(c.status, 1) << c.out;  // not 124: a device is not read until it ends
  EXPECT_TRUE(Has(c.out, "is not a regular file")) << c.out;
  ASSERT_EQ(Otq("compress " + Q(wav) + " -o " + Q(dir.File("ab"))).status, 0);
  ASSERT_EQ(Otq("extract " + Q(dir.File("ab"))).status, 0);
  EXPECT_EQ(test::ReadAll(dir.File("ab.wav")), test::ReadAll(wav));
}

// A named pipe or a process substitution is read to its end, as standard
// input is (it said "not a regular file" or "Invalid file name").
TEST_F(CliTest, NamedPipesAreReadLikeStandardInput) {
  const std::string otq = OSTINATO_OTQ;
  ASSERT_EQ(Otq("compress " + Q(wav) + " -o " + Q(dir.File("file.otq"))).status, 0);
  OtqRun sub = Shell("cd " + Q(dir.path()) + " && " + otq + " compress <(cat " + Q(wav) + ") -o sub.otq && " + otq +
                     " extract <(cat sub.otq) -o sub.wav && cmp sub.wav " + Q(wav) + " && " + otq +
                     " list <(cat file.otq) && " + otq + " test <(cat file.otq)");
  EXPECT_EQ(sub.status, 0) << sub.out;
  EXPECT_EQ(test::ReadAll(dir.File("sub.otq")).size(), test::ReadAll(dir.File("file.otq")).size());
  // /dev/stdin is standard input, whether the shell gives it a pipe or a
  // file (a file was refused as "not a .wav or .pcm recording").
  OtqRun named = Shell("cd " + Q(dir.path()) + " && " + otq + " compress /dev/stdin -o stdin.otq < " + Q(wav) +
                       " && " + otq + " extract /dev/stdin -o stdin.wav < stdin.otq && cmp stdin.wav " + Q(wav));
  EXPECT_EQ(named.status, 0) << named.out;
  // A pipe whose name gives no archive name needs -o.
  OtqRun where = Shell(otq + " compress <(cat " + Q(wav) + ")");
  EXPECT_EQ(where.status, 2) << where.out;
  EXPECT_TRUE(Has(where.out, "-o")) << where.out;
  // A named pipe whose writer comes later is waited for, and its outputs are
  // named after it as a file's are.
  ASSERT_EQ(mkfifo(dir.File("later.wav").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(dir.File("later.otq").c_str(), 0600), 0);
  OtqRun later = Shell("cd " + Q(dir.path()) + "\n(sleep 1; cat " + Q(wav) + " > later.wav) &\n" + otq +
                       " compress later.wav -d out || exit 1\n(sleep 1; cat out/later.otq > later.otq) &\n" + otq +
                       " extract later.otq -d back && cmp back/later.wav " + Q(wav));
  EXPECT_EQ(later.status, 0) << later.out;
  // Two pipes of one name restore to one name under -d: the second is
  // refused before any work, even with -f, as two files would be.
  fs::create_directories(dir.File("a"));
  fs::create_directories(dir.File("b"));
  ASSERT_EQ(mkfifo(dir.File("a/x.otq").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(dir.File("b/x.otq").c_str(), 0600), 0);
  OtqRun twice = Shell("cd " + Q(dir.path()) +
                       "\nfor p in a b; do timeout 10 sh -c \"cat file.otq > $p/x.otq\" & done\n" +
                       otq + " extract a/x.otq b/x.otq -d two -f; s=$?; kill $(jobs -p) 2>/dev/null; wait; exit $s");
  EXPECT_EQ(twice.status, 1) << twice.out;
  EXPECT_TRUE(Has(twice.out, "which a/x.otq already writes")) << twice.out;
  EXPECT_EQ(test::ReadAll(dir.File("two/x.wav")), test::ReadAll(wav));
  EXPECT_EQ(Leftovers(dir.path()), 0u);
}

// An output folder that is not there is the reason given (it read
// "Resource temporarily unavailable").
TEST_F(CliTest, AMissingFolderIsTheReasonGiven) {
  ASSERT_EQ(Otq("compress " + Q(wav) + " -o " + Q(dir.File("a.otq"))).status, 0);
  const fs::path missing = dir.File("missing");
  for (const std::string& args : {"extract " + Q(dir.File("a.otq")) + " -o " + Q(missing / "a.wav"),
                                  "compress " + Q(wav) + " -o " + Q(missing / "a.otq")}) {
    OtqRun r = Otq(args);
    EXPECT_EQ(r.status, 1) << args << "\n" << r.out;
    EXPECT_TRUE(Has(r.out, "cannot create " + (missing / "a.").string())) << args << "\n" << r.out;
    EXPECT_TRUE(Has(r.out, "No such file or directory")) << args << "\n" << r.out;
  }
  // A file where the folder of -d should be (it said "filesystem error:
  // cannot create directories: Not a directory [...]").
  for (const std::string& args : {"extract " + Q(dir.File("a.otq")), "compress " + Q(wav)}) {
    OtqRun r = Otq(args + " -d " + Q(wav));
    EXPECT_EQ(r.status, 1) << args << "\n" << r.out;
    EXPECT_TRUE(Has(r.out, "cannot create folder " + wav.string() + ": ")) << args << "\n" << r.out;
    EXPECT_FALSE(Has(r.out, "filesystem error")) << args << "\n" << r.out;
  }
}

// A larger source, so that a job is still running when it is signalled.
class CliSignalTest : public CliTest {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    big = dir.File("big.wav");
    test::WriteAll(big, test::Wave(2, 44100, test::Noise(6'000'000, 8000, 9)));
    fs::create_directory(dir.File("tmp"));
  }
  // otq in the background with TMPDIR in the scratch folder; `then` runs
  // in the shell while it works; prints otq's status last.
  OtqRun RunAndSignal(const std::string& args, const std::string& then) {
    return Shell("export TMPDIR=" + Q(dir.File("tmp")) + "; " + std::string(OSTINATO_OTQ) + " " + args +
                 " & pid=$!; " + then + "; wait $pid; echo status=$?");
  }
  // Waits until the run has begun its job (its working folder exists), so
  // that a signal finds the job and not a process still starting, which a
  // loaded machine can hold up for longer than any fixed delay.
  std::string UntilTheJobRuns() const {
    return "for i in $(seq 200); do ls " + Q(dir.File("tmp")) + "/ostinato-job-* >/dev/null 2>&1 && break; sleep 0.05; done; sleep 0.2";
  }
  // The same for a job that may need no working folder: until it holds `file` open.
  static std::string UntilItHolds(const fs::path& file) {
    return "for i in $(seq 200); do ls -l /proc/$pid/fd 2>/dev/null | grep -qF " + Q(file) +
           " && break; sleep 0.05; done; sleep 0.2";
  }
  fs::path big;
};

TEST_F(CliSignalTest, HangUpTerminateAndInterruptLeaveNothing) {
  for (const auto& [signal, status] : {std::pair{"HUP", "129"}, {"TERM", "143"}, {"INT", "130"}}) {
    OtqRun r = RunAndSignal("compress " + Q(big) + " -r extreme -o " + Q(dir.File("big.otq")),
                            UntilTheJobRuns() + "; kill -" + signal + " $pid");
    EXPECT_TRUE(Has(r.out, std::string("status=") + status)) << signal << r.out;
    EXPECT_TRUE(Has(r.out, "Compression Cancelled")) << r.out;
    EXPECT_FALSE(fs::exists(dir.File("big.otq")));
    EXPECT_EQ(Leftovers(dir.path()), 0u) << signal;
  }
}

// A stop that cannot finish (the restored bytes wait on a pipe nobody
// reads) is ended by a second request, still removing what the run made.
// One request delivered twice, as timeout(1) delivers it (to the process
// and to its group), is not a second request.
TEST_F(CliSignalTest, ASecondRequestEndsAStuckStopAtOnce) {
  ASSERT_EQ(Otq("compress " + Q(big) + " -r fastest -o " + Q(dir.File("big.otq"))).status, 0);
  const fs::path fifo = dir.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  OtqRun r =
      RunAndSignal("extract " + Q(dir.File("big.otq")) + " -o " + Q(fifo),
                   "sleep 10 < " + Q(fifo) + " & reader=$!; " + UntilItHolds(fifo) +
                       "; kill -TERM $pid; sleep 0.01; kill -TERM $pid; sleep 0.5; kill -0 $pid && echo still-running;"
                       " kill -INT $pid; kill $reader");
  EXPECT_TRUE(Has(r.out, "still-running")) << r.out;
  EXPECT_TRUE(Has(r.out, "stopped at once")) << r.out;
  EXPECT_TRUE(Has(r.out, "status=143")) << r.out;
  EXPECT_EQ(Leftovers(dir.path()), 0u);
}

TEST_F(CliSignalTest, AClosedOutputPipeStopsTheRunAndSaysSo) {
  fs::copy_file(big, dir.File("big2.wav"));
  OtqRun r = Shell("export TMPDIR=" + Q(dir.File("tmp")) + "; " + std::string(OSTINATO_OTQ) + " compress " + Q(big) +
                   " " + Q(dir.File("big2.wav")) + " -r extreme -j 2 | head -c 0; echo status=${PIPESTATUS[0]}");
  EXPECT_TRUE(Has(r.out, "status=141")) << r.out;
  EXPECT_TRUE(Has(r.out, "standard output was closed")) << r.out;
  // Seen while the jobs run, not when they first print: they stop unfinished.
  EXPECT_FALSE(fs::exists(dir.File("big.otq")));
  EXPECT_FALSE(fs::exists(dir.File("big2.otq")));
  EXPECT_EQ(Leftovers(dir.path()), 0u);
}

// A reader of the data on standard output that leaves early (head, a
// player closed): the write that fails on its pipe is that stop, as SIGPIPE
// would be, not a failure of the job, whichever sees it first.
TEST_F(CliSignalTest, AReaderThatLeavesTheDataPipeEarlyStopsTheRun) {
  ASSERT_EQ(Otq("compress " + Q(big) + " -r fastest -o " + Q(dir.File("big.otq"))).status, 0);
  const std::string otq = "export TMPDIR=" + Q(dir.File("tmp")) + "; " + std::string(OSTINATO_OTQ) + " ";
  for (const std::string& args : {"extract " + Q(dir.File("big.otq")) + " -o -", "compress " + Q(big) + " -r fastest -o -"})
    for (const char* reader : {"head -c 1000 >/dev/null", "sleep 0.3"}) {
      const std::string where = args + " | " + reader;
      OtqRun r = Shell(otq + args + " | " + reader + "; echo status=${PIPESTATUS[0]}");
      EXPECT_TRUE(Has(r.out, "status=141")) << where << r.out;
      EXPECT_TRUE(Has(r.out, "standard output was closed")) << where << r.out;
      EXPECT_FALSE(Has(r.out, "cannot write")) << where << r.out;
      EXPECT_EQ(Leftovers(dir.path()), 0u) << where;
    }
  // A named pipe given as -o whose reader leaves is named as such (it said
  // "standard output was closed").
  ASSERT_EQ(mkfifo(dir.File("out.fifo").c_str(), 0600), 0);
  OtqRun named = Shell("cd " + Q(dir.path()) + "; (head -c 1000 < out.fifo > /dev/null &)\n" + otq + "extract " +
                       Q(dir.File("big.otq")) + " -o out.fifo; echo status=$?");
  EXPECT_TRUE(Has(named.out, "status=141")) << named.out;
  EXPECT_TRUE(Has(named.out, "out.fifo was closed; stopping")) << named.out;
  // With --json the file's line says it was cancelled, like any stopped file.
  OtqRun json = Shell(otq + "extract " + Q(dir.File("big.otq")) + " -o - --json | head -c 1000 >/dev/null; echo status=${PIPESTATUS[0]}");
  EXPECT_TRUE(Has(json.out, "status=141")) << json.out;
  EXPECT_TRUE(Has(json.out, "\"error\":\"cancelled\"")) << json.out;
}

TEST_F(CliSignalTest, LeftoversOfAKilledRunGoWithTheNextRun) {
  OtqRun r = RunAndSignal("compress " + Q(big) + " -r extreme -o " + Q(dir.File("big.otq")),
                          UntilTheJobRuns() + "; kill -KILL $pid");
  ASSERT_TRUE(Has(r.out, "status=137")) << r.out;
  ASSERT_EQ(Leftovers(dir.path()), 2u);  // the hidden archive and the job folder
  OtqRun again = Shell("export TMPDIR=" + Q(dir.File("tmp")) + "; " + std::string(OSTINATO_OTQ) + " compress " +
                       Q(wav) + " -r fast -o " + Q(dir.File("big.otq")));
  EXPECT_EQ(again.status, 0) << again.out;
  EXPECT_EQ(Leftovers(dir.path()), 0u);
  // The next run may be an extraction that needs no working folder of its
  // own: it still removes the folder of a killed job.
  r = RunAndSignal("compress " + Q(big) + " -r extreme -f -o " + Q(dir.File("big.otq")),
                   UntilTheJobRuns() + "; kill -KILL $pid");
  ASSERT_EQ(Leftovers(dir.path()), 2u);
  again = Shell("export TMPDIR=" + Q(dir.File("tmp")) + "; " + std::string(OSTINATO_OTQ) + " extract " +
                Q(dir.File("big.otq")) + " -o " + Q(dir.File("small.wav")));
  EXPECT_EQ(again.status, 0) << again.out;
  EXPECT_EQ(Leftovers(dir.File("tmp")), 0u);  // (the hidden archive goes with the next job that writes big.otq)
}

}  // namespace
}  // namespace ost

namespace ost {
namespace {

// A full disk names the file the user asked for, not its temporary name,
// and leaves nothing. Needs a small file system of its own (root only).
TEST_F(CliTest, AFullDiskNamesTheTargetAndLeavesNothing) {
  const fs::path full = dir.File("full");
  fs::create_directory(full);
  if (geteuid() != 0 || Shell("mount -t tmpfs -o size=16k tmpfs " + Q(full)).status != 0)
    GTEST_SKIP() << "a small file system to fill needs root (mount -t tmpfs)";
  // Unmounted however the test ends: a mount left behind keeps the test's
  // folder (and every later otq's sweep of old job folders) busy.
  struct Unmount {
    fs::path at;
    bool done = false;
    void operator()() {
      if (!std::exchange(done, true)) Shell("umount " + Q(at));
    }
    ~Unmount() { (*this)(); }
  } unmount{full};
  const Bytes big = test::Wave(2, 44100, test::Noise(200'000, 20000, 5));
  test::WriteAll(dir.File("big.wav"), big);
  OtqRun c = Otq("compress " + Q(dir.File("big.wav")) + " -o " + Q(full / "big.otq") + " --json");
  ASSERT_EQ(Otq("compress " + Q(dir.File("big.wav")) + " -o " + Q(dir.File("big.otq"))).status, 0);
  OtqRun x = Otq("extract " + Q(dir.File("big.otq")) + " -d " + Q(full));
  // Working files on the full file system: the message says where they go
  // and how to send them elsewhere (it named a file the user never heard of).
  OtqRun w = Shell("TMPDIR=" + Q(full) + " " + OSTINATO_OTQ + " compress " + Q(dir.File("big.wav")) + " -o " +
                   Q(dir.File("w.otq")) + " 2>&1");
  const bool empty = fs::is_empty(full);
  unmount();
  EXPECT_EQ(w.status, 1);
  EXPECT_TRUE(Has(w.out, "cannot write the job's working files in " + full.string() +
                             ": No space left on device (TMPDIR names another folder for them)"))
      << w.out;
  EXPECT_FALSE(fs::exists(dir.File("w.otq")));
  EXPECT_EQ(c.status, 1);
  EXPECT_TRUE(Has(c.out, "cannot write " + (full / "big.otq").string() + ": No space left on device")) << c.out;
  EXPECT_TRUE(Has(c.out, "\"file\":\"" + (full / "big.otq").string() + "\"")) << c.out;
  EXPECT_EQ(x.status, 1);
  EXPECT_TRUE(Has(x.out, "cannot write " + (full / "big.wav").string() + ": No space left on device")) << x.out;
  EXPECT_TRUE(empty);
}

// Sticks and shares of other file systems: where chmod fails (FAT through
// FUSE), and where link fails (exFAT through FUSE), archives and recordings
// are still written, replaced only with -f, and restored byte for byte.
TEST_F(CliTest, FileSystemsWithoutPermissionsOrLinksTakeTheOutputs) {
  const std::string otq = OSTINATO_OTQ;
  OtqRun noChmod =
      // (A sanitizer's runtime would otherwise refuse a library loaded before it.)
      Shell("export LD_PRELOAD=" + Q(OSTINATO_NO_PERMISSIONS) + " ASAN_OPTIONS=verify_asan_link_order=0; " + otq +
            " compress " + Q(wav) + " -o " +
            Q(dir.File("a.otq")) + " && " + otq + " extract " + Q(dir.File("a.otq")) + " -o " + Q(dir.File("a.wav")));
  ASSERT_EQ(noChmod.status, 0) << noChmod.out;
  EXPECT_EQ(test::ReadAll(dir.File("a.wav")), test::ReadAll(wav));

  const fs::path stick = dir.File("stick");
  fs::create_directory(stick);
  const fs::path image = dir.File("stick.img");
  OtqRun mount =
      Shell("truncate -s 32M " + Q(image) + " && mkfs.exfat " + Q(image) + " >/dev/null && loop=$(losetup -f --show " +
            Q(image) + ") && echo $loop && mount.exfat-fuse $loop " + Q(stick));
  const std::string loop = mount.out.substr(0, mount.out.find('\n'));
  if (geteuid() != 0 || mount.status != 0 || Shell("mountpoint -q " + Q(stick)).status != 0) {
    if (!loop.empty()) Shell("losetup -d " + loop);
    GTEST_SKIP() << "an exFAT file system needs root, a loop device, /dev/fuse and exfat-fuse: " << mount.out;
  }
  const fs::path archive = stick / "take.otq", back = stick / "take.wav";
  OtqRun c = Otq("compress " + Q(wav) + " -o " + Q(archive));
  OtqRun again = Otq("compress " + Q(wav) + " -o " + Q(archive));
  OtqRun replaced = Otq("compress -f " + Q(wav) + " -o " + Q(archive));
  OtqRun x = Otq("extract " + Q(archive) + " -o " + Q(back));
  const Bytes restored = fs::exists(back) ? test::ReadAll(back) : Bytes{};
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(stick)) names.push_back(entry.path().filename().string());
  Shell("umount " + Q(stick) + "; losetup -d " + loop);  // detached once the file system's process lets go
  EXPECT_EQ(c.status, 0) << c.out;
  EXPECT_EQ(again.status, 1) << again.out;
  EXPECT_TRUE(Has(again.out, "already exists (-f replaces it)")) << again.out;
  EXPECT_EQ(replaced.status, 0) << replaced.out;
  EXPECT_EQ(x.status, 0) << x.out;
  EXPECT_EQ(restored, test::ReadAll(wav));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"take.otq", "take.wav"}));  // no working file left
}

}  // namespace
}  // namespace ost

namespace ost {
namespace {

// RIFF files of any sample format: `bits` per sample, `channels`, format
// tag `tag` (0xFFFE: extensible with sub-format `sub`), `bytes` of samples
// and the data size the header claims.
Bytes AnyWave(int tag, int channels, int bits, std::size_t bytes, int sub = 1,
              std::optional<std::uint32_t> claimed = std::nullopt) {
  Bytes fmt, out;
  auto put = [](Bytes& b, std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  put(fmt, static_cast<std::uint32_t>(tag), 2);
  put(fmt, static_cast<std::uint32_t>(channels), 2);
  put(fmt, 44100, 4);
  put(fmt, static_cast<std::uint32_t>(44100 * channels * bits / 8), 4);
  put(fmt, static_cast<std::uint32_t>(channels * bits / 8), 2);
  put(fmt, static_cast<std::uint32_t>(bits), 2);
  if (tag == 0xFFFE) {
    put(fmt, 22, 2);
    put(fmt, static_cast<std::uint32_t>(bits), 2);
    put(fmt, 3, 4);
    put(fmt, static_cast<std::uint32_t>(sub), 2);
    for (int i = 0; i < 14; ++i) fmt.push_back(static_cast<std::uint8_t>(i));
  }
  const Bytes data = test::Pcm(test::Noise(bytes / 2, 3000, 12));
  out.insert(out.end(), {'R', 'I', 'F', 'F'});
  put(out, static_cast<std::uint32_t>(4 + 8 + fmt.size() + 8 + data.size()), 4);
  out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  put(out, static_cast<std::uint32_t>(fmt.size()), 4);
  out.insert(out.end(), fmt.begin(), fmt.end());
  out.insert(out.end(), {'d', 'a', 't', 'a'});
  put(out, claimed ? *claimed : static_cast<std::uint32_t>(data.size()), 4);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

TEST_F(CliTest, PipesCarryTheDataAndNothingElse) {
  const std::string otq = OSTINATO_OTQ;
  // The archive on standard output is exactly the archive a file would hold.
  ASSERT_EQ(Otq("compress " + Q(wav) + " -o " + Q(dir.File("file.otq"))).status, 0);
  OtqRun piped = Shell(otq + " compress - -o - < " + Q(wav) + " > " + Q(dir.File("piped.otq")) + " 2>" +
                       Q(dir.File("err")));
  ASSERT_EQ(piped.status, 0) << test::ReadAll(dir.File("err")).size();
  const Bytes fromFile = test::ReadAll(dir.File("file.otq")), fromPipe = test::ReadAll(dir.File("piped.otq"));
  ASSERT_EQ(fromPipe.size(), fromFile.size());
  EXPECT_EQ(Bytes(fromPipe.begin() + 29, fromPipe.end()), Bytes(fromFile.begin() + 29, fromFile.end()));
  // Restored to standard output and from standard input, byte for byte.
  OtqRun back = Shell(otq + " extract - -o - < " + Q(dir.File("piped.otq")) + " 2>/dev/null | cmp - " + Q(wav) +
                      " && " + otq + " extract " + Q(dir.File("file.otq")) + " -o - 2>/dev/null | cmp - " + Q(wav));
  EXPECT_EQ(back.status, 0) << back.out;
  // An archive described from standard input, as from its file.
  OtqRun listed = Shell(otq + " list - < " + Q(dir.File("file.otq")));
  OtqRun fromDisk = Otq("list " + Q(dir.File("file.otq")));
  EXPECT_EQ(listed.status, 0) << listed.out;
  auto fromChannels = [](const std::string& out) { return out.substr(out.find("  channels:")); };
  EXPECT_EQ(fromChannels(listed.out), fromChannels(fromDisk.out)) << listed.out;
  EXPECT_EQ(listed.out.rfind("standard input\n  source kind:     .wav (restores as standard-input.wav)\n", 0), 0u)
      << listed.out;
  // A headerless stream needs its channels, as a .pcm does.
  OtqRun raw = Shell(otq + " compress - -o " + Q(dir.File("raw.otq")) + " < " + Q(pcm));
  EXPECT_EQ(raw.status, 1);
  EXPECT_TRUE(Has(raw.out, "standard input: the file does not say how many channels")) << raw.out;
  EXPECT_EQ(Shell(otq + " compress - < " + Q(wav)).status, 2);  // where to? -o is needed
  // A mismatch found at the end still fails loudly, after the bytes went out.
  Bytes damaged = fromFile;
  damaged[damaged.size() / 2] ^= 0x10;
  test::WriteAll(dir.File("damaged.otq"), damaged);
  OtqRun bad = Shell(otq + " extract " + Q(dir.File("damaged.otq")) + " -o - > /dev/null");
  EXPECT_EQ(bad.status, 1);
  EXPECT_TRUE(Has(bad.out, "damaged")) << bad.out;
}

TEST_F(CliTest, EveryWaveIsToldForWhatItHoldsAndKeptByteForByte) {
  struct Case {
    const char* name;
    Bytes data;
    const char* told;  // nullptr: codes well, nothing said
  };
  const Case cases[] = {
      {"s24.wav", AnyWave(1, 2, 24, 30000), "holds 24-bit samples"},
      {"six.wav", AnyWave(1, 6, 16, 30000), "holds 6 channels"},
      {"float.wav", AnyWave(3, 2, 32, 30000), "holds 32-bit floating-point samples"},
      {"ext.wav", AnyWave(0xFFFE, 2, 16, 30000), nullptr},
      {"stream.wav", AnyWave(1, 2, 16, 30000, 1, 0xFFFFFFFFu), "its header claims 4294967295 bytes"},
      {"unsized.wav", AnyWave(1, 2, 16, 30000, 1, 0), "its header claims 0 bytes"},
      {"silent.wav", AnyWave(1, 2, 16, 0), nullptr},  // no samples, and a header that says so
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::WriteAll(dir.File(c.name), c.data);
    OtqRun r = Otq("compress " + Q(dir.File(c.name)));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(Has(r.out, "does not say how many channels")) << r.out;
    if (c.told) EXPECT_TRUE(Has(r.out, c.told)) << r.out;
    else EXPECT_FALSE(Has(r.out, "note:")) << r.out;
    fs::remove(dir.File(c.name));
    ASSERT_EQ(Otq("extract " + Q(dir.File(std::string(c.name).replace(std::string(c.name).size() - 4, 4, ".otq")))).status, 0);
    EXPECT_EQ(test::ReadAll(dir.File(c.name)), c.data);
  }
  OtqRun strict = Otq("compress --strict -f " + Q(dir.File("six.wav")));
  EXPECT_EQ(strict.status, 1);
  EXPECT_TRUE(Has(strict.out, "six.wav holds 6 channels; --strict refuses")) << strict.out;
  EXPECT_EQ(Otq("compress --strict -f " + Q(dir.File("ext.wav"))).status, 0);
}

TEST_F(CliTest, FoldersInBatchesMirroredSkippedAndSummed) {
  // 200 recordings in a tree, three of them bad.
  for (int i = 0; i < 200; ++i) {
    const fs::path sub = dir.File("tree") / ("d" + std::to_string(i % 7)) / (i % 2 ? "x" : "");
    fs::create_directories(sub);
    Bytes data = test::Wave(1, 8000, test::Noise(200 + i, 500, static_cast<unsigned>(i)));
    if (i == 13 || i == 77) data.push_back(0);  // an odd number of bytes
    if (i == 150) data = Bytes{'n', 'o', 't', ' ', 'a', ' ', 'w', 'a', 'v', 'e'};  // no "fmt ": channels unknown
    test::WriteAll(sub / ("take" + std::to_string(i) + ".wav"), data);
  }
  test::WriteAll(dir.File("tree/notes.txt"), Bytes{'x'});
  OtqRun c = Otq("compress --recursive " + Q(dir.File("tree")) + " -d " + Q(dir.File("out")) + " -r fastest");
  EXPECT_EQ(c.status, 1);
  for (const char* bad : {"take13.wav", "take77.wav", "take150.wav"}) EXPECT_TRUE(Has(c.out, bad)) << bad;
  EXPECT_TRUE(Has(c.out, "200 files: 197 done")) << c.out;
  EXPECT_TRUE(Has(c.out, "3 failed, 0 skipped")) << c.out;
  EXPECT_TRUE(fs::exists(dir.File("out/d3/x/take3.otq")));
  // Again: what is compressed already is skipped and counted.
  OtqRun again = Otq("compress --recursive " + Q(dir.File("tree")) + " -d " + Q(dir.File("out")) + " --json");
  EXPECT_EQ(again.status, 1);
  EXPECT_TRUE(Has(again.out, "\"skipped\":197")) << again.out;
  // Restored as a mirrored tree, each file as it was (one branch of it: the
  // batch above already ran every file once).
  OtqRun x = Otq("extract --recursive " + Q(dir.File("out/d3")) + " -d " + Q(dir.File("back")));
  EXPECT_EQ(x.status, 0) << x.out;
  EXPECT_EQ(test::ReadAll(dir.File("back/x/take3.wav")), test::ReadAll(dir.File("tree/d3/x/take3.wav")));
  EXPECT_EQ(test::ReadAll(dir.File("back/take10.wav")), test::ReadAll(dir.File("tree/d3/take10.wav")));
  OtqRun t = Otq("test --recursive --json " + Q(dir.File("out/d3")));
  EXPECT_EQ(t.status, 0);
  EXPECT_TRUE(Has(t.out, "\"failed\":0")) << t.out;
}

TEST_F(CliTest, JsonDescribesArchivesAndTheirDamage) {
  ASSERT_EQ(Otq("compress " + Q(wav) + " -o " + Q(dir.File("j.otq")) + " --password pw").status, 0);
  test::WriteAll(dir.File("bad.otq"), Bytes{1, 2, 3});
  OtqRun l = Otq("list --json " + Q(dir.File("j.otq")) + " " + Q(dir.File("bad.otq")));
  EXPECT_EQ(l.status, 1);
  EXPECT_TRUE(Has(l.out, "\"channels\":2")) << l.out;
  EXPECT_TRUE(Has(l.out, "\"password\":true")) << l.out;
  EXPECT_TRUE(Has(l.out, "\"restoredName\":\"j.wav\"")) << l.out;
  EXPECT_TRUE(Has(l.out, "\"integrity\":{\"crc32\":")) << l.out;
  EXPECT_TRUE(Has(l.out, "\"ok\":false")) << l.out;
  OtqRun t = Otq("test --json " + Q(dir.File("j.otq")) + " " + Q(dir.File("bad.otq")));
  EXPECT_EQ(t.status, 1);
  EXPECT_TRUE(Has(t.out, "\"integrityChecked\":true,\"ok\":true")) << t.out;
  EXPECT_TRUE(Has(t.out, "\"error\":\"The archive is damaged")) << t.out;
  EXPECT_TRUE(Has(t.out, "{\"summary\":{")) << t.out;
}

bool StartsALine(const std::string& text, const std::string& line) { return Has("\n" + text, "\n" + line); }

// A message gets its input's name in front unless the file it names is that
// input, however alike the names; under --json an error that names a file
// gives it as a member of its own.
TEST_F(CliTest, MessagesNameTheirInputOnceAndJsonGivesTheFile) {
  const fs::path longer = wav.string() + ".otq";  // the source's whole name within its own
  ASSERT_EQ(Otq("compress " + Q(wav) + " -o " + Q(longer)).status, 0);
  OtqRun c = Otq("compress " + Q(wav) + " -o " + Q(longer) + " --json");
  EXPECT_EQ(c.status, 1);
  // The way past it comes with the refusal.
  EXPECT_TRUE(StartsALine(c.out, "otq: " + wav.string() + ": " + longer.string() + " already exists (-f replaces it)\n"))
      << c.out;
  EXPECT_TRUE(Has(c.out, "\"file\":\"" + longer.string() + "\"")) << c.out;
  // ... and where -f would not help, the way that would.
  fs::create_directory(dir.File("folder.otq"));
  OtqRun folder = Otq("compress -f " + Q(wav) + " -o " + Q(dir.File("folder.otq")));
  EXPECT_TRUE(Has(folder.out,
                  "folder.otq is not a regular file; an output can only replace a file (-d puts the outputs in a folder)\n"))
      << folder.out;
  test::WriteAll(dir.File("bad.otq"), Bytes{1, 2, 3});
  OtqRun t = Otq("test --json " + Q(dir.File("bad.otq")));
  EXPECT_TRUE(StartsALine(t.out, "otq: The archive is damaged: " + dir.File("bad.otq").string() + " is shorter"))
      << t.out;
  EXPECT_TRUE(Has(t.out, "\"file\":\"" + dir.File("bad.otq").string() + "\"")) << t.out;
  OtqRun l = Otq("list --json " + Q(dir.File("bad.otq")));
  EXPECT_TRUE(StartsALine(l.out, "otq: The archive is damaged: " + dir.File("bad.otq").string() + " is shorter"))
      << l.out;
  EXPECT_TRUE(Has(l.out, "\"file\":\"" + dir.File("bad.otq").string() + "\"")) << l.out;
  // The wrong password's message names no file: the archive goes in front, and no member.
  ASSERT_EQ(Otq("compress " + Q(wav) + " -o " + Q(dir.File("p.otq")) + " --password right").status, 0);
  OtqRun w = Otq("extract --json " + Q(dir.File("p.otq")) + " --password wrong");
  EXPECT_TRUE(StartsALine(w.out, "otq: " + dir.File("p.otq").string() + ": You have Entered")) << w.out;
  EXPECT_FALSE(Has(w.out, "\"file\"")) << w.out;
  OtqRun n = Otq("extract " + Q(dir.File("p.otq")));
  EXPECT_TRUE(StartsALine(n.out, "otq: " + dir.File("p.otq").string() + " holds a password")) << n.out;
  // A password file that cannot give one is named once.
  OtqRun f = Otq("compress " + Q(wav) + " -f --password-file " + Q(dir.File("none.txt")));
  EXPECT_TRUE(StartsALine(f.out, "otq: cannot read password file " + dir.File("none.txt").string() + ": No such file"))
      << f.out;
}

// File names are bytes, and older systems wrote them in other encodings
// than UTF-8. JSON cannot carry such bytes: each command still gives its
// line, with the Unicode replacement character in their place.
TEST_F(CliTest, JsonCarriesNamesThatAreNotUtf8) {
  const fs::path latin1 = dir.File("caf\xe9.wav"), archive = dir.File("caf\xe9.otq");
  fs::copy_file(wav, latin1);
  const std::string replaced = "caf\xef\xbf\xbd";
  for (const std::string& command :
       {"compress --json " + Q(latin1), "list --json " + Q(archive), "test --json " + Q(archive),
        "extract --json -f " + Q(archive) + " -o " + Q(dir.File("back.wav"))}) {
    SCOPED_TRACE(command);
    OtqRun run = Otq(command);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(Has(run.out, replaced)) << run.out;
  }
  test::WriteAll(dir.File("d\xe9g\xe2t.otq"), Bytes{1, 2, 3});
  OtqRun damaged = Otq("test --json " + Q(dir.File("d\xe9g\xe2t.otq")));
  EXPECT_EQ(damaged.status, 1) << damaged.out;
  EXPECT_TRUE(Has(damaged.out, "\"ok\":false")) << damaged.out;
}

TEST(CliCompletion, TheBashCompletionLoadsAndKnowsTheCommands) {
  const std::string file = std::string(OSTINATO_SOURCE_DIR) + "/packaging/otq.bash-completion";
  OtqRun r = Shell("source " + Q(file) + " && complete -p otq && COMP_WORDS=(otq c) COMP_CWORD=1 && _otq && "
                   "echo \"${COMPREPLY[*]}\" && COMP_WORDS=(otq compress -r '') COMP_CWORD=3 && _otq && "
                   "echo \"${COMPREPLY[*]}\"");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Has(r.out, "compress")) << r.out;
  EXPECT_TRUE(Has(r.out, "fastest fast normal maximum extreme")) << r.out;
}

}  // namespace
}  // namespace ost

namespace ost {
namespace {

// Ctrl-C at the password prompt stops the run; it is not an empty password.
TEST_F(CliTest, CtrlCAtThePasswordPromptSaysNothingOfAPassword) {
  if (Shell("command -v python3").status != 0) GTEST_SKIP() << "needs python3 for a terminal of its own";
  ASSERT_EQ(Otq("compress " + Q(wav) + " -o " + Q(dir.File("p.otq")) + " --password s3cret").status, 0);
  OtqRun r =
      Shell(Script("ctrl-c-at-prompt.py") + " " + std::string(OSTINATO_OTQ) + " extract " + Q(dir.File("p.otq")));
  EXPECT_TRUE(Has(r.out, "Password for " + dir.File("p.otq").string())) << r.out;
  EXPECT_TRUE(Has(r.out, "status 130")) << r.out;
  EXPECT_FALSE(Has(r.out, "WRONG PASSWORD")) << r.out;
  EXPECT_FALSE(fs::exists(dir.File("p.wav")));
  // In a batch the prompt has a line of its own, not the end of the batch's
  // progress line.
  fs::copy_file(dir.File("p.otq"), dir.File("q.otq"));
  OtqRun batch = Shell(Script("ctrl-c-at-prompt.py") + " " + std::string(OSTINATO_OTQ) + " extract " +
                       Q(dir.File("p.otq")) + " " + Q(dir.File("q.otq")));
  EXPECT_TRUE(Has(batch.out, "\r\x1b[KPassword for ")) << batch.out;
  EXPECT_FALSE(Has(batch.out, "filesPassword")) << batch.out;
  // Ctrl-C at the first prompt (either archive's: they run side by side)
  // stops the batch: the other archive, which waited its turn to ask, asks
  // nothing.
  std::size_t prompts = 0;
  for (std::size_t at = 0; (at = batch.out.find("Password for", at)) != std::string::npos; ++at) ++prompts;
  EXPECT_EQ(prompts, 1u) << batch.out;
  EXPECT_TRUE(Has(batch.out, "status 130")) << batch.out;
}

// An archive that comes through standard input (a pipe) asks for its
// password on the terminal of the person who ran the command, as the
// standard input carries the archive.
TEST_F(CliTest, AnArchiveFromAPipeAsksForItsPasswordOnTheTerminal) {
  if (Shell("command -v python3").status != 0) GTEST_SKIP() << "needs python3 for a terminal of its own";
  ASSERT_EQ(Otq("compress " + Q(wav) + " -o " + Q(dir.File("p.otq")) + " --password s3cret").status, 0);
  OtqRun r = Shell(Script("answer-prompt.py") + " s3cret \"cat " + Q(dir.File("p.otq")) + " | " +
                   std::string(OSTINATO_OTQ) + " extract - -o " + Q(dir.File("piped.wav")) + "\"");
  EXPECT_TRUE(Has(r.out, "Password for standard input")) << r.out;
  EXPECT_FALSE(Has(r.out, "s3cret")) << r.out;
  EXPECT_TRUE(Has(r.out, "status 0")) << r.out;
  EXPECT_EQ(test::ReadAll(dir.File("piped.wav")), test::ReadAll(wav)) << r.out;
  // Without a terminal to ask on, the run says how to give the password.
  OtqRun none = Shell("cat " + Q(dir.File("p.otq")) + " | " + std::string(OSTINATO_OTQ) + " extract - -o " +
                      Q(dir.File("none.wav")));
  EXPECT_TRUE(Has(none.out, "holds a password; give it with --password")) << none.out;
  EXPECT_FALSE(fs::exists(dir.File("none.wav")));
}

// Ctrl-Z at the password prompt and fg: the prompt comes back, and what is
// typed after it is not shown, though the shell turned echo back on.
TEST_F(CliTest, APasswordTypedAfterASuspendIsNotShown) {
  if (Shell("command -v python3 && command -v bash").status != 0) GTEST_SKIP() << "needs python3 and bash";
  ASSERT_EQ(Otq("compress " + Q(wav) + " -o " + Q(dir.File("p.otq")) + " --password s3cret").status, 0);
  OtqRun r = Shell(Script("ctrl-z-at-prompt.py") + " s3cret " + std::string(OSTINATO_OTQ) + " extract " +
                   Q(dir.File("p.otq")));
  EXPECT_TRUE(Has(r.out, "Password for " + dir.File("p.otq").string())) << r.out;
  EXPECT_FALSE(Has(r.out, "s3cret")) << r.out;
  EXPECT_EQ(test::ReadAll(dir.File("p.wav")), test::ReadAll(wav)) << r.out;
  // The seconds the prompt waited for the password are not the job's.
  const std::size_t at = r.out.find(" bytes, ");
  ASSERT_NE(at, std::string::npos) << r.out;
  EXPECT_LT(std::stod(r.out.substr(at + 8)), 1.0) << r.out;
}

// A source read from a pipe that is slow to fill (a recording still going)
// shows on a terminal how much has come so far, not a silent wait.
TEST_F(CliTest, AStandardInputStillComingShowsHowMuchHasBeenRead) {
  if (Shell("command -v python3").status != 0) GTEST_SKIP() << "needs python3 for a terminal of its own";
  OtqRun r = Shell(Script("slow-standard-input.py") + " " + Q(wav) + " " + std::string(OSTINATO_OTQ) +
                   " compress - -o " + Q(dir.File("live.otq")));
  const std::string paused = r.out.substr(0, r.out.find("after:"));
  EXPECT_TRUE(Has(paused, "standard input: 30.0 kB read")) << r.out;
  EXPECT_TRUE(Has(r.out, "status 0")) << r.out;
  EXPECT_EQ(test::ReadAll(dir.File("live.otq")).empty(), false);
  OtqRun back = Otq("extract " + Q(dir.File("live.otq")) + " -o " + Q(dir.File("live.wav")));
  ASSERT_EQ(back.status, 0) << back.out;
  EXPECT_EQ(test::ReadAll(dir.File("live.wav")), test::ReadAll(wav));
}


// Archives and restored recordings are not poured onto a terminal, where
// they garble the screen and are lost, nor waited for from one, where no
// one can type them; -f does it all the same.
TEST_F(CliTest, DataIsNotWrittenToATerminalNorReadFromOne) {
  if (Shell("command -v python3").status != 0) GTEST_SKIP() << "needs python3 for a terminal of its own";
  ASSERT_EQ(Otq("compress " + Q(wav) + " -o " + Q(dir.File("t.otq"))).status, 0);
  auto onTerminal = [&](const std::string& args) {
    return Shell(Script("on-terminal.py") + " " + std::string(OSTINATO_OTQ) + " " + args);
  };
  for (const std::string& args : {"compress -q " + Q(wav) + " -o -", "extract -q " + Q(dir.File("t.otq")) + " -o -"}) {
    OtqRun r = onTerminal(args);
    EXPECT_TRUE(Has(r.out, "standard output is a terminal")) << args << "\n" << r.out;
    EXPECT_TRUE(Has(r.out, "status 2")) << args << "\n" << r.out;
    EXPECT_FALSE(Has(r.out, "RIFF") || Has(r.out, "\\x")) << args << "\n" << r.out;  // \x: a byte that is no text
  }
  // The progress line fits the terminal: a line one column too long wraps,
  // and every redraw then leaves a line behind.
  const fs::path longName = dir.File("a take of the fourth evening, recorded in the hall upstairs.wav");
  fs::copy_file(wav, longName);
  for (const char* columns : {"60", "24"}) {
    OtqRun narrow = Shell(Script("on-terminal.py") + " --columns " + columns + " " + std::string(OSTINATO_OTQ) +
                          " compress " + Q(longName) + " -o " + Q(dir.File("long.otq")) + " -f");
    const std::size_t from = narrow.out.find("bytes:") + 6, to = narrow.out.find("\nstatus ");
    ASSERT_LT(from, to) << narrow.out;
    const std::string shown = narrow.out.substr(from, to - from);
    EXPECT_TRUE(Has(shown, "%")) << shown;
    std::size_t start = 0, widest = 0;
    for (std::size_t i = 0; i <= shown.size(); ++i)
      if (i == shown.size() || shown[i] == '\r' || shown[i] == '\n') {
        std::string line = shown.substr(start, i - start);
        if (line.rfind("\x1b[K", 0) == 0) line.erase(0, 3);
        // The summary line is printed once, after the bar: it may wrap.
        if (!Has(line, "saved")) widest = std::max(widest, line.size());
        start = i + 1;
      }
    EXPECT_LT(widest, static_cast<std::size_t>(std::stoi(columns))) << columns << " columns:\n" << shown;
  }
  // otq test shows its progress as extract does (it showed nothing until the
  // end, however long the archive).
  OtqRun tested = onTerminal("test " + Q(dir.File("t.otq")));
  EXPECT_TRUE(Has(tested.out, "t.otq [")) << tested.out;
  EXPECT_TRUE(Has(tested.out, "t.otq: ok (")) << tested.out;
  OtqRun forced = onTerminal("extract -q -f " + Q(dir.File("t.otq")) + " -o -");
  EXPECT_TRUE(Has(forced.out, "RIFF")) << forced.out;
  EXPECT_TRUE(Has(forced.out, "status 0")) << forced.out;
  for (const std::string& args : {"compress - -o " + Q(dir.File("typed.otq")), "extract - -o " + Q(dir.File("typed.wav")),
                                  std::string("test -"), std::string("list -")}) {
    OtqRun r = onTerminal(args);
    EXPECT_TRUE(Has(r.out, "standard input is a terminal")) << args << "\n" << r.out;
    EXPECT_TRUE(Has(r.out, "status 2")) << args << "\n" << r.out;
  }
}
}  // namespace
}  // namespace ost

namespace ost {
namespace {

// -f replaces files, never a folder that stands at the target.
TEST_F(CliTest, OnlyFilesAreReplaced) {
  ASSERT_EQ(Otq("compress " + Q(wav) + " -o " + Q(dir.File("a.otq"))).status, 0);
  fs::create_directory(dir.File("folder.wav"));
  OtqRun x = Otq("extract " + Q(dir.File("a.otq")) + " -o " + Q(dir.File("folder.wav")) + " -f");
  EXPECT_EQ(x.status, 1);
  EXPECT_TRUE(Has(x.out, "is not a regular file")) << x.out;
  EXPECT_TRUE(fs::is_directory(dir.File("folder.wav")));
  fs::create_directory(dir.File("folder.otq"));
  EXPECT_EQ(Otq("compress " + Q(wav) + " -o " + Q(dir.File("folder.otq")) + " -f").status, 1);
  EXPECT_TRUE(fs::is_directory(dir.File("folder.otq")));
  // A folder given to -o was most likely meant for -d: the message says so.
  EXPECT_TRUE(Has(x.out, "an output can only replace a file (-d puts the outputs in a folder)")) << x.out;
  OtqRun c = Otq("compress " + Q(wav) + " -o " + Q(dir.path()));
  EXPECT_TRUE(Has(c.out, "an output can only replace a file (-d puts the outputs in a folder)")) << c.out;
  OtqRun device = Otq("extract " + Q(dir.File("a.otq")) + " -o /dev/null -f");
  EXPECT_FALSE(Has(device.out, "-d puts")) << device.out;
}

// An output named by a pipe or a device is written into, as standard output
// is, and stays what it was (it said "not a regular file"): /dev/null,
// /dev/stdout, a process substitution, a named pipe whose reader comes
// later, or none at all until Ctrl-C.
TEST_F(CliTest, PipesAndDevicesNamedAsOutputsAreWrittenInto) {
  const std::string otq = OSTINATO_OTQ;
  ASSERT_EQ(Otq("compress " + Q(wav) + " -o " + Q(dir.File("a.otq"))).status, 0);
  OtqRun null = Otq("extract " + Q(dir.File("a.otq")) + " -o /dev/null");
  EXPECT_EQ(null.status, 0) << null.out;
  EXPECT_TRUE(Has(null.out, "a.otq -> /dev/null: ")) << null.out;
  // In JSON too; standard output itself stays "-".
  EXPECT_TRUE(Has(Otq("extract " + Q(dir.File("a.otq")) + " -o /dev/null --json").out, "\"restored\":\"/dev/null\""));
  EXPECT_TRUE(Has(Shell(otq + " extract " + Q(dir.File("a.otq")) + " -o - --json 2>&1 >/dev/null").out,
                  "\"restored\":\"-\""));
  // A failed write names the device, not standard output.
  for (const std::string& args : {"extract " + Q(dir.File("a.otq")), "compress " + Q(wav)}) {
    OtqRun full = Otq(args + " -o /dev/full");
    EXPECT_EQ(full.status, 1) << full.out;
    EXPECT_TRUE(Has(full.out, "cannot write /dev/full: No space left on device")) << full.out;
  }
  ASSERT_EQ(mkfifo(dir.File("fifo.wav").c_str(), 0600), 0);
  OtqRun streams = Shell("cd " + Q(dir.path()) + "\n" + otq +
                         " extract a.otq -o /dev/stdout > stdout.wav 2>/dev/null || exit 1\n" + otq + " compress " +
                         Q(wav) + " -o >(cat > sub.otq) || exit 2\nwait $!\n(sleep 1; cat fifo.wav > later.wav) &\n" +
                         otq + " extract a.otq -o fifo.wav -f || exit 3\nwait");
  EXPECT_EQ(streams.status, 0) << streams.out;
  EXPECT_EQ(test::ReadAll(dir.File("stdout.wav")), test::ReadAll(wav));
  EXPECT_EQ(test::ReadAll(dir.File("sub.otq")), test::ReadAll(dir.File("a.otq")));
  EXPECT_EQ(test::ReadAll(dir.File("later.wav")), test::ReadAll(wav));
  EXPECT_TRUE(fs::is_fifo(dir.File("fifo.wav")));
  OtqRun nobody = Shell("cd " + Q(dir.path()) + "; " + otq + " extract a.otq -o fifo.wav & pid=$!; sleep 1\n" +
                        "kill -INT $pid; for i in $(seq 100); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done\n" +
                        "kill -KILL $pid 2>/dev/null; wait $pid; echo status=$?");
  EXPECT_TRUE(Has(nobody.out, "status=130")) << nobody.out;
  EXPECT_TRUE(fs::is_fifo(dir.File("fifo.wav")));
  EXPECT_EQ(Leftovers(dir.path()), 0u);
}

// Started with standard output or error closed, otq must not let the next
// file it opens take their number: messages meant for the terminal would be
// written into that file, an archive among them (seen in a batch of two
// jobs, one job's notes landing in the other's archive). Data asked for on a
// closed standard output fails as a write to it.
TEST_F(CliTest, ClosedStandardStreamsLendTheirNumberToNoFile) {
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
  GTEST_SKIP() << "the thread sanitizer's runtime opens a file of its own on a closed descriptor before otq starts";
#endif
#endif
  const std::string otq = OSTINATO_OTQ;
  ASSERT_EQ(mkfifo(dir.File("src.fifo").c_str(), 0600), 0);
  // The job holds its working folder while it waits for the rest of its
  // source. (This test's own folder is a job folder too, and the source
  // pipe in it is open before otq starts: it is not the sign.)
  OtqRun held =
      Shell("cd " + Q(dir.path()) + "\n" + otq + " compress -q - -o out.otq >&- 2>&- < src.fifo & pid=$!\n" +
            "exec 4> src.fifo; head -c 1000 " + Q(wav) + " >&4\n" +
            "for i in $(seq 300); do ls -l /proc/$pid/fd | grep ostinato-job- | grep -qvF " + Q(dir.path()) +
            " && break; sleep 0.02; done\n" + "echo \"1 $(readlink /proc/$pid/fd/1) 2 $(readlink /proc/$pid/fd/2)\"\n" +
            "tail -c +1001 " + Q(wav) + " >&4; exec 4>&-; wait $pid; echo status=$?");
  EXPECT_TRUE(Has(held.out, "1 /dev/null 2 /dev/null")) << held.out;
  EXPECT_TRUE(Has(held.out, "status=0")) << held.out;
  EXPECT_EQ(Otq("test " + Q(dir.File("out.otq"))).status, 0);
  OtqRun closed = Shell(otq + " extract " + Q(dir.File("out.otq")) + " -o - 2>&1 >&-");
  EXPECT_EQ(closed.status, 1);
  EXPECT_TRUE(Has(closed.out, "cannot write standard output: Bad file descriptor")) << closed.out;
}

// An archive and a restored file carry their source's permissions and
// modification time, as a copy would: a private recording (0600) made an
// archive every user could read. A copy of standard input has none to give.
TEST_F(CliTest, OutputsTakeTheirSourcesPermissionsAndTime) {
  const fs::path source = dir.File("private.wav");
  fs::copy_file(wav, source);
  fs::permissions(source, fs::perms::owner_read | fs::perms::owner_write);
  const auto then = fs::last_write_time(source) - std::chrono::hours(24 * 400);
  fs::last_write_time(source, then);
  ASSERT_EQ(Otq("compress " + Q(source)).status, 0);
  ASSERT_EQ(Otq("extract " + Q(dir.File("private.otq")) + " -o " + Q(dir.File("back.wav"))).status, 0);
  for (const char* name : {"private.otq", "back.wav"}) {
    EXPECT_EQ(fs::status(dir.File(name)).permissions(), fs::perms::owner_read | fs::perms::owner_write) << name;
    EXPECT_EQ(fs::last_write_time(dir.File(name)), then) << name;
  }
  // Execute bits (every file of a FAT stick has them) are a program's, never an archive's.
  fs::permissions(source, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  ASSERT_EQ(Otq("compress -f " + Q(source)).status, 0);
  EXPECT_EQ(fs::status(dir.File("private.otq")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  ASSERT_EQ(Shell(std::string(OSTINATO_OTQ) + " compress - -o " + Q(dir.File("piped.otq")) + " < " + Q(source)).status,
            0);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(static_cast<mode_t>(fs::status(dir.File("piped.otq")).permissions()), 0666 & ~mask);
  EXPECT_GT(fs::last_write_time(dir.File("piped.otq")), then);
}

// Under a limit on memory (ulimit -v) a run gets fewer threads or less
// memory than it asks for: it fails with a message or runs on fewer
// threads, and never ends in an abort (the signal watcher's thread, the
// threads of a pass, an allocation), which left the unfinished output.
TEST_F(CliTest, ALimitOnMemoryEndsNoRunInAnAbort) {
#if defined(OSTINATO_SANITIZED)
  GTEST_SKIP() << "the sanitizers' own memory does not fit under such limits";
#endif
  ASSERT_EQ(Otq("compress " + Q(wav) + " -o " + Q(dir.File("a.otq"))).status, 0);
  const std::string otq = OSTINATO_OTQ;
  OtqRun scan = Shell("cd " + Q(dir.path()) + "\ncp " + Q(wav) + " src.wav\nfor kb in $(seq 6000 2000 60000); do\n" +
                      "  for run in 'compress src.wav' 'extract a.otq'; do\n" +
                      "    (ulimit -v $kb; " + otq + " $run -o out -f >/dev/null 2>&1); s=$?\n" +
                      "    [ $s -ge 128 ] && echo \"$kb $run: status $s\"\n  done\ndone; true");
  EXPECT_EQ(scan.out, "");
  EXPECT_EQ(Leftovers(dir.path()), 0u);
}

// Out of file descriptors (ulimit -n), a run fails naming the files the
// user knows, without advice that cannot help: it named the unfinished
// output's temporary name, and sent the user to TMPDIR.
TEST_F(CliTest, TooFewFileDescriptorsAreToldAsThey) {
#if defined(OSTINATO_SANITIZED)
  GTEST_SKIP() << "the sanitizers' own checks fail first without descriptors to read the process's maps";
#endif
  ASSERT_EQ(Otq("compress " + Q(wav) + " -o " + Q(dir.File("a.otq"))).status, 0);
  const std::string otq = OSTINATO_OTQ;
  OtqRun scan = Shell("cd " + Q(dir.path()) + "\ncp " + Q(wav) + " src.wav\nfor n in $(seq 5 20); do\n" +
                      "  (ulimit -n $n; " + otq + " compress src.wav -o out.otq -f; " + otq +
                      " extract a.otq -o out.wav -f) 2>&1 | grep 'open files'\ndone; true");
  EXPECT_TRUE(Has(scan.out, "Too many open files")) << scan.out;
  EXPECT_FALSE(Has(scan.out, ".part-")) << scan.out;
  EXPECT_FALSE(Has(scan.out, "TMPDIR")) << scan.out;
  EXPECT_EQ(Leftovers(dir.path()), 0u);
}

// What otq prints is part of what it was asked for: a report, a listing or
// JSON that could not be written (a full disk under a redirection) fails the
// run, which said "done" with status 0 and left an empty file.
TEST_F(CliTest, AReportThatCannotBeWrittenFailsTheRun) {
  ASSERT_EQ(Otq("compress " + Q(wav) + " -o " + Q(dir.File("a.otq"))).status, 0);
  for (const std::string& args : {"list " + Q(dir.File("a.otq")), "test " + Q(dir.File("a.otq")),
                                  "compress -f --json " + Q(wav) + " -o " + Q(dir.File("b.otq")), std::string("--version")}) {
    OtqRun full = Shell(std::string(OSTINATO_OTQ) + " " + args + " 2>&1 >/dev/full");
    EXPECT_EQ(full.status, 1) << args << "\n" << full.out;
    EXPECT_TRUE(Has(full.out, "cannot write standard output: No space left on device")) << args << "\n" << full.out;
  }
  // A reader that only wanted the first lines is no failure, however much
  // was left to write.
  std::string many;
  for (int i = 0; i < 300; ++i) many += " " + Q(dir.File("a.otq"));
  OtqRun head = Shell(std::string(OSTINATO_OTQ) + " list" + many + " 2>&1 | head -c 1 >/dev/null; exit ${PIPESTATUS[0]}");
  EXPECT_NE(head.status, 1) << head.out;
}

}  // namespace
}  // namespace ost
