// The ZIP records TUnZip reads, as the PKWARE APPNOTE lays them out, with
// the flag bits, method numbers and host systems the component looks at.
// Each record is one struct (its fields, in the order of the format) and one
// layout table (RecordLayout: each field's offset and the record's size, with
// the APPNOTE section that defines it); Parse<Record> reads any of them, so
// every offset, size and magic number of the format is named here and
// nowhere else. All fields are little-endian. Of ZIP64 only the extended
// information extra field of a local header is read (its sizes, 4.5.3); the
// ZIP64 end records are not recognised.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <tuple>

#include "unzip/le_reader.h"

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

// ---- limits --------------------------------------------------------------------
inline constexpr size_t kMaxCommentLength = 0xFFFF;
// Entries a directory can count without ZIP64 (a 16-bit field).
inline constexpr int kMaxEntries = 0xFFFF;
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

// ---- the records -----------------------------------------------------------------

// The fields a local header and a central header share, from "version
// needed to extract" to "extra field length" (4.4.3 to 4.4.11).
struct EntryFields {
  uint16_t versionNeeded = 0;
  uint16_t flags = 0;              // general purpose flags (4.4.4)
  uint16_t compressionMethod = 0;  // 4.4.5
  uint32_t dateTime = 0;           // MS-DOS: time low, date high (4.4.6)
  uint32_t crc32 = 0;
  uint32_t compressedSize = 0;
  uint32_t uncompressedSize = 0;
  uint16_t nameLength = 0;
  uint16_t extraLength = 0;
};

// An entry's two sizes, wide enough for those of a ZIP64 extra field.
struct EntrySizes {
  uint64_t compressed = 0;
  uint64_t uncompressed = 0;
};

// The local file header (4.3.7), without its name and extra field.
struct LocalHeader : EntryFields {
  static constexpr uint32_t kSignature = kLocalSignature;
  uint32_t signature = kSignature;

