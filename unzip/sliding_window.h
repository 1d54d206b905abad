// The circular output window shared by the reduce and implode decoders: bytes
// go in one at a time or as back-references, and the window passes to the
// output buffer (TransferWindow) each time it fills. While the window has not
// yet wrapped around once, positions before the entry's first byte read as
// zero bytes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "unzip/legacy_decoders.h"

namespace lumivora::unzip {

class SlidingWindow {
 public:
  SlidingWindow(DecoderState& state, std::span<uint8_t> window) : state_(state), window_(window) {}

  [[nodiscard]] size_t Size() const { return window_.size(); }

  void Put(uint8_t byte) {
    window_[pos_] = byte;
    Advance(1);
  }

  // Copies LENGTH bytes from DISTANCE back (1 <= DISTANCE <= Size(); the
  // caller checks). Overlapping copies repeat recent bytes, as LZ77 needs.
  void Copy(size_t distance, size_t length) {
    const size_t size = window_.size();
    while (length > 0) {
      size_t source = 0;
      if (distance > pos_) {
        if (!wrapped_) {
          const size_t zeros = std::min(length, distance - pos_);
          std::memset(window_.data() + pos_, 0, zeros);
          Advance(zeros);
          length -= zeros;
          continue;
        }
        source = pos_ + size - distance;
      } else {
        source = pos_ - distance;
      }
      const size_t piece = std::min({length, size - source, size - pos_});
      uint8_t* out = window_.data() + pos_;
      const uint8_t* in = window_.data() + source;
      if (source + piece <= pos_ || pos_ + piece <= source) {
        std::memcpy(out, in, piece);
      } else {
        for (size_t i = 0; i < piece; ++i) {
          out[i] = in[i];
        }
      }
      Advance(piece);
      length -= piece;
    }
  }

  // Passes the bytes still in the window to the output buffer, then flushes it.
  void Finish() {
    state_.TransferWindow(window_.data(), pos_);
    pos_ = 0;
    state_.FlushOutput();
  }

 private:
  void Advance(size_t count) {
    pos_ += count;
    if (pos_ == window_.size()) {
      state_.TransferWindow(window_.data(), pos_);
      pos_ = 0;
      wrapped_ = true;
    }
  }

  DecoderState& state_;
  std::span<uint8_t> window_;
  size_t pos_ = 0;
  bool wrapped_ = false;
};

}  // namespace lumivora::unzip
