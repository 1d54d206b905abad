// The worker thread and the ring of chunk buffers of ChunkPipeline.
#include "unzip/chunk_pipeline.h"

#include <algorithm>
#include <atomic>
#include <optional>
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
      fill_(std::move(fill)),
      buffers_(std::max<size_t>(depth, 2), std::vector<uint8_t>(chunkSize_)),
      sizes_(buffers_.size()),
      ring_(buffers_.size()) {
  worker_ = std::thread([this] { Work(); });
  liveWorkers.fetch_add(1);
}

ChunkPipeline::~ChunkPipeline() {
  ring_.Stop();
  worker_.join();
  liveWorkers.fetch_sub(1);
}

int ChunkPipeline::LiveWorkers() {
  return liveWorkers.load();
}

void ChunkPipeline::Work() {
  for (;;) {
    const std::optional<uint64_t> index = ring_.AcquireFree();
    if (!index) {
      return;  // stopped
    }
    const size_t slot = ring_.Slot(*index);
    size_t size = 0;
    try {
      size = fill_(std::span<uint8_t>(buffers_[slot]));
    } catch (...) {
      ring_.Close(std::current_exception());
      return;
    }
    if (size == 0) {
      ring_.Close();
      return;
    }
    sizes_[slot] = size;
    ring_.Publish();
  }
}

std::span<const uint8_t> ChunkPipeline::Next() {
  if (holding_) {
    holding_ = false;  // the previous chunk's buffer is free again
    ring_.Release(taken_);
  }
  // Nothing ready: sleep until half of the ring is (the first chunk at the
  // start), so that one wake-up serves several chunks. An empty range: the
  // end of the data, already passed or just reached, or the fill call's
  // error for this chunk, raised here.
  const auto [first, end] = ring_.AcquireReady(taken_ == 0 ? 1 : ring_.Depth() / 2);
  if (first == end) {
    return {};
  }
  const size_t slot = ring_.Slot(first);
  taken_ = first + 1;
  holding_ = true;
  return {buffers_[slot].data(), sizes_[slot]};
}

}  // namespace lumivora::unzip

namespace lumivora::unzip {

BlockWriter::BlockWriter(size_t blockSize, Store store, Report report, size_t depth)
    : blockSize_(blockSize),
      store_(std::move(store)),
      report_(std::move(report)),
      buffers_(std::max<size_t>(depth, 2), std::vector<uint8_t>(blockSize_)),
      sizes_(buffers_.size()),
      ring_(buffers_.size()) {
  batch_.reserve(buffers_.size());  // so that the worker never allocates
  worker_ = std::thread([this] { Work(); });
  liveWorkers.fetch_add(1);
}

BlockWriter::~BlockWriter() {
  ring_.Stop();
  worker_.join();
  liveWorkers.fetch_sub(1);
}

void BlockWriter::Work() {
  for (;;) {
    // Nothing queued: sleep until half of the ring is (or the caller
    // drains), so that one wake-up stores several blocks.
    const auto [first, end] = ring_.AcquireReady(ring_.Depth() / 2);
    if (first == end) {
      return;  // stopped
    }
    // Every block queued goes in one store call; their buffers stay theirs
    // until they are released.
    batch_.clear();
    for (uint64_t index = first; index < end; ++index) {
      const size_t slot = ring_.Slot(index);
      batch_.emplace_back(buffers_[slot].data(), sizes_[slot]);
    }
    size_t stored = 0;
    std::exception_ptr error;
    try {
      store_(batch_, stored);
    } catch (...) {
      error = std::current_exception();
    }
    ring_.Release(first + std::min<uint64_t>(stored, end - first), error);
    if (error) {
      return;
    }
  }
}

void BlockWriter::ReportStored() {
  // The slot of a stored block is reused only by a later Put of this thread,
  // after this report.
  for (const uint64_t stored = ring_.Released(); reported_ < stored;) {
    const size_t size = sizes_[ring_.Slot(reported_)];
    ++reported_;
    try {
      report_(size);
    } catch (...) {
      // The owner's handler raised: as in a serial run, no later block is
      // reported, and its error is the one that ends the entry.
      reportFailed_ = true;
      throw;
    }
  }
}

template <class Wait>
auto BlockWriter::ReportingWait(Wait wait) {
  try {
    return wait();
  } catch (...) {
    ReportStored();
    throw;
  }
}

void BlockWriter::Put(std::span<const uint8_t> block) {
  if (block.size() > blockSize_) {
    throw std::length_error("block larger than the writer's buffers");
  }
  ReportStored();
  const std::optional<uint64_t> index = ReportingWait([this] { return ring_.AcquireFree(); });
  if (!index) {
    return;  // stopped
  }
  ReportStored();
  // The buffer of the block is free, and the worker touches only buffers of
  // blocks published: the copy needs no lock.
  const size_t slot = ring_.Slot(*index);
  std::copy(block.begin(), block.end(), buffers_[slot].begin());
  sizes_[slot] = block.size();
  ring_.Publish();
}

void BlockWriter::Drain() {
  if (reportFailed_) {
    return;
  }
  ReportingWait([this] { ring_.Drain(); });
  ReportStored();
}

}  // namespace lumivora::unzip
