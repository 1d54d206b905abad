// lumivora-tool list / test / extract: the vendor's reading commands, all
// through TUnZip (the extraction component), on every platform.
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "platform/exception.h"
#include "platform/file.h"
#include "platform/ui.h"
#include "tools/tool_commands.h"
#include "unzip/unzip.h"

namespace lumivora::tool {

namespace {

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

// TEXT with its control characters shown as Info-ZIP's unzip and ls show
// them ("^[" for escape, "^?" for delete), so that a name or a comment
// cannot drive the terminal. Tabs and line breaks pass as they are when
// KEEPLAYOUT is set.
std::string Printable(const std::string& text, bool keepLayout = false) {
  std::string shown;
  shown.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 || byte == 0x7F) && !(keepLayout && (c == '\t' || c == '\n'))) {
      shown += '^';
      shown += static_cast<char>(byte ^ 0x40U);
    } else {
      shown += c;
    }
  }
  return shown;
}

std::string StoredName(const unzip::TZipHeaderInfo& info) {
  std::string name = info.Directory() + info.FileName();
  for (char& c : name) {
    if (c == platform::PathSeparator()) {
      c = '/';
    }
  }
  return Printable(name);
}

std::string SkipText(unzip::TSkipReason reason, const unzip::TZipHeaderInfo& info) {
  switch (reason) {
    case unzip::TSkipReason::srBadPassword:
      return "wrong password or damaged";
    case unzip::TSkipReason::srNoOverwrite:
      return "existing file kept";
    case unzip::TSkipReason::srUnsafePath:
      return "path leads outside the destination";
    case unzip::TSkipReason::srUnsupportedMethod:
      return "unsupported compression method " + std::to_string(info.compressionMethod);
    case unzip::TSkipReason::srBadEntry:
      return "invalid entry: local header, sizes or overlapping data";
    case unzip::TSkipReason::srPathTooLong:
      return "path too long";
    case unzip::TSkipReason::srArchiveItself:
      return "would overwrite the archive";
  }
  return "skipped";
}

// A progress bar on standard error, drawn only when it is a terminal.
class ProgressBar {
 public:
  ProgressBar() : enabled_(isatty(STDERR_FILENO) == 1) {}
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;
  ~ProgressBar() { Finish(); }

  void Attach(unzip::TUnZip& unzip) {
    if (!enabled_) {
      return;
    }
    unzip.OnTotalPercentDone = [this](unzip::TUnZip&, int percent) { Draw(percent); };
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

// Options of the reading commands.
struct ReadOptions {
  std::string archive;
  std::string password;  // without -P: the built-in pack password
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
  unzip::TUnZip unzip(ui.get());
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
    unzip.OnBadCRC = [&](unzip::TUnZip& sender, uint32_t computed, uint32_t stored, int index) {
      progress.Finish();
      std::fprintf(stderr, "%s: CRC error (computed %08x, stored %08x)\n",
                   StoredName(sender.Entry(index)).c_str(), computed, stored);
      ++failed;
    };
    unzip.OnSkippingFile = [&](unzip::TUnZip& sender, unzip::TSkipReason reason, const std::string&,
                               int index) {
      progress.Finish();
      const unzip::TZipHeaderInfo& info = sender.Entry(index);
      std::fprintf(stderr, "%s: skipped (%s)\n", StoredName(info).c_str(),
                   SkipText(reason, info).c_str());
      ++failed;
    };
    unzip.UnZip();
  } catch (const Exception& error) {
    progress.Finish();
    std::fprintf(stderr, "%s: %s\n", Printable(options.archive).c_str(),
                 Printable(error.Message()).c_str());
    return kExitArchiveError;
  }
  progress.Finish();
  if (testOnly && failed == 0) {
    std::printf("%s: no errors in %d entries\n", options.archive.c_str(), unzip.Count());
  }
  return failed == 0 ? kExitOk : kExitEntryFailed;
}

}  // namespace

int TestArchive(const std::string& archive, const std::string& password) {
  ReadOptions options;
  options.archive = archive;
  options.password = password;
  return RunEntries(options, true);
}

int ListCommand(const Arguments& arguments) {
  if (arguments.size() != 1) {
    throw UsageError();
  }
  const std::unique_ptr<platform::UserInterface> ui = platform::CreateConsoleInterface();
  unzip::TUnZip unzip(ui.get());
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
      std::printf("%s\n", Printable(comment, true).c_str());
    }
  } catch (const Exception& error) {
    std::fprintf(stderr, "%s: %s\n", Printable(arguments[0]).c_str(),
                 Printable(error.Message()).c_str());
    return kExitArchiveError;
  }
  return kExitOk;
}

int TestCommand(const Arguments& arguments) {
  ReadOptions options;
  options.password = BuiltInPackPassword();
  if (!ParseReadOptions(arguments, false, options)) {
    throw UsageError();
  }
  return RunEntries(options, true);
}

int ExtractCommand(const Arguments& arguments) {
  ReadOptions options;
  options.password = BuiltInPackPassword();
  if (!ParseReadOptions(arguments, true, options)) {
    throw UsageError();
  }
  return RunEntries(options, false);
}

}  // namespace lumivora::tool
