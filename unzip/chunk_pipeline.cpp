// The worker thread and the ring of chunk buffers of ChunkPipeline.
#include "unzip/chunk_pipeline.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <utility>

#include "unzip/zip_format.h"

namespace lumivora::unzip {

namespace {

std::atomic<int> liveWorkers{0};
std::atomic<PipelineMode> pipelineMode{PipelineMode::kAuto};

}  // namespace

void SetPipelineMode(PipelineMode mode) {
  pipelineMode.store(mode);
}

PipelineMode GetPipelineMode() {
  return pipelineMode.load();
}

// Same-type parameters kept: one field of the entry each, named at every call.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
bool ShouldPipeline(PipelineMode mode, uint16_t method, int64_t compressedSize, bool multiDisk,
                    unsigned processors) {
  if (mode == PipelineMode::kNever || multiDisk ||
      (method != zip::kMethodStored && method != zip::kMethodDeflated)) {
    return false;
  }
  return mode == PipelineMode::kAlways || (processors > 1 && compressedSize >= kPipelineThreshold);
}

ChunkPipeline::ChunkPipeline(size_t chunkSize, Fill fill, size_t depth)
    : chunkSize_(chunkSize),
      depth_(depth < 2 ? 2 : depth),
      wakeCount_(depth_ / 2),
      fill_(std::move(fill)),
      buffers_(depth_, std::vector<uint8_t>(chunkSize_)),
      sizes_(depth_) {
  worker_ = std::thread([this] { Work(); });
  liveWorkers.fetch_add(1);
}

ChunkPipeline::~ChunkPipeline() {
  {
    const std::lock_guard lock(mutex_);
    stop_ = true;
  }
  slotFree_.notify_one();
  worker_.join();
  liveWorkers.fetch_sub(1);
}

int ChunkPipeline::LiveWorkers() {
  return liveWorkers.load();
}

size_t ChunkPipeline::FreeBuffers(uint64_t index) const {
  // Chunks not yet released by the consumer occupy their buffers.
  return depth_ - static_cast<size_t>(index - (taken_ - (holding_ ? 1 : 0)));
}

uint64_t ChunkPipeline::ChunksToWakeFor() const {
  return taken_ == 0 ? 1 : wakeCount_;
}

void ChunkPipeline::Work() {
  for (uint64_t index = 0;; ++index) {
    {
      std::unique_lock lock(mutex_);
      if (!stop_ && FreeBuffers(index) == 0) {
        // The ring is full: sleep until half of it is free again, so that
        // one wake-up refills several chunks.
        workerWaiting_ = true;
        slotFree_.wait(lock, [&] { return stop_ || FreeBuffers(index) >= wakeCount_; });
        workerWaiting_ = false;
      }
      if (stop_) {
        return;
      }
    }
    const size_t slot = index % depth_;
    size_t size = 0;
    std::exception_ptr error;
    try {
      size = fill_(std::span<uint8_t>(buffers_[slot]));
    } catch (...) {
      error = std::current_exception();
    }
    const bool finished = error || size == 0;
    const bool failed = static_cast<bool>(error);
    bool wake = false;
    {
      const std::lock_guard lock(mutex_);
      if (failed) {
        error_ = std::move(error);
      } else {
        sizes_[slot] = size;
        filled_ = index + 1;
      }
      done_ = finished;
      wake = consumerWaiting_ && (finished || filled_ - taken_ >= ChunksToWakeFor());
    }
    if (wake) {
      chunkReady_.notify_one();
    }
    if (finished) {
      return;
    }
  }
}

std::span<const uint8_t> ChunkPipeline::Next() {
  std::unique_lock lock(mutex_);
  if (holding_) {
    holding_ = false;  // the previous chunk's buffer is free again
    if (workerWaiting_ && FreeBuffers(filled_) >= wakeCount_) {
      slotFree_.notify_one();
    }
  }
  if (filled_ == taken_ && !done_) {
    // Nothing ready: sleep until half of the ring is (the first chunk at the
    // start), so that one wake-up serves several chunks.
    consumerWaiting_ = true;
    chunkReady_.wait(lock, [&] { return filled_ - taken_ >= ChunksToWakeFor() || done_; });
    consumerWaiting_ = false;
  }
  if (filled_ == taken_) {
    // The worker ended without this chunk: its error, or the end of data
    // already passed (a further call after the empty chunk).
    if (error_) {
      std::rethrow_exception(error_);
    }
    return {};
  }
  const size_t slot = taken_ % depth_;
  ++taken_;
  holding_ = true;
  return {buffers_[slot].data(), sizes_[slot]};
}

}  // namespace lumivora::unzip

