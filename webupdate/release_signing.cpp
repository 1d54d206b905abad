#include "webupdate/release_signing.h"

#include <sodium.h>

#include <algorithm>
#include <vector>

#include "cipher/base64.h"
#include "platform/exception.h"
#include "webupdate/info_file.h"
#include "webupdate/release_patches.h"
#include "webupdate/release_time.h"

namespace lumivora::webupdate {

SecretKey SecretKey::Generate() {
  InitSodium();
  std::array<uint8_t, 32> seed{};
  randombytes_buf(seed.data(), seed.size());
  SecretKey key = FromSeed(seed);
  sodium_memzero(seed.data(), seed.size());
  return key;
}

SecretKey SecretKey::FromSeed(std::span<const uint8_t> seed) {
  InitSodium();
  if (seed.size() != 32) {
    throw ESignature("An Ed25519 secret key is a 32-byte seed");
  }
  SecretKey key;
  PublicKey ignored{};
  crypto_sign_seed_keypair(ignored.data(), key.pair_.data(), seed.data());
  return key;
}

SecretKey::SecretKey(SecretKey&& other) noexcept : pair_(other.pair_) {
  sodium_memzero(other.pair_.data(), other.pair_.size());
}

SecretKey::~SecretKey() {
  sodium_memzero(pair_.data(), pair_.size());
}

PublicKey SecretKey::Public() const {
  PublicKey key{};
  std::copy(pair_.begin() + 32, pair_.end(), key.begin());
  return key;
}

Signature SecretKey::Sign(std::string_view message) const {
  Signature signature{};
  crypto_sign_detached(signature.data(), nullptr, reinterpret_cast<const uint8_t*>(message.data()),
                       message.size(), pair_.data());
  return signature;
}

bool IsSecretKeyText(std::string_view text) {
  return text.starts_with(kSecretKeyHeader);
}

SecretKey SecretKeyFromText(std::string_view text) {
  if (!IsSecretKeyText(text)) {
    throw ESignature(std::string("not a secret key file: its first line is not \"") +
                     kSecretKeyHeader + "\" (as keygen writes it); a public key cannot sign");
  }
  std::string line;
  for (std::string& candidate : SplitLines(text)) {
    if (!candidate.empty() && candidate[0] != '#') {
      line.swap(candidate);
      break;
    }
  }
  std::string seed =
      cipher::DecodeBase64(line, cipher::Base64Rules::kCanonical).value_or(std::string());
  sodium_memzero(line.data(), line.size());
  if (seed.size() != 32) {
    sodium_memzero(seed.data(), seed.size());
    throw ESignature("not a secret key file (Base64 of a 32-byte seed)");
  }
  SecretKey key = SecretKey::FromSeed({reinterpret_cast<const uint8_t*>(seed.data()), seed.size()});
  sodium_memzero(seed.data(), seed.size());
  return key;
}

std::string SecretKeyText(const SecretKey& key) {
  return std::string(kSecretKeyHeader) + " Keep it offline and never share it.\n" +
         cipher::ToBase64(key.Seed()) + "\n";
}

SigningCertificate CertifyKey(const SecretKey& root, const PublicKey& key, uint64_t serial,
                              std::string_view product) {
  SigningCertificate certificate;
  certificate.root = root.Public();
  certificate.key = key;
  certificate.serial = serial;
  certificate.signature = root.Sign(CertificateText(product, key, serial));
  return certificate;
}

std::string EncodeCertificate(const SigningCertificate& certificate) {
  std::vector<uint8_t> bytes;
  bytes.reserve(kCertificateSize);
  for (int shift = 56; shift >= 0; shift -= 8) {
    bytes.push_back(static_cast<uint8_t>(certificate.serial >> static_cast<unsigned>(shift)));
  }
  bytes.insert(bytes.end(), certificate.key.begin(), certificate.key.end());
  bytes.insert(bytes.end(), certificate.root.begin(), certificate.root.end());
  bytes.insert(bytes.end(), certificate.signature.begin(), certificate.signature.end());
  return cipher::ToBase64(bytes);
}

std::string SignedReleaseLines(const ReleaseStatement& statement, const SecretKey& key,
                               const std::string& certificate) {
  std::string lines = std::string(release_keys::kProduct) + "=" + statement.product + "\r\n" +
                      release_keys::kSize + "=" + std::to_string(statement.size) + "\r\n" +
                      release_keys::kSha256 + "=" + HexText(statement.sha256) + "\r\n" +
                      (statement.expires ? std::string(release_keys::kExpires) + "=" +
                                               UtcTimeText(*statement.expires) + "\r\n"
                                         : std::string()) +
                      release_keys::kKey + "=" + cipher::ToBase64(key.Public()) + "\r\n" +
                      release_keys::kSignature + "=" +
                      cipher::ToBase64(key.Sign(StatementText(statement))) + "\r\n";
  if (!certificate.empty()) {
    lines += std::string(release_keys::kCertificate) + "=" + certificate + "\r\n";
  }
  if (!statement.patches.empty()) {
    lines += PatchLines(statement, cipher::ToBase64(key.Sign(PatchStatementText(statement))));
  }
  return lines;
}

}  // namespace lumivora::webupdate
