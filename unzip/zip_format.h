// The ZIP records TUnZip reads, as the PKWARE APPNOTE lays them out: the
// local file header (4.3.7), the central directory file header (4.3.12) and
// the end of central directory record (4.3.16), with the flag bits, method
// numbers and host systems the component looks at. Every offset, size and
// magic number of the format is named here and nowhere else. All fields are
// little-endian. Of ZIP64 only the extra field of a local header is read
// (its sizes, 4.5.3); the ZIP64 end records are not recognised.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace lumivora::unzip::zip {

// ---- signatures ("PK" followed by two record bytes) --------------------------
inline constexpr uint32_t kLocalSignature = 0x04034b50;
inline constexpr uint32_t kCentralSignature = 0x02014b50;
inline constexpr uint32_t kEndSignature = 0x06054b50;
inline constexpr uint32_t kDescriptorSignature = 0x08074b50;
inline constexpr uint8_t kSignatureP = 'P';
inline constexpr uint8_t kSignatureK = 'K';
using SignatureTag = std::array<uint8_t, 2>;
inline constexpr SignatureTag kLocalTag = {3, 4};
inline constexpr SignatureTag kCentralTag = {1, 2};
inline constexpr SignatureTag kEndTag = {5, 6};

// ---- fixed sizes -------------------------------------------------------------
inline constexpr size_t kLocalHeaderSize = 30;
inline constexpr size_t kCentralHeaderSize = 46;
inline constexpr size_t kEndRecordSize = 22;
inline constexpr size_t kMaxCommentLength = 0xFFFF;
// The end record is searched in the archive's last 22 + 65535 bytes: the
// record itself followed by the longest comment it can announce.
inline constexpr int64_t kEndSearchSize = kEndRecordSize + kMaxCommentLength;
// Entries a directory can count without ZIP64 (a 16-bit field).
inline constexpr int kMaxEntries = 0xFFFF;
// A data descriptor (4.3.9) with its optional signature: signature, CRC-32,
// compressed and uncompressed size.
inline constexpr int64_t kDataDescriptorSize = 16;
// The traditional PKWARE encryption header in front of the data (6.1.3).
inline constexpr int64_t kEncryptionHeaderSize = 12;
// Where a self-extracting program's archive begins at the earliest.
inline constexpr int64_t kSfxScanStart = 14000;

// ---- general purpose flags (4.4.4) ---------------------------------------------
inline constexpr uint16_t kFlagEncrypted = 1U << 0U;
inline constexpr uint16_t kFlagImplode8kDictionary = 1U << 1U;
inline constexpr uint16_t kFlagImplode3Trees = 1U << 2U;
inline constexpr uint16_t kFlagDataDescriptor = 1U << 3U;

// ---- compression methods (4.4.5) -----------------------------------------------
inline constexpr uint16_t kMethodStored = 0;
inline constexpr uint16_t kMethodShrunk = 1;
inline constexpr uint16_t kMethodReducedFirst = 2;  // factor 1
inline constexpr uint16_t kMethodReducedLast = 5;   // factor 4
inline constexpr uint16_t kMethodImploded = 6;
inline constexpr uint16_t kMethodDeflated = 8;

// Unix file types in st_mode (the high half of the external attributes).
inline constexpr uint32_t kUnixTypeMask = 0170000;
inline constexpr uint32_t kUnixRegularFile = 0100000;
inline constexpr uint32_t kUnixPermissionMask = 0777;
// The mode given to an entry whose Unix type is a link, device or fifo: it
// is written as a plain file, readable by all, writable by the owner.
inline constexpr uint32_t kUnixPlainFileMode = 0644;

// ---- version made by: the host system in the high byte (4.4.2) -----------------
inline constexpr unsigned kHostShift = 8;
inline constexpr uint16_t kHostUnix = 3;
// A Unix host keeps st_mode in the high half of the external attributes.
inline constexpr unsigned kUnixModeShift = 16;

