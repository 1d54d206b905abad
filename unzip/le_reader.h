// Little-endian field reader over a byte range: every read is bounds-checked
// and the reader stays failed once a read went past the end (the pattern of
// libzip's zip_buffer.c), so a header is parsed field by field and judged once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace lumivora::unzip {

class LeReader {
 public:
  explicit LeReader(std::span<const uint8_t> data) : data_(data) {}

  uint8_t U8() {
    if (!Have(1)) {
      return 0;
    }
    return data_[pos_++];
  }
  uint16_t U16() {
    if (!Have(2)) {
      return 0;
    }
    const auto value = static_cast<uint16_t>(data_[pos_] | (data_[pos_ + 1] << 8U));
    pos_ += 2;
    return value;
  }
  uint32_t U32() {
    if (!Have(4)) {
      return 0;
    }
    const uint32_t value = static_cast<uint32_t>(data_[pos_]) |
                           (static_cast<uint32_t>(data_[pos_ + 1]) << 8U) |
                           (static_cast<uint32_t>(data_[pos_ + 2]) << 16U) |
                           (static_cast<uint32_t>(data_[pos_ + 3]) << 24U);
    pos_ += 4;
    return value;
  }
  uint64_t U64() {
    const uint64_t low = U32();
    return low | (static_cast<uint64_t>(U32()) << 32U);
  }
  // The next field of type T (an unsigned integer of 1, 2, 4 or 8 bytes).
  template <typename T>
  T Next() {
    static_assert(sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8);
    if constexpr (sizeof(T) == 1) {
      return U8();
    } else if constexpr (sizeof(T) == 2) {
      return U16();
    } else if constexpr (sizeof(T) == 4) {
      return U32();
    } else {
      return U64();
    }
  }
  void Skip(size_t count) {
    if (Have(count)) {
      pos_ += count;
    }
  }
  [[nodiscard]] bool Ok() const { return ok_; }
  [[nodiscard]] size_t Position() const { return pos_; }

 private:
  bool Have(size_t count) {
    if (!ok_ || data_.size() - pos_ < count) {
      ok_ = false;
      return false;
    }
    return true;
  }
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
  bool ok_ = true;
};

}  // namespace lumivora::unzip