namespace lumivora::unzip {

BlockWriter::BlockWriter(size_t blockSize, Store store, Report report, size_t depth)
    : blockSize_(blockSize),
      depth_(depth < 2 ? 2 : depth),
      wakeCount_(depth_ / 2),
      store_(std::move(store)),
      report_(std::move(report)),
      buffers_(depth_, std::vector<uint8_t>(blockSize_)),
      sizes_(depth_) {
  batch_.reserve(depth_);  // so that the worker never allocates
  worker_ = std::thread([this] { Work(); });
  liveWorkers.fetch_add(1);
}

BlockWriter::~BlockWriter() {
  {
    const std::lock_guard lock(mutex_);
    stop_ = true;
  }
  blockQueued_.notify_one();
  worker_.join();
  liveWorkers.fetch_sub(1);
}

void BlockWriter::Work() {
  for (;;) {
    uint64_t first = 0;
    uint64_t end = 0;
    {
      std::unique_lock lock(mutex_);
      if (!stop_ && put_ == stored_) {
        // Nothing queued: sleep until half of the ring is (or the caller
        // drains), so that one wake-up stores several blocks.
        workerWaiting_ = true;
        blockQueued_.wait(lock, [&] {
          return stop_ || put_ - stored_ >= wakeCount_ || (draining_ && put_ > stored_);
        });
        workerWaiting_ = false;
      }
      if (stop_) {
        return;
      }
      first = stored_;
      end = put_;
    }
    // Every block queued goes in one store call; their buffers stay theirs
    // until stored_ passes them.
    batch_.clear();
    for (uint64_t index = first; index < end; ++index) {
      const size_t slot = index % depth_;
      batch_.emplace_back(buffers_[slot].data(), sizes_[slot]);
    }
    size_t stored = 0;
    std::exception_ptr error;
    try {
      store_(batch_, stored);
    } catch (...) {
      error = std::current_exception();
    }
    const bool failed = static_cast<bool>(error);
    bool wake = false;
    {
      const std::lock_guard lock(mutex_);
      stored_ = first + std::min<uint64_t>(stored, end - first);
      if (failed) {
        error_ = std::move(error);
      }
      wake = callerWaiting_ &&
             (error_ || stored_ == put_ || (!draining_ && depth_ - (put_ - stored_) >= wakeCount_));
    }
    if (wake) {
      blockStored_.notify_one();
    }
    if (failed) {
      return;
    }
  }
}

void BlockWriter::ReportStored(std::unique_lock<std::mutex>& lock) {
  while (reported_ < stored_) {
    // The slot of a stored block is reused only by a later Put of this
    // thread, after this report.
    const size_t size = sizes_[reported_ % depth_];
    ++reported_;
    lock.unlock();
    try {
      report_(size);
    } catch (...) {
      // The owner's handler raised: as in a serial run, no later block is
      // reported, and its error is the one that ends the entry.
      lock.lock();
      reportFailed_ = true;
      throw;
    }
    lock.lock();
  }
  if (error_) {
    std::rethrow_exception(error_);
  }
}

void BlockWriter::WaitForFreeBuffer(std::unique_lock<std::mutex>& lock) {
  ReportStored(lock);
  if (put_ - stored_ == depth_) {
    callerWaiting_ = true;
    if (workerWaiting_) {
      blockQueued_.notify_one();
    }
    blockStored_.wait(lock, [&] { return error_ || depth_ - (put_ - stored_) >= wakeCount_; });
    callerWaiting_ = false;
    ReportStored(lock);
  }
}

void BlockWriter::Put(std::span<const uint8_t> block) {
  if (block.size() > blockSize_) {
    throw std::length_error("block larger than the writer's buffers");
  }
  std::unique_lock lock(mutex_);
  WaitForFreeBuffer(lock);
  // The buffer of block put_ is free, and the worker touches only buffers
  // of blocks put: the copy needs no lock.
  const size_t slot = put_ % depth_;
  lock.unlock();
  std::copy(block.begin(), block.end(), buffers_[slot].begin());
  lock.lock();
  sizes_[slot] = block.size();
  ++put_;
  if (workerWaiting_ && put_ - stored_ >= wakeCount_) {
    blockQueued_.notify_one();
  }
}

void BlockWriter::Drain() {
  std::unique_lock lock(mutex_);
  if (reportFailed_) {
    return;
  }
  if (stored_ < put_ && !error_) {
    draining_ = true;
    callerWaiting_ = true;
    if (workerWaiting_) {
      blockQueued_.notify_one();
    }
    blockStored_.wait(lock, [&] { return error_ || stored_ == put_; });
    callerWaiting_ = false;
    draining_ = false;
  }
  ReportStored(lock);
}

}  // namespace lumivora::unzip
