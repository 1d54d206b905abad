// Internal to TUnZip: a worker thread that fills chunks of an entry's data
// (reading and traditional PKWARE decryption) ahead of the thread that
// consumes them (inflate, CRC-32, writing and every event), through a small
// ring of chunk buffers.
//
// The consumer sees exactly what a serial loop of fill calls would give it,
// in the same order: chunk after chunk, then the end (an empty chunk), or the
// error that the fill call for the next chunk raised, rethrown on the
// consumer's thread at the point where the serial loop would have raised it.
// The worker stops at its first error or at the end; destroying the pipeline
// (on every path of the consumer, errors included) stops it at its next
// chunk and joins it, so no thread outlives the pipeline.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

namespace lumivora::unzip {

// When the decode step of a stored or deflated entry runs its reading and
// decryption on a worker: kAuto for entries of at least kPipelineThreshold
// compressed bytes on a machine with more than one processor; kAlways and
// kNever force it either way (tests and benchmarks). Legacy methods and
// multi-disk sets (whose next-disk event must fire on the caller's thread)
// always stay serial.
enum class PipelineMode { kAuto, kAlways, kNever };
// bench_pipeline_threshold on two cores: the thread's start and hand-overs
// cost more than they save below about 100 KiB of compressed data, and it
// saves a third from about 400 KiB; 256 KiB lies between.
inline constexpr int64_t kPipelineThreshold = int64_t{256} * 1024;

// The process-wide mode (kAuto unless set).
void SetPipelineMode(PipelineMode mode);
PipelineMode GetPipelineMode();
bool ShouldPipeline(PipelineMode mode, uint16_t method, int64_t compressedSize, bool multiDisk,
                    unsigned processors);

class ChunkPipeline {
 public:
  // Fills the next chunk into its buffer and returns its size; 0 means the
  // data is used up. Called on the worker thread only, one call at a time.
  using Fill = std::function<size_t(std::span<uint8_t> buffer)>;

  static constexpr size_t kDefaultDepth = 8;

  // DEPTH buffers of CHUNKSIZE bytes: the consumer holds one, the worker
  // fills the others ahead. A side that has to wait sleeps until half of the
  // ring is ready for it, so that one wake-up serves several chunks. Starts
  // the worker; a failure to start it raises std::system_error before
  // anything was filled.
  ChunkPipeline(size_t chunkSize, Fill fill, size_t depth = kDefaultDepth);
  ChunkPipeline(const ChunkPipeline&) = delete;
  ChunkPipeline& operator=(const ChunkPipeline&) = delete;
  // Stops the worker and joins it.
  ~ChunkPipeline();

  // The next chunk (valid until the next call or destruction), empty at the
  // end of the data; rethrows the fill call's error for this chunk.
  std::span<const uint8_t> Next();

  // Workers started and not yet joined, in the whole process.
  static int LiveWorkers();

 private:
  void Work();
  // Buffers free for the worker's chunk INDEX (called with the lock held).
  [[nodiscard]] size_t FreeBuffers(uint64_t index) const;
  // Chunks ready that wake a waiting consumer (called with the lock held).
  [[nodiscard]] uint64_t ChunksToWakeFor() const;

  const size_t chunkSize_;
  const size_t depth_;
  const size_t wakeCount_;  // chunks or buffers that wake a waiting side
  Fill fill_;
  std::vector<uint8_t> buffers_;
  std::vector<size_t> sizes_;

  std::mutex mutex_;
  std::condition_variable chunkReady_;  // the consumer waits here
  std::condition_variable slotFree_;    // the worker waits here
  uint64_t filled_ = 0;                 // chunks the worker completed
  uint64_t taken_ = 0;                  // chunks the consumer took
  bool holding_ = false;                // the consumer holds chunk taken_ - 1
  bool done_ = false;                   // the worker ended (end of data or error)
  std::exception_ptr error_;            // raised when filling chunk filled_
  bool stop_ = false;
  bool workerWaiting_ = false;    // for a free buffer
  bool consumerWaiting_ = false;  // for a chunk
  std::thread worker_;
};

}  // namespace lumivora::unzip
