#include "webupdate/release_signature.h"

#include <sodium.h>

#include <algorithm>
#include <charconv>
#include <cstring>

#include "cipher/base64.h"
#include "platform/exception.h"
#include "platform/text.h"
#include "webupdate/info_file.h"
#include "webupdate/release_patches.h"
#include "webupdate/release_time.h"

namespace lumivora::webupdate {
namespace {

platform::Result Fail(std::string reason) {
  return platform::Result::Failure(std::move(reason));
}

bool Verifies(const Signature& signature, std::string_view message, const PublicKey& key) {
  return crypto_sign_verify_detached(signature.data(),
                                     reinterpret_cast<const uint8_t*>(message.data()),
                                     message.size(), key.data()) == 0;
}

bool IsRoot(const ReleaseTrust& trust, const PublicKey& key) {
  for (const PublicKey& root : trust.roots) {
    if (sodium_memcmp(root.data(), key.data(), key.size()) == 0) {
      return true;
    }
  }
  return false;
}

template <size_t N>
std::optional<std::array<uint8_t, N>> FixedBytes(std::string_view text) {
  const std::optional<std::string> bytes =
      cipher::DecodeBase64(text, cipher::Base64Rules::kCanonical);
  if (!bytes || bytes->size() != N) {
    return std::nullopt;
  }
  std::array<uint8_t, N> result{};
  std::memcpy(result.data(), bytes->data(), N);
  return result;
}

// The certificate's part of the check: which key may sign, vouched for by
// which root. Sets VERDICT's result when the certificate is not good.
void CheckCertificate(const ReleaseTrust& trust, std::string_view text, ReleaseVerdict& verdict) {
  const std::optional<SigningCertificate> certificate = DecodeCertificate(text);
  if (!certificate) {
    verdict.result = Fail("The update's ReleaseCertificate is not a valid certificate.");
    return;
  }
  if (!IsRoot(trust, certificate->root)) {
    verdict.result = Fail("The update's certificate is signed by an unknown root key " +
                          cipher::ToBase64(certificate->root) + ".");
    return;
  }
  if (!Verifies(certificate->signature,
                CertificateText(trust.product, certificate->key, certificate->serial),
                certificate->root)) {
    verdict.result = Fail(
        "The update's certificate does not verify with its root key (it was made for another "
        "product, or altered).");
    return;
  }
  if (certificate->serial < trust.recordedSerial) {
    verdict.result =
        Fail("The update's certificate has serial " + std::to_string(certificate->serial) +
             ", below the highest accepted serial " + std::to_string(trust.recordedSerial) +
             " (a retired signing key).");
    return;
  }
  if (sodium_memcmp(certificate->key.data(), verdict.signer.data(), verdict.signer.size()) != 0) {
    verdict.result = Fail("The update is signed by " + cipher::ToBase64(verdict.signer) +
                          ", not by the key its certificate names.");
    return;
  }
  verdict.serial = certificate->serial;
  verdict.root = certificate->root;
}

// The statement's fields from the information text TEXT; sets VERDICT's result when one is
// missing or malformed.
void ReadStatement(std::string_view text, ReleaseVerdict& verdict) {
  const auto value = [&](const char* key) {
    return ReadIniValue(text, {.section = "Setup", .name = key});
  };
  const std::optional<uint64_t> size = DecimalSize(value(release_keys::kSize));
  const std::optional<Sha256Digest> digest = HexDigest(value(release_keys::kSha256));
  const std::optional<PublicKey> signer = DecodePublicKey(value(release_keys::kKey));
  const std::string expires = value(release_keys::kExpires);
  if (!expires.empty()) {
    verdict.statement.expires = ParseUtcTime(expires);
  }
  if (!size) {
    verdict.result = Fail("The update's ReleaseSize is not a decimal byte count.");
  } else if (!digest) {
    verdict.result = Fail("The update's ReleaseSHA256 is not 64 hexadecimal digits.");
  } else if (!signer) {
    verdict.result = Fail("The update's ReleaseKey is not Base64 of a 32-byte public key.");
  } else if (!expires.empty() && !verdict.statement.expires) {
    verdict.result =
        Fail("The update's ReleaseExpires is not a UTC time such as 2027-01-31T12:00:00Z.");
  } else {
    verdict.statement.product = value(release_keys::kProduct);
    verdict.statement.size = *size;
    verdict.statement.sha256 = *digest;
    verdict.signer = *signer;
  }
}

// The signature of TEXT's statement; sets VERDICT's result when there is none.
std::optional<Signature> ReadSignature(std::string_view text, ReleaseVerdict& verdict) {
  const std::string signatureText =
      ReadIniValue(text, {.section = "Setup", .name = release_keys::kSignature});
  if (signatureText.empty()) {
    verdict.result = Fail("The update is not signed.");
    return std::nullopt;
  }
  const std::optional<Signature> signature = FixedBytes<64>(signatureText);
  if (!signature) {
    verdict.result = Fail("The update's ReleaseSignature is not Base64 of a 64-byte signature.");
  }
  return signature;
}

// The first step of both checks of TEXT for VERSION: its signature and its
// statement read into VERDICT. The signature, or none when VERDICT's result
// says why not.
std::optional<Signature> ReadSignedStatement(std::string_view text, const std::string& version,
                                             ReleaseVerdict& verdict) {
  InitSodium();
  verdict.statement.version = version;
  std::optional<Signature> signature = ReadSignature(text, verdict);
  if (!signature) {
    return std::nullopt;
  }
  ReadStatement(text, verdict);
  if (!verdict.result.Ok()) {
    return std::nullopt;
  }
  return signature;
}

// Sets VERDICT's result unless SIGNATURE is its signer's over its statement.
void CheckSignature(const Signature& signature, ReleaseVerdict& verdict) {
  if (!Verifies(signature, StatementText(verdict.statement), verdict.signer)) {
    verdict.result = Fail(
        "The update's signature does not match its statement (product, version, size, "
        "SHA-256 and expiry).");
  }
}

// Whether a validly signed STATEMENT is still offered: its expiry, give or take
// the clock skew, is not past, and it has one when TRUST requires it.
platform::Result Freshness(const ReleaseTrust& trust, const ReleaseStatement& statement) {
  if (!statement.expires) {
    return trust.requireFresh ? Fail("The update's statement carries no expiry.")
                              : platform::Result{};
  }
  if (trust.now > *statement.expires + kClockSkewSeconds) {
    return Fail("The update's statement expired on " + ShownUtcTime(*statement.expires) + ".");
  }
  return {};
}

}  // namespace

void InitSodium() {
  if (sodium_init() < 0) {
    throw ESignature("libsodium could not be initialised");
  }
}

std::string StatementText(const ReleaseStatement& statement) {
  std::string text = "Lumivora release statement 1\nproduct=" + statement.product +
                     "\nversion=" + statement.version + "\nsize=" + std::to_string(statement.size) +
                     "\nsha256=" + HexText(statement.sha256) + "\n";
  if (statement.expires) {
    text += "expires=" + UtcTimeText(*statement.expires) + "\n";
  }
  return text;
}

std::string CertificateText(std::string_view product, const PublicKey& key, uint64_t serial) {
  return "Lumivora signing certificate 1\nproduct=" + std::string(product) +
         "\nkey=" + cipher::ToBase64(key) + "\nserial=" + std::to_string(serial) + "\n";
}

std::optional<SigningCertificate> DecodeCertificate(std::string_view text) {
  const std::optional<std::array<uint8_t, kCertificateSize>> bytes =
      FixedBytes<kCertificateSize>(text);
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

std::optional<PublicKey> DecodePublicKey(std::string_view text) {
  return FixedBytes<32>(text);
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
  ReleaseVerdict verdict;
  const std::optional<Signature> signature = ReadSignedStatement(text, version, verdict);
  if (!signature) {
    return verdict;
  }
  if (verdict.statement.product != trust.product) {
    verdict.result = Fail("The update is signed for another product (\"" +
                          platform::ShownText(verdict.statement.product) + "\").");
    return verdict;
  }
  const std::string certificate =
      ReadIniValue(text, {.section = "Setup", .name = release_keys::kCertificate});
  if (!certificate.empty()) {
    CheckCertificate(trust, certificate, verdict);
  } else if (IsRoot(trust, verdict.signer)) {
    verdict.root = verdict.signer;
  } else {
    verdict.result =
        Fail("The update is signed by an unknown key " + cipher::ToBase64(verdict.signer) + ".");
  }
  if (verdict.result.Ok()) {
    CheckSignature(*signature, verdict);
  }
  if (verdict.result.Ok()) {
    verdict.result = Freshness(trust, verdict.statement);
  }
  if (verdict.result.Ok()) {
    ReadPatches(text, verdict);
  }
  return verdict;
}

ReleaseVerdict ReadSignedRelease(std::string_view text, const std::string& version) {
  ReleaseVerdict verdict;
  const std::optional<Signature> signature = ReadSignedStatement(text, version, verdict);
  if (!signature) {
    return verdict;
  }
  CheckSignature(*signature, verdict);
  if (verdict.result.Ok()) {
    ReadPatches(text, verdict);
  }
  return verdict;
}

platform::Result DownloadMismatch(const ReleaseStatement& statement, uint64_t size,
                                  const Sha256Digest& digest) {
  if (size != statement.size) {
    return Fail("The download has " + std::to_string(size) + " bytes, but the signed release has " +
                std::to_string(statement.size) + ".");
  }
  if (sodium_memcmp(digest.data(), statement.sha256.data(), digest.size()) != 0) {
    return Fail("The download's SHA-256 is not the one of the signed release.");
  }
  return {};
}

}  // namespace lumivora::webupdate
