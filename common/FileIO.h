// Buffered byte streams over the C library's FILE, with every failure turned
// into an Error that names the file. The codec passes read and write their
// working files byte by byte through these, so the hot calls are inline.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "common/Errors.h"

namespace ost {

class InFile {
 public:
  InFile() = default;
  explicit InFile(const std::filesystem::path& path) { Open(path); }
  InFile(const InFile&) = delete;
  InFile& operator=(const InFile&) = delete;
  ~InFile();

  void Open(const std::filesystem::path& path);
  bool IsOpen() const { return file_ != nullptr; }
  void Close();

  // The next byte, or EOF (-1) at the end of the file.
  int Get() {
    int c = getc_unlocked(file_);
    if (c == EOF && ferror(file_)) FailRead();
    return c;
  }
  // Reads up to `count` bytes; fewer only at the end of the file.
  std::size_t Read(void* data, std::size_t count);
  // Length of the file in bytes; the read position is kept.
  std::uint64_t Size();
  void Seek(std::uint64_t offset);
  void Rewind() { Seek(0); }
  std::uint64_t Tell();
  const std::filesystem::path& path() const { return path_; }

 private:
  [[noreturn]] void FailRead();
  std::FILE* file_ = nullptr;
  std::filesystem::path path_;
};

class OutFile {
 public:
  OutFile() = default;
  explicit OutFile(const std::filesystem::path& path) { Open(path); }
  OutFile(const OutFile&) = delete;
  OutFile& operator=(const OutFile&) = delete;
  // Closes without checking; call Close() to learn of a failed write.
  ~OutFile();

  // Creates the file, truncating an existing one.
  void Open(const std::filesystem::path& path);
  bool IsOpen() const { return file_ != nullptr; }
  // Flushes and closes; a write that failed on the way is reported here.
  void Close();

  void Put(std::uint8_t byte) {
    if (putc_unlocked(byte, file_) == EOF) FailWrite();
  }
  void Write(const void* data, std::size_t count);
  void WriteU32(std::uint32_t value);
  std::uint64_t Tell();
  const std::filesystem::path& path() const { return path_; }

 private:
  [[noreturn]] void FailWrite();
  std::FILE* file_ = nullptr;
  std::filesystem::path path_;
};

// Size of a file on disk, as an Error when it cannot be read.
std::uint64_t FileSize(const std::filesystem::path& path);

// Removes a file if it exists; errors are ignored (used on cleanup paths).
void RemoveQuietly(const std::filesystem::path& path) noexcept;

}  // namespace ost
