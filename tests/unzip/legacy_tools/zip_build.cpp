// Test-only ZIP record writer and reader used by the legacy tools.
#include "tests/unzip/legacy_tools/zip_build.h"

#include <zlib.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace lumivora::legacytools {

namespace {

constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kEndSignature = 0x06054b50;
constexpr size_t kEndRecordSize = 22;

uint16_t Narrow16(size_t value) {
  if (value > 0xFFFF) {
    throw std::runtime_error("field does not fit in 16 bits");
  }
  return static_cast<uint16_t>(value);
}

uint32_t Narrow32(size_t value) {
  if (value > 0xFFFFFFFFu) {
    throw std::runtime_error("field does not fit in 32 bits");
  }
  return static_cast<uint32_t>(value);
}

void Append(std::vector<uint8_t>& out, std::span<const uint8_t> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

void AppendText(std::vector<uint8_t>& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
}

}  // namespace

std::vector<uint8_t> BuildZip(const std::vector<ZipEntry>& entries,
                              const std::vector<uint8_t>& archiveComment) {
  std::vector<uint8_t> out;
  std::vector<uint32_t> offsets;
  for (const ZipEntry& e : entries) {
    offsets.push_back(Narrow32(out.size()));
    PutU32(out, kLocalSignature);
    PutU16(out, e.versionNeeded);
    PutU16(out, e.flags);
    PutU16(out, e.method);
    PutU16(out, e.dosTime);
    PutU16(out, e.dosDate);
    PutU32(out, e.crc32);
    PutU32(out, Narrow32(e.data.size()));
    PutU32(out, e.uncompressedSize);
    PutU16(out, Narrow16(e.name.size()));
    PutU16(out, Narrow16(e.localExtra.size()));
    AppendText(out, e.name);
    Append(out, e.localExtra);
    Append(out, e.data);
  }
  const uint32_t centralStart = Narrow32(out.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    const ZipEntry& e = entries[i];
    PutU32(out, kCentralSignature);
    PutU16(out, e.versionMadeBy);
    PutU16(out, e.versionNeeded);
    PutU16(out, e.flags);
    PutU16(out, e.method);
    PutU16(out, e.dosTime);
    PutU16(out, e.dosDate);
    PutU32(out, e.crc32);
    PutU32(out, Narrow32(e.data.size()));
    PutU32(out, e.uncompressedSize);
    PutU16(out, Narrow16(e.name.size()));
    PutU16(out, Narrow16(e.centralExtra.size()));
    PutU16(out, Narrow16(e.comment.size()));
    PutU16(out, 0);  // disk number start
    PutU16(out, e.internalAttributes);
    PutU32(out, e.externalAttributes);
    PutU32(out, offsets[i]);
    AppendText(out, e.name);
    Append(out, e.centralExtra);
    Append(out, e.comment);
  }
  const uint32_t centralSize = Narrow32(out.size() - centralStart);
  PutU32(out, kEndSignature);
  PutU16(out, 0);
  PutU16(out, 0);
  PutU16(out, Narrow16(entries.size()));
  PutU16(out, Narrow16(entries.size()));
  PutU32(out, centralSize);
  PutU32(out, centralStart);
  PutU16(out, Narrow16(archiveComment.size()));
  Append(out, archiveComment);
  return out;
}

bool ParseZip(std::span<const uint8_t> archive, std::vector<ZipEntry>& entries,
              std::string& error) {
  entries.clear();
  if (archive.size() < kEndRecordSize) {
    error = "too short for an end record";
    return false;
  }
  // The end record is the last signature within the final 64 KiB + 22 bytes.
  size_t endOffset = archive.size() - kEndRecordSize;
  const size_t lowest =
      archive.size() > 0xFFFF + kEndRecordSize ? archive.size() - (0xFFFF + kEndRecordSize) : 0;
  for (;;) {
    ByteReader probe(archive);
    probe.Seek(endOffset);
    if (probe.U32() == kEndSignature) {
      break;
    }
    if (endOffset == lowest) {
      error = "no end record";
      return false;
    }
    --endOffset;
  }
  ByteReader end(archive);
  end.Seek(endOffset + 4);
  const uint16_t thisDisk = end.U16();
  const uint16_t centralDisk = end.U16();
  end.U16();
  const uint16_t count = end.U16();
  end.U32();
  const uint32_t centralStart = end.U32();
  if (!end.Ok() || thisDisk != 0 || centralDisk != 0) {
    error = "not a single-disk archive";
    return false;
  }
  ByteReader central(archive);
  central.Seek(centralStart);
  for (uint16_t i = 0; i < count; ++i) {
    ZipEntry e;
    if (central.U32() != kCentralSignature) {
      error = "bad central directory signature";
      return false;
    }
    e.versionMadeBy = central.U16();
    e.versionNeeded = central.U16();
    e.flags = central.U16();
    e.method = central.U16();
    e.dosTime = central.U16();
    e.dosDate = central.U16();
    e.crc32 = central.U32();
    const uint32_t compressedSize = central.U32();
    e.uncompressedSize = central.U32();
    const uint16_t nameLength = central.U16();
    const uint16_t extraLength = central.U16();
    const uint16_t commentLength = central.U16();
    central.U16();
    e.internalAttributes = central.U16();
    e.externalAttributes = central.U32();
    const uint32_t localOffset = central.U32();
    const std::vector<uint8_t> name = central.Bytes(nameLength);
    e.name.assign(name.begin(), name.end());
    e.centralExtra = central.Bytes(extraLength);
    e.comment = central.Bytes(commentLength);
    if (!central.Ok()) {
      error = "central directory runs past the end";
      return false;
    }
    if ((e.flags & 0x0008) != 0) {
      error = "entries with data descriptors are not handled: " + e.name;
      return false;
    }
    ByteReader local(archive);
    local.Seek(localOffset);
    if (local.U32() != kLocalSignature) {
      error = "bad local header signature: " + e.name;
      return false;
    }
    local.Seek(localOffset + 26);
    const uint16_t localNameLength = local.U16();
    const uint16_t localExtraLength = local.U16();
    local.Bytes(localNameLength);
    e.localExtra = local.Bytes(localExtraLength);
    e.data = local.Bytes(compressedSize);
    if (!local.Ok()) {
      error = "entry data runs past the end: " + e.name;
      return false;
    }
    entries.push_back(std::move(e));
  }
  return true;
}

uint32_t Crc32(std::span<const uint8_t> data) {
  uLong crc = crc32(0L, Z_NULL, 0);
  size_t done = 0;
  while (done < data.size()) {
    const size_t piece = std::min<size_t>(data.size() - done, 1u << 30);
    crc = crc32(crc, data.data() + done, static_cast<uInt>(piece));
    done += piece;
  }
  return static_cast<uint32_t>(crc);
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot open " + path);
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteWholeFile(const std::string& path, std::span<const uint8_t> data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + path);
  }
}

}  // namespace lumivora::legacytools
