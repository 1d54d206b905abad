// The output side of one entry's extraction (ExtractionRun as the decoder's
// EntrySink): the size guard, the writing and the CRC-32 register of the
// decoded blocks, and the progress events.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "platform/file.h"
#include "unzip/extraction.h"
#include "unzip/pkware_cipher.h"

namespace lumivora::unzip {

namespace {

// Percent of PART in WHOLE rounded to the nearest integer, ties to even,
// capped at 100; 0 for an empty whole.
int Percent(double part, double whole) {
  if (whole <= 0) {
    return 0;
  }
  const double value = std::nearbyint(part * 100.0 / whole);
  return value >= 100.0 ? 100 : static_cast<int>(value);
}

}  // namespace

void ExtractionRun::AcceptBlock(size_t size) {
  if (written_ + size > work_.uncompressedSize) {
    throw EBiggerThanUncompressed("File is larger than uncompressed size!");
  }
  written_ += size;
}

// On the thread that stores; the caller reads the head only once the
// entry's decoding has ended.
void ExtractionRun::KeepHead(std::span<const uint8_t> block) {
  std::vector<uint8_t>& head = owner_.entryHead_;
  if (head.size() < owner_.KeptHead()) {
    const size_t count = std::min(owner_.KeptHead() - head.size(), block.size());
    head.insert(head.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(count));
  }
}

void ExtractionRun::StoreBlock(std::span<const uint8_t> block) {
  KeepHead(block);
  if (outFile_.has_value()) {
    outFile_->Write(block.data(), block.size());  // raises EWriteError on a short write
  }
  crc_ = UpdateCrc(crc_, block.data(), block.size());
}

// Blocks written with one gathered write where the system has it (16000
// bytes per write call cost the writer twice the time of larger ones).
void ExtractionRun::StoreBlocks(std::span<const std::span<const uint8_t>> blocks, size_t& stored) {
  stored = 0;
  if (outFile_.has_value()) {
    outFile_->WriteBlocks(blocks, stored);  // raises EWriteError on a short write
  }
  for (const std::span<const uint8_t> block : blocks) {
    KeepHead(block);
    crc_ = UpdateCrc(crc_, block.data(), block.size());
  }
  stored = blocks.size();
}

void ExtractionRun::ReportBlock(size_t size) {
  reported_ += size;
  if (owner_.OnFilePercentDone) {
    owner_.OnFilePercentDone(owner_, Percent(static_cast<double>(reported_),
                                             static_cast<double>(work_.uncompressedSize)));
  }
  if (owner_.OnTotalPercentDone) {
    runningTotal_ += static_cast<int64_t>(size);
    owner_.OnTotalPercentDone(
        owner_, Percent(static_cast<double>(runningTotal_), static_cast<double>(selectedTotal_)));
  }
}

}  // namespace lumivora::unzip
