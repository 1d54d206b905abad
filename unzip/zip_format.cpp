// Field-by-field parsing of the fixed parts of the ZIP records (APPNOTE 4.3):
// the field order below is the record layout.
#include "unzip/zip_format.h"

#include <algorithm>

#include "unzip/le_reader.h"

namespace lumivora::unzip::zip {

std::optional<LocalHeader> LocalHeader::Parse(std::span<const uint8_t> bytes) {
  LeReader reader(bytes);
  const uint32_t signature = reader.U32();
  LocalHeader h;
  h.versionNeeded = reader.U16();
  h.flags = reader.U16();
  h.method = reader.U16();
  h.dosDateTime = reader.U32();
  h.crc32 = reader.U32();
  h.compressedSize = reader.U32();
  h.uncompressedSize = reader.U32();
  h.nameLength = reader.U16();
  h.extraLength = reader.U16();
  if (!reader.Ok() || signature != kLocalSignature) {
    return std::nullopt;
  }
  return h;
}

EntrySizes LocalHeader::Sizes(std::span<const uint8_t> extra) const {
  EntrySizes sizes{.compressed = compressedSize, .uncompressed = uncompressedSize};
  LeReader reader(extra);
  while (reader.Ok()) {
    const uint16_t tag = reader.U16();
    const uint16_t size = reader.U16();
    if (!reader.Ok() || tag != kZip64ExtraTag) {
      reader.Skip(size);
      continue;
    }
    LeReader field(
        extra.subspan(reader.Position(), std::min<size_t>(size, extra.size() - reader.Position())));
    const uint64_t uncompressed = field.U64();
    const uint64_t compressed = field.U64();
    if (field.Ok()) {
      if (uncompressedSize == kZip64SizeMarker) {
        sizes.uncompressed = uncompressed;
      }
      if (compressedSize == kZip64SizeMarker) {
        sizes.compressed = compressed;
      }
    }
    break;
  }
  return sizes;
}

LocalLengths LocalLengths::Parse(std::span<const uint8_t> bytes) {
  LocalLengths lengths;
  if (bytes.size() >= kLocalHeaderSize) {
    LeReader reader(bytes.subspan(kNameLengthOffset));
    lengths.nameLength = reader.U16();
    lengths.extraLength = reader.U16();
  }
  return lengths;
}

std::optional<CentralHeader> CentralHeader::Parse(std::span<const uint8_t> bytes) {
  LeReader reader(bytes);
  const uint32_t signature = reader.U32();
  CentralHeader h;
  h.versionMadeBy = reader.U16();
  h.versionNeeded = reader.U16();
  h.flags = reader.U16();
  h.method = reader.U16();
  h.dosDateTime = reader.U32();
  h.crc32 = reader.U32();
  h.compressedSize = reader.U32();
  h.uncompressedSize = reader.U32();
  h.nameLength = reader.U16();
  h.extraLength = reader.U16();
  h.commentLength = reader.U16();
  h.diskNumberStart = reader.U16();
  h.internalAttributes = reader.U16();
  h.externalAttributes = reader.U32();
  h.localHeaderOffset = reader.U32();
  if (!reader.Ok() || signature != kCentralSignature) {
    return std::nullopt;
  }
  return h;
}

std::optional<EndRecord> EndRecord::Parse(std::span<const uint8_t> bytes) {
  LeReader reader(bytes);
  const uint32_t signature = reader.U32();
  EndRecord r;
  r.thisDisk = reader.U16();
  r.centralDisk = reader.U16();
  r.entriesThisDisk = reader.U16();
  r.totalEntries = reader.U16();
  r.centralSize = reader.U32();
  r.centralOffset = reader.U32();
  r.commentLength = reader.U16();
  if (!reader.Ok() || signature != kEndSignature) {
    return std::nullopt;
  }
  return r;
}

}  // namespace lumivora::unzip::zip
