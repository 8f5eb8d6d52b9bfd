// Buffered byte streams over the C library's FILE, with every failure turned
// into an Error that names the file. The codec passes read and write their
// working files byte by byte through these, so the hot calls are inline.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

#include "common/Errors.h"

namespace ost {

// A file read through a buffer of its own; it can also stand for a range of
// bytes within a file (an archive's stream), which then reads as if it were
// the whole file: Size, Seek and Tell count from the range's start, and Get
// answers EOF at its end; or for bytes held in memory, read the same way.
class InFile {
 public:
  InFile() = default;
  explicit InFile(const std::filesystem::path& path) { Open(path); }
  InFile(const InFile&) = delete;
  InFile& operator=(const InFile&) = delete;
  ~InFile();

  void Open(const std::filesystem::path& path);
  void OpenRange(const std::filesystem::path& path, std::uint64_t offset, std::uint64_t length);
  // Reads `bytes` as if they were a file's; `path` only names them.
  void OpenMemory(std::vector<std::uint8_t> bytes, const std::filesystem::path& path);
  bool IsOpen() const { return file_ != nullptr || window_ != nullptr; }
  void Close();

  // The next byte, or EOF (-1) at the end.
  int Get() {
    if (cur_ == end_ && !Refill()) return EOF;
    return *cur_++;
  }
  // Reads up to `count` bytes; fewer only at the end. A file that ends
  // before the size it had when opened throws Error(Changed).
  std::size_t Read(void* data, std::size_t count);
  std::uint64_t Size() const { return length_; }
  void Seek(std::uint64_t offset);
  void Rewind() { Seek(0); }
  std::uint64_t Tell() const { return bufferStart_ + static_cast<std::uint64_t>(cur_ - window_); }
  const std::filesystem::path& path() const { return path_; }

 private:
  bool Refill();
  [[noreturn]] void FailRead();
  // Small: a job reads through several files at once, and every page of a
  // fresh buffer costs a fault, more than the extra reads of a smaller one.
  static constexpr std::size_t kBufferSize = 1 << 14;
  std::FILE* file_ = nullptr;
  std::filesystem::path path_;
  std::uint64_t base_ = 0;         // where the range starts in the file
  std::uint64_t length_ = 0;       // bytes in the range
  std::uint64_t bufferStart_ = 0;  // range offset of buffer_[0]
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::vector<std::uint8_t> memory_;      // the bytes, when held in memory
  const std::uint8_t* window_ = nullptr;  // buffer_ or memory_
  const std::uint8_t* cur_ = nullptr;
  const std::uint8_t* end_ = nullptr;
};

class OutFile {
 public:
  OutFile() = default;
  explicit OutFile(const std::filesystem::path& path, const std::filesystem::path& shownAs = {}) {
    Open(path, shownAs);
  }
  OutFile(const OutFile&) = delete;
  OutFile& operator=(const OutFile&) = delete;
  // Closes without checking; call Close() to learn of a failed write.
  ~OutFile();

  // Creates the file, truncating an existing one. Errors name `shownAs`
  // when given: the file a user knows, not the temporary one written.
  void Open(const std::filesystem::path& path, const std::filesystem::path& shownAs = {});
  // Writes to the process's standard output (a duplicate of it, closed by
  // Close); errors name `shownAs`.
  void OpenStandardOutput(const std::filesystem::path& shownAs = "standard output");
  // Opens an existing file for writing in place (see Seek).
  void OpenForUpdate(const std::filesystem::path& path);
  void Seek(std::uint64_t offset);
  bool IsOpen() const { return file_ != nullptr; }
  // Flushes and closes; a write that failed on the way is reported here.
  void Close();

  void Put(std::uint8_t byte) {
    if (putc_unlocked(byte, file_) == EOF) FailWrite();
  }
  void Write(const void* data, std::size_t count);
  void WriteU32(std::uint32_t value);
  const std::filesystem::path& path() const { return path_; }

 private:
  [[noreturn]] void FailWrite();
  void UseBuffer();
  std::unique_ptr<char[]> buffer_;  // declared first: it outlives the stream
  std::FILE* file_ = nullptr;
  std::filesystem::path path_;
  std::filesystem::path shown_;
};

// Size of a file on disk, as an Error when it cannot be read.
std::uint64_t FileSize(const std::filesystem::path& path);

// What identifies a file's contents for as long as a job reads it: the file
// (device and inode), its size and its modification time. A source whose
// identity differs at the end of a job from its start has changed.
struct FileIdentity {
  std::uint64_t device = 0, inode = 0, size = 0;
  std::int64_t modifiedSeconds = 0, modifiedNanoseconds = 0;
  bool operator==(const FileIdentity&) const = default;
};
// Throws Error(Io) when the file cannot be examined.
FileIdentity IdentityOf(const std::filesystem::path& path);
// True when `output` is the same file as `input` (however named: links and
// other spellings of the path included).
bool SameFile(const std::filesystem::path& input, const std::filesystem::path& output);

// Removes a file if it exists; errors are ignored (used on cleanup paths).
void RemoveQuietly(const std::filesystem::path& path) noexcept;

// Makes `folder` and those above it. Throws Error(Io) "cannot create folder
// NAME: reason" when it cannot (a file standing in its place among the reasons).
void MakeFolders(const std::filesystem::path& folder);

// Opens /dev/null in place of a standard stream (0, 1, 2) that the program
// was started without, called first thing in main. Left closed, its number
// would go to the next file opened, and messages for the terminal would be
// written into an archive or a working file. /dev/null is opened the wrong
// way round for the stream (write-only for input, read-only for output), so
// that using the stream fails with "Bad file descriptor" as it would closed.
void HoldClosedStandardStreams() noexcept;

}  // namespace ost
