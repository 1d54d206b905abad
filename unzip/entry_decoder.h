// Internal to TUnZip: the decode step of one entry, a seam of its own. It
// takes the entry's compressed bytes as an opened range of the archive, the
// traditional PKWARE decryptor in the state the password check left it (or
// none), and a sink for the decoded blocks; it reads and decrypts the range
// chunk by chunk and runs the decoder of the entry's method over it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "unzip/legacy_decoders.h"
#include "unzip/pkware_cipher.h"

namespace lumivora::unzip {

class ZipArchive;

// How one entry is coded (from its central directory record).
struct EntryCoding {
  uint16_t method = 0;
  uint16_t flags = 0;
  uint32_t uncompressedSize = 0;
};

// The entry's compressed data: LENGTH bytes of the archive from the stream's
// current position, continued on the next disks of a numbered set.
class EntryInput {
 public:
  EntryInput(ZipArchive& archive, int64_t length) : archive_(archive), left_(length) {}
  // Reads exactly min(Left(), BUFFER's size) bytes as stored (still
  // encrypted) and returns that count. Raises EFatalUnzipError "Premature
  // end of file reached" when the archive ends first (EUserCanceled "User
  // Aborted Operation" when the next disk of a set cannot be opened).
  size_t Read(std::span<uint8_t> buffer);
  [[nodiscard]] int64_t Left() const { return left_; }
  // Whether the archive is one disk of a set (whose next disk may have to be
  // asked for while reading).
  [[nodiscard]] bool OnMultiDiskSet() const;

 private:
  ZipArchive& archive_;
  int64_t left_;
};

// Where the decoded blocks go. A block passes three steps, in this order:
// AcceptBlock applies the size guard (raises EBiggerThanUncompressed before
// a block that would pass the uncompressed size), StoreBlock writes it and
// keeps the CRC-32 register, ReportBlock fires the progress events. The
// serial decode runs the three in one WriteBlock call; the pipelined one may
// run StoreBlock on a worker thread (StoreOffThread), blocks in order, and
// ReportBlock on the calling thread once the block is stored.
class EntrySink {
 public:
  EntrySink() = default;
  EntrySink(const EntrySink&) = delete;
  EntrySink& operator=(const EntrySink&) = delete;
  virtual ~EntrySink() = default;
  void WriteBlock(std::span<const uint8_t> block) {
    AcceptBlock(block.size());
    StoreBlock(block);
    ReportBlock(block.size());
  }
  virtual void AcceptBlock(size_t size) = 0;
  virtual void StoreBlock(std::span<const uint8_t> block) = 0;
  // StoreBlock for several blocks at once (the pipelined decode's writer);
  // STORED counts the blocks stored whole, also when it raises for the
  // first block it could not store.
  virtual void StoreBlocks(std::span<const std::span<const uint8_t>> blocks, size_t& stored) {
    stored = 0;
    for (const std::span<const uint8_t> block : blocks) {
      StoreBlock(block);
      ++stored;
    }
  }
  virtual void ReportBlock(size_t size) = 0;
  // Whether storing is worth a thread of its own (it writes a file).
  [[nodiscard]] virtual bool StoreOffThread() const = 0;
  // Lets the message queue run (before each chunk, when the owner wants it).
  virtual void ProcessMessages() = 0;
};

// The buffers of one extraction run, allocated once and reused per entry.
struct DecodeBuffers {
  std::vector<uint8_t> input = std::vector<uint8_t>(kIoBufferAllocation);
  std::vector<uint8_t> output = std::vector<uint8_t>(kIoBufferAllocation);
  std::vector<uint8_t> workArea = std::vector<uint8_t>(kWorkAreaSize);
};

// True when a decoder handles METHOD.
bool CanDecode(uint16_t method);

// Decodes one whole entry from INPUT into SINK, decrypting with DECRYPTOR
// when it is not null; CanDecode(CODING's method) must hold. Returns why the
// decoder stopped early (kNone when it did not): invalid compressed data by
// its kind, kLongerThanDeclared when SINK's size guard refused a block,
// kOutOfMemory. The errors of INPUT and SINK pass through. For stored and deflated entries the
// reading and decryption may run on a worker thread chunks ahead
// (chunk_pipeline.h); SINK is still called on this thread only, in the same
// order, and INPUT's errors are raised where a serial read would raise them.
DecodeFault DecodeEntry(const EntryCoding& coding, EntryInput& input, TraditionalCipher* decryptor,
                        EntrySink& sink, DecodeBuffers& buffers, bool processMessages);

}  // namespace lumivora::unzip
