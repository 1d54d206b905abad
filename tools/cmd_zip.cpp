// lumivora-tool pack / list / test / extract: the vendor's pack tooling. The
// pack is written by libzip (deflated, traditional PKWARE encryption); every
// reading command goes through TVCLUnZip.
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "platform/exception.h"
#include "platform/file.h"
#include "platform/ui.h"
#include "tools/tool_commands.h"
#include "unzip/vcl_unzip.h"

#ifndef LUMIVORA_PACK_PASSWORD
#error "LUMIVORA_PACK_PASSWORD must be defined by the build"
#endif

namespace lumivora::tool {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitEntryFailed = 1;
constexpr int kExitArchiveError = 2;

std::string MethodName(uint16_t method) {
  switch (method) {
    case 0:
      return "stored";
    case 1:
      return "shrunk";
    case 2:
    case 3:
    case 4:
    case 5:
      return "reduce" + std::to_string(method - 1);
    case 6:
      return "implode";
    case 8:
      return "deflate";
    default:
      return "method" + std::to_string(method);
  }
}

std::string StoredName(const unzip::TZipHeaderInfo& info) {
  std::string name = info.Directory() + info.FileName();
  for (char& c : name) {
    if (c == platform::PathSeparator()) {
      c = '/';
    }
  }
  return name;
}

// A progress bar on standard error, drawn only when it is a terminal.
class ProgressBar {
 public:
  ProgressBar() : enabled_(isatty(STDERR_FILENO) == 1) {}
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;
  ~ProgressBar() { Finish(); }

  void Attach(unzip::TVCLUnZip& unzip) {
    if (!enabled_) {
      return;
    }
    unzip.OnTotalPercentDone = [this](unzip::TVCLUnZip&, int percent) { Draw(percent); };
  }
  void Draw(int percent) {
    if (percent == last_) {
      return;
    }
    last_ = percent;
    constexpr int kWidth = 40;
    const int filled = percent * kWidth / 100;
    std::fprintf(stderr, "\r[%s%s] %3d%%", std::string(static_cast<size_t>(filled), '#').c_str(),
                 std::string(static_cast<size_t>(kWidth - filled), ' ').c_str(), percent);
    std::fflush(stderr);
    drawn_ = true;
  }
  void Finish() {
    if (drawn_) {
      std::fputs("\r\033[K", stderr);
      drawn_ = false;
    }
  }

 private:
  bool enabled_;
  bool drawn_ = false;
  int last_ = -1;
};

struct ZipCloser {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};

// Options of the reading commands.
struct ReadOptions {
  std::string archive;
  std::string password;
  std::string destDir = ".";
  bool recreateDirs = false;
  std::vector<std::string> patterns;
};

bool ParseReadOptions(const Arguments& arguments, bool allowExtract, ReadOptions& options) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "-P" && i + 1 < arguments.size()) {
      options.password = arguments[++i];
    } else if (allowExtract && argument == "-d" && i + 1 < arguments.size()) {
      options.destDir = arguments[++i];
    } else if (allowExtract && argument == "--recreate-dirs") {
      options.recreateDirs = true;
    } else if (options.archive.empty() && (argument.empty() || argument[0] != '-')) {
      options.archive = argument;
    } else if (allowExtract && (argument.empty() || argument[0] != '-')) {
      options.patterns.push_back(argument);
    } else {
      return false;  // an unknown option, or a pattern where none is taken
    }
  }
  return !options.archive.empty();
}

// Runs UnZip for test or extract; one stderr line per entry that failed.
int RunEntries(const ReadOptions& options, bool testOnly) {
  const std::unique_ptr<platform::UserInterface> ui = platform::CreateConsoleInterface();
  unzip::TVCLUnZip unzip(ui.get());
  int failed = 0;
  ProgressBar progress;
  try {
    unzip.SetZipName(options.archive);
    unzip.SetPassword(options.password);
    unzip.SetTestOnly(testOnly);
    unzip.SetDestDir(options.destDir);
    unzip.SetRecreateDirs(options.recreateDirs);
    unzip.SetOverwriteMode(unzip::TUZOverwriteMode::Always);
    unzip.SetDoProcessMessages(false);
    if (options.patterns.empty()) {
      unzip.SetDoAll(true);
    } else {
      unzip.SetFilesList(options.patterns);
    }
    progress.Attach(unzip);
    unzip.OnBadCRC = [&](unzip::TVCLUnZip& sender, uint32_t computed, uint32_t stored, int index) {
      progress.Finish();
      std::fprintf(stderr, "%s: CRC error (computed %08x, stored %08x)\n",
                   StoredName(sender.Entry(index)).c_str(), computed, stored);
      ++failed;
    };
    unzip.OnSkippingFile = [&](unzip::TVCLUnZip&, unzip::TSkipReason reason,
                               const std::string& name, int) {
      progress.Finish();
      const char* why = reason == unzip::TSkipReason::srBadPassword ? "wrong password or damaged"
                        : reason == unzip::TSkipReason::srUnsafePath
                            ? "path leads outside the destination"
                            : "existing file kept";
      std::fprintf(stderr, "%s: skipped (%s)\n", name.c_str(), why);
      ++failed;
    };
    unzip.UnZip();
  } catch (const Exception& error) {
    progress.Finish();
    std::fprintf(stderr, "%s: %s\n", options.archive.c_str(), error.Message().c_str());
    return kExitArchiveError;
  }
  progress.Finish();
  if (testOnly && failed == 0) {
    std::printf("%s: no errors in %d entries\n", options.archive.c_str(), unzip.Count());
  }
  return failed == 0 ? kExitOk : kExitEntryFailed;
}

}  // namespace

