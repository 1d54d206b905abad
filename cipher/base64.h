// Base64 with the standard alphabet and "=" padding (RFC 4648 section 4): the
// one codec of the project. The configuration cipher's texts are read
// leniently (their bytes are fixed by it); the signed-release keys, key files
// and certificates, and the tool's refusal of a text, read them strictly.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace lumivora::cipher {

// Base64 with the standard alphabet and "=" padding, no line breaks.
[[nodiscard]] std::string ToBase64(std::string_view bytes);
[[nodiscard]] std::string ToBase64(std::span<const std::uint8_t> bytes);

// How DecodeBase64 reads a text.
enum class Base64Rules {
  // Never fails:
  // - only whole groups of four characters are read; 1 to 3 characters after
  //   the last whole group are ignored;
  // - a group yields one byte, plus one more when its third character is not
  //   "=" but its fourth is, plus two more when neither is "="; a group whose
  //   third character is "=" yields one byte whatever its fourth character is;
  // - decoding carries on after a group that held "=";
  // - every character takes its place in a group: blanks and line breaks are
  //   not skipped. A character outside the alphabet, and "=" in the first or
  //   second place of a group, counts as the value 0.
  kLenient,
  // Whole groups of four characters of the alphabet, "=" only as one or two
  // padding characters at the end; anything else fails.
  kWellFormed,
  // kWellFormed, and the bits below the padding are zero: the one text that
  // ToBase64 writes for the bytes.
  kCanonical,
};

// The bytes of TEXT read by RULES; nullopt only when a strict reading refuses it.
[[nodiscard]] std::optional<std::string> DecodeBase64(std::string_view text, Base64Rules rules);

// The configuration cipher's reading (Base64Rules::kLenient), which never fails.
[[nodiscard]] std::string FromBase64(std::string_view text);

}  // namespace lumivora::cipher
