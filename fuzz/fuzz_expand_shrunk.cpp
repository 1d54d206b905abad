// libFuzzer target: ExpandShrunk over raw bytes. Input: 3 bytes of
// uncompressed size, then the shrunk data.
#include "fuzz/legacy_fuzz_io.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  using namespace lumivora::unzip;
  std::span<const uint8_t> data(bytes, size);
  uint32_t uncompressedSize = 0;
  if (!fuzzing::TakeSize(data, uncompressedSize)) {
    return 0;
  }
  fuzzing::RunDecoder(FindLegacyDecoder(1), 1, 0, uncompressedSize, data);
  return 0;
}
