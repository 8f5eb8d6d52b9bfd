#include "lzari/LzariEncoder.h"

#include <bit>
#include <cstring>

#include "common/Errors.h"
#include "common/FileIO.h"

namespace ost {

using namespace lzari;

CLzariEncoder::CLzariEncoder(std::filesystem::path input, std::filesystem::path output, std::string failureMessage)
    : inputPath_(std::move(input)), outputPath_(std::move(output)), failureMessage_(std::move(failureMessage)) {}

void CLzariEncoder::CompressFile() {
  InFile in(inputPath_);
  std::uint64_t length = in.Size();
  if (length > 0xFFFFFFFFu) throw Error(ErrorKind::Unsupported, inputPath_.string() + " is too long for one stream");
  OutFile out(outputPath_);
  FileSource source{in};
  FileSink sink{out};
  try {
    Encode(source, static_cast<std::uint32_t>(length), sink);
    out.Close();
  } catch (const Error& e) {
    if (e.kind() == ErrorKind::Io) throw Error(ErrorKind::Io, failureMessage_ + ": " + e.what());
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

template <typename Sink>
void CLzariEncoder::PutBits(Sink& out, std::uint32_t bits, int count) {
  bitBuffer_ = (bitBuffer_ << count) | bits;
  bitCount_ += count;
  while (bitCount_ >= 8) {
    bitCount_ -= 8;
    out.Put(static_cast<std::uint8_t>(bitBuffer_ >> bitCount_));
    ++codeSize_;
  }
}

template <typename Sink>
void CLzariEncoder::FlushBits(Sink& out) {
  // Seven 0-bits complete a partly filled byte; an empty one stays unwritten.
  if (bitCount_ > 0) PutBits(out, 0, 8 - bitCount_);
}

template <typename Sink>
void CLzariEncoder::EmitBitPlusFollow(Sink& out, int bit) {
  PutBits(out, static_cast<std::uint32_t>(bit), 1);
  const std::uint32_t follow = bit ? 0 : 0xFFFFFFFFu;
  for (; pendingFollowBits_ >= 32; pendingFollowBits_ -= 32) PutBits(out, follow, 32);
  if (pendingFollowBits_ > 0) PutBits(out, follow >> (32 - pendingFollowBits_), pendingFollowBits_);
  pendingFollowBits_ = 0;
}

// All the steps of the interval doubling at once. The leading bits that low
// and high - 1 share are settled and go out; after them, every position
// where low has a 1 and high - 1 a 0 just below the top bit is a follow
// step that only counts a pending bit.
template <typename Sink>
void CLzariEncoder::Renormalise(Sink& out) {
  std::uint32_t top = high_ - 1;
  const int settled = __builtin_clz(((low_ ^ top) << 15) | 0x4000);  // 0..17
  if (settled > 0) {
    const std::uint32_t bits = low_ >> (17 - settled);
    if (pendingFollowBits_ > 0) {
      EmitBitPlusFollow(out, static_cast<int>(bits >> (settled - 1)));
      if (settled > 1) PutBits(out, bits & ((1u << (settled - 1)) - 1), settled - 1);
    } else {
      PutBits(out, bits, settled);
    }
    low_ = (low_ << settled) & (kQ4 - 1);
    top = ((top << settled) | ((1u << settled) - 1)) & (kQ4 - 1);
  }
  // Now low < Q2 <= top; count the follow steps below the top bit.
  const int follow = __builtin_clz(~((low_ & ~top) << 16));  // 0..16
  low_ = (low_ << follow) & (kQ2 - 1);
  top = (((top << follow) | ((1u << follow) - 1)) & (kQ2 - 1)) | kQ2;
  pendingFollowBits_ += follow;
  high_ = top + 1;
}

template <typename Sink>
void CLzariEncoder::EncodeSymbol(Sink& out, int code) {
  const int s = model_.symbolOfByte[code];
  const std::uint32_t range = high_ - low_;
  const std::uint32_t total = model_.total;
  const std::uint32_t upper = model_.Cumulative(s - 1);
  high_ = low_ + range * upper / total;
  low_ += range * (upper - model_.frequency[s]) / total;
  Renormalise(out);
  model_.AdaptModel(s);
}

template <typename Sink>
void CLzariEncoder::EncodeMatchPosition(Sink& out, int position) {
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
  for (int i = kRingSize + 1; i <= kRingSize + 256; ++i) rightChild_[i] = kNone;
  for (int i = 0; i < kRingSize; ++i) parent_[i] = kNone;
}

void CLzariEncoder::InsertString(int r) {
  const std::uint8_t* key = &ring_[r];
  int p = kRingSize + 1 + key[0];
  int cmp = 1;
  rightChild_[r] = leftChild_[r] = kNone;
  matchLength_ = 0;
  for (;;) {
    if (cmp >= 0) {
      if (rightChild_[p] != kNone) {
        p = rightChild_[p];
      } else {
        rightChild_[p] = r;
        parent_[r] = p;
        return;
      }
    } else {
      if (leftChild_[p] != kNone) {
        p = leftChild_[p];
      } else {
        leftChild_[p] = r;
        parent_[r] = p;
        return;
      }
    }
    // The length of the common prefix, eight bytes at a time; cmp is the
    // difference at the first unequal byte (0 when all 60 agree).
    int i = 1;
    const std::uint8_t* other = &ring_[p];
    for (;;) {
      if (std::endian::native == std::endian::little && i + 8 <= kLongestMatch) {
        std::uint64_t a, b;
        std::memcpy(&a, key + i, 8);
        std::memcpy(&b, other + i, 8);
        if (a == b) {
          i += 8;
          continue;
        }
        i += __builtin_ctzll(a ^ b) / 8;  // little-endian: the lowest differing byte comes first
      } else {
        while (i < kLongestMatch && key[i] == other[i]) ++i;
      }
      break;
    }
    cmp = i < kLongestMatch ? static_cast<int>(key[i]) - static_cast<int>(other[i]) : 0;
    if (i > kThreshold) {
      const int distance = (r - p) & (kRingSize - 1);
      if (i > matchLength_) {
        matchPosition_ = distance;
        matchLength_ = i;
        if (matchLength_ >= kLongestMatch) break;
      } else if (i == matchLength_ && distance < matchPosition_) {
        matchPosition_ = distance;
      }
    }
  }
  // A full-length match: the new string replaces the old node in the tree.
  parent_[r] = parent_[p];
  leftChild_[r] = leftChild_[p];
  rightChild_[r] = rightChild_[p];
  parent_[leftChild_[p]] = r;
  parent_[rightChild_[p]] = r;
  if (rightChild_[parent_[p]] == p)
    rightChild_[parent_[p]] = r;
  else
    leftChild_[parent_[p]] = r;
  parent_[p] = kNone;
}

void CLzariEncoder::DeleteString(int p) {
  if (parent_[p] == kNone) return;
  int q;
  if (rightChild_[p] == kNone) {
    q = leftChild_[p];
  } else if (leftChild_[p] == kNone) {
    q = rightChild_[p];
  } else {
    q = leftChild_[p];
    if (rightChild_[q] != kNone) {
      do {
        q = rightChild_[q];
      } while (rightChild_[q] != kNone);
      rightChild_[parent_[q]] = leftChild_[q];
      parent_[leftChild_[q]] = parent_[q];
      leftChild_[q] = leftChild_[p];
      parent_[leftChild_[p]] = q;
    }
    rightChild_[q] = rightChild_[p];
    parent_[rightChild_[p]] = q;
  }
  parent_[q] = parent_[p];
  if (rightChild_[parent_[p]] == p)
    rightChild_[parent_[p]] = q;
  else
    leftChild_[parent_[p]] = q;
  parent_[p] = kNone;
}

template <typename Source, typename Sink>
void CLzariEncoder::Encode(Source& in, std::uint32_t length, Sink& out) {
  textSize_ = length;
  for (int i = 0; i < 4; ++i) out.Put(static_cast<std::uint8_t>(length >> (8 * i)));
  codeSize_ += 4;
  if (length == 0) return;

  textSize_ = 0;
  model_.InitModel();
  InitTrees();
  std::memset(ring_, ' ', kLookAheadStart);
  int s = 0;
  int r = kLookAheadStart;
  int len = 0;
  for (int c; len < kLongestMatch && (c = in.Get()) != EOF; ++len) ring_[r + len] = static_cast<std::uint8_t>(c);
  textSize_ = static_cast<std::uint32_t>(len);
  for (int i = 1; i <= kLongestMatch; ++i) InsertString(r - i);
  InsertString(r);
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
    textSize_ += static_cast<std::uint32_t>(i);
    while (i++ < last) {
      DeleteString(s);
      s = (s + 1) & (kRingSize - 1);
      r = (r + 1) & (kRingSize - 1);
      if (--len) InsertString(r);
    }
  }
  EncodeFinish(out);
}

}  // namespace ost
