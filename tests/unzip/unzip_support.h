// Helpers of the extraction tests: temporary folders, whole files, running
// the Info-ZIP tools, and a small ZIP writer whose every field can be bent
// to make malformed archives (APPNOTE 4.3 layouts).
#pragma once

#include <zlib.h>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "unzip/pkware_cipher.h"

namespace lumivora::unzip::test {

using Bytes = std::vector<uint8_t>;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lvunzipXXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      std::abort();
    }
    path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    // Read-only files and folders must not stop the clean-up.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  [[nodiscard]] std::string Path() const { return path_; }
  [[nodiscard]] std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string ReadText(const std::string& path) {
  const Bytes bytes = ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

inline void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),  // NOLINT
            static_cast<std::streamsize>(bytes.size()));
}

inline void WriteText(const std::string& path, const std::string& text) {
  WriteBytes(path, Bytes(text.begin(), text.end()));
}

inline int Run(const std::string& command) {
  return std::system(command.c_str());
}

// Bytes that compress a little (like a program): random words with repeats.
inline Bytes SampleData(size_t size, uint32_t seed = 7) {
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

inline uint32_t Crc(const Bytes& data) {
  return static_cast<uint32_t>(crc32_z(0, data.data(), data.size()));
}

inline Bytes RawDeflate(const Bytes& data, int level = 6) {
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

inline void Put16(Bytes& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8U));
}
inline void Put32(Bytes& out, uint32_t value) {
  Put16(out, value & 0xFFFFU);
  Put16(out, value >> 16U);
}

// One entry of a hand-made archive; the central fields default to the local
// ones and can each be bent.
struct ZipEntrySpec {
  std::string name;
  Bytes data;                         // uncompressed content
  uint16_t method = 8;                // 0 stored, 8 deflated; others stored as given
  std::string password;               // non-empty: traditional encryption
  uint16_t extraFlags = 0;            // ORed into the flags (bit 3: data descriptor)
  uint32_t dosDateTime = 0x5A8C6B2D;  // 2025-04-12 13:25:26
  uint32_t externalAttributes = 0x20;
  std::string comment;
  Bytes rawData;  // when set, the stored entry data as is
  // Overrides of the central record (the sizes also of the local header,
  // unless localSizesAsWritten).
  int64_t crcOverride = -1;
  int64_t uncompressedOverride = -1;
  int64_t compressedOverride = -1;
  int64_t offsetOverride = -1;
  bool localSizesAsWritten = false;
  uint32_t localSignature = 0x04034b50;
  uint16_t versionMadeBy = 20;  // 0x314: Unix host, mode in externalAttributes >> 16
};

struct ZipLayout {
  std::vector<ZipEntrySpec> entries;
  std::string comment;
  bool reverseCentral = false;  // list the central records backwards
  int64_t centralOffsetOverride = -1;
  int64_t totalEntriesOverride = -1;
  uint16_t thisDisk = 0;
};

