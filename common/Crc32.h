// CRC-32 with the common reflected polynomial 0xEDB88320 (the checksum zlib,
// PNG and gzip compute), fed in pieces.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ost {

class Crc32 {
 public:
  void Update(const void* data, std::size_t count);
  void Update(std::uint8_t byte) { crc_ = Table()[(crc_ ^ byte) & 0xFF] ^ (crc_ >> 8); }
  std::uint32_t Value() const { return ~crc_; }

 private:
  static const std::uint32_t* Table();
  std::uint32_t crc_ = 0xFFFFFFFFu;
};

}  // namespace ost
