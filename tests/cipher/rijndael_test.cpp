// TRijndael against FIPS-197 appendices B and C and NIST SP 800-38A F.2,
// its key-size guard, its not-initialised guard and the CBC tail rule.
#include "cipher/rijndael.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include "tests/cipher/hex.h"

namespace lumivora::cipher {
namespace {

using test::Bytes;
using test::ToHex;

const std::vector<std::uint8_t> kZeroIv(16, 0);

Block ToBlock(const std::vector<std::uint8_t>& bytes) {
  Block block{};
  std::copy_n(bytes.begin(), 16, block.begin());
  return block;
}

void Key(TRijndael& cipher, const std::vector<std::uint8_t>& key, std::uint32_t bits,
         const std::vector<std::uint8_t>& iv = kZeroIv) {
  cipher.Initialise(key, bits, std::span<const std::uint8_t, 16>(iv.data(), 16));
}

struct BlockVector {
  const char* name;
  const char* key;
  const char* plain;
  const char* cipher;
  int rounds;
};

const BlockVector kBlockVectors[] = {
    {"FIPS-197 B", "2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
     "3925841d02dc09fbdc118597196a0b32", 10},
    {"FIPS-197 C.1 AES-128", "000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
     "69c4e0d86a7b0430d8cdb78070b4c55a", 10},
    {"FIPS-197 C.2 AES-192", "000102030405060708090a0b0c0d0e0f1011121314151617",
     "00112233445566778899aabbccddeeff", "dda97ca4864cdfe06eaf70a0ec0d7191", 12},
    {"FIPS-197 C.3 AES-256", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089", 14},
};

TEST(RijndaelTest, BlockVectors) {
  for (const BlockVector& v : kBlockVectors) {
    SCOPED_TRACE(v.name);
    const std::vector<std::uint8_t> key = Bytes(v.key);
    TRijndael cipher;
    Key(cipher, key, static_cast<std::uint32_t>(key.size() * 8));
    EXPECT_EQ(cipher.Rounds(), v.rounds);

    Block block = ToBlock(Bytes(v.plain));
    cipher.EncipherBlock(block, block);  // in place
    EXPECT_EQ(ToHex({block.begin(), block.end()}), v.cipher);
    Block back{};
    cipher.DecipherBlock(block, back);
    EXPECT_EQ(ToHex({back.begin(), back.end()}), v.plain);
  }
}

TEST(RijndaelTest, Properties) {
  TRijndael cipher;
  EXPECT_EQ(cipher.Id(), 9);
  EXPECT_EQ(cipher.Algorithm(), "Rijndael");
  EXPECT_EQ(cipher.MaxKeySize(), 256);
  EXPECT_EQ(cipher.BlockSize(), 128);
  EXPECT_EQ(cipher.CipherMode(), cmCBC);
  EXPECT_FALSE(cipher.Initialised());
  EXPECT_EQ(cipher.Rounds(), 0);
}

// NIST SP 800-38A F.2.1 and F.2.2: CBC-AES128, four blocks.
TEST(RijndaelTest, CbcAes128Vectors) {
  const std::vector<std::uint8_t> key = Bytes("2b7e151628aed2a6abf7158809cf4f3c");
  const std::vector<std::uint8_t> iv = Bytes("000102030405060708090a0b0c0d0e0f");
  const std::vector<std::uint8_t> plain = Bytes(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  const std::string expected =
      "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
      "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7";

  TRijndael cipher;
  Key(cipher, key, 128, iv);
  std::vector<std::uint8_t> out(plain.size());
  cipher.EncipherCbc(plain, out);
  EXPECT_EQ(ToHex(out), expected);

  // In place, in two calls: the chaining value carries over between calls.
  Key(cipher, key, 128, iv);
  std::vector<std::uint8_t> data = Bytes(expected);
  cipher.DecipherCbc(std::span(data).first(32), std::span(data).first(32));
  cipher.DecipherCbc(std::span(data).subspan(32), std::span(data).subspan(32));
  EXPECT_EQ(data, plain);
}

TEST(RijndaelTest, KeySizes) {
  struct Row {
    std::uint32_t bits;
    int rounds;  // 0: refused with "Invalid key size"
  };
  const Row rows[] = {{0, 0},    {4, 10},   {64, 10},  {128, 10}, {130, 0},        {132, 10},
                      {160, 12}, {192, 12}, {196, 12}, {200, 14}, {252, 14},       {256, 14},
                      {260, 0},  {264, 0},  {512, 0},  {2, 0},    {0x80000000U, 0}};
  const std::vector<std::uint8_t> key(32, 0x5a);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.bits);
    TRijndael cipher;
    // Refusal also drops an earlier key.
    Key(cipher, key, 128);
    try {
      Key(cipher, key, row.bits);
      EXPECT_NE(row.rounds, 0) << "accepted";
      EXPECT_TRUE(cipher.Initialised());
    } catch (const ECipher& error) {
      EXPECT_EQ(row.rounds, 0) << "refused";
      EXPECT_EQ(error.Message(), "Invalid key size");
      EXPECT_STREQ(error.ClassName(), "ECipher");
      EXPECT_FALSE(cipher.Initialised());
    }
    EXPECT_EQ(cipher.Rounds(), row.rounds);
  }
}

// A key shorter than its key size class is zero-extended: 64 bits act as
// the 128-bit key with eight zero bytes appended, 160 bits as a 192-bit key.
TEST(RijndaelTest, ShortKeysAreZeroExtended) {
  struct Row {
    std::uint32_t bits;
    const char* extended;
  };
  const Row rows[] = {{64, "00010203040506070000000000000000"},
                      {160,
                       "000102030405060708090a0b0c0d0e0f10111213"
                       "00000000"},
                      {200,
                       "000102030405060708090a0b0c0d0e0f101112131415161718"
                       "00000000000000"}};
  const std::vector<std::uint8_t> key =
      Bytes("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.bits);
    const std::vector<std::uint8_t> extended = Bytes(row.extended);
    TRijndael shortCipher;
    TRijndael fullCipher;
    Key(shortCipher, key, row.bits);
    Key(fullCipher, extended, static_cast<std::uint32_t>(extended.size() * 8));
    const Block plain = ToBlock(Bytes("00112233445566778899aabbccddeeff"));
    Block a{};
    Block b{};
    shortCipher.EncipherBlock(plain, a);
    fullCipher.EncipherBlock(plain, b);
    EXPECT_EQ(a, b);
  }
}

TEST(RijndaelTest, KeyShorterThanItsSizeIsRefused) {
  TRijndael cipher;
  const std::vector<std::uint8_t> key(15, 1);
  EXPECT_THROW(Key(cipher, key, 128), ECipher);
  EXPECT_FALSE(cipher.Initialised());
}

TEST(RijndaelTest, NotInitialisedOperationsAreRefused) {
  const std::vector<std::uint8_t> key(16, 7);
  TRijndael fresh;
  TRijndael wiped;
  Key(wiped, key, 128);
  wiped.Wipe();
  TRijndael refused;
  EXPECT_THROW(Key(refused, key, 264), ECipher);

  for (TRijndael* cipher : {&fresh, &wiped, &refused}) {
    std::vector<std::uint8_t> data(32, 0);
    Block block{};
    const auto expectRefused = [](auto operation) {
      try {
        operation();
        ADD_FAILURE() << "no error";
      } catch (const EBlockCipher& error) {
        EXPECT_EQ(error.Message(), "Cipher not initialized");
        EXPECT_STREQ(error.ClassName(), "EBlockCipher");
      }
    };
    expectRefused([&] { cipher->EncipherCbc(data, data); });
    expectRefused([&] { cipher->DecipherCbc(data, data); });
    expectRefused([&] { cipher->EncipherBlock(block, block); });
    expectRefused([&] { cipher->DecipherBlock(block, block); });
    // Even an empty buffer is refused: the guard comes first.
    expectRefused([&] { cipher->EncipherCbc({}, {}); });
    EXPECT_EQ(data, std::vector<std::uint8_t>(32, 0));
  }
}

TEST(RijndaelTest, WipeForgetsTheKey) {
  const std::vector<std::uint8_t> key(16, 7);
  const std::vector<std::uint8_t> iv = Bytes("000102030405060708090a0b0c0d0e0f");
  TRijndael cipher;
  Block allFF{};
  allFF.fill(0xFF);
  EXPECT_EQ(cipher.IV(), allFF);  // construction wipes
  EXPECT_EQ(cipher.ChainingValue(), allFF);

  Key(cipher, key, 128, iv);
  EXPECT_EQ(cipher.IV(), ToBlock(iv));
  EXPECT_EQ(cipher.ChainingValue(), ToBlock(iv));
  cipher.Wipe();
  EXPECT_FALSE(cipher.Initialised());
  EXPECT_EQ(cipher.Rounds(), 0);
  EXPECT_EQ(cipher.IV(), allFF);
  EXPECT_EQ(cipher.ChainingValue(), allFF);
}

// The tail rule computed without this component: for each length, openssl
// enciphers the whole blocks followed by one zero block; that last block is
// the encipherment of the last chaining value, whose first r bytes are XORed
// with the tail by hand:
//   openssl enc -aes-128-cbc -nopad -K 2b7e151628aed2a6abf7158809cf4f3c
//     -iv 000102030405060708090a0b0c0d0e0f < (whole blocks + 16 zero bytes)
// (plain text byte i = i * 37 + 11).
const std::map<std::size_t, const char*> kOpensslTailVectors = {
    {5, "5bce32b606"},
    {20, "f9cf35905947cde981c2c2072550f3d71ec2b687"},
    {47,
     "f9cf35905947cde981c2c2072550f3d7db7e4f81406a74ee68ba4b58d1ef25ca00de9f810236d62df80886374b"
     "3664"},
};

// CBC over every kind of length: whole blocks chain; a tail of r bytes is
// XORed with the first r bytes of the encipherment of the chaining value, in
// both directions, and deciphering restores the plain text.
TEST(RijndaelTest, CbcTailRule) {
  const std::vector<std::uint8_t> key = Bytes("2b7e151628aed2a6abf7158809cf4f3c");
  const std::vector<std::uint8_t> iv = Bytes("000102030405060708090a0b0c0d0e0f");
  for (const std::size_t size : {0U, 1U, 5U, 15U, 16U, 17U, 20U, 31U, 32U, 33U, 47U}) {
    SCOPED_TRACE(size);
    std::vector<std::uint8_t> plain(size);
    for (std::size_t i = 0; i < size; ++i) {
      plain[i] = static_cast<std::uint8_t>(i * 37 + 11);
    }
    TRijndael cipher;
    Key(cipher, key, 128, iv);

    // Expected: CBC by hand over whole blocks, then the tail rule.
    std::vector<std::uint8_t> expected(size);
    Block chain = ToBlock(iv);
    const std::size_t whole = size - size % 16;
    for (std::size_t offset = 0; offset < whole; offset += 16) {
      Block block{};
      for (std::size_t i = 0; i < 16; ++i) {
        block[i] = static_cast<std::uint8_t>(plain[offset + i] ^ chain[i]);
      }
      cipher.EncipherBlock(block, chain);
      std::copy(chain.begin(), chain.end(), expected.begin() + static_cast<std::ptrdiff_t>(offset));
    }
    Block keystream{};
    cipher.EncipherBlock(chain, keystream);
    for (std::size_t i = whole; i < size; ++i) {
      expected[i] = static_cast<std::uint8_t>(plain[i] ^ keystream[i - whole]);
    }

    std::vector<std::uint8_t> data = plain;
    cipher.EncipherCbc(data, data);
    EXPECT_EQ(ToHex(data), ToHex(expected));
    if (kOpensslTailVectors.contains(size)) {
      EXPECT_EQ(ToHex(data), kOpensslTailVectors.at(size));
    }

    // Deciphering: the tail uses the encipherment of the last ciphertext block.
    Key(cipher, key, 128, iv);
    std::vector<std::uint8_t> back(size);
    cipher.DecipherCbc(data, back);
    EXPECT_EQ(ToHex(back), ToHex(plain));
  }
}

TEST(RijndaelTest, ShortOutputBufferIsRefused) {
  const std::vector<std::uint8_t> key(16, 1);
  TRijndael cipher;
  Key(cipher, key, 128);
  const std::vector<std::uint8_t> in(20, 0);
  std::vector<std::uint8_t> out(19, 0);
  EXPECT_THROW(cipher.EncipherCbc(in, out), EBlockCipher);
  EXPECT_THROW(cipher.DecipherCbc(in, out), EBlockCipher);
  EXPECT_EQ(out, std::vector<std::uint8_t>(19, 0));
}

}  // namespace
}  // namespace lumivora::cipher
