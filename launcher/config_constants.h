// Deployment configuration of the launcher, generated at build time by
// lumivora-configgen (and CMake) from the CMake cache variables LUMIVORA_INFO_URL1,
// LUMIVORA_INFO_URL2, LUMIVORA_UPGRADE_URL_FORMAT and LUMIVORA_PACK_PASSWORD.
#pragma once

namespace lumivora::config {

// The update addresses as EncipherConfigText outputs (Base64 text). Each
// deciphers to the address followed by the zero bytes of its padding.
extern const char kInfoURL1[];
extern const char kInfoURL2[];
extern const char kUpgradeURLFormat[];

// The pack password, one character code per element, and the index of its
// last element (the password is kPackPasswordLastIndex + 1 characters long).
extern const unsigned char kPackPasswordTable[];
extern const int kPackPasswordLastIndex;

// Signed updates (release_trust_constants.cpp, generated from
// LUMIVORA_UPDATE_ROOT_KEYS and LUMIVORA_PRODUCT_IDENTITY): the Ed25519 root
// keys, Base64 separated by ";" (empty: unsigned updates are accepted), and
// the product identity.
extern const char kUpdateRootKeys[];
extern const char kProductIdentity[];

}  // namespace lumivora::config
