#include "cipher/config_cipher.h"

#include <array>
#include <cstdint>
#include <span>
#include <stdexcept>

#include "cipher/base64.h"
#include "cipher/rijndael.h"
#include "cipher/secure_zero.h"

namespace lumivora::cipher {

namespace {

constexpr std::string_view kPassphrase = "lamp_and_moss";
constexpr std::string_view kIvText = "046";
constexpr std::uint32_t kKeySizeBits = 128;

std::span<std::uint8_t> AsBytes(std::string& text) {
  return {reinterpret_cast<std::uint8_t*>(text.data()), text.size()};
}

// Key text and IV of one call. The key text is zeroed when the call ends.
struct KeyMaterial {
  std::string keyText = PadWithZeros(kPassphrase, 32);
  ScopedWipe keyWipe{keyText};
  Block iv{};

  KeyMaterial() {
    const std::string ivText = PadWithZeros(kIvText, 16);
    std::copy(ivText.begin(), ivText.end(), iv.begin());
  }

  void Key(TRijndael& cipher) { cipher.Initialise(AsBytes(keyText), kKeySizeBits, iv); }
};

}  // namespace

std::string PadWithZeros(std::string_view text, int blockSize) {
  if (blockSize < 1) {
    throw std::invalid_argument("PadWithZeros: block size must be positive");
  }
  const auto n = static_cast<std::size_t>(blockSize);
  const std::size_t length = text.size();
  if (length != 0 && length % n == 0) {
    return std::string(text);
  }
  std::string padded;
  padded.reserve(n * (length / n + 1));  // one allocation: no stray copy of the text
  padded.append(text);
  padded.resize(n * (length / n + 1), '\0');
  return padded;
}

std::string EncipherConfigText(std::string_view plain) {
  KeyMaterial keyMaterial;
  std::string data = PadWithZeros(plain, 16);
  {
    TRijndael cipher;
    keyMaterial.Key(cipher);
    cipher.EncipherCbc(AsBytes(data), AsBytes(data));
  }
  return ToBase64(data);
}

std::string DecipherConfigText(std::string_view encoded) {
  KeyMaterial keyMaterial;
  std::string data = FromBase64(encoded);
  TRijndael cipher;
  keyMaterial.Key(cipher);
  cipher.DecipherCbc(AsBytes(data), AsBytes(data));
  return data;
}

}  // namespace lumivora::cipher
