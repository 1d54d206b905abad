// A delta update: when the verified offer carries a patch from the installed
// version, the patch is downloaded instead of the pack, checked against its
// signed size and SHA-256 and handed to the owner's PatchBuilder, which makes
// the new pack from the installed one (the main program patched and checked
// against the signed program size and SHA-256, written as a pack). Any failure
// of that way leaves the full pack's download to run as before.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/result.h"
#include "webupdate/release_signature.h"

namespace lumivora::webupdate {

// What the owner builds the new pack from.
struct PatchedPack {
  std::string patchFile;  // the downloaded patch, its signed size and SHA-256 checked
  std::string version;    // the offered version (the pack's comment)
  uint64_t programSize = 0;
  Sha256Digest programSha256{};
  std::string output;  // the new pack's path
  // Reports the bytes of the main program made so far; false: cancelled.
  std::function<bool(uint64_t made, uint64_t total)> progress;
};

// Makes the pack at request.output from the installed pack and the patch, the
// main program checked against its signed size and SHA-256 before the pack
// is written; a failure says why (nothing is left at output then).
using PatchBuilder = std::function<platform::Result(const PatchedPack& request)>;

// Called as a patch's download begins, with the new pack's path: the owner may
// start work the builder needs (taking the installed program out) beside the
// download. What it returns is held until the delta update ends (made,
// refused or cancelled), before the pack is downloaded whole, and released
// then: it ends that work.
using PatchPreparer = std::function<std::shared_ptr<void>(const std::string& output)>;

// The patch of RELEASE whose base is INSTALLED, if it offers one.
std::optional<PatchOffer> PatchFrom(const ReleaseStatement& release, const std::string& installed);

// The statement a patch download is checked against: RELEASE with the
// patch's size and SHA-256 in place of the pack's.
ReleaseStatement PatchStatement(const ReleaseStatement& release, const PatchOffer& patch);

}  // namespace lumivora::webupdate
