// The memory-backed entry of the legacy decoder tests and fuzz targets: a
// DecoderIo whose chunks come from compressed bytes held in memory and whose
// blocks pass a size guard and are kept (or only counted, when fuzzing).
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

#include "unzip/legacy_decoders.h"

namespace lumivora::testing {

// What the size guard raises here (the component raises EBiggerThanUncompressed).
struct SizeGuardTripped {};

class MemoryIo final : public unzip::DecoderIo {
 public:
  MemoryIo(std::span<const uint8_t> data, uint32_t uncompressedSize, bool keepOutput = true)
      : data_(data), uncompressedSize_(uncompressedSize), keepOutput_(keepOutput) {}

  size_t ReadChunk(std::span<uint8_t> buffer) override {
    const size_t n = std::min(buffer.size(), data_.size() - pos_);
    if (n == 0) {
      throw std::logic_error("ReadChunk called with no data left");
    }
    std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(pos_), n, buffer.begin());
    pos_ += n;
    return n;
  }
  void ProcessMessages() override {}
  void WriteBlock(std::span<const uint8_t> block) override {
    if (block.empty() || block.size() > unzip::kOutputBlockSize) {
      throw std::logic_error("a block must hold 1 to kOutputBlockSize bytes");
    }
    if (written + block.size() > uncompressedSize_) {
      throw SizeGuardTripped{};
    }
    written += block.size();
    if (keepOutput_) {
      output.insert(output.end(), block.begin(), block.end());
    }
    ++blocks;
  }
  std::vector<uint8_t> output;
  uint64_t written = 0;
  int blocks = 0;

 private:
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
  uint32_t uncompressedSize_;
  bool keepOutput_;
};

}  // namespace lumivora::testing
