// The patches of a signed release: binary patches (docs/delta-format.md) that
// turn the main program of an earlier release into this release's, offered
// beside the pack. They travel as further [Setup] keys with a signature of
// their own by the statement's key (ReleasePatchSignature over the patch
// statement), so that the release statement and its signature stay exactly
// what launchers without patches verify (docs/signing.md):
//   ReleaseProgramSize=N, ReleaseProgramSHA256=HEX  the main program patched to
//   PatchI=ADDRESS                                  I = 1 .. kMaxPatches
//   ReleasePatchIFrom=VERSION, ReleasePatchISize=N, ReleasePatchISHA256=HEX
//   ReleasePatchSignature=BASE64
#pragma once

#include <string>
#include <string_view>

#include "webupdate/release_signature.h"

namespace lumivora::webupdate {

inline constexpr int kMaxPatches = 9;

// The bytes the patch signature covers, LF-terminated lines:
//   "Lumivora patch statement 1", "product=P", "version=V", "size=N",
//   "sha256=HEX" (the pack's, as in the release statement), "program-size=N",
//   "program-sha256=HEX", and per patch in order "patch=FROM SIZE HEX".
// No expiry: the release statement's binds the offer's freshness, and a
// refresh leaves the patch statement valid.
std::string PatchStatementText(const ReleaseStatement& statement);

// The patch keys of TEXT into VERDICT's statement, which verified under
// VERDICT.signer: nothing when there is no ReleasePatchSignature; otherwise
// every patch must be well formed and the signature the signer's over
// PatchStatementText, or VERDICT's result says why not.
void ReadPatches(std::string_view text, ReleaseVerdict& verdict);

// The [Setup] lines (CR LF) of STATEMENT's patches, signed with SIGNATURE
// (Base64 of the signer's signature over PatchStatementText); none without
// patches.
std::string PatchLines(const ReleaseStatement& statement, const std::string& signature);

// Whether NAME is one of the patch keys above (letter case ignored).
bool IsPatchKey(std::string_view name);

}  // namespace lumivora::webupdate
