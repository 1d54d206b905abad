// libFuzzer target: FromBase64 and DecipherConfigText take any text without
// failing, the Base64 conversions keep their round-trip properties, and the
// strict readings agree with the lenient one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "cipher/base64.h"
#include "cipher/config_cipher.h"

namespace {

using namespace lumivora::cipher;

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

bool IsCanonical(std::string_view text) {
  constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  return text.size() % 4 == 0 && text.find_first_not_of(kAlphabet) == std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  // Any text decodes: one to three bytes per whole group of four characters.
  const std::string decoded = FromBase64(input);
  const std::size_t groups = size / 4;
  Check(decoded.size() >= groups && decoded.size() <= 3 * groups);
  // Whatever was decoded encodes and decodes back to itself.
  Check(FromBase64(ToBase64(decoded)) == decoded);
  // Whole groups of alphabet characters without "=" are a bijection to bytes.
  if (IsCanonical(input)) {
    Check(decoded.size() == 3 * groups);
    Check(ToBase64(decoded) == input);
  }
  // The strict readings take a subset of the texts and read them as the
  // lenient one does; a canonical text is the one ToBase64 writes.
  const std::optional<std::string> wellFormed = DecodeBase64(input, Base64Rules::kWellFormed);
  const std::optional<std::string> canonical = DecodeBase64(input, Base64Rules::kCanonical);
  Check(!wellFormed || *wellFormed == decoded);
  Check(!canonical || (wellFormed && ToBase64(*canonical) == input));
  // Any bytes encode to 4 * ceil(n / 3) characters and decode back.
  const std::string encoded = ToBase64(input);
  Check(encoded.size() == 4 * ((size + 2) / 3));
  Check(FromBase64(encoded) == input);

  // Deciphering never fails and keeps the decoded length; with whole blocks
  // (nothing to pad) enciphering the result gives the same ciphertext back.
  const std::string deciphered = DecipherConfigText(input);
  Check(deciphered.size() == decoded.size());
  if (!decoded.empty() && decoded.size() % 16 == 0) {
    Check(EncipherConfigText(deciphered) == ToBase64(decoded));
  }
  return 0;
}
