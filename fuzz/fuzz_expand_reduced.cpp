// libFuzzer target: ExpandReduced over raw bytes. Input: 1 byte whose low two
// bits choose the compression factor (methods 2 to 5), 3 bytes of
// uncompressed size, then the reduced data.
#include "fuzz/legacy_fuzz_io.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  using namespace lumivora::unzip;
  std::span<const uint8_t> data(bytes, size);
  if (data.empty()) {
    return 0;
  }
  const auto method = static_cast<uint16_t>(2 + (data[0] & 3));
  data = data.subspan(1);
  uint32_t uncompressedSize = 0;
  if (!fuzzing::TakeSize(data, uncompressedSize)) {
    return 0;
  }
  fuzzing::RunDecoder(FindLegacyDecoder(method), method, 0, uncompressedSize, data);
  return 0;
}
