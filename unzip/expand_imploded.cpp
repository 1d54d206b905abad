// Imploding (ZIP method 6): LZ77 over a 4 KiB or 8 KiB sliding dictionary
// whose literals, lengths and distances are coded with two or three
// Shannon-Fano trees, as described in PKWARE APPNOTE section 5.3.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "unzip/legacy_decoders.h"
#include "unzip/sliding_window.h"

namespace lumivora::unzip {

namespace {

constexpr unsigned kMaxCodeLength = 16;
constexpr unsigned kLookupBits = 10;

// One Shannon-Fano tree, decoded through a kLookupBits-wide lookup table with
// a canonical walk for the rare longer codes. The codes are the bit
// complement of the canonical prefix code of the lengths (shorter codes
// first, then symbol order), read most significant bit first.
class ShannonFanoTree {
 public:
  // Reads one tree description of SYMBOLS lengths; false when it is invalid.
  bool Read(DecoderState& state, size_t symbols, uint64_t& consumedBits) {
    std::vector<uint8_t> lengths(symbols, 0);
    const unsigned bytes = state.TakeBits(8) + 1;
    consumedBits += 8;
    size_t filled = 0;
    for (unsigned i = 0; i < bytes; ++i) {
      const uint32_t b = state.TakeBits(8);
      consumedBits += 8;
      const size_t repeat = (b >> 4) + 1;
      const auto length = static_cast<uint8_t>((b & 0x0F) + 1);
      if (repeat > symbols - filled) {
        return false;  // more lengths than the tree has codes
      }
      for (size_t r = 0; r < repeat; ++r) {
        lengths[filled++] = length;
      }
    }
    if (filled != symbols) {
      return false;  // fewer lengths than the tree has codes
    }
    return Build(lengths);
  }

  // The next symbol, or -1 for a code the tree does not define.
  int Decode(DecoderState& state, uint64_t& consumedBits) const {
    state.NeedBits(kLookupBits);
    const Entry e = lookup_[state.PeekBits(kLookupBits) ^ kLookupMask];
    if (e.length != 0) {
      state.DropBits(e.length);
      consumedBits += e.length;
      return e.symbol;
    }
    // Canonical walk, one inverted bit at a time.
    state.NeedBits(kMaxCodeLength);
    const uint32_t bits = state.PeekBits(kMaxCodeLength) ^ 0xFFFFu;
    uint32_t code = 0;
    uint32_t first = 0;
    uint32_t index = 0;
    for (unsigned len = 1; len <= kMaxCodeLength; ++len) {
      code |= (bits >> (len - 1)) & 1u;
      const uint32_t count = count_[len];
      if (code - first < count) {
        state.DropBits(len);
        consumedBits += len;
        return symbols_[index + code - first];
      }
      index += count;
      first = (first + count) << 1;
      code <<= 1;
    }
    return -1;
  }

 private:
  struct Entry {
    uint16_t symbol = 0;
    uint8_t length = 0;  // 0: longer than kLookupBits
  };
  static constexpr uint32_t kLookupMask = (1u << kLookupBits) - 1u;

  // Builds the tables; false for an over-subscribed or incomplete code set.
  bool Build(const std::vector<uint8_t>& lengths) {
    count_.fill(0);
    for (uint8_t len : lengths) {
      ++count_[len];
    }
    int64_t left = 1;
    for (unsigned len = 1; len <= kMaxCodeLength; ++len) {
      left = (left << 1) - count_[len];
      if (left < 0) {
        return false;
      }
    }
    if (left != 0) {
      return false;
    }
    std::array<uint32_t, kMaxCodeLength + 2> offset{};
    for (unsigned len = 1; len <= kMaxCodeLength; ++len) {
      offset[len + 1] = offset[len] + count_[len];
    }
    symbols_.assign(lengths.size(), 0);
    for (size_t sym = 0; sym < lengths.size(); ++sym) {
      symbols_[offset[lengths[sym]]++] = static_cast<uint16_t>(sym);
    }
    // Canonical codes in order; each short one fills every lookup slot whose
    // low bits are its (bit-reversed) code.
    lookup_.assign(size_t{1} << kLookupBits, Entry{});
    uint32_t code = 0;
    size_t index = 0;
    for (unsigned len = 1; len <= kMaxCodeLength; ++len) {
      for (uint32_t n = 0; n < count_[len]; ++n, ++code, ++index) {
        if (len <= kLookupBits) {
          uint32_t reversed = 0;
          for (unsigned bit = 0; bit < len; ++bit) {
            reversed |= ((code >> bit) & 1u) << (len - 1 - bit);
          }
          for (uint32_t high = 0; high < (1u << (kLookupBits - len)); ++high) {
            lookup_[reversed | (high << len)] = Entry{symbols_[index], static_cast<uint8_t>(len)};
          }
        }
      }
      code <<= 1;
    }
    return true;
  }

