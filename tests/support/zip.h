// A ZIP writer whose every field can be bent to make malformed archives, and
// a reader of plain archives (APPNOTE 4.3 layouts), for the tests, the
// fuzzing seeds and the test-only archive tools. Encryption is the
// traditional PKWARE scheme (APPNOTE 6.1), written here independently of the
// extraction component.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tests/support/files.h"

namespace lumivora::testing {

// Little-endian fields of 16 or 32 bits, in order.
void Put16(Bytes& out, std::initializer_list<uint32_t> values);
void Put32(Bytes& out, std::initializer_list<uint32_t> values);

// A bounds-checked little-endian reader that stays failed once it fails.
class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> data) : data_(data) {}
  [[nodiscard]] bool Ok() const { return ok_; }
  void Seek(size_t offset);
  uint16_t U16() { return static_cast<uint16_t>(Take(2)); }
  uint32_t U32() { return static_cast<uint32_t>(Take(4)); }
  Bytes Read(size_t count);

 private:
  uint64_t Take(size_t count);

  std::span<const uint8_t> data_;
  size_t offset_ = 0;
  bool ok_ = true;
};

uint32_t Crc(std::span<const uint8_t> data);
Bytes RawDeflate(std::span<const uint8_t> data, int level = 6);
// Bytes that compress a little (like a program): random words with repeats.
Bytes SampleData(size_t size, uint32_t seed = 7);

// One entry of an archive. The central fields default to the local ones and
// can each be bent.
struct ZipEntrySpec {
  std::string name;
  Bytes data;                         // uncompressed content
  uint16_t method = 8;                // 0 stored, 8 deflated here; others need rawData
  std::string password;               // non-empty: traditional encryption
  uint16_t extraFlags = 0;            // ORed into the flags (bit 3: data descriptor)
  uint32_t dosDateTime = 0x5A8C6B2D;  // 2025-04-12 13:25:26
  uint32_t externalAttributes = 0x20;
  std::string comment;
  Bytes rawData;  // when set, the entry data as stored (compressed; encrypted when bit 0 is set)
  // Overrides of the central record (the sizes also of the local header,
  // unless localSizesAsWritten).
  int64_t crcOverride = -1;
  int64_t uncompressedOverride = -1;
  int64_t compressedOverride = -1;
  int64_t offsetOverride = -1;
  bool localSizesAsWritten = false;
  // The local sizes (and the descriptor's) in a ZIP64 extra field (APPNOTE
  // 4.5.3), the header's holding 0xFFFFFFFF, as Info-ZIP zip writes a pipe.
  bool localZip64 = false;
  uint32_t localSignature = 0x04034b50;
  uint16_t versionMadeBy = 20;  // 0x314: Unix host, mode in externalAttributes >> 16
  // CRC-32 and size of both records when they are not those of DATA (an
  // entry read back, or one whose raw data has no DATA beside it).
  std::optional<uint32_t> crc;
  std::optional<uint32_t> size;
  uint16_t versionNeeded = 20;
  uint16_t internalAttributes = 0;
  Bytes localExtra;
  Bytes centralExtra;
};

struct ZipLayout {
  std::vector<ZipEntrySpec> entries;
  std::string comment;
  bool reverseCentral = false;  // list the central records backwards
  int64_t centralOffsetOverride = -1;
  int64_t totalEntriesOverride = -1;
  uint16_t thisDisk = 0;
};

Bytes BuildZip(const ZipLayout& layout);

// LAYOUT written as the archive of a fresh temporary folder.
struct ArchiveFile {
  explicit ArchiveFile(const ZipLayout& layout) { WriteBytes(path, BuildZip(layout)); }
  TempDir dir;
  std::string path = dir / "a.zip";
};

// Reads every entry of a single-disk archive without data descriptors: each
// comes back with its stored bytes in rawData, its flags in extraFlags and
// its CRC-32 and size set, so that BuildZip writes it again as it was.
// Returns false with a reason in ERROR when the archive is not of that kind.
bool ParseZip(std::span<const uint8_t> archive, std::vector<ZipEntrySpec>& entries,
              std::string& error);

}  // namespace lumivora::testing
