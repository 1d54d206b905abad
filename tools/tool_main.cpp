// lumivora-tool COMMAND [ARGUMENTS]: the vendor's tool for packs and
// enciphered configuration texts.
#include <cstdio>
#include <exception>
#include <span>
#include <string>

#include "platform/exception.h"
#include "tools/tool_commands.h"

namespace lumivora::tool {
// Commands contributed by the subsystems (declared here, defined in cmd_*.cpp).
int EncipherCommand(const Arguments& arguments);  // cmd_cipher.cpp
int DecipherCommand(const Arguments& arguments);  // cmd_cipher.cpp
int ListCommand(const Arguments& arguments);      // cmd_unzip.cpp
int TestCommand(const Arguments& arguments);      // cmd_unzip.cpp
int ExtractCommand(const Arguments& arguments);   // cmd_unzip.cpp
#if LUMIVORA_TOOL_PACK_COMMAND
int PackCommand(const Arguments& arguments);  // cmd_pack.cpp
#endif
}  // namespace lumivora::tool

namespace {

using lumivora::tool::Command;

constexpr Command kCommands[] = {
    {"help", "help", nullptr},
    {"encipher", "encipher TEXT", lumivora::tool::EncipherCommand},
    {"decipher", "decipher BASE64", lumivora::tool::DecipherCommand},
#if LUMIVORA_TOOL_PACK_COMMAND  // libzip: not in the Windows build
    {"pack", "pack FILE -o PACK [-P PASSWORD]", lumivora::tool::PackCommand},
#endif
    {"list", "list ARCHIVE", lumivora::tool::ListCommand},
    {"test", "test ARCHIVE [-P PASSWORD]", lumivora::tool::TestCommand},
    {"extract", "extract ARCHIVE [-d DIR] [-P PASSWORD] [--recreate-dirs] [PATTERN ...]",
     lumivora::tool::ExtractCommand},
};

int Usage() {
  std::fputs("usage: lumivora-tool COMMAND [ARGUMENTS]\ncommands:\n", stderr);
  for (const Command& command : kCommands) {
    std::fprintf(stderr, "  %s\n", command.usage);
  }
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::span<char*> args(argv, static_cast<size_t>(argc));
  if (args.size() < 2) {
    return Usage();
  }
  const std::string name = args[1];
  for (const Command& command : kCommands) {
    if (name == command.name && command.run != nullptr) {
      try {
        return command.run(lumivora::tool::Arguments(args.begin() + 2, args.end()));
      } catch (const lumivora::Exception& error) {
        std::fprintf(stderr, "lumivora-tool %s: %s\n", command.name, error.Message().c_str());
        return 1;
      } catch (const std::exception& error) {
        std::fprintf(stderr, "lumivora-tool %s: %s\n", command.name, error.what());
        return 1;
      }
    }
  }
  return Usage();
}
