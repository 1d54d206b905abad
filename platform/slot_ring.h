// SlotRing: the one bounded hand-over between a producer thread and a
// consumer thread, used by every worker of the program (the extraction's
// reader ahead of inflate and writer behind it, the download's hasher).
//
// The ring only counts; each user keeps DEPTH buffers of its own and puts
// item I in buffer I % DEPTH. Counts only grow. An item is published by the
// producer once its buffer is filled, taken by the consumer, and released
// when its buffer may be filled again.
//
// A side that has to wait sleeps until several items are ready for it (half
// of the ring unless it asks for fewer), so that one wake-up serves several
// items; the end of the items, a failure and a stop always wake it.
//
// Errors: the producer ends with Close (the end, or the error raised for the
// next item, which the consumer gets once it has taken every item before
// it); the consumer ends with an error given to Release (the producer gets
// it at its next wait, after the items released with it). Stop, from the owner, ends both waits at
// once.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>

namespace lumivora::platform {

class SlotRing {
 public:
  // DEPTH slots (at least 2); a waiting side wakes for half of them.
  explicit SlotRing(size_t depth);
  SlotRing(const SlotRing&) = delete;
  SlotRing& operator=(const SlotRing&) = delete;
  ~SlotRing() = default;

  [[nodiscard]] size_t Depth() const { return depth_; }
  [[nodiscard]] size_t Slot(uint64_t item) const { return static_cast<size_t>(item % depth_); }

  // Producer: the index of the next item once its slot is free (a full ring
  // waits until half of it is free); nothing after a stop; raises the
  // consumer's error once it ended with one.
  std::optional<uint64_t> AcquireFree();
  // Producer: the item from AcquireFree is filled.
  void Publish();
  // Producer: no item follows; ERROR (if any) is what producing the next
  // one raised.
  void Close(std::exception_ptr error = nullptr);
  // Producer: waits until the consumer has released every item published;
  // raises the consumer's error once it ended with one. Returns at a stop.
  void Drain();
  // Producer: the items released so far.
  [[nodiscard]] uint64_t Released();

  // Consumer: waits until an item is ready, sleeping until WANT are (fewer
  // at the end or during a Drain); returns the first item ready and the end
  // of those ready. An empty range: the items have ended (the producer's
  // error is raised then) or the ring was stopped.
  std::pair<uint64_t, uint64_t> AcquireReady(uint64_t want);
  // Consumer: the items before END are done with, their slots free; with
  // ERROR, the consumer ended with it (the items before END were done).
  void Release(uint64_t end, std::exception_ptr error = nullptr);

  // Either side's owner: both sides stop waiting for good.
  void Stop();
  [[nodiscard]] bool Stopped();

 private:
  [[nodiscard]] uint64_t Free() const { return depth_ - (published_ - released_); }
  void WakeProducer();

  const size_t depth_;
  const uint64_t wake_;
  std::mutex mutex_;
  std::condition_variable producerCanGo_;
  std::condition_variable consumerCanGo_;
  uint64_t published_ = 0;
  uint64_t released_ = 0;
  uint64_t consumerWants_ = 0;  // the consumer sleeps until so many are ready
  bool producerWaiting_ = false;
  bool consumerWaiting_ = false;
  bool draining_ = false;
  bool closed_ = false;
  bool stopped_ = false;
  std::exception_ptr producerError_;
  std::exception_ptr consumerError_;
};

}  // namespace lumivora::platform
