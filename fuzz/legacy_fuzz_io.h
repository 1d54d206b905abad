// Shared harness of the legacy decoder fuzz targets: the first bytes of the
// input are the entry's header fields that a decoder reads, the rest is the
// raw compressed data, fed through the same DecoderState the component uses
// from the memory-backed entry the tests use too (output only counted).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "tests/support/memory_io.h"
#include "unzip/legacy_decoders.h"

namespace lumivora::unzip::fuzzing {

// Runs DECODER over DATA as an entry of METHOD and FLAGS whose uncompressed
// size is UNCOMPRESSEDSIZE.
inline void RunDecoder(LegacyDecoder decoder, uint16_t method, uint16_t flags,
                       uint32_t uncompressedSize, std::span<const uint8_t> data) {
  if (decoder == nullptr) {
    std::abort();
  }
  ::lumivora::testing::MemoryIo io(data, uncompressedSize, false);
  static std::vector<uint8_t> input(kIoBufferAllocation);
  static std::vector<uint8_t> output(kIoBufferAllocation);
  static std::vector<uint8_t> work(kWorkAreaSize);
  DecoderState state(io, input, output, work, false);
  state.Reset({static_cast<int64_t>(data.size()), uncompressedSize, flags, method});
  try {
    decoder(state);
  } catch (const ::lumivora::testing::SizeGuardTripped&) {
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
