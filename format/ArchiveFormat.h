// The archive's constants that both directions use: the layout of the
// analysis stream (frame length, index widths) and of the integrity record.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ost {

inline constexpr int kAnalysisBitsPerFrame = 54;
// Index widths of the 14 coefficients of a frame, in stream order.
inline constexpr int kIndexBits[14] = {5, 5, 5, 5, 5, 5, 4, 4, 4, 3, 3, 2, 2, 2};

// Frame length: 2048 samples for a ".wav" whose "fmt " chunk was found, else 512.
inline int FrameLength(bool waveHeader) { return waveHeader ? 2048 : 512; }

// The six streams, in the order of their lengths and bytes in an archive.
enum StreamIndex { kHeaderStream, kSignStream, kLowerStream, kHigherStream, kFlagStream, kAnalysisStream };

// The integrity record appended after the streams: tag, restored length
// (8 bytes) and CRC-32 of the restored bytes, all little-endian.
struct IntegrityRecord {
  std::uint64_t restoredLength = 0;
  std::uint32_t crc32 = 0;
};
inline constexpr std::uint8_t kIntegrityTag[4] = {'O', 'T', 'Q', 'C'};
inline constexpr std::size_t kIntegrityRecordSize = 16;

}  // namespace ost