  std::array<uint32_t, kMaxCodeLength + 1> count_{};
  std::vector<uint16_t> symbols_;
  std::vector<Entry> lookup_;
};

struct ImplodeTrees {
  ShannonFanoTree literals;
  ShannonFanoTree lengths;
  ShannonFanoTree distances;
};

// What the entry's general purpose flags choose (bit 1: the 8 KiB
// dictionary, bit 2: the literal tree).
struct ImplodeLayout {
  bool literalTree;   // literals are coded (else 8 bits each)
  unsigned lowBits;   // low distance bits stored as they are: 7 or 6
  unsigned minMatch;  // shortest match: 3 with a literal tree, else 2
};

ImplodeLayout LayoutOf(uint16_t flags) {
  const bool bigDictionary = (flags & 2) != 0;
  const bool literalTree = (flags & 4) != 0;
  return ImplodeLayout{literalTree, bigDictionary ? 7U : 6U, literalTree ? 3U : 2U};
}

// Reads the two or three tree descriptions. Null, with the fault recorded,
// when one does not add up or reaches past DATABITS (nothing is written then)
// or when the trees cannot be allocated.
std::unique_ptr<ImplodeTrees> ReadTrees(DecoderState& state, ImplodeLayout layout,
                                        uint64_t dataBits, uint64_t& consumed) {
  std::unique_ptr<ImplodeTrees> trees;
  try {
    trees = std::make_unique<ImplodeTrees>();
    if ((layout.literalTree && !trees->literals.Read(state, 256, consumed)) ||
        !trees->lengths.Read(state, 64, consumed) || !trees->distances.Read(state, 64, consumed)) {
      state.Fail(consumed > dataBits ? DecodeFault::kTruncated : DecodeFault::kBadCodeLengths);
      return nullptr;
    }
    if (consumed > dataBits) {
      state.Fail(DecodeFault::kTruncated);
      return nullptr;
    }
  } catch (const std::bad_alloc&) {
    trees.reset();
    state.Fail(DecodeFault::kOutOfMemory);
    return nullptr;
  }
  return trees;
}

// Literals and matches into WINDOW until the entry's size is reached or a
// symbol would reach past DATABITS; false at a code the trees do not define.
bool DecodeSymbols(DecoderState& state, const ImplodeTrees& trees, ImplodeLayout layout,
                   uint64_t dataBits, uint64_t consumed, SlidingWindow& window) {
  int64_t left = state.UncompressedSize();
  while (left > 0) {
    if (state.TakeBits(1) != 0) {
      ++consumed;
      const int literal = layout.literalTree ? trees.literals.Decode(state, consumed)
                                             : static_cast<int>(state.TakeBits(8));
      if (!layout.literalTree) {
        consumed += 8;
      }
      if (literal < 0 || consumed > dataBits) {
        state.Fail(literal < 0 ? DecodeFault::kBadCode : DecodeFault::kTruncated);
        return literal >= 0;
      }
      window.Put(static_cast<uint8_t>(literal));
      --left;
    } else {
      ++consumed;
      const uint32_t low = state.TakeBits(layout.lowBits);
      consumed += layout.lowBits;
      const int high = trees.distances.Decode(state, consumed);
      int length = trees.lengths.Decode(state, consumed);
      if (high < 0 || length < 0) {
        state.Fail(DecodeFault::kBadCode);
        return false;
      }
      if (length == 63) {
        length += static_cast<int>(state.TakeBits(8));
        consumed += 8;
      }
      if (consumed > dataBits) {
        state.Fail(DecodeFault::kTruncated);
        return true;
      }
      const size_t distance = ((static_cast<size_t>(high) << layout.lowBits) | low) + 1;
      const auto count = static_cast<size_t>(length) + layout.minMatch;
      window.Copy(distance, count);
      left -= static_cast<int64_t>(count);
    }
  }
  return true;
}

}  // namespace

void ExpandImploded(DecoderState& state) {
  const ImplodeLayout layout = LayoutOf(state.Flags());
  // Bits of real data; a symbol that reaches past them is invalid data.
  const uint64_t dataBits = static_cast<uint64_t>(std::max<int64_t>(state.CompressedLeft(), 0)) * 8;
  uint64_t consumed = 0;
  const std::unique_ptr<ImplodeTrees> trees = ReadTrees(state, layout, dataBits, consumed);
  if (!trees) {
    return;  // nothing is written
  }
  SlidingWindow window(state, state.WorkArea().first(kImplodeWindowSize));
  if (!DecodeSymbols(state, *trees, layout, dataBits, consumed, window)) {
    // An undefined code: the window's pending bytes are dropped, the output
    // buffer is still written.
    state.FlushOutput();
    return;
  }
  // Done, or the data ended before the entry did (a symbol would have been
  // read from beyond the last compressed byte): what was decoded goes out.
  window.Finish();
}

}  // namespace lumivora::unzip
