// Helpers shared by the core tests: scratch folders, files in and out of
// memory, and synthetic signals.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>
#include <cmath>
#include <algorithm>

#include "common/WorkFolder.h"

namespace ost::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void WriteAll(const std::filesystem::path& p, const Bytes& data) {
  std::ofstream out(p, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline std::string Hex(const Bytes& data) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (i) s += ' ';
    s += digits[data[i] >> 4];
    s += digits[data[i] & 15];
  }
  return s;
}

// 16-bit little-endian samples as bytes.
inline Bytes Pcm(const std::vector<std::int16_t>& samples) {
  Bytes out;
  for (auto s : samples) {
    out.push_back(static_cast<std::uint8_t>(s));
    out.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(s) >> 8));
  }
  return out;
}

// A canonical 44-byte RIFF header for `dataBytes` of 16-bit PCM.
inline Bytes WaveHeader(int channels, int rate, std::uint32_t dataBytes) {
  Bytes h;
  h.reserve(44);  // also keeps GCC 12 from a false -Wstringop-overflow on the first insert
  auto put = [&](std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) h.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  auto tag = [&](const char* t) { h.insert(h.end(), t, t + 4); };
  tag("RIFF"); put(36 + dataBytes, 4); tag("WAVE");
  tag("fmt "); put(16, 4); put(1, 2); put(channels, 2); put(rate, 4);
  put(rate * channels * 2, 4); put(channels * 2, 2); put(16, 2);
  tag("data"); put(dataBytes, 4);
  return h;
}

inline Bytes Wave(int channels, int rate, const std::vector<std::int16_t>& samples) {
  Bytes data = Pcm(samples);
  Bytes out = WaveHeader(channels, rate, static_cast<std::uint32_t>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

inline std::vector<std::int16_t> Noise(std::size_t n, int amplitude, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> d(-amplitude, amplitude);
  std::vector<std::int16_t> v(n);
  for (auto& s : v) s = static_cast<std::int16_t>(d(rng));
  return v;
}

// A sweep from 50 Hz upward with some noise: like music to the predictors.
inline std::vector<std::int16_t> Sweep(std::size_t n, double amplitude, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 30.0);
  std::vector<std::int16_t> v(n);
  double phase = 0;
  for (std::size_t i = 0; i < n; ++i) {
    phase += 0.01 + 0.3 * static_cast<double>(i) / static_cast<double>(n);
    double x = amplitude * std::sin(phase) + noise(rng);
    v[i] = static_cast<std::int16_t>(std::lround(std::max(-32768.0, std::min(32767.0, x))));
  }
  return v;
}

inline std::filesystem::path SourceDir() { return OSTINATO_TEST_DATA; }

}  // namespace ost::test
