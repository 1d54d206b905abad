// lumivora-tool encipher TEXT: prints the enciphered Base64 text of TEXT.
// lumivora-tool decipher BASE64: writes the deciphered bytes to standard
// output exactly as they come out, the zero bytes of the padding included;
// a text that is not Base64 is refused.
#include <cstdio>
#include <string>

#include "cipher/base64.h"
#include "cipher/config_cipher.h"
#include "platform/exception.h"
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
  // The launcher reads leniently; the tool refuses what RFC 4648 section 4
  // does not write (line breaks, blanks, "=" before the end).
  if (!cipher::DecodeBase64(arguments[0], cipher::Base64Rules::kWellFormed)) {
    throw Exception("\"" + Shown(arguments[0]) +
                    "\" is not Base64 (RFC 4648: groups of four of A-Z a-z 0-9 + /, \"=\" "
                    "padding at the end)");
  }
  if (!WriteAll(cipher::DecipherConfigText(arguments[0]))) {
    std::perror("lumivora-tool decipher: standard output");
    return 1;
  }
  return 0;
}

}  // namespace lumivora::tool
