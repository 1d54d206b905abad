// The binary patch format (docs/delta-format.md): a fixed header that names
// the old and new program by size and SHA-256, then three raw LZMA2 streams
// (control triples, difference bytes, extra bytes, the last optionally
// through the x86 BCJ filter). What the maker
// (delta/make_patch.h) and the applier (delta/apply_patch.h) share.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace lumivora::delta {

using Digest = std::array<uint8_t, 32>;

inline constexpr std::array<uint8_t, 8> kMagic = {'L', 'V', 'P', 'A', 'T', 'C', 'H', '1'};
inline constexpr size_t kHeaderSize = 120;
// The largest new file a patch may declare (the applier's own cap may be lower).
inline constexpr uint64_t kMaxNewSize = uint64_t{1} << 30;
// The largest LZMA2 dictionary a stream may use: each stream's decoder holds
// 1 << windowLog bytes, at most 1 << kMaxWindowLog.
inline constexpr uint32_t kMaxWindowLog = 24;
inline constexpr uint32_t kMinWindowLog = 12;
// The decoded control stream is held whole; it is at most this long.
inline constexpr uint64_t kMaxControlSize = uint64_t{8} << 20;
// Header flags: the extra stream goes through the x86 BCJ filter.
inline constexpr uint32_t kExtraX86 = 1;

// Why a patch was refused. Every fault is a clean refusal: nothing is written
// past the first fault, and what was written must be discarded.
enum class PatchFault : uint8_t {
  kNone,
  kNotAPatch,      // shorter than the header, or another magic or unknown flags
  kTruncated,      // the streams' lengths do not add up to the patch's size
  kWrongBase,      // the old file's size or SHA-256 is not the one the patch is for
  kTooLarge,       // the declared new size or window is above the limits
  kCorruptStream,  // a stream is not valid LZMA2, or ends early or late
  kBadControl,     // a control triple leaves the old or the new file's bounds
  kWrongResult,    // the new file's SHA-256 is not the declared one
  kReadFailed,     // the old file could not be read
  kWriteFailed,    // the output refused bytes
};
// A short English sentence for FAULT (for the tool and the logs).
const char* FaultText(PatchFault fault);

struct PatchHeader {
  uint64_t oldSize = 0;
  Digest oldSha256{};
  uint64_t newSize = 0;
  Digest newSha256{};
  uint32_t windowLog = kMinWindowLog;
  uint32_t flags = 0;
  uint64_t controlSize = 0;  // compressed lengths of the three streams
  uint64_t diffSize = 0;
  uint64_t extraSize = 0;
};

std::array<uint8_t, kHeaderSize> EncodeHeader(const PatchHeader& header);
// The header of PATCH, checked against the format's limits and against the
// patch's own length; FAULT says why not.
std::optional<PatchHeader> DecodeHeader(std::span<const uint8_t> patch, PatchFault& fault);

// Control values: unsigned LEB128 (at most 10 bytes), signed ones zigzag first.
void AppendVarint(std::vector<uint8_t>& out, uint64_t value);
inline uint64_t ZigZag(int64_t value) {
  return (static_cast<uint64_t>(value) << 1U) ^ static_cast<uint64_t>(value >> 63);
}
inline int64_t UnZigZag(uint64_t value) {
  return static_cast<int64_t>(value >> 1U) ^ -static_cast<int64_t>(value & 1U);
}

// SHA-256 in pieces (OpenSSL's on POSIX, libsodium's on Windows).
class Sha256 {
 public:
  Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  ~Sha256();
  void Update(std::span<const uint8_t> bytes);
  Digest Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};
Digest Sha256Of(std::span<const uint8_t> bytes);

}  // namespace lumivora::delta
