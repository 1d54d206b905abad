// Traditional PKWARE encryption (APPNOTE 6.1, "Traditional PKWARE
// Decryption") and the CRC-32 step it shares with the entry check (the CRC of
// ISO-HDLC: reflected polynomial 0xEDB88320, zlib's table).
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace lumivora::unzip {

// One step of the CRC-32 register, without any inversion.
inline uint32_t CrcStep(uint32_t crc, uint8_t byte) {
  static const z_crc_t* const table = get_crc_table();
  return static_cast<uint32_t>(table[(crc ^ byte) & 0xFFU]) ^ (crc >> 8U);
}

// The register over COUNT bytes (equal to COUNT CrcStep calls); zlib's
// crc32_z works on the inverted value.
inline uint32_t UpdateCrc(uint32_t crc, const uint8_t* data, size_t count) {
  return ~static_cast<uint32_t>(crc32_z(~crc & 0xFFFFFFFFUL, data, count));
}

class TraditionalCipher {
 public:
  static constexpr uint32_t kKey0 = 0x12345678;
  static constexpr uint32_t kKey1 = 0x23456789;
  static constexpr uint32_t kKey2 = 0x34567890;

  // The password's 8-bit characters are used as they are.
  void InitCipherKeys(const std::string& password) {
    key0_ = kKey0;
    key1_ = kKey1;
    key2_ = kKey2;
    for (const char c : password) {
      UpdateCipherKeys(static_cast<uint8_t>(c));
    }
  }
  void UpdateCipherKeys(uint8_t plain) {
    key0_ = CrcStep(key0_, plain);
    key1_ = (key1_ + (key0_ & 0xFFU)) * 134775813U + 1U;
    key2_ = CrcStep(key2_, static_cast<uint8_t>(key1_ >> 24U));
  }
  [[nodiscard]] uint8_t CipherByte() const {
    const uint32_t t = (key2_ & 0xFFFFU) | 2U;
    return static_cast<uint8_t>(((t * (t ^ 1U)) >> 8U) & 0xFFU);
  }
  // Decrypts in place; the keys follow every plain byte.
  void DecryptBuffer(uint8_t* data, size_t count) {
    static const z_crc_t* const table = get_crc_table();
    uint32_t k0 = key0_;
    uint32_t k1 = key1_;
    uint32_t k2 = key2_;
    for (size_t i = 0; i < count; ++i) {
      const uint32_t t = (k2 & 0xFFFFU) | 2U;
      const auto plain = static_cast<uint8_t>(data[i] ^ static_cast<uint8_t>((t * (t ^ 1U)) >> 8U));
      data[i] = plain;
      k0 = static_cast<uint32_t>(table[(k0 ^ plain) & 0xFFU]) ^ (k0 >> 8U);
      k1 = (k1 + (k0 & 0xFFU)) * 134775813U + 1U;
      k2 = static_cast<uint32_t>(table[(k2 ^ (k1 >> 24U)) & 0xFFU]) ^ (k2 >> 8U);
    }
    key0_ = k0;
    key1_ = k1;
    key2_ = k2;
  }
  [[nodiscard]] uint32_t Key0() const { return key0_; }
  [[nodiscard]] uint32_t Key1() const { return key1_; }
  [[nodiscard]] uint32_t Key2() const { return key2_; }

 private:
  uint32_t key0_ = kKey0;
  uint32_t key1_ = kKey1;
  uint32_t key2_ = kKey2;
};

}  // namespace lumivora::unzip
