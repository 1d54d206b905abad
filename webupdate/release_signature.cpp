#include "webupdate/release_signature.h"

#include <sodium.h>

#include <algorithm>
#include <charconv>

#include "platform/exception.h"
#include "platform/text.h"
#include "webupdate/info_file.h"

namespace lumivora::webupdate {
namespace {

constexpr size_t kCertificateSize = 8 + 32 + 32 + 64;

void InitSodium() {
  if (sodium_init() < 0) {
    throw ESignature("libsodium could not be initialised");
  }
}

std::span<const uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

bool Verifies(const Signature& signature, std::string_view message, const PublicKey& key) {
  const std::span<const uint8_t> bytes = AsBytes(message);
  return crypto_sign_verify_detached(signature.data(), bytes.data(), bytes.size(), key.data()) == 0;
}

bool IsRoot(const ReleaseTrust& trust, const PublicKey& key) {
  for (const PublicKey& root : trust.roots) {
    if (sodium_memcmp(root.data(), key.data(), key.size()) == 0) {
      return true;
    }
  }
  return false;
}

std::optional<uint64_t> DecimalSize(std::string_view text) {
  uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end) {
    return std::nullopt;
  }
  return value;
}

std::optional<Sha256Digest> HexDigest(std::string_view text) {
  Sha256Digest digest{};
  size_t length = 0;
  if (text.size() != 2 * digest.size() ||
      sodium_hex2bin(digest.data(), digest.size(), text.data(), text.size(), nullptr, &length,
                     nullptr) != 0 ||
      length != digest.size()) {
    return std::nullopt;
  }
  return digest;
}

template <size_t N>
std::optional<std::array<uint8_t, N>> FixedBytes(std::string_view text) {
  const std::optional<std::vector<uint8_t>> bytes = Base64Bytes(text, N);
  if (!bytes) {
    return std::nullopt;
  }
  std::array<uint8_t, N> result{};
  std::copy(bytes->begin(), bytes->end(), result.begin());
  return result;
}

// The certificate's part of the check: which key may sign, vouched for by
// which root. Sets VERDICT's problem when the certificate is not good.
void CheckCertificate(const ReleaseTrust& trust, std::string_view text, ReleaseVerdict& verdict) {
  const std::optional<SigningCertificate> certificate = DecodeCertificate(text);
  if (!certificate) {
    verdict.problem = "The update's ReleaseCertificate is not a valid certificate.";
    return;
  }
  if (!IsRoot(trust, certificate->root)) {
    verdict.problem = "The update's certificate is signed by an unknown root key " +
                      Base64Text(certificate->root) + ".";
    return;
  }
  if (!Verifies(certificate->signature,
                CertificateText(trust.product, certificate->key, certificate->serial),
                certificate->root)) {
    verdict.problem =
        "The update's certificate does not verify with its root key (it was made for another "
        "product, or altered).";
    return;
  }
  if (certificate->serial < trust.recordedSerial) {
    verdict.problem = "The update's certificate has serial " + std::to_string(certificate->serial) +
                      ", below the highest accepted serial " +
                      std::to_string(trust.recordedSerial) + " (a retired signing key).";
    return;
  }
  if (sodium_memcmp(certificate->key.data(), verdict.signer.data(), verdict.signer.size()) != 0) {
    verdict.problem = "The update is signed by " + Base64Text(verdict.signer) +
                      ", not by the key its certificate names.";
    return;
  }
  verdict.serial = certificate->serial;
  verdict.root = certificate->root;
}

// The statement's fields from the information text TEXT; sets VERDICT's problem when one is
// missing or malformed.
void ReadStatement(std::string_view text, ReleaseVerdict& verdict) {
  const auto value = [&](const char* key) { return ReadIniValue(text, "Setup", key); };
  const std::optional<uint64_t> size = DecimalSize(value(release_keys::kSize));
  const std::optional<Sha256Digest> digest = HexDigest(value(release_keys::kSha256));
  const std::optional<PublicKey> signer = DecodePublicKey(value(release_keys::kKey));
  if (!size) {
    verdict.problem = "The update's ReleaseSize is not a decimal byte count.";
  } else if (!digest) {
    verdict.problem = "The update's ReleaseSHA256 is not 64 hexadecimal digits.";
  } else if (!signer) {
    verdict.problem = "The update's ReleaseKey is not Base64 of a 32-byte public key.";
  } else {
    verdict.statement.product = value(release_keys::kProduct);
    verdict.statement.size = *size;
    verdict.statement.sha256 = *digest;
    verdict.signer = *signer;
  }
}

}  // namespace

std::string StatementText(const ReleaseStatement& statement) {
  return "Lumivora release statement 1\nproduct=" + statement.product +
         "\nversion=" + statement.version + "\nsize=" + std::to_string(statement.size) +
         "\nsha256=" + HexText(statement.sha256) + "\n";
}

std::string CertificateText(std::string_view product, const PublicKey& key, uint64_t serial) {
  return "Lumivora signing certificate 1\nproduct=" + std::string(product) +
         "\nkey=" + Base64Text(key) + "\nserial=" + std::to_string(serial) + "\n";
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
  return Base64Text(bytes);
}

std::optional<SigningCertificate> DecodeCertificate(std::string_view text) {
  const std::optional<std::vector<uint8_t>> bytes = Base64Bytes(text, kCertificateSize);
  if (!bytes) {
    return std::nullopt;
  }
  const std::span<const uint8_t> all(*bytes);
  SigningCertificate certificate;
  for (const uint8_t byte : all.first(8)) {
    certificate.serial = (certificate.serial << 8U) | byte;
  }
  const std::span<const uint8_t> key = all.subspan(8, 32);
  const std::span<const uint8_t> root = all.subspan(40, 32);
  const std::span<const uint8_t> signature = all.subspan(72);
  std::copy(key.begin(), key.end(), certificate.key.begin());
  std::copy(root.begin(), root.end(), certificate.root.begin());
  std::copy(signature.begin(), signature.end(), certificate.signature.begin());
  return certificate;
}

