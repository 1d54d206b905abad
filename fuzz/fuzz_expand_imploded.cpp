// libFuzzer target: ExpandImploded over raw bytes. Input: 1 byte of
// general-purpose flags (bit 1: 8 KiB dictionary, bit 2: literal tree), 3
// bytes of uncompressed size, then the imploded data.
#include "fuzz/legacy_fuzz_io.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  using namespace lumivora::unzip;
  std::span<const uint8_t> data(bytes, size);
  if (data.empty()) {
    return 0;
  }
  const auto flags = static_cast<uint16_t>(data[0]);
  data = data.subspan(1);
  uint32_t uncompressedSize = 0;
  if (!fuzzing::TakeSize(data, uncompressedSize)) {
    return 0;
  }
  fuzzing::RunDecoder(FindLegacyDecoder(6), 6, flags, uncompressedSize, data);
  return 0;
}
