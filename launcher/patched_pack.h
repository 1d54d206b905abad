// The launcher's side of a delta update (webupdate/patch_update.h): the
// installed main program taken from the installed pack, the patch applied to
// it (delta::ApplyPatch), the result checked against the signed program size
// and SHA-256 and written as a new pack the way lumivora-tool pack writes
// one (unzip::WritePack: deflated, encrypted with the build's password, the
// version comment).
#pragma once

#include <string>

#include "platform/result.h"
#include "webupdate/patch_update.h"

namespace lumivora::launcher {

// The installed pack and how it opens.
struct InstalledPack {
  std::string packPath;
  std::string password;
  std::string mainName;
};

// Makes REQUEST.output from PACK and REQUEST.patchFile; a failure says which
// step refused (nothing is left at REQUEST.output then, nor any extracted
// program).
platform::Result BuildPatchedPack(const InstalledPack& pack, const webupdate::PatchedPack& request);

}  // namespace lumivora::launcher
