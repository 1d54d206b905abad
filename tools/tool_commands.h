// The commands of lumivora-tool. Each subsystem implements its commands in a
// cmd_*.cpp file of its own and lists them in tool_main.cpp.
#pragma once

#include <string>
#include <vector>

namespace lumivora::tool {

using Arguments = std::vector<std::string>;

struct Command {
  const char* name;
  const char* usage;
  int (*run)(const Arguments& arguments);  // arguments after the command name
};

}  // namespace lumivora::tool
