#include "common/ByteChannel.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/Contract.h"
#include "common/Parallel.h"

namespace ost {

void ByteChannel::Push(std::vector<std::uint8_t>&& chunk) {
  std::unique_lock lock(hub_.mutex);
  if (!HasRoomLocked()) hub_.changed.wait(lock, [&] { return DrainedLocked(); });
  if (aborted_) throw TaskCancelled{};
  if (discarding_ || chunk.empty()) return;
  AddLocked(std::move(chunk));
}

void ByteChannel::AddLocked(std::vector<std::uint8_t>&& chunk) {
  const bool wasEmpty = chunks_.empty();
  queued_ += chunk.size();
  chunks_.push_back(std::move(chunk));
  if (wasEmpty) hub_.changed.notify_all();
}

void ByteChannel::TakenLocked(std::size_t bytes) {
  const bool wasFull = queued_ > Low();
  queued_ -= bytes;
  if (wasFull && queued_ <= Low()) hub_.changed.notify_all();
}

void ByteChannel::WaitForChunkLocked(std::unique_lock<std::mutex>& lock) {
  if (chunks_.empty() && !closed_) hub_.changed.wait(lock, [&] { return HasChunkLocked(); });
  if (aborted_) throw TaskCancelled{};
}

bool ByteChannel::TryPush(std::vector<std::uint8_t>& chunk) {
  std::lock_guard lock(hub_.mutex);
  if (aborted_) throw TaskCancelled{};
  if (!HasRoomLocked()) return false;
  if (discarding_ || chunk.empty()) {
    chunk.clear();
    return true;
  }
  AddLocked(std::move(chunk));
  return true;
}

bool ByteChannel::PullChunk(std::vector<std::uint8_t>& chunk) {
  std::unique_lock lock(hub_.mutex);
  WaitForChunkLocked(lock);
  if (chunks_.empty()) return false;
  chunk = std::move(chunks_.front());
  chunks_.pop_front();
  if (offset_ > 0) chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(offset_));
  offset_ = 0;
  TakenLocked(chunk.size());
  return true;
}

std::size_t ByteChannel::Pull(std::uint8_t* out, std::size_t count) {
  std::unique_lock lock(hub_.mutex);
  WaitForChunkLocked(lock);
  std::size_t done = 0;
  while (done < count && !chunks_.empty()) {
    std::vector<std::uint8_t>& front = chunks_.front();
    const std::size_t n = std::min(count - done, front.size() - offset_);
    std::memcpy(out + done, front.data() + offset_, n);
    done += n;
    offset_ += n;
    if (offset_ == front.size()) {
      chunks_.pop_front();
      offset_ = 0;
    }
  }
  TakenLocked(done);
  return done;
}

std::size_t ByteChannel::PullAll(std::uint8_t* out, std::size_t count) {
  std::size_t done = 0;
  for (std::size_t got; done < count && (got = Pull(out + done, count - done)) > 0;) done += got;
  return done;
}

void ByteChannel::Close() { Set(closed_); }
void ByteChannel::Abort() { Set(aborted_); }

void ByteChannel::Discard() {
  std::lock_guard lock(hub_.mutex);
  discarding_ = true;
  chunks_.clear();
  queued_ = offset_ = 0;
  hub_.changed.notify_all();
}

bool ByteChannel::WaitFinished() {
  std::unique_lock lock(hub_.mutex);
  hub_.changed.wait(lock, [&] { return aborted_ || closed_; });
  return !aborted_;
}

void ByteChannel::WaitForData() {
  std::unique_lock lock(hub_.mutex);
  WaitForChunkLocked(lock);
}

void ByteChannel::WaitForRoom(ByteChannel* a, ByteChannel* b) {
  if (!a) std::swap(a, b);
  if (!a) return;
  OST_EXPECTS(!b || &a->hub_ == &b->hub_);
  std::unique_lock lock(a->hub_.mutex);
  if (a->HasRoomLocked() || (b && b->HasRoomLocked())) return;
  a->hub_.changed.wait(lock, [&] { return a->DrainedLocked() || (b && b->DrainedLocked()); });
  if (a->aborted_ || (b && b->aborted_)) throw TaskCancelled{};
}

void ByteChannel::Set(bool& flag) {
  std::lock_guard lock(hub_.mutex);
  flag = true;
  hub_.changed.notify_all();
}

}  // namespace ost
