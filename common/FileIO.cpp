#include "common/FileIO.h"

#include <cerrno>
#include <cstring>
#include <system_error>

namespace ost {

namespace {
constexpr std::size_t kBufferSize = 1 << 16;
}

void ThrowIo(const std::string& action, const std::filesystem::path& file, int err) {
  if (err < 0) err = errno;
  std::string message = action + " " + file.string();
  if (err != 0) message += ": " + std::string(std::strerror(err));
  throw Error(ErrorKind::Io, message);
}

void ThrowDamaged(const std::string& detail) {
  throw Error(ErrorKind::Damaged, std::string(kDamagedMessage) + ": " + detail);
}

InFile::~InFile() {
  if (file_) std::fclose(file_);
}

void InFile::Open(const std::filesystem::path& path) {
  Close();
  path_ = path;
  file_ = std::fopen(path.c_str(), "rb");
  if (!file_) ThrowIo("cannot open", path);
  std::setvbuf(file_, nullptr, _IOFBF, kBufferSize);
}

void InFile::Close() {
  if (file_) {
    std::fclose(file_);
    file_ = nullptr;
  }
}

std::size_t InFile::Read(void* data, std::size_t count) {
  std::size_t got = std::fread(data, 1, count, file_);
  if (got < count && ferror(file_)) FailRead();
  return got;
}

std::uint64_t InFile::Size() {
  off_t here = ftello(file_);
  if (here < 0 || fseeko(file_, 0, SEEK_END) != 0) FailRead();
  off_t end = ftello(file_);
  if (end < 0 || fseeko(file_, here, SEEK_SET) != 0) FailRead();
  return static_cast<std::uint64_t>(end);
}

void InFile::Seek(std::uint64_t offset) {
  if (fseeko(file_, static_cast<off_t>(offset), SEEK_SET) != 0) FailRead();
}

std::uint64_t InFile::Tell() {
  off_t here = ftello(file_);
  if (here < 0) FailRead();
  return static_cast<std::uint64_t>(here);
}

void InFile::FailRead() { ThrowIo("cannot read", path_); }

OutFile::~OutFile() {
  if (file_) std::fclose(file_);
}

void OutFile::Open(const std::filesystem::path& path) {
  if (file_) std::fclose(file_);
  path_ = path;
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) ThrowIo("cannot create", path);
  std::setvbuf(file_, nullptr, _IOFBF, kBufferSize);
}

void OutFile::Close() {
  if (!file_) return;
  bool failed = std::fflush(file_) != 0 || ferror(file_);
  int err = errno;
  if (std::fclose(file_) != 0 && !failed) {
    failed = true;
    err = errno;
  }
  file_ = nullptr;
  if (failed) ThrowIo("cannot write", path_, err);
}

void OutFile::Write(const void* data, std::size_t count) {
  if (count && std::fwrite(data, 1, count, file_) != count) FailWrite();
}

void OutFile::WriteU32(std::uint32_t value) {
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                 static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
  Write(bytes, 4);
}

std::uint64_t OutFile::Tell() {
  off_t here = ftello(file_);
  if (here < 0) FailWrite();
  return static_cast<std::uint64_t>(here);
}

void OutFile::FailWrite() { ThrowIo("cannot write", path_); }

std::uint64_t FileSize(const std::filesystem::path& path) {
  std::error_code ec;
  auto size = std::filesystem::file_size(path, ec);
  if (ec) ThrowIo("cannot read", path, ec.value());
  return size;
}

void RemoveQuietly(const std::filesystem::path& path) noexcept {
  std::error_code ec;
  std::filesystem::remove(path, ec);
}

}  // namespace ost
