// Internal to TUnZip: the two worker threads of a pipelined entry. One fills
// chunks of the entry's data (reading and traditional PKWARE decryption)
// ahead of the thread that decodes them (ChunkPipeline); the other stores
// the decoded blocks (writing and CRC-32) behind it (BlockWriter). Each goes
// through a ring of buffers handed over by a platform::SlotRing; inflate and
// every event stay on the calling thread.
//
// The consumer sees exactly what a serial loop of fill calls would give it,
// in the same order: chunk after chunk, then the end (an empty chunk), or the
// error that the fill call for the next chunk raised, rethrown on the
// consumer's thread at the point where the serial loop would have raised it.
// The worker stops at its first error or at the end; destroying the pipeline
// (on every path of the consumer, errors included) stops it at its next
// chunk and joins it, so no thread outlives the pipeline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <thread>
#include <vector>

#include "platform/slot_ring.h"

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

  // Sixteen chunks: on two processors, rings of 8 wake the sides twice as
  // often and extraction of large entries was about 5 % slower.
  static constexpr size_t kDefaultDepth = 16;

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

  // Workers (of both kinds) started and not yet joined, in the whole process.
  static int LiveWorkers();

 private:
  void Work();

  const size_t chunkSize_;
  Fill fill_;
  std::vector<std::vector<uint8_t>> buffers_;
  std::vector<size_t> sizes_;
  platform::SlotRing ring_;
  uint64_t taken_ = 0;    // chunks the consumer took
  bool holding_ = false;  // the consumer holds chunk taken_ - 1
  std::thread worker_;
};

// Stores blocks on a worker thread in the order they were put, behind the
// thread that puts them. A block is reported (on the putting thread, in
// order) only after it was stored, so the reports seen are those of a serial
// loop of store-then-report calls: when storing block K fails, blocks before
// K are reported and the store's error is raised; K and the blocks after it
// are neither stored nor reported. Reports lag the puts by up to the ring's
// depth; Drain brings them level.
class BlockWriter {
 public:
  // Stores BLOCKS in order on the worker; STORED counts the blocks stored
  // whole, also when it raises for the first one it could not store.
  using Store =
      std::function<void(std::span<const std::span<const uint8_t>> blocks, size_t& stored)>;
  using Report = std::function<void(size_t size)>;  // on the caller

  // Thirty-two blocks (the decoder makes about 2.5 blocks per chunk).
  static constexpr size_t kDefaultDepth = 32;

  // DEPTH buffers of BLOCKSIZE bytes; starts the worker (std::system_error
  // when it cannot be started).
  BlockWriter(size_t blockSize, Store store, Report report, size_t depth = kDefaultDepth);
  BlockWriter(const BlockWriter&) = delete;
  BlockWriter& operator=(const BlockWriter&) = delete;
  // Stops the worker after the blocks it is storing and joins it; blocks
  // not yet stored are dropped unreported.
  ~BlockWriter();

  // Reports the blocks stored since the last call, raises a store error,
  // then copies BLOCK (at most BLOCKSIZE bytes) into the ring, waiting for a
  // free buffer when the worker is behind.
  void Put(std::span<const uint8_t> block);
  // Waits until every block put is stored and reports them all, or, when a
  // store failed, reports the blocks before it and raises its error. Does
  // nothing after a report raised (that error ends the entry).
  void Drain();

 private:
  void Work();
  // Reports the blocks stored and not yet reported.
  void ReportStored();
  // Runs a wait of the ring; a store error it raises leaves after the
  // blocks stored before it were reported.
  template <class Wait>
  auto ReportingWait(Wait wait);

  const size_t blockSize_;
  Store store_;
  Report report_;
  std::vector<std::vector<uint8_t>> buffers_;
  std::vector<size_t> sizes_;
  std::vector<std::span<const uint8_t>> batch_;  // the worker's: one store call's blocks
  platform::SlotRing ring_;
  uint64_t reported_ = 0;      // blocks the caller reported
  bool reportFailed_ = false;  // a report raised: nothing more is reported
  std::thread worker_;
};

}  // namespace lumivora::unzip
