// Signed releases, the launcher's side: the release statement that the vendor
// signs with Ed25519 (product identity, offered version, size and SHA-256 of
// the file), the certificate by which an offline root key delegates signing to
// another key, and their check against the root keys built into the launcher.
// The statement travels as extra keys of the information file's [Setup]
// section (docs/signing.md). The vendor's side (keys, signing, certificates)
// is webupdate/release_signing.h. Cryptography is libsodium's.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/exception.h"
#include "platform/result.h"
#include "webupdate/sha256.h"

namespace lumivora {
// Errors of the signed-release keys and of SHA-256.
LUMIVORA_DECLARE_EXCEPTION(ESignature, Exception);
}  // namespace lumivora

namespace lumivora::webupdate {

// Initialises libsodium (again is harmless); raises ESignature when it cannot.
void InitSodium();

using PublicKey = std::array<uint8_t, 32>;
using Signature = std::array<uint8_t, 64>;

// The [Setup] keys of a signed information file.
namespace release_keys {
inline constexpr char kProduct[] = "ReleaseProduct";
inline constexpr char kSize[] = "ReleaseSize";
inline constexpr char kSha256[] = "ReleaseSHA256";
inline constexpr char kKey[] = "ReleaseKey";
inline constexpr char kSignature[] = "ReleaseSignature";
inline constexpr char kCertificate[] = "ReleaseCertificate";
inline constexpr char kExpires[] = "ReleaseExpires";
// The patches of the main program (webupdate/release_patches.h).
inline constexpr char kProgramSize[] = "ReleaseProgramSize";
inline constexpr char kProgramSha256[] = "ReleaseProgramSHA256";
inline constexpr char kPatchSignature[] = "ReleasePatchSignature";
}  // namespace release_keys

// A binary patch (docs/delta-format.md) that turns the main program of the
// release FROM_VERSION into this release's: where it is, and its size and
// SHA-256 (its address is not signed, as the pack's is not).
struct PatchOffer {
  std::string address;
  std::string fromVersion;
  uint64_t size = 0;
  Sha256Digest sha256{};
  bool operator==(const PatchOffer&) const = default;
};

// What a signature binds. The version is the information file's "Version".
struct ReleaseStatement {
  std::string product;
  std::string version;
  uint64_t size = 0;
  Sha256Digest sha256{};
  // When the statement stops being valid (Unix time, webupdate/release_time.h);
  // none: it never does.
  std::optional<int64_t> expires;
  // The patches offered beside the pack, signed apart (release_patches.h),
  // and the main program they make; none: the pack alone is offered.
  std::vector<PatchOffer> patches;
  uint64_t programSize = 0;
  Sha256Digest programSha256{};
};

// The bytes that are signed: five LF-terminated lines,
//   "Lumivora release statement 1", "product=P", "version=V", "size=N",
//   "sha256=" followed by 64 lower-case hexadecimal digits,
// and a sixth, "expires=" followed by the UTC time as ReleaseExpires holds
// it (2027-01-31T12:00:00Z), when the statement has an expiry.
std::string StatementText(const ReleaseStatement& statement);

// A root key's delegation of signing to KEY for PRODUCT, numbered SERIAL.
struct SigningCertificate {
  PublicKey root{};
  PublicKey key{};
  uint64_t serial = 0;
  Signature signature{};  // by ROOT over CertificateText(product, key, serial)
};

// The bytes a root signs: "Lumivora signing certificate 1", "product=P",
// "key=" Base64 of KEY, "serial=N", each LF-terminated.
std::string CertificateText(std::string_view product, const PublicKey& key, uint64_t serial);
// A certificate's text: Base64 of serial (8 bytes, big-endian), key, root and
// signature, kCertificateSize bytes (EncodeCertificate in release_signing.h
// writes it). Base64 is read by cipher::Base64Rules::kCanonical here and
// below: nullopt for any other text or length.
inline constexpr size_t kCertificateSize = 8 + 32 + 32 + 64;
std::optional<SigningCertificate> DecodeCertificate(std::string_view text);
// Base64 of a 32-byte public key.
std::optional<PublicKey> DecodePublicKey(std::string_view text);
std::string HexText(std::span<const uint8_t> bytes);
// A statement's values: a decimal byte count, 64 hexadecimal digits.
std::optional<uint64_t> DecimalSize(std::string_view text);
std::optional<Sha256Digest> HexDigest(std::string_view text);

// Public keys separated by ";" (blanks around each are ignored; empty
// elements are skipped). Raises Exception naming the first element that is
// not Base64 of 32 bytes.
std::vector<PublicKey> ParsePublicKeys(std::string_view text);

// What the launcher trusts: built in at build time, except the highest
// certificate serial accepted so far, which the settings file keeps.
struct ReleaseTrust {
  std::string product;
  std::vector<PublicKey> roots;  // none: unsigned releases are accepted
  uint64_t recordedSerial = 0;
  // The time of the check (Unix time; the caller reads the clock), against
  // which a statement's expiry is compared, and whether a statement without
  // one is refused (LUMIVORA_REQUIRE_FRESH_OFFERS).
  int64_t now = 0;
  bool requireFresh = false;
  // Set to NOW by a check whose statement verified with an unexpired expiry
  // (the settings keep its day as LastFreshOffer); 0: none.
  int64_t freshOfferSeen = 0;
  [[nodiscard]] bool Enabled() const { return !roots.empty(); }
};

// The outcome of checking a signed offer.
struct ReleaseVerdict {
  platform::Result result;  // a failure when the statement is not validly signed
  ReleaseStatement statement;
  PublicKey signer{};
  std::optional<uint64_t> serial;  // the certificate's, when one was used
  std::optional<PublicKey> root;   // the root key that vouches for the signer
};

// Checks the statement carried in the [Setup] section of the
// information text TEXT for the
// offered version VERSION against TRUST (which must be enabled): its
// signature, then its expiry against TRUST.now (kClockSkewSeconds allowed),
// then the patch statement when there is one (release_patches.h).
ReleaseVerdict VerifyRelease(const ReleaseTrust& trust, std::string_view text,
                             const std::string& version);

// The statement of TEXT for VERSION and whether it verifies under its own
// ReleaseKey, whoever that is and whenever it expires (the vendor's refresh
// of a statement it made): no product, root, certificate or expiry check.
ReleaseVerdict ReadSignedRelease(std::string_view text, const std::string& version);

// Whether a file of SIZE bytes with DIGEST is the signed release of
// STATEMENT, and why not.
platform::Result DownloadMismatch(const ReleaseStatement& statement, uint64_t size,
                                  const Sha256Digest& digest);

}  // namespace lumivora::webupdate
