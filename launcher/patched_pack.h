// The launcher's side of a delta update (webupdate/patch_update.h): the
// installed main program taken from the installed pack, the patch applied to
// it (delta::ApplyPatch), the result checked against the signed program size
// and SHA-256 and written as a new pack the way lumivora-tool pack writes
// one (unzip::WritePack: deflated, encrypted with the build's password, the
// version comment).
#pragma once

#include <string>
#include <thread>

#include "platform/result.h"
#include "webupdate/patch_update.h"

namespace lumivora::launcher {

// The installed pack and how it opens.
struct InstalledPack {
  std::string packPath;
  std::string password;
  std::string mainName;
};

// The installed main program taken out of PACK into the folder of OUTPUT
// (the new pack's path) on a thread of its own, begun as the patch's download begins so
// that the two go on together; the extracted file goes with the object,
// which first waits for the thread.
class InstalledProgram {
 public:
  InstalledProgram(InstalledPack pack, const std::string& output);
  InstalledProgram(const InstalledProgram&) = delete;
  InstalledProgram& operator=(const InstalledProgram&) = delete;
  ~InstalledProgram();

  [[nodiscard]] const InstalledPack& Pack() const { return pack_; }
  [[nodiscard]] const std::string& Folder() const { return folder_; }
  // Waits for the extraction: the extracted file's path, or why there is none.
  platform::Result Wait(std::string& path);

 private:
  InstalledPack pack_;
  std::string folder_;
  platform::Result result_;
  std::thread worker_;
};

// Makes REQUEST.output from the installed program and REQUEST.patchFile; a
// failure says which step refused (nothing is left at REQUEST.output then).
// PROGRAM must have been taken out into the folder of REQUEST.output.
platform::Result BuildPatchedPack(InstalledProgram& program, const webupdate::PatchedPack& request);
// The same, the installed program taken out of PACK first (and deleted after).
platform::Result BuildPatchedPack(const InstalledPack& pack, const webupdate::PatchedPack& request);

}  // namespace lumivora::launcher
