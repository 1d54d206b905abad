// Writing a pack: the main program as the one entry of a ZIP archive, written
// by libzip, deflated at level 9 and encrypted with traditional PKWARE
// encryption (APPNOTE 6.1), made on a Unix host with the program's permission
// bits in the high half of its external attributes (APPNOTE 4.4.15), and the
// archive comment "Version=V". The same on every platform: lumivora-tool's
// pack and release write packs with it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "platform/result.h"

namespace lumivora::unzip {

// The permission bits of a main program whose platform has none: rwxr-xr-x.
inline constexpr uint32_t kDefaultProgramMode = 0755;

// The main program as a stream: fills the span with its next bytes and says
// how many it put there, 0 at its end only; raises to end the writing (no
// pack is written then).
using ProgramReader = std::function<size_t(std::span<uint8_t> into)>;

struct PackRequest {
  // The main program: BYTES when given, else READ when given (SIZE bytes,
  // read once, in order, on the caller's thread; the entry's time is the time
  // of writing for both), else the file at PROGRAM (the entry keeps its
  // modification time). BYTES and READ must stay valid until WritePack
  // returns.
  std::string program;
  std::optional<std::span<const uint8_t>> bytes;
  ProgramReader read;
  uint64_t size = 0;
  std::string entryName;  // the launcher's "<product>main"
  std::string password;
  std::string version;                  // the archive comment "Version=VERSION"; none when empty
  uint32_t mode = kDefaultProgramMode;  // the entry's permission bits (07777)
  std::string output;
  // The deflate level (1 to 9): the vendor's packs take the smallest (9); a
  // launcher that makes its own pack from a patch takes the fastest (1),
  // since that pack is never downloaded.
  uint32_t level = 9;
};

// Writes the pack into a new file beside OUTPUT (created there, never through
// a link), gives it the mode of the file it replaces (or 0666 less the
// umask), flushes it and renames it over OUTPUT (a link at OUTPUT is
// replaced, never written through). Success, or a failure whose reason names
// the file ("PATH: what went wrong"); nothing new is left behind then.
platform::Result WritePack(const PackRequest& request);

}  // namespace lumivora::unzip
