// Test-only implode encoder (ZIP method 6, APPNOTE section 5.3): LZ77 over a
// 4 KiB or 8 KiB sliding dictionary with two or three Shannon-Fano trees, so
// that tests can produce every combination of general-purpose flag bits 1
// and 2. Its output is proven by Info-ZIP unzip before our decoder sees it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace lumivora::legacytools {

struct ImplodeOptions {
  uint16_t flags = 0;          // bit 1: 8 KiB dictionary; bit 2: literal tree
  bool prestartZeros = false;  // let runs of zero bytes match before the first byte
};

std::vector<uint8_t> ImplodeEncode(std::span<const uint8_t> input, const ImplodeOptions& options);

}  // namespace lumivora::legacytools
