// The commands of lumivora-tool. Each subsystem implements its commands in a
// cmd_*.cpp file of its own and lists them in tool_main.cpp.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "unzip/pack_check.h"

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

// What the tool was configured with, as the launcher of the same build
// (tool_main.cpp): the identity that signed statements and certificates name
// unless --product names another, and the pack password that pack, release,
// test, extract and verify use unless -P gives another.
std::string BuiltInIdentity();
std::string BuiltInPackPassword();
// One line on standard error when PRODUCT is the demo identity (a launcher
// configured for a real product refuses what is made for it).
void WarnIfDemoIdentity(const char* command, const std::string& product);

// The platform whose launcher the pack check stands for: "linux" (ELF
// programs) or "windows" (PE programs); the tool's own when VALUE is empty.
// Another value is refused.
unzip::ProgramKind ParsePlatform(const std::string& value);
const char* PlatformName(unzip::ProgramKind kind);
// The launcher's pack check (unzip::CheckPack) of the pack at PATH with
// PASSWORD for the main program of this build's product and a launcher of
// KIND: success, or a failure with the sentence that launcher would show.
platform::Result CheckPackAsLauncher(const std::string& path, const std::string& password,
                                     unzip::ProgramKind kind);

// A pack to write (cmd_pack.cpp): INPUT as the main program, at OUTPUT,
// encrypted with PASSWORD, with the archive comment "Version=VERSION"
// unless VERSION is empty.
struct PackArguments {
  std::string input;
  std::string output;
  std::string password = BuiltInPackPassword();
  std::string version;
};
// Writes PACK only when the launcher's pack check for a launcher of KIND
// passes: the pack is made and checked in a temporary folder, so that a
// refused one leaves nothing behind, then copied beside OUTPUT and renamed
// over it. Raises Exception, saying why, when it cannot or may not.
void WritePackOnceChecked(const PackArguments& pack, unzip::ProgramKind kind);

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
