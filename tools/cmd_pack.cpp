// lumivora-tool pack: a pack written by the pack writer (libzip: deflated,
// traditional PKWARE encryption) holding one file as the main program
// "Lumivoramain", with the archive comment "Version=V" when a version is
// given, then read back through the extraction component; for release,
// written only once the launcher's pack check passes.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/exception.h"
#include "platform/file.h"
#include "platform/product.h"
#include "tools/tool_commands.h"
#include "unzip/pack_writer.h"

namespace lumivora::tool {

namespace {

// A folder of the tool's own for one pack, removed with what it holds.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& prefix) : path_(platform::CreateUniqueFolder(prefix)) {
    if (path_.empty()) {
      throw Exception(Shown(prefix) + "...: cannot create a folder");
    }
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  ~ScratchFolder() {
    for (const std::string& name : platform::ListFolder(path_, "")) {
      platform::DeleteFile(path_ + platform::PathSeparator() + name);
    }
    platform::RemoveDirectory(path_);
  }
  [[nodiscard]] std::string File(const std::string& name) const {
    return path_ + platform::PathSeparator() + name;
  }

 private:
  std::string path_;
};

// "INPUT -o OUTPUT [-P PASSWORD] [--version V]"; raises UsageError for
// anything else.
PackArguments ParsePackArguments(const Arguments& arguments) {
  PackArguments parsed;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == "-o" && i + 1 < arguments.size()) {
      parsed.output = arguments[++i];
    } else if (arguments[i] == "-P" && i + 1 < arguments.size()) {
      parsed.password = arguments[++i];
    } else if (arguments[i] == "--version" && i + 1 < arguments.size()) {
      parsed.version = arguments[++i];
      CheckVersion("--version", parsed.version);
    } else if (parsed.input.empty() && !arguments[i].empty() && arguments[i][0] != '-') {
      parsed.input = arguments[i];
    } else {
      parsed.input.clear();
      break;
    }
  }
  if (parsed.input.empty() || parsed.output.empty()) {
    throw UsageError();
  }
  return parsed;
}

// The permission bits the entry keeps, so that the extracted main program
// keeps its execute permission; Windows files have none to keep.
uint32_t ProgramMode(const std::filesystem::file_status& status) {
#ifdef _WIN32
  (void)status;
  return unzip::kDefaultProgramMode;
#else
  return static_cast<uint32_t>(status.permissions()) & 07777U;
#endif
}

// Writes PACK as the pack command does, without reading it back; prints why
// and returns false when it cannot.
bool MakePack(const PackArguments& pack) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(pack.input, error);
  if (error || !std::filesystem::is_regular_file(status)) {
    std::fprintf(stderr, "%s: not a readable file\n", pack.input.c_str());
    return false;
  }
  CheckOutput(pack.output, {pack.input});
  // The entry the launcher of the same build extracts: named after the product.
  unzip::PackRequest request;
  request.program = pack.input;
  request.entryName = platform::ProductName() + "main";
  request.password = pack.password;
  request.version = pack.version;
  request.mode = ProgramMode(status);
  request.output = pack.output;
  const platform::Result written = unzip::WritePack(request);
  if (!written.Ok()) {
    std::fprintf(stderr, "%s\n", written.Reason().c_str());
  }
  return written.Ok();
}

}  // namespace

void WritePackOnceChecked(const PackArguments& pack, unzip::ProgramKind kind) {
  const std::string temp = std::filesystem::temp_directory_path().string();
  const ScratchFolder made(temp + platform::PathSeparator() + "lumivora-release-");
  const size_t slash = pack.output.find_last_of(platform::PathSeparator());
  const std::string name = slash == std::string::npos ? pack.output : pack.output.substr(slash + 1);
  const std::string folder = slash == std::string::npos ? "." : pack.output.substr(0, slash);
  PackArguments scratch = pack;
  scratch.output = made.File(name);
  if (!MakePack(scratch)) {
    throw Exception(Shown(pack.output) + ": the pack cannot be made, so nothing is written");
  }
  if (const platform::Result checked = CheckPackAsLauncher(scratch.output, pack.password, kind);
      !checked.Ok()) {
    throw Exception(Shown(pack.output) + ": a " + PlatformName(kind) +
                    " launcher would refuse this pack, so nothing is written: " + checked.Reason());
  }
  // Copied beside the pack's place and renamed over it.
  platform::ForceDirectories(folder);
  const ScratchFolder beside(folder + platform::PathSeparator() + ".release-");
  const std::string copy = beside.File(name);
  if (!platform::CopyFile(scratch.output, copy, true) ||
      !platform::ReplaceFile(copy, pack.output)) {
    throw Exception(Shown(pack.output) + ": cannot be written");
  }
}

int PackCommand(const Arguments& arguments) {
  const PackArguments pack = ParsePackArguments(arguments);
  if (!MakePack(pack)) {
    return kExitArchiveError;
  }
  // Read the pack back through the extraction component.
  const int result = TestArchive(pack.output, pack.password);
  if (result != kExitOk) {
    std::fprintf(stderr, "%s: the written pack does not check\n", pack.output.c_str());
  }
  return result;
}

}  // namespace lumivora::tool
