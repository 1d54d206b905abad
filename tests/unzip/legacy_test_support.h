// Test support for the legacy decoders: drives a decoder over compressed
// bytes held in memory through the same DecoderState the component uses.
#pragma once

#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/legacy_manifest.h"
#include "tests/support/memory_io.h"
#include "tests/support/zip.h"
#include "unzip/legacy_decoders.h"

namespace lumivora::unzip::testing {

using ::lumivora::testing::BuildZip;
using ::lumivora::testing::LegacyRows;
using ::lumivora::testing::LoadManifest;
using ::lumivora::testing::ManifestRow;
using ::lumivora::testing::MemoryIo;
using ::lumivora::testing::MethodNumber;
using ::lumivora::testing::ParseZip;
using ::lumivora::testing::ReadBytes;
using ::lumivora::testing::SizeGuardTripped;
using ::lumivora::testing::TempDir;
using ::lumivora::testing::ToBytes;
using ::lumivora::testing::WriteBytes;
using ::lumivora::testing::ZipEntrySpec;
using ::lumivora::testing::ZipLayout;

using ::lumivora::testing::kLegacyData;

struct DecodeResult {
  std::vector<uint8_t> bytes;
  bool sizeGuardTripped = false;
  DecodeFault fault = DecodeFault::kNone;
  int blocks = 0;
};

// Decodes DATA as an entry of METHOD/FLAGS/UNCOMPRESSEDSIZE with the decoder
// the dispatch table gives for METHOD.
inline DecodeResult Decode(uint16_t method, uint16_t flags, uint32_t uncompressedSize,
                           std::span<const uint8_t> data) {
  const LegacyDecoder decoder = FindLegacyDecoder(method);
  if (decoder == nullptr) {
    throw std::runtime_error("no decoder for method " + std::to_string(method));
  }
  MemoryIo io(data, uncompressedSize);
  std::vector<uint8_t> input(kIoBufferAllocation, 0x5A);
  std::vector<uint8_t> output(kIoBufferAllocation, 0x5A);
  // Left over from an earlier entry: a decoder must not read what it did
  // not write (matches before the first byte are zeros, not stale bytes).
  std::vector<uint8_t> work(kWorkAreaSize, 0xA5);
  DecoderState state(io, input, output, work, true);
  state.Reset({static_cast<int64_t>(data.size()), uncompressedSize, flags, method});
  DecodeResult result;
  try {
    decoder(state);
  } catch (const SizeGuardTripped&) {
    result.sizeGuardTripped = true;
  }
  result.bytes = std::move(io.output);
  result.fault = state.Fault();
  result.blocks = io.blocks;
  return result;
}

inline std::string Sha256Hex(std::span<const uint8_t> data) {
  std::array<unsigned char, crypto_hash_sha256_BYTES> digest{};
  crypto_hash_sha256(digest.data(), data.data(), data.size());
  std::array<char, 2 * crypto_hash_sha256_BYTES + 1> hex{};
  return sodium_bin2hex(hex.data(), hex.size(), digest.data(), digest.size());
}

// The compressed bytes of a manifest row: the raw stream file, or the entry's
// data inside its archive (matched by name, else by CRC and sizes).
inline std::vector<uint8_t> CompressedBytes(const ManifestRow& row) {
  std::vector<uint8_t> file = ReadBytes(kLegacyData + row.file);
  if (row.IsRawStream()) {
    return file;
  }
  std::vector<ZipEntrySpec> entries;
  std::string error;
  if (!ParseZip(file, entries, error)) {
    throw std::runtime_error(row.file + ": " + error);
  }
  for (const auto& e : entries) {
    if (e.name == row.entry) {
      return e.rawData;
    }
  }
  for (const auto& e : entries) {
    if (e.crc == row.crc32 && e.size == row.uncompressedSize &&
        e.rawData.size() == row.compressedSize) {
      return e.rawData;
    }
  }
  throw std::runtime_error(row.file + ": no entry " + row.entry);
}

// ARCHIVE written to OUT with every file entry that is not yet encrypted
// wrapped in traditional PKWARE encryption (APPNOTE 6.1) under PASSWORD,
// whatever its method: flag bit 0 and a 12-byte header whose last byte is
// the high byte of the CRC-32, then the stored data encrypted as it is.
inline void WrapEncrypted(const std::string& archive, const std::string& out,
                          const std::string& password) {
  ZipLayout layout;
  std::string error;
  if (!ParseZip(ReadBytes(archive), layout.entries, error)) {
    throw std::runtime_error(archive + ": " + error);
  }
  for (ZipEntrySpec& e : layout.entries) {
    if (!e.name.ends_with('/') && (e.extraFlags & 1U) == 0) {
      e.password = password;
      e.versionNeeded = std::max<uint16_t>(e.versionNeeded, 20);
    }
  }
  WriteBytes(out, BuildZip(layout));
}

// LSB-first bit writer for hand-made streams.
class BitStream {
 public:
  BitStream& Put(uint32_t value, unsigned bits) {
    for (unsigned i = 0; i < bits; ++i) {
      if (count_ % 8 == 0) {
        bytes_.push_back(0);
      }
      if ((value >> i) & 1u) {
        bytes_.back() = static_cast<uint8_t>(bytes_.back() | (1u << (count_ % 8)));
      }
      ++count_;
    }
    return *this;
  }
  [[nodiscard]] const std::vector<uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  size_t count_ = 0;
};

// A shrunk stream (9-bit codes) whose second partial clear happens while
// code 260 (DE) is in use above the next free code: the clear looks only
// below the next free code, so 260 survives, the codes that follow skip it,
// and the last code 260 still reads DE: "ABCDEDEFGHIJKDE". Info-ZIP decodes
// it the same way.
inline std::vector<uint8_t> PartialClearAboveNextFree() {
  const uint32_t codes[] = {'A', 'B', 'C', 'D', 'E',  // 257..260 = AB BC CD DE
                            260, 'F',                 // 261 = ED, 262 = DEF: 260 is a prefix
                            256, 2,                   // frees 257..259, 261, 262
                            'G',                      // 257 = FG, next free 258
                            256, 2,                   // frees 257 only
                            'H', 'I', 'J', 'K', 260};
  BitStream bits;
  for (const uint32_t code : codes) {
    bits.Put(code, 9);
  }
  return bits.Bytes();
}

}  // namespace lumivora::unzip::testing