  // Bytes from the header's first byte to the first byte of the entry data.
  [[nodiscard]] int64_t TotalSize() const;
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

// The central directory file header (4.3.12), without its variable parts.
struct CentralHeader : EntryFields {
  static constexpr uint32_t kSignature = kCentralSignature;
  uint32_t signature = kSignature;
  uint16_t versionMadeBy = 0;  // the host system in the high byte (4.4.2)
  uint16_t commentLength = 0;
  uint16_t diskNumberStart = 0;
  uint16_t internalAttributes = 0;
  uint32_t externalAttributes = 0;
  uint32_t localHeaderOffset = 0;
};

// The end of central directory record (4.3.16), without its comment.
struct EndRecord {
  static constexpr uint32_t kSignature = kEndSignature;
  uint32_t signature = kSignature;
  uint16_t thisDisk = 0;
  uint16_t centralDisk = 0;
  uint16_t entriesThisDisk = 0;
  uint16_t totalEntries = 0;
  uint32_t centralSize = 0;
  uint32_t centralOffset = 0;
  uint16_t commentLength = 0;
};

// The data descriptor (4.3.9) behind the data of an entry with flag bit 3,
// with its optional signature.
struct DataDescriptor {
  uint32_t signature = kDescriptorSignature;
  uint32_t crc32 = 0;
  uint32_t compressedSize = 0;
  uint32_t uncompressedSize = 0;
};

// The head of each block of an extra field (4.5.1): its tag and the size of
// the data that follows.
struct ExtraBlock {
  uint16_t tag = 0;
  uint16_t dataSize = 0;
};

// The data of a local header's ZIP64 extended information extra field
// (4.5.3): both sizes, the uncompressed one first.
struct Zip64LocalSizes {
  uint64_t uncompressedSize = 0;
  uint64_t compressedSize = 0;
};

// ---- the layouts -------------------------------------------------------------------

// One field of a record: the member that holds it and its offset from the
// record's first byte. Its size is that of the member's type.
template <typename Member>
struct FieldAt {
  Member member;
  size_t offset;
};
template <typename Member>
FieldAt(Member, size_t) -> FieldAt<Member>;

template <typename Owner, typename Value>
constexpr size_t FieldSize(Value Owner::* /*member*/) {
  return sizeof(Value);
}

// The bytes FIELDS cover when each begins where the one before it ends,
// the first at offset 0; 0 when they leave a gap or overlap.
template <typename... Fields>
constexpr size_t ContiguousSize(const std::tuple<Fields...>& fields) {
  return std::apply(
      [](const auto&... field) {
        size_t end = 0;
        bool contiguous = true;
        ((contiguous = contiguous && field.offset == end, end += FieldSize(field.member)), ...);
        return contiguous ? end : 0;
      },
      fields);
}

// Each record's table: kSize, its fixed bytes, and Fields(), where each
// field lies. One specialisation per record.
template <typename Record>
struct RecordLayout;

template <>
struct RecordLayout<LocalHeader> {  // APPNOTE 4.3.7
  static constexpr size_t kSize = 30;
  static constexpr auto Fields() {
    using R = LocalHeader;
    return std::tuple{FieldAt{&R::signature, 0},       FieldAt{&R::versionNeeded, 4},
                      FieldAt{&R::flags, 6},           FieldAt{&R::compressionMethod, 8},
                      FieldAt{&R::dateTime, 10},       FieldAt{&R::crc32, 14},
                      FieldAt{&R::compressedSize, 18}, FieldAt{&R::uncompressedSize, 22},
                      FieldAt{&R::nameLength, 26},     FieldAt{&R::extraLength, 28}};
  }
};

template <>
struct RecordLayout<CentralHeader> {  // APPNOTE 4.3.12
  static constexpr size_t kSize = 46;
  static constexpr auto Fields() {
    using R = CentralHeader;
    return std::tuple{FieldAt{&R::signature, 0},
                      FieldAt{&R::versionMadeBy, 4},
                      FieldAt{&R::versionNeeded, 6},
                      FieldAt{&R::flags, 8},
                      FieldAt{&R::compressionMethod, 10},
                      FieldAt{&R::dateTime, 12},
                      FieldAt{&R::crc32, 16},
                      FieldAt{&R::compressedSize, 20},
                      FieldAt{&R::uncompressedSize, 24},
                      FieldAt{&R::nameLength, 28},
                      FieldAt{&R::extraLength, 30},
                      FieldAt{&R::commentLength, 32},
                      FieldAt{&R::diskNumberStart, 34},
                      FieldAt{&R::internalAttributes, 36},
                      FieldAt{&R::externalAttributes, 38},
                      FieldAt{&R::localHeaderOffset, 42}};
  }
};

template <>
struct RecordLayout<EndRecord> {  // APPNOTE 4.3.16
  static constexpr size_t kSize = 22;
  static constexpr auto Fields() {
    using R = EndRecord;
    return std::tuple{FieldAt{&R::signature, 0},      FieldAt{&R::thisDisk, 4},
                      FieldAt{&R::centralDisk, 6},    FieldAt{&R::entriesThisDisk, 8},
                      FieldAt{&R::totalEntries, 10},  FieldAt{&R::centralSize, 12},
                      FieldAt{&R::centralOffset, 16}, FieldAt{&R::commentLength, 20}};
  }
};

template <>
struct RecordLayout<DataDescriptor> {  // APPNOTE 4.3.9
  static constexpr size_t kSize = 16;
  static constexpr auto Fields() {
    using R = DataDescriptor;
    return std::tuple{FieldAt{&R::signature, 0}, FieldAt{&R::crc32, 4},
                      FieldAt{&R::compressedSize, 8}, FieldAt{&R::uncompressedSize, 12}};
  }
};

template <>
struct RecordLayout<ExtraBlock> {  // APPNOTE 4.5.1
  static constexpr size_t kSize = 4;
  static constexpr auto Fields() {
    return std::tuple{FieldAt{&ExtraBlock::tag, 0}, FieldAt{&ExtraBlock::dataSize, 2}};
  }
};

template <>
struct RecordLayout<Zip64LocalSizes> {  // APPNOTE 4.5.3
  static constexpr size_t kSize = 16;
  static constexpr auto Fields() {
    using R = Zip64LocalSizes;
    return std::tuple{FieldAt{&R::uncompressedSize, 0}, FieldAt{&R::compressedSize, 8}};
  }
};

// Every table's fields tile its record.
template <typename Record>
constexpr bool kTiled =
    ContiguousSize(RecordLayout<Record>::Fields()) == RecordLayout<Record>::kSize;
static_assert(kTiled<LocalHeader> && kTiled<CentralHeader> && kTiled<EndRecord>);
static_assert(kTiled<DataDescriptor> && kTiled<ExtraBlock> && kTiled<Zip64LocalSizes>);

// ---- fixed sizes -------------------------------------------------------------
inline constexpr size_t kLocalHeaderSize = RecordLayout<LocalHeader>::kSize;
inline constexpr size_t kCentralHeaderSize = RecordLayout<CentralHeader>::kSize;
inline constexpr size_t kEndRecordSize = RecordLayout<EndRecord>::kSize;
inline constexpr auto kDataDescriptorSize =
    static_cast<int64_t>(RecordLayout<DataDescriptor>::kSize);
// The end record is searched in the archive's last 22 + 65535 bytes: the
// record itself followed by the longest comment it can announce.
inline constexpr int64_t kEndSearchSize = kEndRecordSize + kMaxCommentLength;

// ---- reading -----------------------------------------------------------------------

template <typename Record, typename Owner, typename Value>
void ReadField(std::span<const uint8_t> bytes, const FieldAt<Value Owner::*>& field,
               Record& record) {
  LeReader reader(bytes.subspan(field.offset));
  record.*field.member = reader.Next<Value>();
}

// The record at the start of BYTES, each field where its layout places it;
// nullopt when BYTES is shorter than the record or, for a record with a
// signature, does not begin with it.
template <typename Record>
std::optional<Record> Parse(std::span<const uint8_t> bytes) {
  if (bytes.size() < RecordLayout<Record>::kSize) {
    return std::nullopt;
  }
  Record record;
  std::apply([&](const auto&... field) { (ReadField(bytes, field, record), ...); },
             RecordLayout<Record>::Fields());
  if constexpr (requires { Record::kSignature; }) {
    if (record.signature != Record::kSignature) {
      return std::nullopt;
    }
  }
  return record;
}

// True when BYTES begins with "PK" followed by TAG.
inline bool StartsWithSignature(std::span<const uint8_t> bytes, const SignatureTag& tag) {
  return bytes.size() >= 4 && bytes[0] == kSignatureP && bytes[1] == kSignatureK &&
         bytes[2] == tag[0] && bytes[3] == tag[1];
}

}  // namespace lumivora::unzip::zip