inline Bytes BuildZip(const ZipLayout& layout) {
  Bytes out;
  std::vector<Bytes> central;
  for (const ZipEntrySpec& e : layout.entries) {
    const uint32_t offset = static_cast<uint32_t>(out.size());
    Bytes body = e.rawData;
    if (body.empty()) {
      body = e.method == 8 ? RawDeflate(e.data) : e.data;
    }
    const uint32_t crc = Crc(e.data);
    uint16_t flags = e.extraFlags;
    if (!e.password.empty()) {
      flags |= 1U;
      TraditionalCipher cipher;
      cipher.InitCipherKeys(e.password);
      Bytes header(12, 0x5A);
      header[11] = (flags & 8U) != 0 ? static_cast<uint8_t>(e.dosDateTime >> 8U)
                                     : static_cast<uint8_t>(crc >> 24U);
      Bytes plain = header;
      plain.insert(plain.end(), body.begin(), body.end());
      Bytes encrypted;
      for (const uint8_t b : plain) {
        encrypted.push_back(static_cast<uint8_t>(b ^ cipher.CipherByte()));
        cipher.UpdateCipherKeys(b);
      }
      body = encrypted;
    }
    const auto compressed = static_cast<uint32_t>(body.size());
    const auto size = static_cast<uint32_t>(e.data.size());
    const auto declared = [&](int64_t override, uint32_t written) {
      return override >= 0 ? static_cast<uint32_t>(override) : written;
    };
    const bool bent = !e.localSizesAsWritten;
    Put32(out, e.localSignature);
    Put16(out, 20);
    Put16(out, flags);
    Put16(out, e.method);
    Put32(out, e.dosDateTime);
    Put32(out, (flags & 8U) != 0 ? 0 : crc);
    Put32(out, (flags & 8U) != 0 ? 0
               : bent            ? declared(e.compressedOverride, compressed)
                                 : compressed);
    Put32(out, (flags & 8U) != 0 ? 0 : bent ? declared(e.uncompressedOverride, size) : size);
    Put16(out, static_cast<uint32_t>(e.name.size()));
    Put16(out, 0);
    out.insert(out.end(), e.name.begin(), e.name.end());
    out.insert(out.end(), body.begin(), body.end());
    if ((flags & 8U) != 0) {
      Put32(out, 0x08074b50);
      Put32(out, crc);
      Put32(out, compressed);
      Put32(out, size);
    }
    Bytes c;
    Put32(c, 0x02014b50);
    Put16(c, e.versionMadeBy);
    Put16(c, 20);
    Put16(c, flags);
    Put16(c, e.method);
    Put32(c, e.dosDateTime);
    Put32(c, e.crcOverride >= 0 ? static_cast<uint32_t>(e.crcOverride) : crc);
    Put32(c, e.compressedOverride >= 0 ? static_cast<uint32_t>(e.compressedOverride) : compressed);
    Put32(c, e.uncompressedOverride >= 0 ? static_cast<uint32_t>(e.uncompressedOverride) : size);
    Put16(c, static_cast<uint32_t>(e.name.size()));
    Put16(c, 0);
    Put16(c, static_cast<uint32_t>(e.comment.size()));
    Put16(c, layout.thisDisk);
    Put16(c, 0);
    Put32(c, e.externalAttributes);
    Put32(c, e.offsetOverride >= 0 ? static_cast<uint32_t>(e.offsetOverride) : offset);
    c.insert(c.end(), e.name.begin(), e.name.end());
    c.insert(c.end(), e.comment.begin(), e.comment.end());
    central.push_back(c);
  }
  if (layout.reverseCentral) {
    std::reverse(central.begin(), central.end());
  }
  const auto centralOffset = static_cast<uint32_t>(out.size());
  for (const Bytes& c : central) {
    out.insert(out.end(), c.begin(), c.end());
  }
  const auto centralSize = static_cast<uint32_t>(out.size() - centralOffset);
  const auto total = static_cast<uint32_t>(layout.totalEntriesOverride >= 0
                                               ? layout.totalEntriesOverride
                                               : static_cast<int64_t>(layout.entries.size()));
  Put32(out, 0x06054b50);
  Put16(out, layout.thisDisk);
  Put16(out, layout.thisDisk);
  Put16(out, total);
  Put16(out, total);
  Put32(out, centralSize);
  Put32(out, layout.centralOffsetOverride >= 0 ? static_cast<uint32_t>(layout.centralOffsetOverride)
                                               : centralOffset);
  Put16(out, static_cast<uint32_t>(layout.comment.size()));
  out.insert(out.end(), layout.comment.begin(), layout.comment.end());
  return out;
}

// A password other than RIGHT whose decryption of the encryption header
// that BuildZip writes for DATA passes the check byte (one in 256 does).
inline std::string PasswordPassingCheck(const Bytes& data, const std::string& right) {
  const auto check = static_cast<uint8_t>(Crc(data) >> 24U);
  TraditionalCipher cipher;
  cipher.InitCipherKeys(right);
  Bytes header(12, 0x5A);
  header[11] = check;
  for (uint8_t& b : header) {
    const uint8_t plain = b;
    b = static_cast<uint8_t>(b ^ cipher.CipherByte());
    cipher.UpdateCipherKeys(plain);
  }
  for (int i = 0;; ++i) {
    const std::string password = "wrong" + std::to_string(i);
    Bytes copy = header;
    cipher.InitCipherKeys(password);
    cipher.DecryptBuffer(copy.data(), copy.size());
    if (copy[11] == check) {
      return password;
    }
  }
}

#ifndef _WIN32
// While it lives, files this process writes may not grow past LIMIT bytes
// (none when negative): SIGXFSZ is ignored, so a write past it comes back
// short, as on a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(int64_t limit) : active_(limit >= 0) {
    if (active_) {
      getrlimit(RLIMIT_FSIZE, &saved_);
      previous_ = std::signal(SIGXFSZ, SIG_IGN);
      rlimit lowered = saved_;
      lowered.rlim_cur = static_cast<rlim_t>(limit);
      setrlimit(RLIMIT_FSIZE, &lowered);
    }
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  ~FileSizeLimit() {
    if (active_) {
      setrlimit(RLIMIT_FSIZE, &saved_);
      std::signal(SIGXFSZ, previous_);
    }
  }

 private:
  bool active_;
  rlimit saved_{};
  void (*previous_)(int) = nullptr;
};
#else
struct FileSizeLimit {
  explicit FileSizeLimit(int64_t /*limit*/) {}
};
#endif

inline Bytes ToBytes(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

}  // namespace lumivora::unzip::test
