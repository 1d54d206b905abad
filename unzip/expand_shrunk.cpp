// Shrinking (ZIP method 1): dynamic LZW with 9- to 13-bit codes, code 256 as
// the control code (256,1 widens the codes by one bit, 256,2 clears every
// leaf of the string table), as described in PKWARE APPNOTE section 5.1.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "unzip/legacy_decoders.h"

namespace lumivora::unzip {

namespace {

constexpr unsigned kControlCode = 256;
constexpr unsigned kFirstFreeCode = 257;
constexpr unsigned kCodeCount = 8192;  // 13-bit codes at most
constexpr unsigned kInitialCodeSize = 9;
constexpr unsigned kMaxCodeSize = 13;
constexpr int16_t kUnused = -1;

struct ShrinkTables {
  // prefix[code] for codes from 257; kUnused marks a free code.
  std::array<int16_t, kCodeCount + 1> prefix;
  std::array<uint8_t, kCodeCount> suffix;
  // A decoded string is built backwards from the end of the stack, so that
  // it leaves in one move, in order.
  std::array<uint8_t, kCodeCount> stack;
  std::array<bool, kCodeCount> isPrefix;
};

class ShrinkDecoder {
 public:
  ShrinkDecoder(DecoderState& state, ShrinkTables& tables) : state_(state), t_(tables) {
    t_.prefix.fill(kUnused);
  }

  void Run() {
    uint32_t code = state_.ReadBits(codeSize_);
    if (state_.EndOfInput() || code >= kControlCode) {
      // Nothing at all (an empty entry), or no literal to start from: invalid data.
      if (!state_.EndOfInput()) {
        state_.Fail(DecodeFault::kBadCode);
      }
      state_.FlushOutput();
      return;
    }
    previous_ = code;
    firstByte_ = static_cast<uint8_t>(code);
    state_.PutByte(firstByte_);
    for (;;) {
      code = state_.ReadBits(codeSize_);
      if (state_.EndOfInput()) {
        break;  // the partial code is discarded
      }
      if (code == kControlCode) {
        const uint32_t action = state_.ReadBits(codeSize_);
        if (state_.EndOfInput()) {
          break;
        }
        if (action == 1) {
          if (++codeSize_ > kMaxCodeSize) {
            state_.Fail(DecodeFault::kBadCodeLengths);
            break;  // codes would exceed the 8192-entry table: invalid data
          }
        } else if (action == 2) {
          PartialClear();
        }
        continue;
      }
      if (!Emit(code)) {
        state_.Fail(DecodeFault::kBadCode);
        break;  // a chain through a free code, or a loop: invalid data
      }
      if (nextFree_ < kCodeCount) {
        t_.prefix[nextFree_] = static_cast<int16_t>(previous_);
        t_.suffix[nextFree_] = firstByte_;
        AdvanceNextFree(nextFree_ + 1);
      }
      previous_ = code;
    }
    state_.FlushOutput();
  }

 private:
  // Outputs the string of CODE; false on invalid data.
  bool Emit(uint32_t code) {
    size_t top = t_.stack.size();
    uint32_t current = code;
    if (current >= kFirstFreeCode && t_.prefix[current] == kUnused) {
      // Not yet defined (normally the next free code): the previous string
      // followed by its own first byte.
      t_.stack[--top] = firstByte_;
      current = previous_;
    }
    while (current >= kFirstFreeCode) {
      const int16_t parent = t_.prefix[current];
      if (parent == kUnused || top == 1) {
        return false;
      }
      t_.stack[--top] = t_.suffix[current];
      current = static_cast<uint32_t>(parent);
    }
    if (current == kControlCode) {
      return false;
    }
    firstByte_ = static_cast<uint8_t>(current);
    t_.stack[--top] = firstByte_;
    state_.PutBytes(t_.stack.data() + top, t_.stack.size() - top);
    return true;
  }

  // Frees every code from 257 below the next free code that is no other
  // such code's prefix (the leaves of the string tree); the next free code
  // becomes the lowest free one. Codes at or above the next free code are
  // left alone, as PKZIP and Info-ZIP do.
  void PartialClear() {
    t_.isPrefix.fill(false);
    for (unsigned c = kFirstFreeCode; c < nextFree_; ++c) {
      const int16_t parent = t_.prefix[c];
      if (parent != kUnused && static_cast<unsigned>(parent) >= kFirstFreeCode) {
        t_.isPrefix[static_cast<size_t>(parent)] = true;
      }
    }
    for (unsigned c = kFirstFreeCode; c < nextFree_; ++c) {
      if (!t_.isPrefix[c]) {
        t_.prefix[c] = kUnused;
      }
    }
    AdvanceNextFree(kFirstFreeCode);
  }

  void AdvanceNextFree(unsigned from) {
    nextFree_ = from;
    while (nextFree_ < kCodeCount && t_.prefix[nextFree_] != kUnused) {
      ++nextFree_;
    }
  }

  DecoderState& state_;
  ShrinkTables& t_;
  unsigned codeSize_ = kInitialCodeSize;
  unsigned nextFree_ = kFirstFreeCode;
  uint32_t previous_ = 0;
  uint8_t firstByte_ = 0;
};

}  // namespace

void ExpandShrunk(DecoderState& state) {
  std::unique_ptr<ShrinkTables> tables;
  try {
    tables = std::make_unique<ShrinkTables>();
  } catch (const std::bad_alloc&) {
    state.Fail(DecodeFault::kOutOfMemory);
    return;
  }
  ShrinkDecoder(state, *tables).Run();
}

}  // namespace lumivora::unzip
