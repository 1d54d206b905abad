#include "tests/support/zip.h"

#include <zlib.h>

#include <algorithm>
#include <random>
#include <stdexcept>

namespace lumivora::testing {
namespace {

constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kDescriptorSignature = 0x08074b50;
constexpr uint32_t kEndSignature = 0x06054b50;
constexpr size_t kEndRecordSize = 22;
constexpr uint16_t kEncrypted = 1;
constexpr uint16_t kDataDescriptor = 8;

uint16_t Narrow16(size_t value) {
  if (value > 0xFFFF) {
    throw std::runtime_error("field does not fit in 16 bits");
  }
  return static_cast<uint16_t>(value);
}

uint32_t Narrow32(size_t value) {
  if (value > 0xFFFFFFFFU) {
    throw std::runtime_error("field does not fit in 32 bits");
  }
  return static_cast<uint32_t>(value);
}

uint32_t Pick(int64_t override, uint32_t value) {
  return override >= 0 ? static_cast<uint32_t>(override) : value;
}

void Append(Bytes& out, std::span<const uint8_t> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

void Append(Bytes& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
}

// The three keys of the traditional PKWARE encryption (APPNOTE 6.1.5).
class PkwareKeys {
 public:
  explicit PkwareKeys(const std::string& password) {
    for (const char c : password) {
      Update(static_cast<uint8_t>(c));
    }
  }
  uint8_t Encrypt(uint8_t plain) {
    const uint32_t t = (key2_ & 0xFFFFU) | 2U;
    const auto cipher = static_cast<uint8_t>(plain ^ static_cast<uint8_t>((t * (t ^ 1U)) >> 8U));
    Update(plain);
    return cipher;
  }

 private:
  static uint32_t CrcStep(uint32_t reg, uint8_t b) {
    return static_cast<uint32_t>(get_crc_table()[(reg ^ b) & 0xFFU]) ^ (reg >> 8U);
  }
  void Update(uint8_t b) {
    key0_ = CrcStep(key0_, b);
    key1_ = (key1_ + (key0_ & 0xFFU)) * 134775813U + 1U;
    key2_ = CrcStep(key2_, static_cast<uint8_t>(key1_ >> 24U));
  }
  uint32_t key0_ = 0x12345678;
  uint32_t key1_ = 0x23456789;
  uint32_t key2_ = 0x34567890;
};

// The 12-byte encryption header (its last byte is the check byte) and BODY,
// encrypted with PASSWORD.
Bytes Encrypt(const std::string& password, uint8_t check, std::span<const uint8_t> body) {
  PkwareKeys keys(password);
  Bytes out;
  out.reserve(body.size() + 12);
  for (int i = 0; i < 11; ++i) {
    out.push_back(keys.Encrypt(0x5A));
  }
  out.push_back(keys.Encrypt(check));
  for (const uint8_t b : body) {
    out.push_back(keys.Encrypt(b));
  }
  return out;
}

// The stored bytes of an entry: compressed, then encrypted when it has a password.
Bytes StoredBytes(const ZipEntrySpec& e, uint16_t flags, uint32_t crc) {
  Bytes body = e.rawData;
  if (body.empty()) {
    body = e.method == 8 ? RawDeflate(e.data) : e.data;
  }
  if (e.password.empty()) {
    return body;
  }
  const auto check =
      static_cast<uint8_t>((flags & kDataDescriptor) != 0 ? e.dosDateTime >> 8U : crc >> 24U);
  return Encrypt(e.password, check, body);
}

}  // namespace

void Put16(Bytes& out, std::initializer_list<uint32_t> values) {
  for (const uint32_t value : values) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8U));
  }
}

void Put32(Bytes& out, std::initializer_list<uint32_t> values) {
  for (const uint32_t value : values) {
    Put16(out, {value & 0xFFFFU, value >> 16U});
  }
}

void ByteReader::Seek(size_t offset) {
  if (offset > data_.size()) {
    ok_ = false;
  } else {
    offset_ = offset;
  }
}

