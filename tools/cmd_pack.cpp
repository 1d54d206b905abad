// lumivora-tool pack: a pack written by libzip (deflated, traditional PKWARE
// encryption) holding one file as the main program "Lumivoramain", with the
// archive comment "Version=V" when a version is given, then read back
// through the extraction component; for release, written only once the
// launcher's pack check passes. POSIX builds only: Debian ships no Windows
// build of libzip.
#include <sys/stat.h>
#include <zip.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/exception.h"
#include "platform/file.h"
#include "platform/product.h"
#include "tools/tool_commands.h"

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

struct ZipCloser {
  void operator()(zip_t* archive) const { zip_discard(archive); }
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

// Writes the pack: INPUT as the one entry "<product>main" ("Lumivoramain"), deflated and
// encrypted, with the input's mode and time, and the archive comment
// "Version=V" (ASCII, no line break) for a version V. Prints why and returns
// false when it cannot.
bool WritePack(const PackArguments& pack, const struct stat& status) {
  int error = 0;
  std::unique_ptr<zip_t, ZipCloser> archive(
      zip_open(pack.output.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error));
  if (!archive) {
    zip_error_t zipError;
    zip_error_init_with_code(&zipError, error);
    std::fprintf(stderr, "%s: %s\n", pack.output.c_str(), zip_error_strerror(&zipError));
    zip_error_fini(&zipError);
    return false;
  }
  zip_source_t* source = zip_source_file(archive.get(), pack.input.c_str(), 0, -1);
  if (source == nullptr) {
    std::fprintf(stderr, "%s: %s\n", pack.input.c_str(), zip_strerror(archive.get()));
    return false;
  }
  // The entry the launcher of the same build extracts: named after the product.
  const std::string mainName = platform::ProductName() + "main";
  const zip_int64_t index = zip_file_add(archive.get(), mainName.c_str(), source, ZIP_FL_OVERWRITE);
  if (index < 0) {
    zip_source_free(source);
    std::fprintf(stderr, "%s: %s\n", pack.output.c_str(), zip_strerror(archive.get()));
    return false;
  }
  const auto entry = static_cast<zip_uint64_t>(index);
  const std::string comment = pack.version.empty() ? "" : "Version=" + pack.version;
  if (!comment.empty() && zip_set_archive_comment(archive.get(), comment.data(),
                                                  static_cast<zip_uint16_t>(comment.size())) != 0) {
    std::fprintf(stderr, "%s: %s\n", pack.output.c_str(), zip_strerror(archive.get()));
    return false;
  }
  // Unix host, the file's permission bits in the high half (APPNOTE 4.4.15):
  // the extracted main program keeps its execute permission.
  const auto mode = static_cast<zip_uint32_t>(S_IFREG | (status.st_mode & 07777U));
  const char* password = pack.password.c_str();
  if (zip_set_file_compression(archive.get(), entry, ZIP_CM_DEFLATE, 9) != 0 ||
      zip_file_set_encryption(archive.get(), entry, ZIP_EM_TRAD_PKWARE, password) != 0 ||
      zip_file_set_external_attributes(archive.get(), entry, 0, ZIP_OPSYS_UNIX, mode << 16U) != 0 ||
      zip_file_set_mtime(archive.get(), entry, status.st_mtime, 0) != 0) {
    std::fprintf(stderr, "%s: %s\n", pack.output.c_str(), zip_strerror(archive.get()));
    return false;
  }
  if (zip_close(archive.get()) != 0) {
    std::fprintf(stderr, "%s: %s\n", pack.output.c_str(), zip_strerror(archive.get()));
    return false;
  }
  (void)archive.release();  // zip_close freed it
  return true;
}

// Writes PACK as the pack command does, without reading it back; prints why
// and returns false when it cannot.
bool MakePack(const PackArguments& pack) {
  struct stat status {};
  if (::stat(pack.input.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
    std::fprintf(stderr, "%s: not a readable file\n", pack.input.c_str());
    return false;
  }
  CheckOutput(pack.output, {pack.input});
  return WritePack(pack, status);
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
