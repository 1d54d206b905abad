#include <string>

#include "platform/system.h"

namespace lumivora::platform {

std::string ProcessStartText(const CommandLine& commandLine) {
  const std::string& program = commandLine.program;
  const std::string& text = commandLine.text;
  const bool hasBlank = program.find_first_of(" \t") != std::string::npos;
  const bool startsWithProgram = text.compare(0, program.size(), program) == 0 &&
                                 (text.size() == program.size() || text[program.size()] == ' ');
  if (!hasBlank || !startsWithProgram) {
    return text;
  }
  return '"' + program + '"' + text.substr(program.size());
}

}  // namespace lumivora::platform
