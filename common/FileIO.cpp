#include "common/FileIO.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace ost {

namespace {
constexpr std::size_t kWriteBufferSize = 1 << 16;  // reads use InFile's own size
}

void ThrowIo(const std::string& action, const std::filesystem::path& file, int err) {
  if (err < 0) err = errno;
  std::string message = action + " " + file.string();
  if (err != 0) message += ": " + std::string(std::strerror(err));
  throw Error(ErrorKind::Io, message, {}, file, err);
}

void ThrowDamaged(const std::string& detail, const std::filesystem::path& archive) {
  throw Error(ErrorKind::Damaged, std::string(kDamagedMessage) + ": " + detail, detail, archive);
}

InFile::~InFile() {
  Close();
}

void InFile::Open(const std::filesystem::path& path) {
  Close();
  path_ = path;
  // Opened without blocking so that a pipe with no writer cannot hang the
  // job; only regular files have a size to code and can be read twice.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) ThrowIo("cannot open", path);
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    const int err = errno;
    close(fd);
    ThrowIo("cannot open", path, err);
  }
  if (!S_ISREG(info.st_mode)) {
    close(fd);
    throw Error(ErrorKind::Io, "cannot open " + path.string() + ": not a regular file", {}, path);
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  file_ = fdopen(fd, "rb");
  if (!file_) {
    const int err = errno;
    close(fd);
    ThrowIo("cannot open", path, err);
  }
  base_ = 0;
  length_ = static_cast<std::uint64_t>(info.st_size);
  buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(kBufferSize);
  bufferStart_ = 0;
  cur_ = end_ = window_ = buffer_.get();
}

void InFile::OpenMemory(std::vector<std::uint8_t> bytes, const std::filesystem::path& path) {
  Close();
  path_ = path;
  memory_ = std::move(bytes);
  base_ = bufferStart_ = 0;
  length_ = memory_.size();
  // The whole of it is the window: a refill only ever finds the end.
  cur_ = window_ = memory_.data();
  end_ = cur_ + memory_.size();
}

void InFile::OpenRange(const std::filesystem::path& path, std::uint64_t offset, std::uint64_t length) {
  Open(path);
  if (offset > length_ || length > length_ - offset) ThrowIo("cannot read past the end of", path, 0);
  base_ = offset;
  length_ = length;
  if (fseeko(file_, static_cast<off_t>(base_), SEEK_SET) != 0) FailRead();
}

void InFile::Close() {
  if (file_) {
    std::fclose(file_);
    file_ = nullptr;
  }
  buffer_.reset();
  memory_ = {};
  cur_ = end_ = window_ = nullptr;
}

bool InFile::Refill() {
  const std::uint64_t at = Tell();
  if (at >= length_ || !file_) return false;
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kBufferSize, length_ - at));
  const std::size_t got = std::fread(buffer_.get(), 1, want, file_);
  if (got < want && ferror(file_)) FailRead();
  // The file is shorter than when it was opened: whatever follows would not
  // be the bytes the job measured.
  if (got < want)
    throw Error(ErrorKind::Changed, path_.string() + " became shorter while it was being read", {}, path_);
  bufferStart_ = at;
  cur_ = buffer_.get();
  end_ = buffer_.get() + got;
  return got > 0;
}

std::size_t InFile::Read(void* data, std::size_t count) {
  auto* out = static_cast<std::uint8_t*>(data);
  std::size_t done = 0;
  while (done < count) {
    if (cur_ == end_ && !Refill()) break;
    const std::size_t n = std::min<std::size_t>(count - done, static_cast<std::size_t>(end_ - cur_));
    std::memcpy(out + done, cur_, n);
    cur_ += n;
    done += n;
  }
  return done;
}

void InFile::Seek(std::uint64_t offset) {
  if (offset > length_) offset = length_;
  if (offset >= bufferStart_ && offset <= bufferStart_ + static_cast<std::uint64_t>(end_ - window_)) {
    cur_ = window_ + (offset - bufferStart_);
    return;
  }
  if (fseeko(file_, static_cast<off_t>(base_ + offset), SEEK_SET) != 0) FailRead();
  bufferStart_ = offset;
  cur_ = end_ = window_;
}

