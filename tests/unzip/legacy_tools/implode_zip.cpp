// Test-only tool: writes a ZIP archive whose entries are imploded (method 6)
// with the given general-purpose flags.
//   implode_zip [-z] OUT.zip FLAGS NAME INPUT [FLAGS NAME INPUT]...
// FLAGS is 0, 2, 4 or 6 (bit 1: 8 KiB dictionary, bit 2: literal tree);
// -z lets runs of zero bytes at the start match before the first byte.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "tests/unzip/legacy_tools/implode_encoder.h"
#include "tests/unzip/legacy_tools/zip_build.h"

int main(int argc, char** argv) {
  using namespace lumivora::legacytools;
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
    std::vector<ZipEntry> entries;
    for (size_t i = 1; i < args.size(); i += 3) {
      const unsigned long flags = std::stoul(args[i]);
      if ((flags & ~6ul) != 0) {
        std::fprintf(stderr, "implode_zip: FLAGS must be 0, 2, 4 or 6\n");
        return 2;
      }
      const std::vector<uint8_t> input = ReadWholeFile(args[i + 2]);
      ZipEntry e;
      e.name = args[i + 1];
      e.method = 6;
      e.flags = static_cast<uint16_t>(flags);
      e.crc32 = Crc32(input);
      e.uncompressedSize = static_cast<uint32_t>(input.size());
      e.data = ImplodeEncode(input, {e.flags, prestartZeros});
      entries.push_back(std::move(e));
    }
    WriteWholeFile(args[0], BuildZip(entries));
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "implode_zip: %s\n", e.what());
    return 1;
  }
}
