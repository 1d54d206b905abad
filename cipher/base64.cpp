#include "cipher/base64.h"

#include <array>

namespace lumivora::cipher {

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kPad = 0xFF;      // "="
constexpr std::uint8_t kForeign = 0xFE;  // outside the alphabet

// The 6-bit value of every byte, kPad for "=" and kForeign for the rest.
constexpr std::array<std::uint8_t, 256> MakeDecodeTable() {
  std::array<std::uint8_t, 256> table{};
  table.fill(kForeign);
  for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
  }
  table['='] = kPad;
  return table;
}

constexpr std::array<std::uint8_t, 256> kDecode = MakeDecodeTable();

std::uint8_t Value(char c) {
  return kDecode[static_cast<unsigned char>(c)];
}

// Whether TEXT is read by RULES (kWellFormed or kCanonical).
bool Accepted(std::string_view text, Base64Rules rules) {
  if (text.size() % 4 != 0) {
    return false;
  }
  const std::size_t padding = text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0;
  text.remove_suffix(padding);
  for (const char c : text) {
    if (Value(c) >= kAlphabet.size()) {
      return false;
    }
  }
  // One "=" leaves 2 bits of the last character unused, two leave 4.
  const unsigned unused = (1U << (2 * padding)) - 1;
  return rules != Base64Rules::kCanonical || padding == 0 || (Value(text.back()) & unused) == 0;
}

}  // namespace

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

std::string ToBase64(std::span<const std::uint8_t> bytes) {
  return ToBase64(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::optional<std::string> DecodeBase64(std::string_view text, Base64Rules rules) {
  if (rules != Base64Rules::kLenient && !Accepted(text, rules)) {
    return std::nullopt;
  }
  std::string bytes;
  bytes.reserve(3 * (text.size() / 4));
  // "=" and foreign characters count as 0 where a value is needed.
  const auto number = [](std::uint32_t v) -> std::uint32_t { return v < 64 ? v : 0; };
  const auto put = [&bytes](std::uint32_t b) { bytes.push_back(static_cast<char>(b & 0xFF)); };
  for (std::size_t i = 0; text.size() - i >= 4; i += 4) {
    const std::uint32_t w = number(Value(text[i]));
    const std::uint32_t x = number(Value(text[i + 1]));
    const std::uint32_t y = Value(text[i + 2]);
    const std::uint32_t z = Value(text[i + 3]);
    put((w << 2) | (x >> 4));
    if (y == kPad) {
      continue;
    }
    put((x << 4) | (number(y) >> 2));
    if (z != kPad) {
      put((number(y) << 6) | number(z));
    }
  }
  return bytes;
}

std::string FromBase64(std::string_view text) {
  return *DecodeBase64(text, Base64Rules::kLenient);
}

}  // namespace lumivora::cipher
