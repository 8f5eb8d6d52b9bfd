// Byte sources and sinks that the coders run over: buffered files, or
// memory for tests and fuzzing. Get() returns the next byte or EOF.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "common/FileIO.h"

namespace ost {

struct MemorySource {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t pos = 0;
  int Get() { return pos < size ? data[pos++] : EOF; }
};
struct FileSource {
  InFile& file;
  int Get() { return file.Get(); }
};
struct MemorySink {
  std::vector<std::uint8_t>& out;
  void Put(std::uint8_t b) { out.push_back(b); }
  void Write(const std::uint8_t* bytes, std::size_t n) { out.insert(out.end(), bytes, bytes + n); }
};
struct FileSink {
  OutFile& file;
  void Put(std::uint8_t b) { file.Put(b); }
  void Write(const std::uint8_t* bytes, std::size_t n) { file.Write(bytes, n); }
};

}  // namespace ost
