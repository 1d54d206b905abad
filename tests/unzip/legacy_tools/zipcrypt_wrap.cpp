// Test-only tool: applies traditional PKWARE encryption (APPNOTE section 6.1)
// to entries of an existing archive, whatever their compression method. Each
// chosen entry gets flag bit 0 and a 12-byte encryption header whose last byte
// is the high byte of its CRC-32; its data is encrypted as is.
//   zipcrypt_wrap IN.zip OUT.zip PASSWORD [ENTRY...]
// Without ENTRY names every file entry that is not yet encrypted is wrapped.
// The header bytes come from a fixed seed, so the output is reproducible.
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <random>
#include <string>
#include <vector>

#include "tests/unzip/legacy_tools/zip_build.h"

namespace {

class PkwareKeys {
 public:
  explicit PkwareKeys(const std::string& password) {
    for (char c : password) {
      Update(static_cast<uint8_t>(c));
    }
  }
  uint8_t Encrypt(uint8_t plain) {
    const uint32_t t = (key2_ & 0xFFFF) | 2;
    const auto cipher =
        static_cast<uint8_t>(plain ^ static_cast<uint8_t>(((t * (t ^ 1)) >> 8) & 0xFF));
    Update(plain);
    return cipher;
  }

 private:
  static uint32_t CrcStep(uint32_t reg, uint8_t b) {
    const z_crc_t* table = get_crc_table();
    return table[(reg ^ b) & 0xFF] ^ (reg >> 8);
  }
  void Update(uint8_t b) {
    key0_ = CrcStep(key0_, b);
    key1_ = (key1_ + (key0_ & 0xFF)) * 134775813u + 1u;
    key2_ = CrcStep(key2_, static_cast<uint8_t>(key1_ >> 24));
  }
  uint32_t key0_ = 0x12345678;
  uint32_t key1_ = 0x23456789;
  uint32_t key2_ = 0x34567890;
};

}  // namespace

int main(int argc, char** argv) {
  using namespace lumivora::legacytools;
  try {
    if (argc < 4) {
      std::fprintf(stderr, "usage: zipcrypt_wrap IN.zip OUT.zip PASSWORD [ENTRY...]\n");
      return 2;
    }
    const std::string password = argv[3];
    const std::vector<std::string> only(argv + 4, argv + argc);
    const std::vector<uint8_t> archive = ReadWholeFile(argv[1]);
    std::vector<ZipEntry> entries;
    std::string error;
    if (!ParseZip(archive, entries, error)) {
      std::fprintf(stderr, "zipcrypt_wrap: %s\n", error.c_str());
      return 1;
    }
    std::mt19937 random(20260408u);
    size_t wrapped = 0;
    for (ZipEntry& e : entries) {
      const bool isDirectory = !e.name.empty() && e.name.back() == '/';
      const bool chosen = only.empty() ? !isDirectory && (e.flags & 1) == 0
                                       : std::find(only.begin(), only.end(), e.name) != only.end();
      if (!chosen) {
        continue;
      }
      if ((e.flags & 1) != 0) {
        std::fprintf(stderr, "zipcrypt_wrap: %s is already encrypted\n", e.name.c_str());
        return 1;
      }
      PkwareKeys keys(password);
      std::vector<uint8_t> data;
      data.reserve(e.data.size() + 12);
      for (int i = 0; i < 11; ++i) {
        data.push_back(keys.Encrypt(static_cast<uint8_t>(random() & 0xFF)));
      }
      data.push_back(keys.Encrypt(static_cast<uint8_t>(e.crc32 >> 24)));
      for (uint8_t b : e.data) {
        data.push_back(keys.Encrypt(b));
      }
      e.data = std::move(data);
      e.flags = static_cast<uint16_t>(e.flags | 1);
      e.versionNeeded = std::max<uint16_t>(e.versionNeeded, 20);
      ++wrapped;
    }
    if (wrapped == 0 || (!only.empty() && wrapped != only.size())) {
      std::fprintf(stderr, "zipcrypt_wrap: no such entry to wrap\n");
      return 1;
    }
    WriteWholeFile(argv[2], BuildZip(entries));
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zipcrypt_wrap: %s\n", e.what());
    return 1;
  }
}
