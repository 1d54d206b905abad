// The pack check: the download's first bytes, then the core's test of the
// main program, which keeps the first bytes of its decoded data; the
// refusal is read from the test's result.
#include "unzip/pack_check.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/exception.h"
#include "platform/file.h"
#include "unzip/zip_reader.h"

namespace lumivora::unzip {

namespace {

constexpr std::array<uint8_t, 4> kElfMagic = {0x7F, 'E', 'L', 'F'};
constexpr std::array<uint8_t, 2> kPeMagic = {'M', 'Z'};  // the MS-DOS stub of a PE file

// Whether HEAD begins as a program of KIND does.
bool IsProgram(const std::vector<uint8_t>& head, ProgramKind kind) {
  const auto begins = [&head](const auto& magic) {
    return head.size() >= magic.size() && std::equal(magic.begin(), magic.end(), head.begin());
  };
  return kind == ProgramKind::kElf ? begins(kElfMagic) : begins(kPeMagic);
}

// What the download is when its first bytes already tell that it is no pack
// (a gzip stream can carry a pack's bytes whole and pass for one); the empty
// text otherwise.
std::string NotAPack(const std::string& path) {
  std::array<unsigned char, 2> head{};
  size_t got = 0;
  try {
    platform::File file = platform::File::Open(path, platform::File::Mode::kRead);
    got = file.Read(head.data(), head.size());
  } catch (const Exception&) {
    return "The download cannot be read.";
  }
  if (got == 0) {
    return "The download is empty.";
  }
  if (got == 2 && head[0] == 0x1F && head[1] == 0x8B) {
    return "The download is gzip data, not a pack.";
  }
  return {};
}

// Why a test of the main program that ended with RESULT refuses the
// download, in the order of the test's steps; the empty text when it is
// whole.
std::string Refusal(const EntryResult& result, const std::string& mainName) {
  switch (result.status) {
    case EntryStatus::kBadEntry:
    case EntryStatus::kUnsafePath:
    case EntryStatus::kUnsupportedMethod:
      return "The main program in the download cannot be decoded.";
    case EntryStatus::kWrongPassword:
      return "The download is not encrypted with the pack password.";
    default:
      break;
  }
  const TZipHeaderInfo& entry = result.entry;
  if (!entry.Directory().empty() || entry.FileName() != mainName) {
    return "The main program is stored as \"" + entry.Directory() + entry.FileName() +
           "\", not \"" + mainName + "\".";
  }
  switch (result.status) {
    case EntryStatus::kNotEncrypted:
      return "The main program in the download is not encrypted.";
    case EntryStatus::kReadError:
    case EntryStatus::kWriteError:
      return "The download is not a valid pack: " + result.message;
    case EntryStatus::kDamagedData:
    case EntryStatus::kCrcMismatch:
      return "The main program in the download is damaged: it fails its CRC check.";
    case EntryStatus::kTested:
      return {};
    default:
      return "The main program in the download cannot be decoded.";
  }
}

}  // namespace

ProgramKind NativeProgramKind() {
#ifdef _WIN32
  return ProgramKind::kPe;
#else
  return ProgramKind::kElf;
#endif
}

std::string CheckPack(const std::string& path, const std::string& password,
                      const std::string& mainName, ProgramKind kind) {
  if (std::string found = NotAPack(path); !found.empty()) {
    return found;
  }
  ExtractRequest request;
  request.password = password;
  request.requireEncryption = true;
  request.uniqueName = true;
  request.keptHead = std::max(kElfMagic.size(), kPeMagic.size());
  request.processMessages = false;
  const EntryResult result = ExtractEntry(path, mainName, request, nullptr);
  if (result.status == EntryStatus::kArchiveError) {
    return "The download is not a valid pack: " + result.message;
  }
  if (result.matches != 1) {
    return result.matches == 0 ? std::string("The download holds no main program.")
                               : "The download holds " + std::to_string(result.matches) +
                                     " entries named \"" + mainName + "\".";
  }
  if (std::string refused = Refusal(result, mainName); !refused.empty()) {
    return refused;
  }
  return IsProgram(result.head, kind) ? std::string()
                                      : "The main program in the download is not a program for "
                                        "this system.";
}

}  // namespace lumivora::unzip
