// Making a patch (docs/delta-format.md), the vendor's side: bsdiff-style
// matching over the suffix array of the old file (libdivsufsort), the three
// streams coded with zstd. Linux only; the launcher needs apply_patch.h alone.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "delta/patch_format.h"

namespace lumivora::delta {

struct MakeOptions {
  int level = 19;                     // zstd's level for the three streams
  uint32_t windowLog = 23;            // at most kMaxWindowLog: what each decoder may hold
  bool longDistanceMatching = false;  // zstd's long mode inside the window
};

// The patch that turns OLD into NEW. Raises std::length_error when either is
// larger than kMaxNewSize, std::runtime_error when zstd fails.
std::vector<uint8_t> MakePatch(std::span<const uint8_t> oldFile, std::span<const uint8_t> newFile,
                               const MakeOptions& options = {});

}  // namespace lumivora::delta
