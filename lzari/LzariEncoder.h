// LZARI encoder: LZ77 over a 4096-byte window, with literals and match
// lengths arithmetic-coded under one adaptive model and match positions under
// a fixed one. Output: the input length (4 bytes, little-endian), then the
// code bits, most significant bit of each byte first.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "lzari/LzariModel.h"

namespace ost {

class ByteReader;

class CLzariEncoder {
 public:
  // `failureMessage` is kept as the detail of the error of a failed write ("Write Error", ...).
  CLzariEncoder(std::filesystem::path input, std::filesystem::path output, std::string failureMessage);

  // Codes the input file into the output file. Throws Error on a failed
  // open, read or write. An object codes exactly one stream.
  void CompressFile();

  // Codes what `in` gives until its end into the output file: the same
  // bytes as CompressFile, for a text whose length is not known in advance
  // (one still being made by another thread).
  void CompressFrom(ByteReader& in);

  // Codes bytes in memory; the same bits as CompressFile.
  static std::vector<std::uint8_t> EncodeBytes(std::span<const std::uint8_t> input);

  // Lets a job follow a long stream and stop it: `done` gains one for
  // every kWatchBytes of input read, and coding stops with TaskCancelled soon
  // after `cancel` is set.
  static constexpr std::uint32_t kWatchBytes = 1 << 16;
  void Watch(const std::atomic<bool>* cancel, std::atomic<std::uint64_t>* done) {
    cancel_ = cancel;
    done_ = done;
  }

 private:
  template <typename Source, typename Sink>
  void Encode(Source& in, std::uint32_t length, Sink& out);
  // The code bits of the text (none for an empty one); returns its length.
  template <typename Source, typename Sink>
  std::uint64_t EncodeText(Source& in, Sink& out);

  template <typename Sink> void PutBits(Sink& out, std::uint64_t bits, int count);
  template <typename Sink> void FlushOutput(Sink& out);
  template <typename Sink> void FlushBits(Sink& out);
  template <typename Sink> void EmitBitPlusFollow(Sink& out, int bit);
  template <typename Sink> void EncodeSymbol(Sink& out, int code);
  template <typename Sink> void EncodeMatchPosition(Sink& out, int position);
  template <typename Sink> void EncodeFinish(Sink& out);
  template <typename Sink> void Renormalise(Sink& out);
  void InitTrees();
  void InsertString(int r);
  void DeleteString(int p);

  std::filesystem::path inputPath_, outputPath_;
  std::string failureMessage_;

  std::uint64_t textSize_ = 0;  // bytes read so far
  // The window, a copy of its first 59 bytes so that a 60-byte comparison
  // never wraps, and 8 bytes of padding for the comparison's word reads.
  std::uint8_t ring_[lzari::kRingSize + lzari::kLongestMatch - 1 + 8] = {};
  int matchPosition_ = 0;
  int matchLength_ = 0;
  // The search trees: one node per ring position, and the 256 roots (one per
  // first byte, right children only) after them. Small indices keep the
  // trees in the first-level cache.
  using Node = std::uint16_t;
  static constexpr int kLeft = 0, kRight = 1;
  Node child_[lzari::kRingSize + 257][2] = {};
  Node parent_[lzari::kRingSize + 1] = {};
  std::uint32_t low_ = 0;
  std::uint32_t high_ = lzari::kQ4;
  int pendingFollowBits_ = 0;
  lzari::SymbolModel model_;
  // Code bits not yet in whole bytes: the low bitCount_ (< 8) bits; whole
  // bytes wait in outBuffer_ (with room for one 8-byte store past its end).
  static constexpr int kOutBufferSize = 4096;
  std::uint64_t bitBuffer_ = 0;
  int bitCount_ = 0;
  int outCount_ = 0;
  std::uint8_t outBuffer_[kOutBufferSize + 8] = {};
  void Poll();
  const std::atomic<bool>* cancel_ = nullptr;
  std::atomic<std::uint64_t>* done_ = nullptr;
};

}  // namespace ost
