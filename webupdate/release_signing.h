// Signed releases, the vendor's side: Ed25519 key pairs and their key files,
// certificates made by a root key, and the signed [Setup] lines of a release
// (docs/signing.md). Only lumivora-tool and the tests link it; the launcher
// checks with webupdate/release_signature.h alone. Cryptography is libsodium's.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "webupdate/release_signature.h"

namespace lumivora::webupdate {

// An Ed25519 key pair held as its 32-byte seed (the vendor tool's key files).
class SecretKey {
 public:
  static SecretKey Generate();
  // Raises Exception unless SEED is 32 bytes.
  static SecretKey FromSeed(std::span<const uint8_t> seed);
  SecretKey(const SecretKey&) = delete;
  SecretKey& operator=(const SecretKey&) = delete;
  SecretKey(SecretKey&& other) noexcept;
  SecretKey& operator=(SecretKey&&) = delete;
  ~SecretKey();

  [[nodiscard]] std::span<const uint8_t> Seed() const { return {pair_.data(), 32}; }
  [[nodiscard]] PublicKey Public() const;
  [[nodiscard]] Signature Sign(std::string_view message) const;

 private:
  SecretKey() = default;
  std::array<uint8_t, 64> pair_{};  // seed followed by the public key
};

// A secret key file: the line kSecretKeyHeader (it may go on) first, other
// comment lines starting with "#", and one line of Base64 of the 32-byte
// seed. The first line tells it from a public key, which is Base64 of 32
// bytes too. Reading raises Exception for anything else.
inline constexpr char kSecretKeyHeader[] = "# Lumivora Ed25519 secret key.";
bool IsSecretKeyText(std::string_view text);
SecretKey SecretKeyFromText(std::string_view text);
std::string SecretKeyText(const SecretKey& key);

// ROOT's certificate for KEY, PRODUCT and SERIAL.
SigningCertificate CertifyKey(const SecretKey& root, const PublicKey& key, uint64_t serial,
                              std::string_view product);
// The text DecodeCertificate reads.
std::string EncodeCertificate(const SigningCertificate& certificate);

// The [Setup] lines (CR LF) that carry STATEMENT (with ReleaseExpires when it
// has an expiry) signed by KEY, with CERTIFICATE (Base64, may be empty), and
// its patches' lines signed by KEY when it offers patches (release_patches.h).
std::string SignedReleaseLines(const ReleaseStatement& statement, const SecretKey& key,
                               const std::string& certificate);

}  // namespace lumivora::webupdate