Bytes ByteReader::Read(size_t count) {
  if (!ok_ || count > data_.size() - offset_) {
    ok_ = false;
    return {};
  }
  Bytes out(data_.begin() + static_cast<std::ptrdiff_t>(offset_),
            data_.begin() + static_cast<std::ptrdiff_t>(offset_ + count));
  offset_ += count;
  return out;
}

uint64_t ByteReader::Take(size_t count) {
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

uint32_t Crc(std::span<const uint8_t> data) {
  return static_cast<uint32_t>(crc32_z(0, data.data(), data.size()));
}

Bytes RawDeflate(std::span<const uint8_t> data, int level) {
  z_stream stream{};
  deflateInit2(&stream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&stream, static_cast<uLong>(data.size())) + 16);
  stream.next_in = const_cast<Bytef*>(data.data());  // NOLINT
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

Bytes SampleData(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes data;
  data.reserve(size);
  while (data.size() < size) {
    const auto value = static_cast<uint32_t>(random());
    if ((value & 3U) == 0 && data.size() > 64) {
      const size_t back = 1 + (value >> 8U) % 64;
      const size_t length = 3 + (value >> 16U) % 20;
      for (size_t i = 0; i < length && data.size() < size; ++i) {
        data.push_back(data[data.size() - back]);
      }
    } else {
      data.push_back(static_cast<uint8_t>(value >> 24U));
    }
  }
  return data;
}

Bytes BuildZip(const ZipLayout& layout) {
  Bytes out;
  std::vector<Bytes> central;
  for (const ZipEntrySpec& e : layout.entries) {
    const uint32_t offset = Narrow32(out.size());
    const uint32_t crc = e.crc.value_or(Crc(e.data));
    const uint32_t size = e.size.value_or(Narrow32(e.data.size()));
    const auto flags = static_cast<uint16_t>(e.extraFlags | (e.password.empty() ? 0 : kEncrypted));
    const bool descriptor = (flags & kDataDescriptor) != 0;
    const Bytes body = StoredBytes(e, flags, crc);
    const uint32_t compressed = Narrow32(body.size());
    const bool bent = !e.localSizesAsWritten;
    const uint32_t localCompressed =
        descriptor ? 0 : (bent ? Pick(e.compressedOverride, compressed) : compressed);
    const uint32_t localSize = descriptor ? 0 : (bent ? Pick(e.uncompressedOverride, size) : size);
    Bytes localExtra;
    if (e.localZip64) {
      Put16(localExtra, {1, 16});
      Put32(localExtra, {localSize, 0, localCompressed, 0});
    }
    Append(localExtra, e.localExtra);
    const uint32_t marker = 0xFFFFFFFF;
    Put32(out, {e.localSignature});
    Put16(out, {e.versionNeeded, flags, e.method});
    Put32(out, {e.dosDateTime, descriptor ? 0 : crc, e.localZip64 ? marker : localCompressed,
                e.localZip64 ? marker : localSize});
    Put16(out, {Narrow16(e.name.size()), Narrow16(localExtra.size())});
    Append(out, e.name);
    Append(out, localExtra);
    Append(out, body);
    if (descriptor) {
      Put32(out, {kDescriptorSignature, crc});
      for (const uint32_t value : {compressed, size}) {
        Put32(out, {value});
        if (e.localZip64) {
          Put32(out, {0});  // the high half of a ZIP64 descriptor's size
        }
      }
    }
    Bytes c;
    Put32(c, {kCentralSignature});
    Put16(c, {e.versionMadeBy, e.versionNeeded, flags, e.method});
    Put32(c, {e.dosDateTime, Pick(e.crcOverride, crc), Pick(e.compressedOverride, compressed),
              Pick(e.uncompressedOverride, size)});
    Put16(c, {Narrow16(e.name.size()), Narrow16(e.centralExtra.size()), Narrow16(e.comment.size()),
              layout.thisDisk, e.internalAttributes});
    Put32(c, {e.externalAttributes, Pick(e.offsetOverride, offset)});
    Append(c, e.name);
    Append(c, e.centralExtra);
    Append(c, e.comment);
    central.push_back(std::move(c));
  }
  if (layout.reverseCentral) {
    std::reverse(central.begin(), central.end());
  }
  const uint32_t centralOffset = Narrow32(out.size());
  for (const Bytes& c : central) {
    Append(out, c);
  }
  const uint32_t centralSize = Narrow32(out.size() - centralOffset);
  const uint32_t total = Pick(layout.totalEntriesOverride, Narrow32(layout.entries.size()));
  Put32(out, {kEndSignature});
  Put16(out, {layout.thisDisk, layout.thisDisk, total, total});
  Put32(out, {centralSize, Pick(layout.centralOffsetOverride, centralOffset)});
  Put16(out, {Narrow16(layout.comment.size())});
  Append(out, layout.comment);
  return out;
}

namespace {

// The offset of the end record: the last signature within the final
// 64 KiB + 22 bytes; nullopt when there is none.
std::optional<size_t> FindEndRecord(std::span<const uint8_t> archive) {
  if (archive.size() < kEndRecordSize) {
    return std::nullopt;
  }
  const size_t lowest =
      archive.size() > 0xFFFF + kEndRecordSize ? archive.size() - (0xFFFF + kEndRecordSize) : 0;
  for (size_t at = archive.size() - kEndRecordSize + 1; at-- > lowest;) {
    ByteReader probe(archive);
    probe.Seek(at);
    if (probe.U32() == kEndSignature) {
      return at;
    }
  }
  return std::nullopt;
}

// One central record and the entry's local data; an empty text, or why not.
std::string ReadEntry(std::span<const uint8_t> archive, ByteReader& central, ZipEntrySpec& e) {
  if (central.U32() != kCentralSignature) {
    return "bad central directory signature";
  }
  e.versionMadeBy = central.U16();
  e.versionNeeded = central.U16();
  e.extraFlags = central.U16();
  e.method = central.U16();
  e.dosDateTime = central.U32();
  e.crc = central.U32();
  const uint32_t compressedSize = central.U32();
  e.size = central.U32();
  const uint16_t nameLength = central.U16();
  const uint16_t extraLength = central.U16();
  const uint16_t commentLength = central.U16();
  central.U16();
  e.internalAttributes = central.U16();
  e.externalAttributes = central.U32();
  const uint32_t localOffset = central.U32();
  const Bytes name = central.Read(nameLength);
  e.name.assign(name.begin(), name.end());
  e.centralExtra = central.Read(extraLength);
  const Bytes comment = central.Read(commentLength);
  e.comment.assign(comment.begin(), comment.end());
  if (!central.Ok()) {
    return "central directory runs past the end";
  }
  if ((e.extraFlags & kDataDescriptor) != 0) {
    return "entries with data descriptors are not handled: " + e.name;
  }
  ByteReader local(archive);
  local.Seek(localOffset);
  if (local.U32() != kLocalSignature) {
    return "bad local header signature: " + e.name;
  }
  local.Seek(localOffset + 26);
  const uint16_t localNameLength = local.U16();
  const uint16_t localExtraLength = local.U16();
  local.Read(localNameLength);
  e.localExtra = local.Read(localExtraLength);
  e.rawData = local.Read(compressedSize);
  if (!local.Ok()) {
    return "entry data runs past the end: " + e.name;
  }
  return {};
}

}  // namespace

bool ParseZip(std::span<const uint8_t> archive, std::vector<ZipEntrySpec>& entries,
              std::string& error) {
  entries.clear();
  const std::optional<size_t> endOffset = FindEndRecord(archive);
  if (!endOffset) {
    error = "no end record";
    return false;
  }
  ByteReader end(archive);
  end.Seek(*endOffset + 4);
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
    ZipEntrySpec e;
    error = ReadEntry(archive, central, e);
    if (!error.empty()) {
      return false;
    }
    entries.push_back(std::move(e));
  }
  return true;
}

}  // namespace lumivora::testing
