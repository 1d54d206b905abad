// The commands of lumivora-tool. Each subsystem implements its commands in a
// cmd_*.cpp file of its own and lists them in tool_main.cpp.
#pragma once

#include <string>
#include <vector>

namespace lumivora::tool {

using Arguments = std::vector<std::string>;

// Exit codes of the archive commands.
constexpr int kExitOk = 0;
constexpr int kExitEntryFailed = 1;
constexpr int kExitArchiveError = 2;

// Tests every entry of ARCHIVE with PASSWORD (one line on standard error per
// entry that fails); returns one of the exit codes above.
int TestArchive(const std::string& archive, const std::string& password);  // cmd_unzip.cpp

struct Command {
  const char* name;
  const char* usage;
  int (*run)(const Arguments& arguments);  // arguments after the command name
};

}  // namespace lumivora::tool
