// lumivora-tool encipher TEXT: prints the enciphered Base64 text of TEXT.
// lumivora-tool decipher BASE64: writes the deciphered bytes to standard
// output exactly as they come out, the zero bytes of the padding included.
#include <cstdio>
#include <string>

#include "cipher/config_cipher.h"
#include "tools/tool_commands.h"

namespace lumivora::tool {

namespace {

bool WriteAll(const std::string& bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() &&
         std::fflush(stdout) == 0;
}

}  // namespace

int EncipherCommand(const Arguments& arguments) {
  if (arguments.size() != 1) {
    throw UsageError();
  }
  if (!WriteAll(cipher::EncipherConfigText(arguments[0]) + "\n")) {
    std::perror("lumivora-tool encipher: standard output");
    return 1;
  }
  return 0;
}

int DecipherCommand(const Arguments& arguments) {
  if (arguments.size() != 1) {
    throw UsageError();
  }
  if (!WriteAll(cipher::DecipherConfigText(arguments[0]))) {
    std::perror("lumivora-tool decipher: standard output");
    return 1;
  }
  return 0;
}

}  // namespace lumivora::tool
