// Overwriting key material so that the stores survive optimisation: writes
// through a volatile pointer are observable behaviour, so a compiler may not
// drop them even when the memory is released right afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace lumivora::cipher {

// Sets every one of BYTES to VALUE.
inline void SecureFill(std::span<std::byte> bytes, std::uint8_t value) noexcept {
  volatile std::byte* data = bytes.data();
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    data[i] = std::byte{value};
  }
}

inline void SecureZero(void* data, std::size_t size) noexcept {
  SecureFill({static_cast<std::byte*>(data), size}, 0);
}

// Zeroes a text's bytes when the scope ends, on every path.
class ScopedWipe {
 public:
  explicit ScopedWipe(std::string& text) noexcept : text_(text) {}
  ~ScopedWipe() { SecureZero(text_.data(), text_.size()); }
  ScopedWipe(const ScopedWipe&) = delete;
  ScopedWipe& operator=(const ScopedWipe&) = delete;

 private:
  std::string& text_;
};

}  // namespace lumivora::cipher
