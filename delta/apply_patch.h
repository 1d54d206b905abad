// Applying a patch (docs/delta-format.md): the old file read by offset, the new
// file written out in order, memory bounded whatever the patch says (the
// decoders' windows, at most 1 << kMaxWindowLog bytes per stream, and a few
// buffers of 64 KiB), every length checked before it is used.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "delta/patch_format.h"

namespace lumivora::delta {

// Fills INTO with the old file's bytes at OFFSET; false: they cannot be read.
using OldReader = std::function<bool(uint64_t offset, std::span<uint8_t> into)>;
// Takes the next bytes of the new file; false: they cannot be written.
using NewWriter = std::function<bool(std::span<const uint8_t> bytes)>;

struct ApplyLimits {
  uint64_t maxNewSize = kMaxNewSize;  // a patch that declares more is refused first
};

// Applies PATCH to the old file of OLD_SIZE bytes that OLD reads: the header
// first (the old file's size and SHA-256 before any byte is written), then
// the triples. On a fault the bytes written so far are not the new file and
// must be discarded; on success they are the new file with the declared size
// and SHA-256.
PatchFault ApplyPatch(std::span<const uint8_t> patch, uint64_t oldSize, const OldReader& old,
                      const NewWriter& out, const ApplyLimits& limits = {});

// The same with both files in memory: OUT holds the new file on success.
PatchFault ApplyPatch(std::span<const uint8_t> old, std::span<const uint8_t> patch,
                      std::vector<uint8_t>& out, const ApplyLimits& limits = {});

}  // namespace lumivora::delta
