// Overwriting key material so that the stores survive optimisation: writes
// through a volatile pointer are observable behaviour, so a compiler may not
// drop them even when the memory is released right afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lumivora::cipher {

// Sets size bytes at data to value.
inline void SecureFill(void* data, std::size_t size, std::uint8_t value) noexcept {
  volatile std::uint8_t* bytes = static_cast<volatile std::uint8_t*>(data);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = value;
  }
}

inline void SecureZero(void* data, std::size_t size) noexcept {
  SecureFill(data, size, 0);
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
