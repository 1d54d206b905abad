// The configuration string cipher: AES-128 in CBC mode with a fixed key and
// IV, zero padding to whole blocks and Base64 text (RFC 4648 section 4). It
// keeps the launcher's update addresses and the hand-off record unreadable at a
// glance; there is no integrity check, so a damaged or foreign text deciphers
// to wrong bytes without an error.
//
// Texts are byte strings: one byte per character, zero bytes allowed anywhere.
#pragma once

#include <string>
#include <string_view>

namespace lumivora::cipher {

// A copy of text extended with zero bytes to a whole multiple of blockSize;
// unchanged when its length already is a non-zero multiple, blockSize zero
// bytes when it is empty. A blockSize below 1 raises std::invalid_argument.
[[nodiscard]] std::string PadWithZeros(std::string_view text, int blockSize);

// Base64 with the standard alphabet and "=" padding, no line breaks.
[[nodiscard]] std::string ToBase64(std::string_view bytes);

// Lenient Base64 decoding; it never fails:
// - only whole groups of four characters are read; 1 to 3 characters after
//   the last whole group are ignored;
// - a group yields one byte, plus one more when its third character is not
//   "=" but its fourth is, plus two more when neither is "="; a group whose
//   third character is "=" yields one byte whatever its fourth character is;
// - decoding carries on after a group that held "=";
// - every character takes its place in a group: blanks and line breaks are
//   not skipped. A character outside the alphabet, and "=" in the first or
//   second place of a group, counts as the value 0.
[[nodiscard]] std::string FromBase64(std::string_view text);

// Base64 of the zero-padded, enciphered plain text. Never fails.
[[nodiscard]] std::string EncipherConfigText(std::string_view plain);

// The deciphered bytes of a Base64 text, zero bytes of the padding included
// (a user of the result that needs a zero-terminated text ends it at the first
// zero byte). A decoded length that is not a multiple of 16 is deciphered by
// the CBC tail rule. A text shorter than four characters gives the empty text.
[[nodiscard]] std::string DecipherConfigText(std::string_view encoded);

}  // namespace lumivora::cipher
