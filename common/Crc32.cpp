#include "common/Crc32.h"

#include <array>

namespace ost {

namespace {

// Sixteen tables for taking sixteen bytes a step: t[s][b] is the CRC
// register's change from byte b followed by s zero bytes.
constexpr int kSlices = 16;
const std::array<std::array<std::uint32_t, 256>, kSlices>& Tables() {
  static const auto tables = [] {
    std::array<std::array<std::uint32_t, 256>, kSlices> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[0][i] = c;
    }
    for (int s = 1; s < kSlices; ++s)
      for (int i = 0; i < 256; ++i) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    return t;
  }();
  return tables;
}

}  // namespace

const std::uint32_t* Crc32::Table() { return Tables()[0].data(); }

namespace {
std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}
}  // namespace

void Crc32::Update(const void* data, std::size_t count) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  const auto& t = Tables();
  std::uint32_t c = crc_;
  for (; count >= 16; count -= 16, p += 16) {
    const std::uint32_t w0 = c ^ Le32(p), w1 = Le32(p + 4), w2 = Le32(p + 8), w3 = Le32(p + 12);
    c = t[15][w0 & 0xFF] ^ t[14][(w0 >> 8) & 0xFF] ^ t[13][(w0 >> 16) & 0xFF] ^ t[12][w0 >> 24] ^
        t[11][w1 & 0xFF] ^ t[10][(w1 >> 8) & 0xFF] ^ t[9][(w1 >> 16) & 0xFF] ^ t[8][w1 >> 24] ^
        t[7][w2 & 0xFF] ^ t[6][(w2 >> 8) & 0xFF] ^ t[5][(w2 >> 16) & 0xFF] ^ t[4][w2 >> 24] ^
        t[3][w3 & 0xFF] ^ t[2][(w3 >> 8) & 0xFF] ^ t[1][(w3 >> 16) & 0xFF] ^ t[0][w3 >> 24];
  }
  for (; count > 0; --count, ++p) c = t[0][(c ^ *p) & 0xFF] ^ (c >> 8);
  crc_ = c;
}

namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;

// a times b modulo the polynomial, both in the reflected form (bit 31 is
// the coefficient of x^0).
std::uint32_t MultiplyModP(std::uint32_t a, std::uint32_t b) {
  std::uint32_t product = 0;
  for (std::uint32_t m = 1u << 31; m != 0; m >>= 1) {
    if (a & m) product ^= b;
    b = (b & 1) ? (b >> 1) ^ kPolynomial : b >> 1;  // b times x
  }
  return product;
}

// x^(8 n) modulo the polynomial, by squaring.
std::uint32_t ShiftOperator(std::uint64_t n) {
  std::uint32_t result = 1u << 31;  // x^0
  std::uint32_t power = 1u << 23;   // x^8: one byte
  for (; n != 0; n >>= 1) {
    if (n & 1) result = MultiplyModP(result, power);
    power = MultiplyModP(power, power);
  }
  return result;
}

}  // namespace

std::uint32_t Crc32::Combine(std::uint32_t crcA, std::uint32_t crcB, std::uint64_t lengthB) {
  return MultiplyModP(ShiftOperator(lengthB), crcA) ^ crcB;
}

}  // namespace ost
