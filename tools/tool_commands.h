// The commands of lumivora-tool. Each subsystem implements its commands in a
// cmd_*.cpp file of its own and lists them in tool_main.cpp.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace lumivora::tool {

using Arguments = std::vector<std::string>;

// Exit codes of the archive commands.
constexpr int kExitOk = 0;
constexpr int kExitEntryFailed = 1;
constexpr int kExitArchiveError = 2;
// Exit code of a usage error (every command).
constexpr int kExitUsage = 2;

// Thrown by a command whose arguments do not fit its usage: the tool prints
// that command's usage on standard error and exits with kExitUsage.
class UsageError : public std::runtime_error {
 public:
  UsageError() : std::runtime_error("usage") {}
};

// Tests every entry of ARCHIVE with PASSWORD (one line on standard error per
// entry that fails); returns one of the exit codes above.
int TestArchive(const std::string& archive, const std::string& password);  // cmd_unzip.cpp

// The rules every command keeps (tool_rules.cpp): each value is checked and
// each output kept apart from the inputs before anything is written; a
// refusal raises Exception with one line that names the value or the file.

// TEXT as one line: its control characters and bytes above 0x7E as C escapes
// ("\r", "\x1b"), so that no value can break or drive the terminal.
std::string Shown(const std::string& text);
// A version as the launcher compares them: 1 to 9 decimal digits per
// component, components separated by dots, at most 32 characters.
void CheckVersion(const std::string& option, const std::string& version);
// An http:// or https:// address with a host and a path, in printable ASCII
// without blanks.
void CheckUrl(const std::string& option, const std::string& url);
// A name that is not empty and has no control characters; a FILE_NAME also
// no "/", "\\" or ":" and is not "." or "..".
void CheckName(const std::string& option, const std::string& name, bool fileName);
// OUTPUT is none of INPUTS (the same file, through any path or link) and no
// key file, secret or public (which no command replaces).
void CheckOutput(const std::string& output, const std::vector<std::string>& inputs);
// A text file as ReplaceWithText writes it.
struct TextFile {
  std::string path;
  std::string text;
};
// Writes TEXT to a new file beside PATH, flushed, and renames it over PATH
// (a link at PATH is replaced, never written through); an existing file's
// mode is kept.
void ReplaceWithText(const TextFile& file);

struct Command {
  const char* name;
  const char* usage;
  int (*run)(const Arguments& arguments);  // arguments after the command name
};

}  // namespace lumivora::tool
