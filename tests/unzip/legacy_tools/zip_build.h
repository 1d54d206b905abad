// Test-only helpers shared by the legacy ZIP tools: a bounds-checked
// little-endian reader that stays failed once it fails, a little-endian
// writer, and the ZIP records (APPNOTE sections 4.3.7, 4.3.12, 4.3.16) needed
// to write a plain archive without data descriptors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace lumivora::legacytools {

class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> data) : data_(data) {}
  [[nodiscard]] bool Ok() const { return ok_; }
  [[nodiscard]] size_t Offset() const { return offset_; }
  void Seek(size_t offset) {
    if (offset > data_.size()) {
      ok_ = false;
    } else {
      offset_ = offset;
    }
  }
  uint8_t U8() { return static_cast<uint8_t>(Take(1)); }
  uint16_t U16() { return static_cast<uint16_t>(Take(2)); }
  uint32_t U32() { return static_cast<uint32_t>(Take(4)); }
  std::vector<uint8_t> Bytes(size_t count) {
    if (!ok_ || count > data_.size() - offset_) {
      ok_ = false;
      return {};
    }
    std::vector<uint8_t> out(data_.begin() + static_cast<std::ptrdiff_t>(offset_),
                             data_.begin() + static_cast<std::ptrdiff_t>(offset_ + count));
    offset_ += count;
    return out;
  }

 private:
  uint64_t Take(size_t count) {
    if (!ok_ || count > data_.size() - offset_) {
      ok_ = false;
      return 0;
    }
    uint64_t value = 0;
    for (size_t i = 0; i < count; ++i) {
      value |= static_cast<uint64_t>(data_[offset_ + i]) << (8 * i);
    }
    offset_ += count;
    return value;
  }

  std::span<const uint8_t> data_;
  size_t offset_ = 0;
  bool ok_ = true;
};

inline void PutU16(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value & 0xFF));
  out.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
}

inline void PutU32(std::vector<uint8_t>& out, uint32_t value) {
  PutU16(out, value & 0xFFFF);
  PutU16(out, value >> 16);
}

// One entry as it goes into an archive: header fields plus its data bytes
// (already compressed, and already encrypted when flag bit 0 is set).
struct ZipEntry {
  std::string name;
  uint16_t versionNeeded = 10;
  uint16_t versionMadeBy = 10;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint16_t dosTime = 0x6000;  // 12:00:00
  uint16_t dosDate = 0x5A88;  // 2025-04-08
  uint32_t crc32 = 0;
  uint32_t uncompressedSize = 0;
  std::vector<uint8_t> localExtra;
  std::vector<uint8_t> centralExtra;
  std::vector<uint8_t> comment;
  uint16_t internalAttributes = 0;
  uint32_t externalAttributes = 0x20;
  std::vector<uint8_t> data;
};

// Serialises ENTRIES as local header + data each, then the central directory
// and the end record.
std::vector<uint8_t> BuildZip(const std::vector<ZipEntry>& entries,
                              const std::vector<uint8_t>& archiveComment = {});

// Reads every entry of a single-disk archive without data descriptors.
// Returns false with a reason in ERROR when the archive is not of that kind.
bool ParseZip(std::span<const uint8_t> archive, std::vector<ZipEntry>& entries, std::string& error);

uint32_t Crc32(std::span<const uint8_t> data);

std::vector<uint8_t> ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, std::span<const uint8_t> data);

}  // namespace lumivora::legacytools
