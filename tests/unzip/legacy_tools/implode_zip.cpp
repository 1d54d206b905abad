// Test-only tool: writes a ZIP archive whose entries are imploded (method 6)
// with the given general-purpose flags.
//   implode_zip [-z] OUT.zip FLAGS NAME INPUT [FLAGS NAME INPUT]...
// FLAGS is 0, 2, 4 or 6 (bit 1: 8 KiB dictionary, bit 2: literal tree);
// -z lets runs of zero bytes at the start match before the first byte.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "tests/support/zip.h"
#include "tests/unzip/legacy_tools/implode_encoder.h"

int main(int argc, char** argv) {
  using namespace lumivora::testing;
  using lumivora::legacytools::ImplodeEncode;
  try {
    std::vector<std::string> args(argv + 1, argv + argc);
    bool prestartZeros = false;
    if (!args.empty() && args.front() == "-z") {
      prestartZeros = true;
      args.erase(args.begin());
    }
    if (args.size() < 4 || (args.size() - 1) % 3 != 0) {
      std::fprintf(stderr,
                   "usage: implode_zip [-z] OUT.zip FLAGS NAME INPUT [FLAGS NAME INPUT]...\n");
      return 2;
    }
    ZipLayout layout;
    for (size_t i = 1; i < args.size(); i += 3) {
      const unsigned long flags = std::stoul(args[i]);
      if ((flags & ~6ul) != 0) {
        std::fprintf(stderr, "implode_zip: FLAGS must be 0, 2, 4 or 6\n");
        return 2;
      }
      ZipEntrySpec e;
      e.name = args[i + 1];
      e.data = ReadBytes(args[i + 2]);
      e.method = 6;
      e.extraFlags = static_cast<uint16_t>(flags);
      e.rawData = ImplodeEncode(e.data, {e.extraFlags, prestartZeros});
      layout.entries.push_back(std::move(e));
    }
    WriteBytes(args[0], BuildZip(layout));
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "implode_zip: %s\n", e.what());
    return 1;
  }
}