void InFile::FailRead() { ThrowIo("cannot read", path_); }

OutFile::~OutFile() {
  if (file_) std::fclose(file_);
}

void OutFile::Open(const std::filesystem::path& path, const std::filesystem::path& shownAs) {
  Close();  // a write to the file before that failed is reported, not lost
  path_ = path;
  shown_ = shownAs.empty() ? path : shownAs;
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) ThrowIo("cannot create", shown_);
  UseBuffer();
}

void OutFile::OpenStandardOutput(const std::filesystem::path& shownAs) {
  Close();
  path_ = shown_ = shownAs;
  // A standard output the program was started without is held read-only
  // (HoldClosedStandardStreams): say so as a write to it would.
  if ((fcntl(STDOUT_FILENO, F_GETFL) & O_ACCMODE) == O_RDONLY) ThrowIo("cannot write", shown_, EBADF);
  const int fd = dup(STDOUT_FILENO);
  file_ = fd >= 0 ? fdopen(fd, "wb") : nullptr;
  if (!file_) {
    if (fd >= 0) close(fd);
    ThrowIo("cannot write", shown_);
  }
  UseBuffer();
}

void OutFile::OpenForUpdate(const std::filesystem::path& path) {
  Close();
  path_ = path;
  shown_ = path;
  file_ = std::fopen(path.c_str(), "r+b");
  if (!file_) ThrowIo("cannot write", path);
  UseBuffer();
}

// The C library would ignore a size given without a buffer and write in
// blocks of the file system's (4 KiB): ten times the system calls.
void OutFile::UseBuffer() {
  if (!buffer_) buffer_ = std::make_unique_for_overwrite<char[]>(kWriteBufferSize);
  std::setvbuf(file_, buffer_.get(), _IOFBF, kWriteBufferSize);
}

void OutFile::Seek(std::uint64_t offset) {
  if (fseeko(file_, static_cast<off_t>(offset), SEEK_SET) != 0) FailWrite();
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
  if (failed) ThrowIo("cannot write", shown_, err);
}

void OutFile::Write(const void* data, std::size_t count) {
  if (count && std::fwrite(data, 1, count, file_) != count) FailWrite();
}

void OutFile::WriteU32(std::uint32_t value) {
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                 static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
  Write(bytes, 4);
}

void OutFile::FailWrite() { ThrowIo("cannot write", shown_); }

std::uint64_t FileSize(const std::filesystem::path& path) {
  std::error_code ec;
  auto size = std::filesystem::file_size(path, ec);
  if (ec) ThrowIo("cannot read", path, ec.value());
  return size;
}

FileIdentity IdentityOf(const std::filesystem::path& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) ThrowIo("cannot read", path);
  return FileIdentity{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
                      static_cast<std::uint64_t>(info.st_size), static_cast<std::int64_t>(info.st_mtim.tv_sec),
                      static_cast<std::int64_t>(info.st_mtim.tv_nsec)};
}

bool SameFile(const std::filesystem::path& input, const std::filesystem::path& output) {
  std::error_code ec;
  if (std::filesystem::equivalent(input, output, ec)) return true;
  // An output that does not exist yet can still be the input's name spelt
  // another way only if it resolves to the same path.
  const auto a = std::filesystem::weakly_canonical(std::filesystem::absolute(input, ec), ec);
  if (ec) return false;
  const auto b = std::filesystem::weakly_canonical(std::filesystem::absolute(output, ec), ec);
  return !ec && a == b;
}

void RemoveQuietly(const std::filesystem::path& path) noexcept {
  std::error_code ec;
  std::filesystem::remove(path, ec);
}

void MakeFolders(const std::filesystem::path& folder) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) ThrowIo("cannot create folder", folder, ec.value());
}

void HoldClosedStandardStreams() noexcept {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() returns the lowest free number, which is fd: the ones below it
    // are open by now.
    const int held = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
    if (held != fd && held >= 0) close(held);
  }
}

}  // namespace ost
