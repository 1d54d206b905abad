// Installing a verified download as the pack, as a value: under the lock that
// launchers take before they change the pack or the settings, a copy beside
// the pack (every byte, the pack's mode, flushed), the pack check on that very
// copy, the old pack kept as the previous generation when asked, one rename
// over the pack, and the record of the new version while the lock is still
// held. The pack is always either the old one or the new one.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/result.h"

namespace lumivora::webupdate {

// Checks that the file at PATH is a pack the launcher can start, and says why
// not.
using PackCheck = std::function<platform::Result(const std::string& path)>;

// Records VERSION as the installed version in the settings; called right
// after the new pack was renamed into place, while the lock is held. May
// raise an error, which leaves InstallPack.
using VersionRecord = std::function<void(const std::string& version)>;

struct PackInstallation {
  std::string source;  // the verified download
  uint64_t size = 0;   // its verified size
  std::string packPath;
  std::string version;
  std::string lockFile;  // empty: no lock is taken
  // Where the pack in place is kept, whole, before the new one replaces it
  // (one generation: an older one there goes first); empty: not kept.
  std::string previousPath;
  PackCheck checkPack;  // none: refused ("no pack check")
  VersionRecord recordVersion;
};

// Success when the pack was replaced and its version recorded; else why it
// was left as it was (an empty reason: a copy or a rename that failed without
// one to give).
platform::Result InstallPack(const PackInstallation& installation);

}  // namespace lumivora::webupdate
