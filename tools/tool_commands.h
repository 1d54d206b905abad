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

struct Command {
  const char* name;
  const char* usage;
  int (*run)(const Arguments& arguments);  // arguments after the command name
};

}  // namespace lumivora::tool
