// libFuzzer target: the patch applier takes any patch for a fixed old file
// and either gives back a file of the declared size and SHA-256 or refuses it
// with a fault, within its memory bounds. So that the fuzzer gets past the
// base check, the old file's SHA-256 is written into the header unless the
// input's first byte of that field is 0xFF. Seeds: fuzz/seeds/delta (patches
// of this old file, made by bench_delta --make-child; see tools/fuzz-smoke).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "delta/apply_patch.h"

namespace {

using namespace lumivora::delta;

// The fixed old file: 4096 bytes, byte I is (I * 7 + I / 13) mod 256.
const std::vector<uint8_t>& OldFile() {
  static const std::vector<uint8_t> old = [] {
    std::vector<uint8_t> bytes(4096);
    for (size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<uint8_t>(i * 7 + i / 13);
    }
    return bytes;
  }();
  return old;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t>& old = OldFile();
  std::vector<uint8_t> patch(data, data + size);
  constexpr size_t kOldShaAt = 16;
  if (patch.size() >= kHeaderSize && patch[kOldShaAt] != 0xFF) {
    const Digest digest = Sha256Of(old);
    std::copy(digest.begin(), digest.end(), patch.begin() + kOldShaAt);
  }
  std::vector<uint8_t> out;
  const ApplyLimits limits{.maxNewSize = uint64_t{1} << 20};
  const PatchFault fault = ApplyPatch(old, patch, out, limits);
  PatchFault headerFault = PatchFault::kNone;
  const std::optional<PatchHeader> header = DecodeHeader(patch, headerFault);
  if (fault == PatchFault::kNone &&
      (!header || out.size() != header->newSize || Sha256Of(out) != header->newSha256)) {
    std::abort();
  }
  if (fault != PatchFault::kNone && !out.empty()) {
    std::abort();
  }
  return 0;
}
