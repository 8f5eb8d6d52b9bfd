#include "compress/WaveHeader.h"

#include "common/ByteSource.h"

namespace ost {

std::optional<int> ScanWaveHeaderBytes(std::span<const std::uint8_t> bytes) {
  MemorySource source{bytes.data(), bytes.size()};
  return ScanWaveHeader(source);
}

}  // namespace ost
