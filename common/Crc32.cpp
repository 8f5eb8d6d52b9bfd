#include "common/Crc32.h"

#include <array>
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#include <immintrin.h>
#endif

#include "common/CpuFeatures.h"

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

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
namespace {

// The CRC of blocks of 16 bytes by carry-less multiplication: four 128-bit
// lanes of the message are each multiplied forward by 512 bits and added
// to the next four, then folded into one lane, then reduced to 32 bits. In
// the reflected bit order every constant is x^n mod P for the n the step
// moves by (4 * 128 +- 32, 128 +- 32, 64), reflected and shifted up by one;
// the last pair is floor(x^64 / P) and P, for the Barrett reduction.
// `count` is at least 64 and a multiple of 16.
__attribute__((target("pclmul"))) inline __m128i Forward(__m128i lane, __m128i k) {
  // A lane times x^n: its low half by one constant, its high half by the other.
  return _mm_xor_si128(_mm_clmulepi64_si128(lane, k, 0x00), _mm_clmulepi64_si128(lane, k, 0x11));
}

__attribute__((target("pclmul"))) std::uint32_t FoldBlocks(std::uint32_t crc, const std::uint8_t* p,
                                                           std::size_t count) {
  const __m128i by512 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
  const __m128i by128 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
  const __m128i by64 = _mm_set_epi64x(0, 0x163cd6124);
  const __m128i barrett = _mm_set_epi64x(0x1f7011641, 0x1db710641);
  const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
  auto load = [](const std::uint8_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); };
  __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x2 = load(p + 16), x3 = load(p + 32), x4 = load(p + 48);
  p += 64;
  count -= 64;
  for (; count >= 64; p += 64, count -= 64) {
    x1 = _mm_xor_si128(Forward(x1, by512), load(p));
    x2 = _mm_xor_si128(Forward(x2, by512), load(p + 16));
    x3 = _mm_xor_si128(Forward(x3, by512), load(p + 32));
    x4 = _mm_xor_si128(Forward(x4, by512), load(p + 48));
  }
  x1 = _mm_xor_si128(Forward(x1, by128), x2);
  x1 = _mm_xor_si128(Forward(x1, by128), x3);
  x1 = _mm_xor_si128(Forward(x1, by128), x4);
  for (; count >= 16; p += 16, count -= 16) x1 = _mm_xor_si128(Forward(x1, by128), load(p));
  // 128 bits to 64, then to 32 by Barrett reduction.
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, by128, 0x10));
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 4), _mm_clmulepi64_si128(_mm_and_si128(x1, low32), by64, 0x00));
  __m128i q = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), barrett, 0x10);
  q = _mm_clmulepi64_si128(_mm_and_si128(q, low32), barrett, 0x00);
  return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(_mm_xor_si128(x1, q), 4)));
}

}  // namespace
#endif

void Crc32::Update(const void* data, std::size_t count) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  const auto& t = Tables();
  std::uint32_t c = crc_;
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
  if (count >= 64 && cpu::CarrylessMultiply()) {
    const std::size_t blocks = count & ~std::size_t{15};
    c = FoldBlocks(c, p, blocks);
    p += blocks;
    count -= blocks;
  }
#endif
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
