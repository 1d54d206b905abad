// Making a patch (docs/delta-format.md), the vendor's side: bsdiff-style
// matching over the suffix array of the old file (libdivsufsort), the three
// streams coded with LZMA2 (liblzma). The tool's, on every platform; the
// launcher needs apply_patch.h alone.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "delta/patch_format.h"

namespace lumivora::delta {

struct MakeOptions {
  uint32_t preset = 9;      // liblzma's preset (0 to 9), always with LZMA_PRESET_EXTREME
  uint32_t windowLog = 23;  // the dictionary, at most kMaxWindowLog: what each decoder holds
};

// The patch that turns OLD into NEW. Raises std::length_error when either is
// larger than kMaxNewSize, std::runtime_error when liblzma
// fails. The extra stream goes through the x86 BCJ filter when that makes
// it smaller.
std::vector<uint8_t> MakePatch(std::span<const uint8_t> oldFile, std::span<const uint8_t> newFile,
                               const MakeOptions& options = {});

}  // namespace lumivora::delta