int PackCommand(const Arguments& arguments) {
  std::string input;
  std::string output;
  std::string password = LUMIVORA_PACK_PASSWORD;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == "-o" && i + 1 < arguments.size()) {
      output = arguments[++i];
    } else if (arguments[i] == "-P" && i + 1 < arguments.size()) {
      password = arguments[++i];
    } else if (input.empty() && !arguments[i].empty() && arguments[i][0] != '-') {
      input = arguments[i];
    } else {
      input.clear();
      break;
    }
  }
  if (input.empty() || output.empty()) {
    std::fputs("usage: lumivora-tool pack FILE -o PACK [-P PASSWORD]\n", stderr);
    return kExitArchiveError;
  }
  struct stat status {};
  if (::stat(input.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
    std::fprintf(stderr, "%s: not a readable file\n", input.c_str());
    return kExitArchiveError;
  }
  int error = 0;
  std::unique_ptr<zip_t, ZipCloser> archive(
      zip_open(output.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error));
  if (!archive) {
    zip_error_t zipError;
    zip_error_init_with_code(&zipError, error);
    std::fprintf(stderr, "%s: %s\n", output.c_str(), zip_error_strerror(&zipError));
    zip_error_fini(&zipError);
    return kExitArchiveError;
  }
  zip_source_t* source = zip_source_file(archive.get(), input.c_str(), 0, -1);
  if (source == nullptr) {
    std::fprintf(stderr, "%s: %s\n", input.c_str(), zip_strerror(archive.get()));
    return kExitArchiveError;
  }
  const zip_int64_t index = zip_file_add(archive.get(), "Lumivoramain", source, ZIP_FL_OVERWRITE);
  if (index < 0) {
    zip_source_free(source);
    std::fprintf(stderr, "%s: %s\n", output.c_str(), zip_strerror(archive.get()));
    return kExitArchiveError;
  }
  const auto entry = static_cast<zip_uint64_t>(index);
  // Unix host, the file's permission bits in the high half (APPNOTE 4.4.15):
  // the extracted main program keeps its execute permission.
  const auto mode = static_cast<zip_uint32_t>(S_IFREG | (status.st_mode & 07777U));
  if (zip_set_file_compression(archive.get(), entry, ZIP_CM_DEFLATE, 9) != 0 ||
      zip_file_set_encryption(archive.get(), entry, ZIP_EM_TRAD_PKWARE, password.c_str()) != 0 ||
      zip_file_set_external_attributes(archive.get(), entry, 0, ZIP_OPSYS_UNIX, mode << 16U) != 0 ||
      zip_file_set_mtime(archive.get(), entry, status.st_mtime, 0) != 0) {
    std::fprintf(stderr, "%s: %s\n", output.c_str(), zip_strerror(archive.get()));
    return kExitArchiveError;
  }
  if (zip_close(archive.get()) != 0) {
    std::fprintf(stderr, "%s: %s\n", output.c_str(), zip_strerror(archive.get()));
    return kExitArchiveError;
  }
  (void)archive.release();  // zip_close freed it
  // Read the pack back through the extraction component.
  ReadOptions check;
  check.archive = output;
  check.password = password;
  const int result = RunEntries(check, true);
  if (result != kExitOk) {
    std::fprintf(stderr, "%s: the written pack does not check\n", output.c_str());
  }
  return result;
}

int ListCommand(const Arguments& arguments) {
  if (arguments.size() != 1) {
    std::fputs("usage: lumivora-tool list ARCHIVE\n", stderr);
    return kExitArchiveError;
  }
  const std::unique_ptr<platform::UserInterface> ui = platform::CreateConsoleInterface();
  unzip::TVCLUnZip unzip(ui.get());
  try {
    unzip.SetZipName(arguments[0]);
    unzip.ReadZip();
    std::printf("%-8s %10s %10s %-8s %-19s %-5s %s\n", "Method", "Packed", "Size", "CRC-32", "Date",
                "Flags", "Name");
    for (int i = 0; i < unzip.Count(); ++i) {
      const unzip::TZipHeaderInfo& info = unzip.Entry(i);
      const uint32_t dos = info.dateTime;
      std::printf("%-8s %10u %10u %08x %04u-%02u-%02u %02u:%02u:%02u %04x  %s\n",
                  MethodName(info.compressionMethod).c_str(), info.compressedSize,
                  info.uncompressedSize, info.crc32, 1980U + (dos >> 25U), (dos >> 21U) & 0x0FU,
                  (dos >> 16U) & 0x1FU, (dos >> 11U) & 0x1FU, (dos >> 5U) & 0x3FU,
                  (dos & 0x1FU) * 2U, info.flags, StoredName(info).c_str());
    }
    const std::string comment = unzip.ZipComment();
    if (!comment.empty()) {
      std::printf("%s\n", comment.c_str());
    }
  } catch (const Exception& error) {
    std::fprintf(stderr, "%s: %s\n", arguments[0].c_str(), error.Message().c_str());
    return kExitArchiveError;
  }
  return kExitOk;
}

int TestCommand(const Arguments& arguments) {
  ReadOptions options;
  if (!ParseReadOptions(arguments, false, options)) {
    std::fputs("usage: lumivora-tool test ARCHIVE [-P PASSWORD]\n", stderr);
    return kExitArchiveError;
  }
  return RunEntries(options, true);
}

int ExtractCommand(const Arguments& arguments) {
  ReadOptions options;
  if (!ParseReadOptions(arguments, true, options)) {
    std::fputs(
        "usage: lumivora-tool extract ARCHIVE [-d DIR] [-P PASSWORD] [--recreate-dirs] "
        "[PATTERN ...]\n",
        stderr);
    return kExitArchiveError;
  }
  return RunEntries(options, false);
}

}  // namespace lumivora::tool
