// Bytes handed from one thread to another as they are made, in chunks,
// through a bounded queue: the producer waits while the queue is full, the
// consumer while it is empty, so memory stays flat however long the stream.
// Either side's failure or a cancel aborts the channel, which wakes every
// waiter with TaskCancelled: no thread stays blocked on a channel whose
// other side has gone. Channels that one thread serves together share a
// ChannelHub, so that it can wait for room in any of them.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "common/ByteReader.h"

namespace ost {

struct ChannelHub {
  std::mutex mutex;
  std::condition_variable changed;
};

class ByteChannel {
 public:
  // `limit`: bytes queued at most (a chunk is taken whole as long as the
  // queue is below it).
  explicit ByteChannel(std::size_t limit, ChannelHub* hub = nullptr) : limit_(limit), hub_(hub ? *hub : own_) {}
  ByteChannel(const ByteChannel&) = delete;
  ByteChannel& operator=(const ByteChannel&) = delete;

  // Producer. Push waits while the queue is full; TryPush returns false
  // instead. Both drop the chunk once the consumer discards, and throw
  // TaskCancelled once the channel is aborted.
  void Push(std::vector<std::uint8_t>&& chunk);
  bool TryPush(std::vector<std::uint8_t>& chunk);
  // Everything was pushed.
  void Close();

  // Consumer. Takes the next chunk whole (waiting while the queue is
  // empty); false only once the producer closed the channel and all was
  // taken.
  bool PullChunk(std::vector<std::uint8_t>& chunk);
  // Up to `count` bytes, waiting while the queue is empty; 0 only at the end.
  std::size_t Pull(std::uint8_t* out, std::size_t count);
  // Exactly `count` bytes unless the channel ends first.
  std::size_t PullAll(std::uint8_t* out, std::size_t count);
  // The consumer needs no more: what is still pushed is dropped, and the
  // producer runs on without waiting.
  void Discard();
  // Waits until the producer has closed the channel (true) or it was
  // aborted (false).
  bool WaitFinished();
  // Waits until the first chunk or the end is there; throws TaskCancelled
  // when aborted.
  void WaitForData();

  std::size_t limit() const { return limit_; }

  // Either side: stops the channel for good.
  void Abort();

  // Waits until either channel (of one hub; null for none) would take a chunk.
  static void WaitForRoom(ByteChannel* a, ByteChannel* b);

 private:
  // A producer that finds the queue full sleeps until it is half empty, and
  // only that crossing wakes it: it is woken once per half a queue, not on
  // every read (a restore's reads are a frame each). On one core each
  // wake-up is a switch between the two sides. The consumer wakes at the
  // first chunk, so that the next link of a chain starts at once.
  std::size_t Low() const { return limit_ / 2; }
  bool HasRoomLocked() const { return aborted_ || discarding_ || queued_ < limit_; }
  bool DrainedLocked() const { return aborted_ || discarding_ || queued_ <= Low(); }
  bool HasChunkLocked() const { return aborted_ || closed_ || !chunks_.empty(); }
  void AddLocked(std::vector<std::uint8_t>&& chunk);
  void TakenLocked(std::size_t bytes);
  void WaitForChunkLocked(std::unique_lock<std::mutex>& lock);
  void Set(bool& flag);
  const std::size_t limit_;
  ChannelHub own_;
  ChannelHub& hub_;
  std::deque<std::vector<std::uint8_t>> chunks_;
  std::size_t offset_ = 0;  // bytes of the front chunk already taken by Pull
  std::size_t queued_ = 0;
  bool closed_ = false, aborted_ = false, discarding_ = false;
};

// The producer's end for a coder that writes small blocks: they gather into
// chunks of a quarter of its queue. Write never waits; Ready says whether the
// next block can be written without the held chunk outgrowing its size.
class ChannelWriter {
 public:
  // Chunks of a quarter of the queue, at most 64 KiB: a queue holds a few,
  // and the pages of the few in flight are all the memory it touches. The
  // first chunks are smaller, doubling from 4 KiB, so that the reader can
  // start soon after the writer: a short stream that fits one full-size
  // chunk would otherwise reach it only once it was all made.
  explicit ChannelWriter(ByteChannel& channel)
      : channel_(channel),
        largest_(std::min<std::size_t>(channel.limit() / 4, 1 << 16)),
        chunkSize_(std::min<std::size_t>(largest_, 1 << 12)) {
    chunk_.reserve(chunkSize_ + 4096);
  }
  void Write(const std::uint8_t* data, std::size_t count) { chunk_.insert(chunk_.end(), data, data + count); }
  // True when the held chunk has room, or when a full one could be handed on.
  bool Ready() {
    if (chunk_.size() < chunkSize_) return true;
    if (!channel_.TryPush(chunk_)) return false;
    Renew();
    return true;
  }
  // Waits until Ready.
  void WaitReady() {
    if (chunk_.size() < chunkSize_) return;
    channel_.Push(std::move(chunk_));
    Renew();
  }
  // Hands on what is held and closes the channel.
  void Finish() {
    if (!chunk_.empty()) channel_.Push(std::move(chunk_));
    Renew();
    channel_.Close();
  }
  // The same without waiting: false when the channel has no room yet.
  bool TryFinish() {
    if (!chunk_.empty() && !channel_.TryPush(chunk_)) return false;
    Renew();
    channel_.Close();
    return true;
  }
  ByteChannel& channel() { return channel_; }

 private:
  void Renew() {
    chunkSize_ = std::min(2 * chunkSize_, largest_);
    chunk_ = {};
    chunk_.reserve(chunkSize_ + 4096);
  }
  ByteChannel& channel_;
  const std::size_t largest_;
  std::size_t chunkSize_;
  std::vector<std::uint8_t> chunk_;
};

// The consumer's end as a ByteReader.
class ChannelReader final : public ByteReader {
 public:
  explicit ChannelReader(ByteChannel& channel) : channel_(channel) {}

 private:
  bool Refill() override {
    if (!channel_.PullChunk(chunk_)) return false;
    cur_ = chunk_.data();
    end_ = cur_ + chunk_.size();
    return true;
  }
  ByteChannel& channel_;
  std::vector<std::uint8_t> chunk_;
};

}  // namespace ost
