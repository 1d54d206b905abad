// Whether a file is a pack that the launcher can start: the check the
// launcher makes on a download before it copies it over its pack, and that
// lumivora-tool makes before it publishes or passes a release.
#pragma once

#include <string>

#include "platform/result.h"

namespace lumivora::unzip {

// The kind of program a launcher starts: an ELF executable (Linux and the
// other POSIX builds) or a PE executable (Windows builds).
enum class ProgramKind { kElf, kPe };

// The kind of program the launcher of this build starts.
ProgramKind NativeProgramKind();

// What the launcher requires of its pack: the password, the main program's
// entry name and the kind of program it starts.
struct PackRules {
  std::string password;
  std::string mainName;
  ProgramKind kind = NativeProgramKind();
};

// Success when PATH is a pack whose extraction (the launcher's selection of
// the main name) meets exactly one entry, stored under that very name at the
// top level, encrypted, decoding with the password, passing its CRC check and
// beginning as a program of the kind does; otherwise a failure with the
// sentence that says why not (the launcher shows it). Nothing is written.
platform::Result CheckPack(const std::string& path, const PackRules& rules);

}  // namespace lumivora::unzip
