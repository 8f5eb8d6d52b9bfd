// Helpers shared by the core tests: scratch folders, files in and out of
// memory, and synthetic signals.
#pragma once

#include <malloc.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <functional>
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

// Runs `body` in a child process whose address space has room for about
// `threads` more threads' stacks and `bytes` more bytes, and little else, so
// that the next thread cannot start or the next allocation fails (a memory
// or process limit does that to a job). Returns the body's result, 3 for
// anything thrown out of it, or 128 + the signal that ended the child.
inline int WithRoomForThreads(std::size_t threads, const std::function<int()>& body, std::size_t bytes = 4 << 20) {
  const pid_t child = fork();
  if (child == 0) {
    alarm(20);  // a hang ends the child with SIGALRM
    pthread_attr_t attr;
    std::size_t stack = 8 << 20;
    if (pthread_getattr_default_np(&attr) == 0) pthread_attr_getstacksize(&attr, &stack);
    std::size_t used = 0;
    FILE* status = std::fopen("/proc/self/status", "r");
    char line[256];
    while (status && std::fgets(line, sizeof line, status))
      if (std::sscanf(line, "VmSize: %zu kB", &used) == 1) used <<= 10;
    if (status) std::fclose(status);
    malloc_trim(0);  // the parent's free memory is no room for the body
    const rlimit room{used + threads * (stack + (64 << 10)) + bytes, RLIM_INFINITY};
    setrlimit(RLIMIT_AS, &room);
    int outcome = 3;
    try {
      outcome = body();
    } catch (...) {
    }
    _exit(outcome);
  }
  int raw = 0;
  waitpid(child, &raw, 0);
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

inline std::filesystem::path SourceDir() { return OSTINATO_TEST_DATA; }

}  // namespace ost::test
