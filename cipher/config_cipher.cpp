#include "cipher/config_cipher.h"

#include <array>
#include <cstdint>
#include <span>
#include <stdexcept>

#include "cipher/rijndael.h"
#include "cipher/secure_zero.h"

namespace lumivora::cipher {

namespace {

constexpr std::string_view kPassphrase = "lamp_and_moss";
constexpr std::string_view kIvText = "046";
constexpr std::uint32_t kKeySizeBits = 128;

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kMarker = 0xFF;  // "="

// The 6-bit value of every byte: kMarker for "=", 0 outside the alphabet.
constexpr std::array<std::uint8_t, 256> MakeDecodeTable() {
  std::array<std::uint8_t, 256> table{};
  for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
  }
  table['='] = kMarker;
  return table;
}

constexpr std::array<std::uint8_t, 256> kDecode = MakeDecodeTable();

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

std::string ToBase64(std::string_view bytes) {
  std::string text;
  text.reserve(4 * ((bytes.size() + 2) / 3));
  std::size_t i = 0;
  const auto byteAt = [&bytes](std::size_t index) -> std::uint32_t {
    return static_cast<unsigned char>(bytes[index]);
  };
  const auto put = [&text](std::uint32_t value) { text.push_back(kAlphabet[value & 0x3F]); };
  for (; bytes.size() - i >= 3; i += 3) {
    const std::uint32_t group = (byteAt(i) << 16) | (byteAt(i + 1) << 8) | byteAt(i + 2);
    put(group >> 18);
    put(group >> 12);
    put(group >> 6);
    put(group);
  }
  if (bytes.size() - i == 1) {
    const std::uint32_t group = byteAt(i) << 16;
    put(group >> 18);
    put(group >> 12);
    text.append("==");
  } else if (bytes.size() - i == 2) {
    const std::uint32_t group = (byteAt(i) << 16) | (byteAt(i + 1) << 8);
    put(group >> 18);
    put(group >> 12);
    put(group >> 6);
    text.push_back('=');
  }
  return text;
}

std::string FromBase64(std::string_view text) {
  std::string bytes;
  bytes.reserve(3 * (text.size() / 4));
  const auto value = [](char c) -> std::uint32_t { return kDecode[static_cast<unsigned char>(c)]; };
  const auto arithmetic = [](std::uint32_t v) -> std::uint32_t { return v == kMarker ? 0 : v; };
  const auto put = [&bytes](std::uint32_t b) { bytes.push_back(static_cast<char>(b & 0xFF)); };
  for (std::size_t i = 0; text.size() - i >= 4; i += 4) {
    const std::uint32_t w = arithmetic(value(text[i]));
    const std::uint32_t x = arithmetic(value(text[i + 1]));
    const std::uint32_t y = value(text[i + 2]);
    const std::uint32_t z = value(text[i + 3]);
    put((w << 2) | (x >> 4));
    if (y == kMarker) {
      continue;
    }
    put((x << 4) | (y >> 2));
    if (z != kMarker) {
      put((y << 6) | z);
    }
  }
  return bytes;
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
