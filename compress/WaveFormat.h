// What a ".wav" file says it holds, read from its RIFF chunks as far as they
// go: sample format, width, channels, and the length its header claims. It
// only informs the user (and answers the channel question where the header
// scan of WaveHeader.h cannot); the archive's bytes stay decided by that
// scan, as the format prescribes, and every byte of the file is kept
// whatever its header says.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace ost {

struct WaveFormat {
  bool riff = false;     // begins with "RIFF", size, "WAVE"
  bool fmtFound = false;
  int formatTag = 0;     // 1 integer PCM, 3 floating point, 0xFFFE extensible
  int subFormat = 0;     // an extensible chunk's sub-format (1 PCM, 3 float)
  int channels = 0;
  int bitsPerSample = 0;
  std::uint32_t sampleRate = 0;
  std::optional<std::uint64_t> claimedData;  // the "data" chunk's stated size
  std::uint64_t dataOffset = 0;              // where its samples start
  std::uint64_t fileSize = 0;

  // The sample format the archive codes well: 16-bit integer PCM (plain or
  // extensible) in one or two channels.
  bool CodesWell() const;
  // "24-bit samples", "floating-point samples", "6 channels", joined with
  // " and "; empty when the file codes well or holds no "fmt " chunk.
  std::string WhatItHolds() const;
  // The sample bytes after the header, as the file really holds them.
  std::uint64_t RealData() const { return fileSize > dataOffset ? fileSize - dataOffset : 0; }
};

// Throws Error(Io) when the file cannot be read; a file that is no RIFF
// file at all gives riff == false.
WaveFormat ReadWaveFormat(const std::filesystem::path& path);

}  // namespace ost
