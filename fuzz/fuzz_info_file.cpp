// libFuzzer target: the update information file reader, the version decision,
// the address splitting and the signed-release keys (statement, signature,
// certificate, Base64) take any text and keep their invariants.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cipher/base64.h"
#include "webupdate/info_file.h"
#include "webupdate/release_signing.h"
#include "webupdate/release_time.h"

namespace {

using namespace lumivora::webupdate;

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

// A fixed trust: one root key (the seed is all 7s) and a product.
const ReleaseTrust& Trust() {
  static const ReleaseTrust trust = [] {
    std::array<uint8_t, 32> seed{};
    seed.fill(7);
    return ReleaseTrust{.product = "fuzz-product",
                        .roots = {SecretKey::FromSeed(seed).Public()},
                        .recordedSerial = 3,
                        .now = 1800000000};
  }();
  return trust;
}

// The signed-release keys of TEXT checked against the fixed trust.
void CheckRelease(std::string_view text, const std::string& version) {
  const ReleaseVerdict verdict = VerifyRelease(Trust(), text, version);
  if (verdict.result.Ok()) {
    // Accepted only for this product, by the root or a certificate that is
    // not below the recorded serial.
    Check(verdict.statement.product == Trust().product);
    Check(verdict.statement.version == version);
    Check(verdict.root.has_value() && verdict.root == Trust().roots.front());
    Check(!verdict.serial || *verdict.serial >= Trust().recordedSerial);
    // Never past its expiry beyond the clock skew.
    Check(!verdict.statement.expires ||
          *verdict.statement.expires + kClockSkewSeconds >= Trust().now);
  }
}

// Canonical Base64 and the certificate codec: what decodes re-encodes to the
// same text.
void CheckCodecs(std::string_view input) {
  using lumivora::cipher::Base64Rules;
  using lumivora::cipher::DecodeBase64;
  using lumivora::cipher::ToBase64;
  if (const std::optional<std::string> bytes = DecodeBase64(input, Base64Rules::kCanonical)) {
    Check(ToBase64(*bytes) == input);
  }
  // An expiry that is read formats back to its text (so a signature covers it).
  if (const std::optional<int64_t> time = ParseUtcTime(input)) {
    Check(UtcTimeText(*time) == input);
  }
  if (const std::optional<SigningCertificate> certificate = DecodeCertificate(input)) {
    const std::optional<SigningCertificate> again =
        DecodeCertificate(EncodeCertificate(*certificate));
    Check(again && again->serial == certificate->serial && again->key == certificate->key &&
          again->root == certificate->root && again->signature == certificate->signature);
  }
  try {
    for (const PublicKey& key : ParsePublicKeys(input)) {
      Check(DecodePublicKey(ToBase64(key)) == key);
    }
  } catch (const std::exception&) {
    // An element that is not a key: refused with a message.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  // The whole input as an information file.
  const std::vector<std::string> lines = SplitLines(input);
  for (const std::string& line : lines) {
    Check(!line.empty() && line.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos);
  }
  const UpdateInfo info = ReadUpdateInfo(input);
  for (const std::string* value :
       {&info.version, &info.url, &info.clientSideName, &info.redirectionUrl}) {
    Check(value->size() <= input.size());
  }

  CheckRelease(input, info.version);
  CheckCodecs(input);

  // The first line names a section and a key looked up in the rest.
  if (!lines.empty()) {
    const size_t equals = lines[0].find('=');
    const std::string section = lines[0].substr(0, equals);
    const std::string key = equals == std::string::npos ? "" : lines[0].substr(equals + 1);
    static_cast<void>(ReadIniValue(input, {.section = section, .name = key}));
  }

  // Two version texts split at the first '|'.
  const size_t bar = input.find('|');
  const std::string_view installed = input.substr(0, bar);
  const std::string_view offered = bar == std::string_view::npos ? "" : input.substr(bar + 1);
  const VersionDecision decision = CompareVersionTexts(installed, offered);
  Check(CompareVersionTexts(installed, installed) == VersionDecision::kNotNewer);
  if (decision != VersionDecision::kNotNewer) {
    // Newer one way is never newer the other way.
    Check(CompareVersionTexts(offered, installed) == VersionDecision::kNotNewer ||
          offered.find('.') == std::string_view::npos ||
          installed.find('.') == std::string_view::npos);
  }

  const UrlParts parts = SplitUrl(input);
  Check(parts.hostName.find('/') == std::string::npos);
  Check(parts.hostName.size() + parts.path.size() <= input.size());

  const std::string name = SafeFileNamePart(input);
  Check(name.find_first_of("/\\:") == std::string::npos);
  Check(name != "." && name != "..");

  static_cast<void>(FormatText(input, {"1.0", "2.0"}));
  return 0;
}
