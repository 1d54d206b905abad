// The pack check: the download's first bytes, then one test-only extraction
// of the main program that keeps the first bytes of its decoded data.
#include "unzip/pack_check.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/exception.h"
#include "platform/file.h"
#include "unzip/unzip.h"

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

// What one test-only extraction of the main program found.
struct MainProgramRun {
  int selected = 0;
  bool whole = false;
  std::string problem;
  std::vector<uint8_t> head;
};

MainProgramRun TestMainProgram(const std::string& path, const std::string& password,
                               const std::string& mainName) {
  MainProgramRun run;
  bool started = false;
  TUnZip zip(nullptr);
  zip.SetZipName(path);
  zip.SetPassword(password);
  zip.SetTestOnly(true);
  zip.SetDoProcessMessages(false);
  zip.SetKeptHead(std::max(kElfMagic.size(), kPeMagic.size()));
  zip.FilesList().push_back(mainName);
  zip.OnStartUnZipInfo = [&](TUnZip&, int numFiles, int64_t, bool& stopNow) {
    run.selected = numFiles;
    stopNow = numFiles != 1;
  };
  zip.OnStartUnZip = [&](TUnZip& sender, int index, const std::string&, bool& skip) {
    const TZipHeaderInfo& entry = sender.Entry(index);
    started = true;
    if (!entry.Directory().empty() || entry.FileName() != mainName) {
      run.problem = "The main program is stored as \"" + entry.Directory() + entry.FileName() +
                    "\", not \"" + mainName + "\".";
    } else if (!entry.Encrypted()) {
      run.problem = "The main program in the download is not encrypted.";
    }
    skip = !run.problem.empty();
  };
  zip.OnEndUnZip = [&](TUnZip& sender, int, const std::string&) {
    run.whole = true;
    run.head = sender.EntryHead();
  };
  zip.OnBadPassword = [&](TUnZip&, int, std::string&) {
    // Before the entry starts its password check failed; after, its data.
    run.problem = started ? "The main program in the download is damaged: it fails its CRC check."
                          : "The download is not encrypted with the pack password.";
  };
  zip.OnBadCRC = [&](TUnZip&, uint32_t, uint32_t, int) {
    run.problem = "The main program in the download fails its CRC check.";
  };
  zip.UnZip();
  return run;
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
  MainProgramRun run;
  try {
    run = TestMainProgram(path, password, mainName);
  } catch (const Exception& error) {
    return "The download is not a valid pack: " + error.Message();
  }
  if (run.selected != 1) {
    return run.selected == 0 ? std::string("The download holds no main program.")
                             : "The download holds " + std::to_string(run.selected) +
                                   " entries named \"" + mainName + "\".";
  }
  if (!run.problem.empty()) {
    return run.problem;
  }
  if (!run.whole) {
    return "The main program in the download cannot be decoded.";
  }
  return IsProgram(run.head, kind) ? std::string()
                                   : "The main program in the download is not a program for "
                                     "this system.";
}

}  // namespace lumivora::unzip
