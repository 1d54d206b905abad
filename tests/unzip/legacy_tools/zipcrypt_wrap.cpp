// Test-only tool: applies traditional PKWARE encryption (APPNOTE section 6.1)
// to entries of an existing archive, whatever their compression method. Each
// chosen entry gets flag bit 0 and a 12-byte encryption header whose last byte
// is the high byte of its CRC-32; its data is encrypted as is.
//   zipcrypt_wrap IN.zip OUT.zip PASSWORD [ENTRY...]
// Without ENTRY names every file entry that is not yet encrypted is wrapped.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "tests/support/zip.h"

int main(int argc, char** argv) {
  using namespace lumivora::testing;
  try {
    if (argc < 4) {
      std::fprintf(stderr, "usage: zipcrypt_wrap IN.zip OUT.zip PASSWORD [ENTRY...]\n");
      return 2;
    }
    const std::vector<std::string> only(argv + 4, argv + argc);
    ZipLayout layout;
    std::string error;
    if (!ParseZip(ReadBytes(argv[1]), layout.entries, error)) {
      std::fprintf(stderr, "zipcrypt_wrap: %s\n", error.c_str());
      return 1;
    }
    size_t wrapped = 0;
    for (ZipEntrySpec& e : layout.entries) {
      const bool isDirectory = !e.name.empty() && e.name.back() == '/';
      const bool encrypted = (e.extraFlags & 1) != 0;
      const bool chosen = only.empty() ? !isDirectory && !encrypted
                                       : std::find(only.begin(), only.end(), e.name) != only.end();
      if (!chosen) {
        continue;
      }
      if (encrypted) {
        std::fprintf(stderr, "zipcrypt_wrap: %s is already encrypted\n", e.name.c_str());
        return 1;
      }
      e.password = argv[3];
      e.versionNeeded = std::max<uint16_t>(e.versionNeeded, 20);
      ++wrapped;
    }
    if (wrapped == 0 || (!only.empty() && wrapped != only.size())) {
      std::fprintf(stderr, "zipcrypt_wrap: no such entry to wrap\n");
      return 1;
    }
    WriteBytes(argv[2], BuildZip(layout));
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zipcrypt_wrap: %s\n", e.what());
    return 1;
  }
}