// ---- ZIP64 (4.4.8, 4.4.9, 4.5.3) ------------------------------------------------
// A size field holding the marker has its value in the ZIP64 extended
// information extra field, whose tag is kZip64ExtraTag.
inline constexpr uint32_t kZip64SizeMarker = 0xFFFFFFFF;
inline constexpr uint16_t kZip64ExtraTag = 0x0001;

// An entry's two sizes, wide enough for those of a ZIP64 extra field.
struct EntrySizes {
  uint64_t compressed = 0;
  uint64_t uncompressed = 0;
};

// The local file header (4.3.7), without its name and extra field.
struct LocalHeader {
  uint16_t versionNeeded = 0;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t dosDateTime = 0;
  uint32_t crc32 = 0;
  uint32_t compressedSize = 0;
  uint32_t uncompressedSize = 0;
  uint16_t nameLength = 0;
  uint16_t extraLength = 0;

  // The record at the start of BYTES, or nullopt when BYTES is short or does
  // not begin with the local signature.
  static std::optional<LocalHeader> Parse(std::span<const uint8_t> bytes);
  // Bytes from the header's first byte to the first byte of the entry data.
  [[nodiscard]] int64_t TotalSize() const {
    return static_cast<int64_t>(kLocalHeaderSize) + nameLength + extraLength;
  }
  // True when a size holds the ZIP64 marker (Info-ZIP zip writes both so
  // when it reads a pipe, whose length it cannot know in advance).
  [[nodiscard]] bool HasZip64Marker() const {
    return compressedSize == kZip64SizeMarker || uncompressedSize == kZip64SizeMarker;
  }
  // The sizes, each one holding the marker replaced by that of the ZIP64
  // field among EXTRA (the header's extra field; in a local header that
  // field holds both sizes, the uncompressed one first). Without such a
  // field a marker stays as it is.
  [[nodiscard]] EntrySizes Sizes(std::span<const uint8_t> extra) const;
};

// The two lengths of a local header that lead to the entry's data,
// whatever the rest of the header holds (zero when BYTES is short).
struct LocalLengths {
  static constexpr size_t kNameLengthOffset = 26;
  static constexpr size_t kExtraLengthOffset = 28;
  uint16_t nameLength = 0;
  uint16_t extraLength = 0;

  static LocalLengths Parse(std::span<const uint8_t> bytes);
};

// The central directory file header (4.3.12), without its variable parts.
struct CentralHeader {
  uint16_t versionMadeBy = 0;
  uint16_t versionNeeded = 0;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t dosDateTime = 0;
  uint32_t crc32 = 0;
  uint32_t compressedSize = 0;
  uint32_t uncompressedSize = 0;
  uint16_t nameLength = 0;
  uint16_t extraLength = 0;
  uint16_t commentLength = 0;
  uint16_t diskNumberStart = 0;
  uint16_t internalAttributes = 0;
  uint32_t externalAttributes = 0;
  uint32_t localHeaderOffset = 0;

  static std::optional<CentralHeader> Parse(std::span<const uint8_t> bytes);
};

// The end of central directory record (4.3.16), without its comment.
struct EndRecord {
  uint16_t thisDisk = 0;
  uint16_t centralDisk = 0;
  uint16_t entriesThisDisk = 0;
  uint16_t totalEntries = 0;
  uint32_t centralSize = 0;
  uint32_t centralOffset = 0;
  uint16_t commentLength = 0;

  static std::optional<EndRecord> Parse(std::span<const uint8_t> bytes);
};

// True when BYTES begins with "PK" followed by TAG.
inline bool StartsWithSignature(std::span<const uint8_t> bytes, const SignatureTag& tag) {
  return bytes.size() >= 4 && bytes[0] == kSignatureP && bytes[1] == kSignatureK &&
         bytes[2] == tag[0] && bytes[3] == tag[1];
}

}  // namespace lumivora::unzip::zip
