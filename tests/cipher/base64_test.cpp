// Base64 (RFC 4648 section 4), its lenient and strict decoding rules, and
// PadWithZeros.
#include "cipher/base64.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "cipher/config_cipher.h"
#include "tests/cipher/hex.h"

namespace lumivora::cipher {
namespace {

using namespace std::string_literals;
using test::FromHex;
using test::ToHex;

// RFC 4648 section 10, and the alphabet's first and last characters.
TEST(Base64Test, Rfc4648Vectors) {
  const std::pair<std::string, const char*> rows[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"\x00\x00\x00"s, "AAAA"},
      {"\xff\xff\xff"s, "////"},
      {"\xfb\xef\xbe"s, "++++"},
      {"\x00"s, "AA=="},
      {"\xff\xff"s, "//8="},
  };
  for (const auto& [plain, encoded] : rows) {
    EXPECT_EQ(ToBase64(plain), encoded);
    EXPECT_EQ(FromBase64(encoded), plain);
    EXPECT_EQ(DecodeBase64(encoded, Base64Rules::kCanonical), plain);
  }
}

// FromBase64 of every length and byte value gives back the bytes.
TEST(Base64Test, RoundTrip) {
  std::string all;
  for (int b = 0; b < 256; ++b) {
    all.push_back(static_cast<char>(b));
  }
  for (std::size_t length = 0; length <= all.size(); ++length) {
    for (const std::size_t start : {std::size_t{0}, all.size() - length}) {
      const std::string bytes = all.substr(start, length);
      const std::string encoded = ToBase64(bytes);
      ASSERT_EQ(encoded.size(), 4 * ((length + 2) / 3)) << length;
      ASSERT_EQ(encoded.find_first_not_of(
                    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
                std::string::npos);
      ASSERT_EQ(FromBase64(encoded), bytes) << length;
    }
  }
}

// One row per input that a strict decoder would refuse: what FromBase64 makes
// of it, as hex. It never reports an error. The strict readings refuse the
// text unless STRICTEST says which of them accepts it (kCanonical: both).
TEST(Base64Test, LenientDecoding) {
  struct Row {
    std::string text;
    const char* hex;
    const char* why;
    Base64Rules strictest = Base64Rules::kLenient;
  };
  const Row rows[] = {
      {"", "", "empty", Base64Rules::kCanonical},
      {"Z", "", "fewer than four characters"},
      {"Zm9", "", "fewer than four characters"},
      {"Zg=", "", "fewer than four characters, even with padding"},
      {"Zm9vY", "666f6f", "one character after the last group is ignored"},
      {"Zm9vYmF", "666f6f", "three characters after the last group are ignored"},
      {"Zg=A", "66", "third \"=\" gives one byte whatever the fourth is"},
      {"Zg=\xff"s, "66", "third \"=\" with a foreign fourth character"},
      {"Zm9=", "666f", "non-zero bits under the padding are dropped", Base64Rules::kWellFormed},
      {"Zm8A", "666f00", "no padding: three bytes", Base64Rules::kCanonical},
      {"Zg==Zm8=", "66666f", "decoding goes on after a group with \"=\""},
      {"Zm8=Zm9v", "666f666f6f", "\"=\" shortens only its own group"},
      {"Zg==Zg==Zg==", "666666", "several padded groups"},
      {"====", "00", "\"=\" first and second count as 0"},
      {"=Zm9", "0199bd", "leading \"=\" counts as 0"},
      {"Z=Zg", "640660", "second \"=\" counts as 0, the group still gives three bytes"},
      {"Zm 9", "66603d", "a blank takes its place with value 0"},
      {"Zm9v\r\nYmFy", "666f6f000626", "a line break takes its place; the rest is cut"},
      {"Zm9v YmFy", "666f6f018985", "a blank shifts the groups"},
      {"____", "000000", "URL-safe alphabet is foreign"},
      {"-_-_", "000000", "URL-safe alphabet is foreign"},
      {"Zm\xff\xff"s, "666000", "bytes above 0x7f are foreign, not negative indexes"},
      {"Zm\x80="s, "6660", "foreign third character, \"=\" fourth"},
      {"AAAA\0AAA"s, "000000000000", "an embedded zero byte is just a foreign character"},
      {"////", "ffffff", "all bits set", Base64Rules::kCanonical},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ(ToHex(FromBase64(row.text)), row.hex) << ToHex(row.text);
    for (const Base64Rules rules : {Base64Rules::kWellFormed, Base64Rules::kCanonical}) {
      const std::optional<std::string> strict = DecodeBase64(row.text, rules);
      EXPECT_EQ(strict.has_value(), row.strictest >= rules) << ToHex(row.text);
      EXPECT_TRUE(!strict || ToHex(*strict) == row.hex);
    }
  }
}

TEST(PadWithZerosTest, Lengths) {
  struct Row {
    std::string text;
    int blockSize;
    std::string padded;
  };
  const Row rows[] = {
      {"", 16, std::string(16, '\0')},
      {"", 1, "\0"s},
      {"abc", 16, "abc" + std::string(13, '\0')},
      {"0123456789abcdef", 16, "0123456789abcdef"},
      {"0123456789abcdefg", 16, "0123456789abcdefg" + std::string(15, '\0')},
      {"lamp_and_moss", 32, "lamp_and_moss" + std::string(19, '\0')},
      {"046", 16, "046" + std::string(13, '\0')},
      {"a\0"s, 1, "a\0"s},
      {"a\0b"s, 2, "a\0b\0"s},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ToHex(PadWithZeros(row.text, row.blockSize)), ToHex(row.padded))
        << ToHex(row.text) << " / " << row.blockSize;
  }
}

TEST(PadWithZerosTest, BlockSizeBelowOneIsRefused) {
  EXPECT_THROW((void)PadWithZeros("abc", 0), std::invalid_argument);
  EXPECT_THROW((void)PadWithZeros("", -16), std::invalid_argument);
}

}  // namespace
}  // namespace lumivora::cipher
