// A reader of bytes over a window that a subclass refills: from a file, or
// from a channel that another thread fills as it decodes. Get() is inline,
// so byte-wise readers cost what they cost on a plain buffer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/FileIO.h"

namespace ost {

class ByteReader {
 public:
  ByteReader() = default;
  ByteReader(const ByteReader&) = delete;
  ByteReader& operator=(const ByteReader&) = delete;
  virtual ~ByteReader() = default;

  // The next byte, or EOF at the end.
  int Get() {
    if (cur_ == end_ && !Refill()) return EOF;
    return *cur_++;
  }
  // Up to `count` bytes; fewer only at the end.
  std::size_t Read(void* data, std::size_t count) {
    auto* out = static_cast<std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < count) {
      if (cur_ == end_ && !Refill()) break;
      const std::size_t n = std::min(count - done, static_cast<std::size_t>(end_ - cur_));
      std::memcpy(out + done, cur_, n);
      cur_ += n;
      done += n;
    }
    return done;
  }
  // The bytes at hand without a refill: [Next(), Next() + Available()).
  const std::uint8_t* Next() const { return cur_; }
  std::size_t Available() const { return static_cast<std::size_t>(end_ - cur_); }
  void Skip(std::size_t n) { cur_ += n; }

 protected:
  // Points the window at more bytes; false at the end.
  virtual bool Refill() = 0;
  const std::uint8_t* cur_ = nullptr;
  const std::uint8_t* end_ = nullptr;
};

// Reads an open file (or a range of one) from where it stands.
class FileReader final : public ByteReader {
 public:
  explicit FileReader(InFile& file) : file_(file), buffer_(new std::uint8_t[kBufferSize]) {}

 private:
  static constexpr std::size_t kBufferSize = 1 << 16;
  bool Refill() override {
    const std::size_t n = file_.Read(buffer_.get(), kBufferSize);
    cur_ = buffer_.get();
    end_ = cur_ + n;
    return n > 0;
  }
  InFile& file_;
  std::unique_ptr<std::uint8_t[]> buffer_;
};

}  // namespace ost
