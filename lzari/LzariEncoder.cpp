#include "lzari/LzariEncoder.h"

#include <bit>
#include <cstring>

#include "common/ByteReader.h"
#include "common/ByteSource.h"
#include "common/Contract.h"
#include "common/Errors.h"
#include "common/FileIO.h"
#include "common/Parallel.h"

namespace ost {

using namespace lzari;

CLzariEncoder::CLzariEncoder(std::filesystem::path input, std::filesystem::path output, std::string failureMessage)
    : inputPath_(std::move(input)),
      outputPath_(std::move(output)),
      failureMessage_(std::move(failureMessage)) {}

void CLzariEncoder::CompressFile() {
  InFile in(inputPath_);
  std::uint64_t length = in.Size();
  if (length > 0xFFFFFFFFu) throw Error(ErrorKind::Unsupported, inputPath_.string() + " is too long for one stream", {}, inputPath_);
  OutFile out(outputPath_);
  FileSource source{in};
  FileSink sink{out};
  try {
    Encode(source, static_cast<std::uint32_t>(length), sink);
    out.Close();
  } catch (const Error& e) {
    if (e.kind() == ErrorKind::Io) throw Error(ErrorKind::Io, e.what(), failureMessage_, e.file());
    throw;
  }
}

void CLzariEncoder::CompressFrom(ByteReader& in) {
  OutFile out(outputPath_);
  FileSink sink{out};
  try {
    // The length goes first but is known last: it is written over the
    // placeholder once the text has ended.
    out.WriteU32(0);
    const std::uint64_t length = EncodeText(in, sink);
    if (length > 0xFFFFFFFFu)
      throw Error(ErrorKind::Unsupported, outputPath_.string() + " would code a stream too long for one archive", {},
                  outputPath_);
    out.Seek(0);
    out.WriteU32(static_cast<std::uint32_t>(length));
    out.Close();
  } catch (const Error& e) {
    if (e.kind() == ErrorKind::Io) throw Error(ErrorKind::Io, e.what(), failureMessage_, e.file());
    throw;
  }
}

std::vector<std::uint8_t> CLzariEncoder::EncodeBytes(std::span<const std::uint8_t> input) {
  std::vector<std::uint8_t> out;
  out.reserve(input.size() / 2 + 16);
  CLzariEncoder encoder({}, {}, {});
  MemorySource source{input.data(), input.size()};
  MemorySink sink{out};
  encoder.Encode(source, static_cast<std::uint32_t>(input.size()), sink);
  return out;
}

// Appends `count` (<= 56) bits, first bit highest. Whole bytes go to the
// output buffer with one unaligned store, however many there are.
template <typename Sink>
[[gnu::always_inline]] inline void CLzariEncoder::PutBits(Sink& out, std::uint64_t bits, int count) {
  OST_EXPECTS(count >= 0 && count <= 56);
  bitBuffer_ = (bitBuffer_ << count) | bits;
  bitCount_ += count;
  std::uint64_t aligned = (bitBuffer_ << (63 - bitCount_)) << 1;  // the pending bits at the top
  if constexpr (std::endian::native == std::endian::little) aligned = __builtin_bswap64(aligned);
  std::memcpy(outBuffer_ + outCount_, &aligned, 8);
  outCount_ += bitCount_ >> 3;
  bitCount_ &= 7;
  if (outCount_ >= kOutBufferSize) FlushOutput(out);
}

template <typename Sink>
[[gnu::noinline]] void CLzariEncoder::FlushOutput(Sink& out) {
  PutBytes(out, outBuffer_, static_cast<std::size_t>(outCount_));
  outCount_ = 0;
}

template <typename Sink>
void CLzariEncoder::FlushBits(Sink& out) {
  // Seven 0-bits complete a partly filled byte; an empty one stays unwritten.
  if (bitCount_ > 0) PutBits(out, 0, 8 - bitCount_);
  FlushOutput(out);
}

template <typename Sink>
void CLzariEncoder::EmitBitPlusFollow(Sink& out, int bit) {
  PutBits(out, static_cast<std::uint32_t>(bit), 1);
  const std::uint32_t follow = bit ? 0 : 0xFFFFFFFFu;
  for (; pendingFollowBits_ >= 32; pendingFollowBits_ -= 32) PutBits(out, follow, 32);
  PutBits(out, (follow >> 1) >> (31 - pendingFollowBits_), pendingFollowBits_);
  pendingFollowBits_ = 0;
}

// All the steps of the interval doubling at once. The leading bits that low
// and high - 1 share are settled and go out, the first of them followed by
// the pending follow bits; after them, every position where low has a 1 and
// high - 1 a 0 just below the top bit is a follow step that only counts a
// pending bit. Written without branches on the data but for the rare case of
// more than 31 pending bits.
template <typename Sink>
[[gnu::always_inline]] inline void CLzariEncoder::Renormalise(Sink& out) {
  std::uint32_t top = high_ - 1;
  const int settled = __builtin_clz(((low_ ^ top) << 15) | 0x4000);  // 0..17
  const std::uint64_t bits = low_ >> (17 - settled);
  const int pending = pendingFollowBits_;
  if (pending < 32) [[likely]] {
    // The first bit b followed by `pending` copies of not b reads as the
    // number b + 2^pending - 1: the follow bits are added at the first bit.
    const std::uint64_t follow = ((std::uint64_t{1} << pending) - 1) << settled >> 1;
    PutBits(out, settled ? bits + follow : 0, settled ? settled + pending : 0);
    pendingFollowBits_ = settled ? 0 : pending;
  } else if (settled > 0) {
    EmitBitPlusFollow(out, static_cast<int>(bits >> (settled - 1)));
    PutBits(out, bits & ((std::uint64_t{1} << (settled - 1)) - 1), settled - 1);
  }
  low_ = (low_ << settled) & (kQ4 - 1);
  top = ((top << settled) | ((1u << settled) - 1)) & (kQ4 - 1);
  // Now low < Q2 <= top; count the follow steps below the top bit.
  const int follow = __builtin_clz(~((low_ & ~top) << 16));  // 0..16
  low_ = (low_ << follow) & (kQ2 - 1);
  top = (((top << follow) | ((1u << follow) - 1)) & (kQ2 - 1)) | kQ2;
  pendingFollowBits_ += follow;
  high_ = top + 1;
}

template <typename Sink>
[[gnu::always_inline]] inline void CLzariEncoder::EncodeSymbol(Sink& out, int code) {
  const int s = model_.symbolOfByte[code];
  const std::uint32_t range = high_ - low_;
  const std::uint32_t total = model_.total;
  const std::uint32_t upper = model_.Cumulative(s - 1);
  // The divisions by the total as multiplications, as the decoder does.
  const ScaledRange scaled(range, lzari::Reciprocal(total));
  high_ = low_ + scaled.Of(upper);
  low_ += scaled.Of(upper - model_.frequency[s]);
  Renormalise(out);
  model_.AdaptModel(s);
}

template <typename Sink>
[[gnu::always_inline]] inline void CLzariEncoder::EncodeMatchPosition(Sink& out, int position) {
  const std::uint32_t range = high_ - low_;
  high_ = low_ + range * kPositionCumulative[position] / kPositionTotal;
  low_ += range * kPositionCumulative[position + 1] / kPositionTotal;
  Renormalise(out);
}

template <typename Sink>
void CLzariEncoder::EncodeFinish(Sink& out) {
  ++pendingFollowBits_;
  EmitBitPlusFollow(out, low_ < kQ1 ? 0 : 1);
  FlushBits(out);
}

void CLzariEncoder::InitTrees() {
  for (int i = kRingSize + 1; i <= kRingSize + 256; ++i) child_[i][kRight] = kNone;
  for (int i = 0; i < kRingSize; ++i) parent_[i] = kNone;
}

namespace {
// Eight bytes read so that comparing the numbers compares the bytes in order.
inline std::uint64_t LoadBigEndian(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  return v;
}
}  // namespace

void CLzariEncoder::InsertString(int r) {
  const std::uint8_t* key = &ring_[r];
  const std::uint64_t head = LoadBigEndian(key + 1);  // key bytes 1..8, compared at every node
  std::size_t p = kRingSize + 1 + key[0];  // unsigned, so indexing needs no sign extension
  bool greater = true;                     // the root has a right child only
  child_[r][kLeft] = child_[r][kRight] = kNone;
  int length = 0, position = 0;
  std::size_t next = child_[p][kRight];
  for (;;) {
    if (next == kNone) {
      child_[p][greater ? kRight : kLeft] = static_cast<Node>(r);
      parent_[r] = static_cast<Node>(p);
      matchLength_ = length;
      matchPosition_ = position;
      return;
    }
    p = next;
    // Both children are read with the node's bytes and one is picked once
    // the comparison is known, which keeps the chain of dependent loads short.
    const std::size_t left = child_[p][kLeft];
    const std::size_t right = child_[p][kRight];
    const std::uint8_t* other = &ring_[p];
    const std::uint64_t b = LoadBigEndian(other + 1);
    // The side to descend is that of the first unequal byte; most nodes
    // differ from the key within its bytes 1 and 2 and so are no match.
    greater = head > b;
    next = greater ? right : left;
    if ((head ^ b) >> 48 != 0) continue;
    // The length i of the common prefix, eight bytes at a time (the ring's
    // padding covers the reads past byte 59).
    int i = 1;
    std::uint64_t a = head, c = b;
    while (a == c) {
      i += 8;
      if (i >= kLongestMatch) break;
      a = LoadBigEndian(key + i);
      c = LoadBigEndian(other + i);
    }
    if (a != c) {
      i += __builtin_clzll(a ^ c) / 8;
      greater = a > c;
      next = greater ? right : left;
    }
    const int distance = (r - static_cast<int>(p)) & (kRingSize - 1);
    if (i >= kLongestMatch) {
      matchPosition_ = distance;
      matchLength_ = kLongestMatch;
      break;
    }
    if (i > length) {
      position = distance;
      length = i;
    } else if (i == length && distance < position) {
      position = distance;
    }
  }
  // A full-length match: the new string replaces the old node in the tree.
  const std::size_t up = parent_[p];
  parent_[r] = static_cast<Node>(up);
  child_[r][kLeft] = child_[p][kLeft];
  child_[r][kRight] = child_[p][kRight];
  parent_[child_[p][kLeft]] = static_cast<Node>(r);
  parent_[child_[p][kRight]] = static_cast<Node>(r);
  child_[up][child_[up][kRight] == p ? kRight : kLeft] = static_cast<Node>(r);
  parent_[p] = kNone;
}

void CLzariEncoder::DeleteString(int p) {
  const int up = parent_[p];
  if (up == kNone) return;
  int q;
  if (child_[p][kRight] == kNone) {
    q = child_[p][kLeft];
  } else if (child_[p][kLeft] == kNone) {
    q = child_[p][kRight];
  } else {
    q = child_[p][kLeft];
    if (child_[q][kRight] != kNone) {
      do {
        q = child_[q][kRight];
      } while (child_[q][kRight] != kNone);
      child_[parent_[q]][kRight] = child_[q][kLeft];
      parent_[child_[q][kLeft]] = parent_[q];
      child_[q][kLeft] = child_[p][kLeft];
      parent_[child_[p][kLeft]] = static_cast<Node>(q);
    }
    child_[q][kRight] = child_[p][kRight];
    parent_[child_[p][kRight]] = static_cast<Node>(q);
  }
  parent_[q] = static_cast<Node>(up);
  child_[up][child_[up][kRight] == p ? kRight : kLeft] = static_cast<Node>(q);
  parent_[p] = kNone;
}

void CLzariEncoder::Poll() {
  if (cancel_ && cancel_->load(std::memory_order_relaxed)) throw TaskCancelled{};
  if (done_) done_->fetch_add(1, std::memory_order_relaxed);
}

template <typename Source, typename Sink>
void CLzariEncoder::Encode(Source& in, std::uint32_t length, Sink& out) {
  for (int i = 0; i < 4; ++i) out.Put(static_cast<std::uint8_t>(length >> (8 * i)));
  if (length != 0) EncodeText(in, out);
}

template <typename Source, typename Sink>
std::uint64_t CLzariEncoder::EncodeText(Source& in, Sink& out) {
  textSize_ = 0;
  model_.InitModel();
  InitTrees();
  std::memset(ring_, ' ', kLookAheadStart);
  int s = 0;
  int r = kLookAheadStart;
  int len = 0;
  for (int c; len < kLongestMatch && (c = in.Get()) != EOF; ++len) ring_[r + len] = static_cast<std::uint8_t>(c);
  if (len == 0) return 0;  // an empty text codes to no bits at all
  textSize_ = static_cast<std::uint64_t>(len);
  for (int i = 1; i <= kLongestMatch; ++i) InsertString(r - i);
  InsertString(r);
  std::uint64_t nextWatch = kWatchBytes;
  while (len > 0) {
    if (matchLength_ > len) matchLength_ = len;
    if (matchLength_ <= kThreshold) {
      matchLength_ = 1;
      EncodeSymbol(out, ring_[r]);
    } else {
      EncodeSymbol(out, 255 - kThreshold + matchLength_);
      EncodeMatchPosition(out, matchPosition_ - 1);
    }
    const int last = matchLength_;
    int i = 0;
    for (int c; i < last && (c = in.Get()) != EOF; ++i) {
      DeleteString(s);
      ring_[s] = static_cast<std::uint8_t>(c);
      if (s < kLongestMatch - 1) ring_[s + kRingSize] = static_cast<std::uint8_t>(c);
      s = (s + 1) & (kRingSize - 1);
      r = (r + 1) & (kRingSize - 1);
      InsertString(r);
    }
    textSize_ += static_cast<std::uint64_t>(i);
    if (textSize_ >= nextWatch) {
      nextWatch += kWatchBytes;
      Poll();
    }
    while (i++ < last) {
      DeleteString(s);
      s = (s + 1) & (kRingSize - 1);
      r = (r + 1) & (kRingSize - 1);
      if (--len) InsertString(r);
    }
  }
  EncodeFinish(out);
  return textSize_;
}

}  // namespace ost
