// Signed offers for the self-update tests of every platform: the release
// statement of a pack signed with the repository's demo-only root key (or
// another key), as the [Setup] lines of an update information file.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "webupdate/release_signing.h"

namespace lumivora::testing {

// The launcher's trust: the demo-only root key of the repository and this
// build's product identity.
inline const webupdate::SecretKey& DemoRootKey() {
  static const webupdate::SecretKey key = webupdate::SecretKeyFromText(
      ReadFile(std::string(LUMIVORA_SOURCE_DIR) + "/keys/demo-only/root.key"));
  return key;
}
inline bool LauncherTrustsDemoRoot() {
  const std::vector<webupdate::PublicKey> roots =
      webupdate::ParsePublicKeys(LUMIVORA_UPDATE_ROOT_KEYS);
  return std::find(roots.begin(), roots.end(), DemoRootKey().Public()) != roots.end();
}

// The [Setup] lines that sign BYTES as release VERSION of PRODUCT with KEY
// (and CERTIFICATE, Base64, when not empty).
inline std::string SignatureLines(const std::string& bytes, const std::string& version,
                                  const webupdate::SecretKey& key = DemoRootKey(),
                                  const std::string& certificate = "",
                                  const std::string& product = LUMIVORA_PRODUCT_IDENTITY) {
  webupdate::Sha256Stream hash;
  hash.Update({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
  webupdate::ReleaseStatement statement{product, version, bytes.size(), hash.Finish(), {}};
  return webupdate::SignedReleaseLines(statement, key, certificate);
}

}  // namespace lumivora::testing
