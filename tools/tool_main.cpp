// lumivora-tool COMMAND [ARGUMENTS]: the vendor's tool for packs, signed
// releases and enciphered configuration texts. Its manual page is
// lumivora-tool.1.
#include <cstdio>
#include <exception>
#include <span>
#include <string>

#include "platform/exception.h"
#include "platform/product.h"
#include "tools/tool_commands.h"

#if !defined(LUMIVORA_PACK_PASSWORD) || !defined(LUMIVORA_PRODUCT_IDENTITY)
#error "LUMIVORA_PACK_PASSWORD and LUMIVORA_PRODUCT_IDENTITY must be defined by the build"
#endif

namespace lumivora::tool {
// Commands contributed by the subsystems (declared here, defined in cmd_*.cpp).
int EncipherCommand(const Arguments& arguments);  // cmd_cipher.cpp
int DecipherCommand(const Arguments& arguments);  // cmd_cipher.cpp
int ListCommand(const Arguments& arguments);      // cmd_unzip.cpp
int TestCommand(const Arguments& arguments);      // cmd_unzip.cpp
int ExtractCommand(const Arguments& arguments);   // cmd_unzip.cpp
int KeygenCommand(const Arguments& arguments);    // cmd_release.cpp
int CertifyCommand(const Arguments& arguments);   // cmd_release.cpp
int VerifyCommand(const Arguments& arguments);    // cmd_release.cpp
int RefreshCommand(const Arguments& arguments);   // cmd_refresh.cpp
int PackCommand(const Arguments& arguments);      // cmd_pack.cpp
int ReleaseCommand(const Arguments& arguments);   // cmd_release.cpp

std::string BuiltInIdentity() {
  return LUMIVORA_PRODUCT_IDENTITY;
}

std::string BuiltInPackPassword() {
  return LUMIVORA_PACK_PASSWORD;
}

}  // namespace lumivora::tool

namespace {

using lumivora::tool::Command;

constexpr Command kCommands[] = {
    {"help", "help [COMMAND]", nullptr},
    {"encipher", "encipher TEXT", lumivora::tool::EncipherCommand},
    {"decipher", "decipher BASE64", lumivora::tool::DecipherCommand},
    {"pack", "pack FILE -o PACK [-P PASSWORD] [--version V]", lumivora::tool::PackCommand},
    {"release",
     "release MAIN_PROGRAM --version V --url URL [--url MIRROR]... --key SECRET_KEY_FILE "
     "[--cert CERT_FILE] [--client-name NAME] [-P PASSWORD] [--product P] "
     "[--platform linux|windows] [--expires DAYS] [--previous OLD_PACK]... -o DIR",
     lumivora::tool::ReleaseCommand},
    {"keygen", "keygen -o SECRET_KEY_FILE", lumivora::tool::KeygenCommand},
    {"certify",
     "certify --root SECRET_KEY_FILE --key PUBLIC_KEY --serial N -o CERT_FILE [--product P]",
     lumivora::tool::CertifyCommand},
    {"verify",
     "verify INFO_FILE FILE --root-keys KEYS [--serial N] [--product P] [-P PASSWORD] "
     "[--platform linux|windows]",
     lumivora::tool::VerifyCommand},
    {"refresh",
     "refresh INFO_FILE --key SECRET_KEY_FILE [--cert CERT_FILE] --expires DAYS [--product P]",
     lumivora::tool::RefreshCommand},
    {"list", "list ARCHIVE", lumivora::tool::ListCommand},
    {"test", "test ARCHIVE [-P PASSWORD]", lumivora::tool::TestCommand},
    {"extract", "extract ARCHIVE [-d DIR] [-P PASSWORD] [--recreate-dirs] [PATTERN ...]",
     lumivora::tool::ExtractCommand},
};

constexpr const char* kProgram = "lumivora-tool";

void PrintUsage(std::FILE* stream) {
  std::fprintf(stream,
               "usage: %s COMMAND [ARGUMENTS]\n"
               "       %s COMMAND --help\n"
               "       %s --help | --version\n"
               "commands:\n",
               kProgram, kProgram, kProgram);
  for (const Command& command : kCommands) {
    std::fprintf(stream, "  %s\n", command.usage);
  }
  std::fprintf(stream, "See %s(1) for the options, exit statuses and examples.\n", kProgram);
}

const Command* FindCommand(const std::string& name) {
  for (const Command& command : kCommands) {
    if (name == command.name) {
      return &command;
    }
  }
  return nullptr;
}

int RunCommand(const Command& command, const lumivora::tool::Arguments& arguments) {
  try {
    return command.run(arguments);
  } catch (const lumivora::tool::UsageError&) {
    std::fprintf(stderr, "usage: %s %s\n", kProgram, command.usage);
    return lumivora::tool::kExitUsage;
  } catch (const lumivora::Exception& error) {
    std::fprintf(stderr, "%s %s: %s\n", kProgram, command.name, error.Message().c_str());
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s %s: %s\n", kProgram, command.name, error.what());
    return 1;
  }
}

bool IsHelp(const std::string& argument) {
  return argument == "--help" || argument == "-h";
}

}  // namespace

// lumivora-tool --help | -h | help [COMMAND], --version, COMMAND --help:
// usage on standard output, exit 0. Anything else that is not a command is a
// usage error: the usage on standard error, exit 2.
int main(int argc, char** argv) {
  const std::span<char*> args(argv, static_cast<size_t>(argc));
  const lumivora::tool::Arguments arguments(args.begin() + (args.empty() ? 0 : 1), args.end());
  if (arguments.empty()) {
    PrintUsage(stderr);
    return lumivora::tool::kExitUsage;
  }
  const std::string& name = arguments[0];
  if (name == "--version" && arguments.size() == 1) {
    // The product and identity it was configured for, as its launcher was.
    std::printf("%s %s (product %s, identity %s)\n", kProgram, LUMIVORA_VERSION,
                lumivora::platform::ProductName().c_str(),
                lumivora::tool::Shown(LUMIVORA_PRODUCT_IDENTITY).c_str());
    return 0;
  }
  const bool help = IsHelp(name) || name == "help";
  const Command* command = FindCommand(help && arguments.size() == 2 ? arguments[1] : name);
  if (command != nullptr && command->run != nullptr &&
      (help || (arguments.size() == 2 && IsHelp(arguments[1])))) {
    std::printf("usage: %s %s\n", kProgram, command->usage);
    return 0;
  }
  if (help && arguments.size() == 1) {
    PrintUsage(stdout);
    return 0;
  }
  if (command == nullptr || command->run == nullptr || help) {
    PrintUsage(stderr);
    return lumivora::tool::kExitUsage;
  }
  return RunCommand(*command, lumivora::tool::Arguments(arguments.begin() + 1, arguments.end()));
}
