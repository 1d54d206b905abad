// Shared harness of the legacy decoder fuzz targets: the first bytes of the
// input are the entry's header fields that a decoder reads, the rest is the
// raw compressed data, fed through the same DecoderState the component uses.
// Output is checked against the size guard and kept only as a count.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "unzip/legacy_decoders.h"

namespace lumivora::unzip::fuzzing {

struct SizeGuard {};

class FuzzIo : public DecoderIo {
 public:
  FuzzIo(std::span<const uint8_t> data, uint32_t uncompressedSize)
      : data_(data), uncompressedSize_(uncompressedSize) {}
  size_t ReadChunk(std::span<uint8_t> buffer) override {
    const size_t n = std::min(buffer.size(), data_.size() - pos_);
    if (n == 0) {
      std::abort();  // the state asked for data it was never given
    }
    std::copy_n(data_.data() + pos_, n, buffer.data());
    pos_ += n;
    return n;
  }
  void ProcessMessages() override {}
  void WriteBlock(std::span<const uint8_t> block) override {
    if (block.empty() || block.size() > kOutputBlockSize) {
      std::abort();
    }
    if (written_ + block.size() > uncompressedSize_) {
      throw SizeGuard{};
    }
    written_ += block.size();
  }
  void ReportOutOfMemory() override {}

 private:
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
  uint32_t uncompressedSize_;
  uint64_t written_ = 0;
};

// Runs DECODER over DATA as an entry of METHOD and FLAGS whose uncompressed
// size is UNCOMPRESSEDSIZE.
inline void RunDecoder(LegacyDecoder decoder, uint16_t method, uint16_t flags,
                       uint32_t uncompressedSize, std::span<const uint8_t> data) {
  if (decoder == nullptr) {
    std::abort();
  }
  FuzzIo io(data, uncompressedSize);
  static std::vector<uint8_t> input(kIoBufferAllocation);
  static std::vector<uint8_t> output(kIoBufferAllocation);
  static std::vector<uint8_t> work(kWorkAreaSize);
  DecoderState state(io, input, output, work, false);
  state.Reset({static_cast<int64_t>(data.size()), uncompressedSize, flags, method});
  try {
    decoder(state);
  } catch (const SizeGuard&) {
  }
}

// Header bytes: a 24-bit little-endian uncompressed size (at most 16 MiB, so
// that a run stays short); returns false when the input is too short.
inline bool TakeSize(std::span<const uint8_t>& data, uint32_t& size) {
  if (data.size() < 3) {
    return false;
  }
  size = static_cast<uint32_t>(data[0]) | (static_cast<uint32_t>(data[1]) << 8) |
         (static_cast<uint32_t>(data[2]) << 16);
  data = data.subspan(3);
  return true;
}

}  // namespace lumivora::unzip::fuzzing