std::string Base64Text(std::span<const uint8_t> bytes) {
  constexpr int kVariant = sodium_base64_VARIANT_ORIGINAL;
  std::string text(sodium_base64_encoded_len(bytes.size(), kVariant), '\0');
  sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(), kVariant);
  text.resize(text.size() - 1);  // the terminating NUL
  return text;
}

std::optional<std::vector<uint8_t>> Base64Bytes(std::string_view text, size_t size) {
  // One byte more than expected shows a text that is too long.
  std::vector<uint8_t> bytes(size + 1);
  size_t length = 0;
  const char* end = nullptr;
  if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &length,
                        &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
      end != text.data() + text.size() || length != size) {
    return std::nullopt;
  }
  bytes.resize(size);
  return bytes;
}

std::optional<PublicKey> DecodePublicKey(std::string_view text) {
  return FixedBytes<32>(text);
}

std::string HexText(std::span<const uint8_t> bytes) {
  std::string text(bytes.size() * 2 + 1, '\0');
  sodium_bin2hex(text.data(), text.size(), bytes.data(), bytes.size());
  text.pop_back();
  return text;
}

std::vector<PublicKey> ParsePublicKeys(std::string_view text) {
  std::vector<PublicKey> keys;
  while (!text.empty()) {
    const size_t separator = text.find(';');
    std::string_view element = text.substr(0, separator);
    text = separator == std::string_view::npos ? std::string_view() : text.substr(separator + 1);
    const size_t first = element.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
      continue;
    }
    element = element.substr(first, element.find_last_not_of(" \t") - first + 1);
    const std::optional<PublicKey> key = DecodePublicKey(element);
    if (!key) {
      throw ESignature("Not an Ed25519 public key (Base64 of 32 bytes): " + std::string(element));
    }
    keys.push_back(*key);
  }
  return keys;
}

ReleaseVerdict VerifyRelease(const ReleaseTrust& trust, std::string_view text,
                             const std::string& version) {
  InitSodium();
  ReleaseVerdict verdict;
  verdict.statement.version = version;
  const std::string signatureText = ReadIniValue(text, "Setup", release_keys::kSignature);
  if (signatureText.empty()) {
    verdict.problem = "The update is not signed.";
    return verdict;
  }
  const std::optional<Signature> signature = FixedBytes<64>(signatureText);
  if (!signature) {
    verdict.problem = "The update's ReleaseSignature is not Base64 of a 64-byte signature.";
    return verdict;
  }
  ReadStatement(text, verdict);
  if (!verdict.problem.empty()) {
    return verdict;
  }
  if (verdict.statement.product != trust.product) {
    verdict.problem = "The update is signed for another product (\"" +
                      platform::ShownText(verdict.statement.product) + "\").";
    return verdict;
  }
  const std::string certificate = ReadIniValue(text, "Setup", release_keys::kCertificate);
  if (!certificate.empty()) {
    CheckCertificate(trust, certificate, verdict);
  } else if (IsRoot(trust, verdict.signer)) {
    verdict.root = verdict.signer;
  } else {
    verdict.problem = "The update is signed by an unknown key " + Base64Text(verdict.signer) + ".";
  }
  if (verdict.problem.empty() &&
      !Verifies(*signature, StatementText(verdict.statement), verdict.signer)) {
    verdict.problem =
        "The update's signature does not match its statement (product, version, size and "
        "SHA-256).";
  }
  return verdict;
}

std::string DownloadMismatch(const ReleaseStatement& statement, uint64_t size,
                             const Sha256Digest& digest) {
  if (size != statement.size) {
    return "The download has " + std::to_string(size) + " bytes, but the signed release has " +
           std::to_string(statement.size) + ".";
  }
  if (sodium_memcmp(digest.data(), statement.sha256.data(), digest.size()) != 0) {
    return "The download's SHA-256 is not the one of the signed release.";
  }
  return {};
}

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
  const std::span<const uint8_t> bytes = AsBytes(message);
  crypto_sign_detached(signature.data(), nullptr, bytes.data(), bytes.size(), pair_.data());
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
  std::optional<std::vector<uint8_t>> seed = Base64Bytes(line, 32);
  sodium_memzero(line.data(), line.size());
  if (!seed) {
    throw ESignature("not a secret key file (Base64 of a 32-byte seed)");
  }
  SecretKey key = SecretKey::FromSeed(*seed);
  sodium_memzero(seed->data(), seed->size());
  return key;
}

std::string SecretKeyText(const SecretKey& key) {
  return std::string(kSecretKeyHeader) + " Keep it offline and never share it.\n" +
         Base64Text(key.Seed()) + "\n";
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

std::string SignedReleaseLines(const ReleaseStatement& statement, const SecretKey& key,
                               const std::string& certificate) {
  std::string lines = std::string(release_keys::kProduct) + "=" + statement.product + "\r\n" +
                      release_keys::kSize + "=" + std::to_string(statement.size) + "\r\n" +
                      release_keys::kSha256 + "=" + HexText(statement.sha256) + "\r\n" +
                      release_keys::kKey + "=" + Base64Text(key.Public()) + "\r\n" +
                      release_keys::kSignature + "=" +
                      Base64Text(key.Sign(StatementText(statement))) + "\r\n";
  if (!certificate.empty()) {
    lines += std::string(release_keys::kCertificate) + "=" + certificate + "\r\n";
  }
  return lines;
}

}  // namespace lumivora::webupdate
