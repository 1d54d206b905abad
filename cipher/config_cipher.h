// The configuration string cipher: AES-128 in CBC mode with a fixed key and
// IV, zero padding to whole blocks and Base64 text (cipher/base64.h, read
// leniently). It keeps the launcher's update addresses and the hand-off record
// unreadable at a glance; there is no integrity check, so a damaged or foreign
// text deciphers to wrong bytes without an error.
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

// Base64 of the zero-padded, enciphered plain text. Never fails.
[[nodiscard]] std::string EncipherConfigText(std::string_view plain);

// The deciphered bytes of a Base64 text, zero bytes of the padding included
// (a user of the result that needs a zero-terminated text ends it at the first
// zero byte). A decoded length that is not a multiple of 16 is deciphered by
// the CBC tail rule. A text shorter than four characters gives the empty text.
[[nodiscard]] std::string DecipherConfigText(std::string_view encoded);

}  // namespace lumivora::cipher
