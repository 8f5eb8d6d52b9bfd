#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <vector>

#include <string>

#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/ByteChannel.h"
#include "common/Crc32.h"
#include "common/Errors.h"
#include "common/Parallel.h"
#include "common/Password.h"
#include "common/PendingOutput.h"
#include "TestUtil.h"

namespace ost {
namespace {

// Bytes from a linear congruential generator.
std::vector<std::uint8_t> Scrambled(std::size_t n, std::uint32_t seed) {
  std::vector<std::uint8_t> data(n);
  for (auto& b : data) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(seed >> 24);
  }
  return data;
}

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

// Long runs go through the processor's carry-less multiplication where it
// has one: every length around its block sizes, from every alignment, must
// give what the bytes give one at a time.
TEST(Crc32, LongRunsAgreeWithBytesOneAtATime) {
  const std::vector<std::uint8_t> data = Scrambled(1200, 3);
  for (std::size_t start = 0; start < 17; start += 4)
    for (std::size_t length = 0; length + start <= data.size(); length += length < 200 ? 1 : 97) {
      Crc32 run, bytes;
      run.Update(data.data() + start, length);
      for (std::size_t i = 0; i < length; ++i) bytes.Update(data[start + i]);
      ASSERT_EQ(run.Value(), bytes.Value()) << "start " << start << ", length " << length;
    }
}

TEST(Crc32, CombinedPiecesGiveTheWhole) {
  const std::vector<std::uint8_t> data = Scrambled(100000, 7);
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
    // Only its owner may read it until it is done, whatever it will become.
    EXPECT_EQ(std::filesystem::status(out.temp()).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
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

// A producer that finds the queue full sleeps until it is half empty, so
// the bound matters: every limit down to one byte (half of which is none),
// chunks larger than the limit, reads of odd sizes and a stream shorter than
// the queue must all come through whole, in order, and without a hang.
TEST(ByteChannel, EveryLimitAndChunkSizeComesThroughWhole) {
  using test::Bytes;
  struct Case {
    std::size_t limit, chunk, total, read;
    bool chunks;  // read whole chunks instead of counts
  };
  for (const Case c : {Case{1, 1, 100, 1, false}, Case{1, 7, 300, 5, true}, Case{2, 1, 301, 3, false},
                       Case{3, 5, 1000, 2, false}, Case{1000, 999, 50'000, 777, false},
                       Case{1 << 16, 4096, 300'000, 0, true}, Case{1 << 16, 100, 500, 64, false},
                       Case{1 << 16, 100, 0, 64, false}}) {
    SCOPED_TRACE(testing::Message() << "limit " << c.limit << " chunk " << c.chunk << " total " << c.total);
    ByteChannel channel(c.limit);
    Bytes sent(c.total);
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    auto producing = std::async(std::launch::async, [&] {
      for (std::size_t at = 0; at < sent.size(); at += c.chunk)
        channel.Push(Bytes(sent.begin() + static_cast<std::ptrdiff_t>(at),
                           sent.begin() + static_cast<std::ptrdiff_t>(std::min(sent.size(), at + c.chunk))));
      channel.Close();
    });
    std::promise<void> finished;
    auto watchdog = std::async(std::launch::async, [&, done = finished.get_future()] {
      if (done.wait_for(std::chrono::seconds(20)) == std::future_status::timeout) channel.Abort();
    });
    Bytes got;
    bool hung = false;
    try {
      channel.WaitForData();
      if (c.chunks) {
        for (Bytes chunk; channel.PullChunk(chunk);) got.insert(got.end(), chunk.begin(), chunk.end());
      } else {
        Bytes part(c.read);
        for (std::size_t n; (n = channel.Pull(part.data(), part.size())) > 0;)
          got.insert(got.end(), part.begin(), part.begin() + static_cast<std::ptrdiff_t>(n));
      }
      producing.get();
    } catch (const TaskCancelled&) {
      hung = true;
    }
    finished.set_value();
    ASSERT_FALSE(hung) << "the channel's producer or consumer hung";
    EXPECT_TRUE(got == sent);
  }
}

// A writer hands on its first bytes after 4 KiB, its chunks then doubling
// up to a quarter of the queue: a stream shorter than one full chunk
// reaches its reader while it is being made, not only at its end.
TEST(ByteChannel, AWritersFirstChunksAreSmall) {
  ByteChannel channel(1 << 18);
  ChannelWriter writer(channel);
  const test::Bytes block(4096, 1);
  for (int i = 0; i < 50; ++i) {
    writer.Write(block.data(), block.size());
    writer.WaitReady();
  }
  writer.Finish();
  std::vector<std::size_t> sizes;
  for (test::Bytes chunk; channel.PullChunk(chunk);) sizes.push_back(chunk.size());
  EXPECT_EQ(sizes, (std::vector<std::size_t>{4096, 8192, 16384, 32768, 65536, 65536, 12288}));
}

// Runs `body` in a child process whose address space has room for about
// `threads` more threads' stacks and little else, so that the next thread
// cannot start (a memory or process limit does that to a job). Returns the
// body's result, 3 for anything thrown out of it, or 128 + the signal that
// ended the child.
int WithRoomForThreads(std::size_t threads, const std::function<int()>& body) {
  const pid_t child = fork();
  if (child == 0) {
    alarm(20);  // a hang ends the child with SIGALRM
    pthread_attr_t attr;
    std::size_t stack = 8 << 20;
    if (pthread_getattr_default_np(&attr) == 0) pthread_attr_getstacksize(&attr, &stack);
    std::size_t used = 0;
    FILE* status = std::fopen("/proc/self/status", "r");
    char line[256];
    while (status && std::fgets(line, sizeof line, status))
      if (std::sscanf(line, "VmSize: %zu kB", &used) == 1) used <<= 10;
    if (status) std::fclose(status);
    const rlimit room{used + threads * (stack + (64 << 10)) + (4 << 20), RLIM_INFINITY};
    setrlimit(RLIMIT_AS, &room);
    int outcome = 3;
    try {
      outcome = body();
    } catch (...) {
    }
    _exit(outcome);
  }
  int raw = 0;
  waitpid(child, &raw, 0);
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

// Threads that cannot be started: work that splits runs on those that did
// (or on the caller), and a chain of tasks that wait on each other fails
// with a message instead of ending the process (std::terminate) or hanging.
TEST(Parallel, ThreadsThatCannotStartEndNoProcess) {
  for (const std::size_t room : {std::size_t{0}, std::size_t{1}}) {
    SCOPED_TRACE(testing::Message() << "room for " << room << " threads");
    EXPECT_EQ(WithRoomForThreads(room, [] {
                std::atomic<int> ran{0};
                std::vector<std::function<void()>> tasks(6, [&] { ++ran; });
                RunParallel(tasks, 6);
                return ran == 6 ? 0 : 1;
              }),
              0);
    EXPECT_EQ(WithRoomForThreads(room, [] {
                // The first task waits for what the last one sends.
                ByteChannel channel(16);
                std::vector<std::function<void()>> tasks{
                    [&] {
                      try {
                        std::uint8_t byte;
                        channel.Pull(&byte, 1);
                      } catch (const TaskCancelled&) {
                      }
                    },
                    [] {}, [] {}, [&] { channel.Push({1}); }};
                NullProgress progress;
                std::atomic<std::uint64_t> done{0};
                std::atomic<bool> cancel{false};
                try {
                  RunWithProgress(tasks, 4, progress, done, cancel, [&] { channel.Abort(); });
                  return 0;  // every thread started after all
                } catch (const Error& e) {
                  return std::string(e.what()).find("cannot start") != std::string::npos ? 0 : 2;
                }
              }),
              0);
  }
}

}  // namespace
}  // namespace ost
