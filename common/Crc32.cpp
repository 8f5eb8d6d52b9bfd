#include "common/Crc32.h"

#include <array>

namespace ost {

const std::uint32_t* Crc32::Table() {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  return table.data();
}

void Crc32::Update(const void* data, std::size_t count) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  const std::uint32_t* table = Table();
  std::uint32_t c = crc_;
  for (std::size_t i = 0; i < count; ++i) c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  crc_ = c;
}

}  // namespace ost
