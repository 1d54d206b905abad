// Reducing (ZIP methods 2 to 5, compression factors 1 to 4): probabilistic
// follower sets feeding a run/distance state machine around the marker byte
// 144, as described in PKWARE APPNOTE section 5.2.
#include <array>
#include <cstddef>
#include <cstdint>

#include "unzip/legacy_decoders.h"
#include "unzip/sliding_window.h"

namespace lumivora::unzip {

namespace {

constexpr uint8_t kMarker = 144;  // DLE
constexpr size_t kFollowerSetSize = 64;
constexpr size_t kFollowerSetsSize = 256 * kFollowerSetSize;
static_assert(kReduceWindowSize + kFollowerSetsSize <= kWorkAreaSize);

// Lmask, Dshift and Dmask by compression factor (index factor - 1).
constexpr std::array<uint8_t, 4> kLengthMask = {0x7F, 0x3F, 0x1F, 0x0F};
constexpr std::array<uint8_t, 4> kDistanceShift = {7, 6, 5, 4};
constexpr std::array<uint8_t, 4> kDistanceMask = {0x01, 0x03, 0x07, 0x0F};

// B(n): bits needed to index a follower set of n entries (at least 1).
constexpr unsigned IndexBits(unsigned n) {
  unsigned bits = 1;
  while ((1u << bits) < n) {
    ++bits;
  }
  return bits;
}

using FollowerCounts = std::array<uint8_t, 256>;

// Lmask, Dshift and Dmask of the entry's compression factor.
struct ReduceFactor {
  unsigned lengthMask;
  unsigned distanceShift;
  unsigned distanceMask;
};

// Follower sets, from byte 255 down to byte 0: a 6-bit count, then the bytes.
void ReadFollowerSets(DecoderState& state, std::span<uint8_t> followers, FollowerCounts& counts) {
  for (size_t x = 256; x-- > 0;) {
    const auto count = static_cast<uint8_t>(state.ReadBits(6));
    counts[x] = count;
    for (size_t i = 0; i < count; ++i) {
      followers[x * kFollowerSetSize + i] = static_cast<uint8_t>(state.ReadBits(8));
    }
  }
}

// The byte after LAST: eight bits as they are, or an index into LAST's
// follower set. False when the index names no follower (invalid data).
inline bool NextByte(DecoderState& state, std::span<const uint8_t> followers,
                     const FollowerCounts& counts, uint8_t last, uint8_t& y) {
  const unsigned count = counts[last];
  if (count == 0 || state.ReadBits(1) == 1) {
    y = static_cast<uint8_t>(state.ReadBits(8));
    return true;
  }
  const uint32_t index = state.ReadBits(IndexBits(count));
  if (index >= count) {
    return false;
  }
  y = followers[last * kFollowerSetSize + index];
  return true;
}

// The run/distance state machine around the marker byte: bytes go to WINDOW
// until the entry's size is reached, the data ends or is invalid.
void ExpandBytes(DecoderState& state, std::span<const uint8_t> followers,
                 const FollowerCounts& counts, ReduceFactor factor, SlidingWindow& window) {
  int64_t left = state.UncompressedSize();
  uint8_t last = 0;
  int machine = 0;
  unsigned v = 0;
  unsigned length = 0;
  while (left > 0) {
    uint8_t y = 0;
    const bool known = NextByte(state, followers, counts, last, y);
    if (!known || state.EndOfInput()) {
      // Past the end of the entry's data, or no follower of this byte.
      state.Fail(state.EndOfInput() ? DecodeFault::kTruncated : DecodeFault::kBadCode);
      break;
    }
    last = y;
    switch (machine) {
      case 0:
        if (y == kMarker) {
          machine = 1;
        } else {
          window.Put(y);
          --left;
        }
        break;
      case 1:
        if (y == 0) {
          window.Put(kMarker);
          --left;
          machine = 0;
        } else {
          v = y;
          length = v & factor.lengthMask;
          machine = length == factor.lengthMask ? 2 : 3;
        }
        break;
      case 2:
        length += y;
        machine = 3;
        break;
      default: {
        const size_t distance = ((v >> factor.distanceShift) & factor.distanceMask) * 256 + y + 1;
        window.Copy(distance, length + 3);
        left -= length + 3;
        machine = 0;
        break;
      }
    }
  }
}

}  // namespace

void ExpandReduced(DecoderState& state) {
  const unsigned method = state.Method();
  if (method < 2 || method > 5) {
    return;  // not a reduced entry
  }
  const size_t index = method - 2;
  const ReduceFactor factor{kLengthMask[index], kDistanceShift[index], kDistanceMask[index]};

  const std::span<uint8_t> work = state.WorkArea();
  SlidingWindow window(state, work.first(kReduceWindowSize));
  const std::span<uint8_t> followers = work.subspan(kReduceWindowSize, kFollowerSetsSize);
  FollowerCounts counts{};
  ReadFollowerSets(state, followers, counts);
  if (state.EndOfInput()) {
    state.Fail(DecodeFault::kTruncated);
    window.Finish();
    return;  // the data ended inside the follower sets
  }
  ExpandBytes(state, followers, counts, factor, window);
  window.Finish();
}

}  // namespace lumivora::unzip
