// Hex text <-> byte strings for the test tables (libsodium's codec).
#pragma once

#include <sodium.h>

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace lumivora::cipher::test {

inline std::vector<std::uint8_t> Bytes(std::string_view hex) {
  std::vector<std::uint8_t> bytes(hex.size() / 2);
  std::size_t length = 0;
  if (sodium_hex2bin(bytes.data(), bytes.size(), hex.data(), hex.size(), nullptr, &length,
                     nullptr) != 0) {
    throw std::invalid_argument("bad hex text");
  }
  bytes.resize(length);
  return bytes;
}

inline std::string FromHex(std::string_view hex) {
  const std::vector<std::uint8_t> bytes = Bytes(hex);
  return {bytes.begin(), bytes.end()};
}

inline std::string ToHex(std::span<const std::uint8_t> bytes) {
  std::string hex(2 * bytes.size() + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), bytes.data(), bytes.size());
  hex.pop_back();
  return hex;
}

inline std::string ToHex(std::string_view bytes) {
  return ToHex({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
}

}  // namespace lumivora::cipher::test
