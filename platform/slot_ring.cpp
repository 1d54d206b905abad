#include "platform/slot_ring.h"

#include <algorithm>

namespace lumivora::platform {

SlotRing::SlotRing(size_t depth) : depth_(std::max<size_t>(depth, 2)), wake_(depth_ / 2) {}

std::optional<uint64_t> SlotRing::AcquireFree() {
  std::unique_lock lock(mutex_);
  if (!stopped_ && !consumerError_ && Free() == 0) {
    producerWaiting_ = true;
    producerCanGo_.wait(lock, [&] { return stopped_ || consumerError_ || Free() >= wake_; });
    producerWaiting_ = false;
  }
  if (consumerError_) {
    std::rethrow_exception(consumerError_);
  }
  if (stopped_) {
    return std::nullopt;
  }
  return published_;
}

void SlotRing::Publish() {
  bool wake = false;
  {
    const std::lock_guard lock(mutex_);
    ++published_;
    wake = consumerWaiting_ && (draining_ || published_ - released_ >= consumerWants_);
  }
  if (wake) {
    consumerCanGo_.notify_one();
  }
}

void SlotRing::Close(std::exception_ptr error) {
  {
    const std::lock_guard lock(mutex_);
    closed_ = true;
    producerError_ = std::move(error);
  }
  consumerCanGo_.notify_one();
}

void SlotRing::Drain() {
  std::unique_lock lock(mutex_);
  if (!stopped_ && !consumerError_ && released_ < published_) {
    draining_ = true;
    producerWaiting_ = true;
    if (consumerWaiting_) {
      consumerCanGo_.notify_one();
    }
    producerCanGo_.wait(lock,
                        [&] { return stopped_ || consumerError_ || released_ == published_; });
    producerWaiting_ = false;
    draining_ = false;
  }
  if (consumerError_) {
    std::rethrow_exception(consumerError_);
  }
}

uint64_t SlotRing::Released() {
  const std::lock_guard lock(mutex_);
  return released_;
}

std::pair<uint64_t, uint64_t> SlotRing::AcquireReady(uint64_t want) {
  std::unique_lock lock(mutex_);
  if (!stopped_ && !closed_ && published_ == released_) {
    consumerWants_ = std::clamp<uint64_t>(want, 1, depth_);
    consumerWaiting_ = true;
    consumerCanGo_.wait(lock, [&] {
      return stopped_ || closed_ || published_ - released_ >= consumerWants_ ||
             (draining_ && published_ > released_);
    });
    consumerWaiting_ = false;
  }
  if (stopped_) {
    return {released_, released_};
  }
  if (published_ == released_ && producerError_) {
    std::rethrow_exception(producerError_);
  }
  return {released_, published_};
}

void SlotRing::Release(uint64_t end, std::exception_ptr error) {
  bool wake = false;
  {
    const std::lock_guard lock(mutex_);
    released_ = std::clamp(end, released_, published_);
    if (error) {
      consumerError_ = std::move(error);
    }
    wake = producerWaiting_ &&
           (consumerError_ || (draining_ ? released_ == published_ : Free() >= wake_));
  }
  if (wake) {
    producerCanGo_.notify_one();
  }
}

void SlotRing::Stop() {
  {
    const std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  producerCanGo_.notify_one();
  consumerCanGo_.notify_one();
}

bool SlotRing::Stopped() {
  const std::lock_guard lock(mutex_);
  return stopped_;
}

}  // namespace lumivora::platform
