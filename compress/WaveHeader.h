// The channel count of a ".wav" source, found the way the archive format
// expects: the first "fmt " in the file, then bytes 9 and 10 counted from
// its "f" (the high byte of the format tag and the low byte of the channel
// count of a standard chunk).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace ost {

// c = (byte 9 AND 15) + (byte 10 AND 15) of the first "fmt " found, or
// nullopt when the file holds none (or ends within it).
template <typename Source>
std::optional<int> ScanWaveHeader(Source& in);

std::optional<int> ScanWaveHeaderBytes(std::span<const std::uint8_t> bytes);

}  // namespace ost

#include "compress/WaveHeader.inl"
