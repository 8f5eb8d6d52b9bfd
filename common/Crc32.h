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
  // The CRC of A followed by B, from the CRCs of A and of B and B's length:
  // CRC(A) carried over B's length (a multiplication by x^(8 length) modulo
  // the polynomial) plus CRC(B). Lets pieces of a file be checked apart.
  static std::uint32_t Combine(std::uint32_t crcA, std::uint32_t crcB, std::uint64_t lengthB);

 private:
  static const std::uint32_t* Table();
  std::uint32_t crc_ = 0xFFFFFFFFu;
};

}  // namespace ost
