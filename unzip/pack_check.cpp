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

using platform::Result;

constexpr std::array<uint8_t, 4> kElfMagic = {0x7F, 'E', 'L', 'F'};
constexpr std::array<uint8_t, 2> kPeMagic = {'M', 'Z'};  // the MS-DOS stub of a PE file

// Whether HEAD begins as a program of KIND does.
bool IsProgram(const std::vector<uint8_t>& head, ProgramKind kind) {
  const auto begins = [&head](const auto& magic) {
    return head.size() >= magic.size() && std::equal(magic.begin(), magic.end(), head.begin());
  };
  return kind == ProgramKind::kElf ? begins(kElfMagic) : begins(kPeMagic);
}

Result Fail(std::string reason) {
  return Result::Failure(std::move(reason));
}

// A failure when the download's first bytes already tell that it is no pack
// (a gzip stream can carry a pack's bytes whole and pass for one).
Result NotAPack(const std::string& path) {
  std::array<unsigned char, 2> head{};
  size_t got = 0;
  try {
    platform::File file = platform::File::Open(path, platform::File::Mode::kRead);
    got = file.Read(head.data(), head.size());
  } catch (const Exception&) {
    return Fail("The download cannot be read.");
  }
  if (got == 0) {
    return Fail("The download is empty.");
  }
  if (got == 2 && head[0] == 0x1F && head[1] == 0x8B) {
    return Fail("The download is gzip data, not a pack.");
  }
  return {};
}

// Whether a test of the main program that ended with RESULT refuses the
// download, and why, in the order of the test's steps.
Result Refusal(const EntryResult& result, const std::string& mainName) {
  switch (result.status) {
    case EntryStatus::kBadEntry:
    case EntryStatus::kUnsafePath:
    case EntryStatus::kUnsupportedMethod:
      return Fail("The main program in the download cannot be decoded.");
    case EntryStatus::kWrongPassword:
      return Fail("The download is not encrypted with the pack password.");
    default:
      break;
  }
  const TZipHeaderInfo& entry = result.entry;
  if (!entry.Directory().empty() || entry.FileName() != mainName) {
    return Fail("The main program is stored as \"" + entry.Directory() + entry.FileName() +
                "\", not \"" + mainName + "\".");
  }
  switch (result.status) {
    case EntryStatus::kNotEncrypted:
      return Fail("The main program in the download is not encrypted.");
    case EntryStatus::kReadError:
    case EntryStatus::kWriteError:
      return Fail("The download is not a valid pack: " + result.message);
    case EntryStatus::kDamagedData:
    case EntryStatus::kCrcMismatch:
      return Fail("The main program in the download is damaged: it fails its CRC check.");
    case EntryStatus::kTested:
      return {};
    default:
      return Fail("The main program in the download cannot be decoded.");
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

platform::Result CheckPack(const std::string& path, const PackRules& rules) {
  const std::string& mainName = rules.mainName;
  using platform::Result;
  if (Result found = NotAPack(path); !found.Ok()) {
    return found;
  }
  ExtractRequest request;
  request.password = rules.password;
  request.requireEncryption = true;
  request.uniqueName = true;
  request.keptHead = std::max(kElfMagic.size(), kPeMagic.size());
  request.processMessages = false;
  const EntryResult result = ExtractEntry({path, rules.mainName}, request, nullptr);
  if (result.status == EntryStatus::kArchiveError) {
    return Fail("The download is not a valid pack: " + result.message);
  }
  if (result.matches != 1) {
    return Fail(result.matches == 0 ? std::string("The download holds no main program.")
                                    : "The download holds " + std::to_string(result.matches) +
                                          " entries named \"" + mainName + "\".");
  }
  if (Result refused = Refusal(result, mainName); !refused.Ok()) {
    return refused;
  }
  return IsProgram(result.head, rules.kind)
             ? Result()
             : Fail("The main program in the download is not a program for this system.");
}

}  // namespace lumivora::unzip
