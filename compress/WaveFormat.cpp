#include "compress/WaveFormat.h"

#include <cstring>

#include "common/FileIO.h"

namespace ost {

namespace {

std::uint32_t U32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16)) | (static_cast<std::uint32_t>(p[3]) << 24);
}
int U16(const std::uint8_t* p) { return p[0] | (p[1] << 8); }

constexpr int kFormatPcm = 1, kFormatFloat = 3, kFormatExtensible = 0xFFFE;

}  // namespace

bool WaveFormat::CodesWell() const {
  const int kind = formatTag == kFormatExtensible ? subFormat : formatTag;
  return fmtFound && kind == kFormatPcm && bitsPerSample == 16 && (channels == 1 || channels == 2);
}

std::string WaveFormat::WhatItHolds() const {
  if (!fmtFound || CodesWell()) return {};
  const int kind = formatTag == kFormatExtensible ? subFormat : formatTag;
  std::string what;
  auto add = [&](const std::string& part) { what += (what.empty() ? "" : " and ") + part; };
  if (kind == kFormatFloat) add(std::to_string(bitsPerSample) + "-bit floating-point samples");
  else if (kind != kFormatPcm) add("samples of format " + std::to_string(kind));
  else if (bitsPerSample != 16) add(std::to_string(bitsPerSample) + "-bit samples");
  if (channels != 1 && channels != 2) add(std::to_string(channels) + " channels");
  return what;
}

WaveFormat ReadWaveFormat(const std::filesystem::path& path) {
  InFile in(path);
  WaveFormat f;
  f.fileSize = in.Size();
  std::uint8_t head[12];
  if (in.Read(head, 12) != 12 || std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0) return f;
  f.riff = true;
  // Chunks follow one another, each padded to an even length; the walk
  // stops at "data" (whose size streaming writers often leave 0 or
  // 0xFFFFFFFF) or wherever the file ends.
  for (std::uint64_t at = 12; at + 8 <= f.fileSize;) {
    in.Seek(at);
    std::uint8_t chunk[8];
    if (in.Read(chunk, 8) != 8) break;
    const std::uint32_t size = U32(chunk + 4);
    if (std::memcmp(chunk, "fmt ", 4) == 0 && !f.fmtFound) {
      std::uint8_t fmt[26] = {};
      const std::size_t got = in.Read(fmt, std::min<std::uint32_t>(size, sizeof fmt));
      if (got >= 16) {
        f.fmtFound = true;
        f.formatTag = U16(fmt);
        f.channels = U16(fmt + 2);
        f.sampleRate = U32(fmt + 4);
        f.bitsPerSample = U16(fmt + 14);
        if (f.formatTag == kFormatExtensible && got >= 26) f.subFormat = U16(fmt + 24);
      }
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      f.claimedData = size;
      f.dataOffset = at + 8;
      break;
    }
    at += 8 + static_cast<std::uint64_t>(size) + (size & 1);
  }
  return f;
}

}  // namespace ost
