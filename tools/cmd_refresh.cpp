// lumivora-tool refresh INFO_FILE --key SECRET_KEY_FILE [--cert CERT_FILE]
//     --expires DAYS [--product P]
// Re-signs the offer of an information file with a new expiry, in place:
// Version, URL, ClientSideName, the product, size and SHA-256 and the
// patches stay as they are (the pack is not read), the statement gets ReleaseExpires = now + DAYS
// and a new signature, and the file is replaced by one rename after a flush,
// keeping its mode. A vendor without a new release runs it from a scheduled
// job, so that launchers keep seeing a fresh statement (docs/signing.md).
#include <charconv>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "cipher/base64.h"
#include "platform/exception.h"
#include "platform/text.h"
#include "tools/release_options.h"
#include "webupdate/info_file.h"
#include "webupdate/release_patches.h"
#include "webupdate/release_time.h"

namespace lumivora::tool {
namespace {

namespace wu = webupdate;

constexpr int64_t kSecondsPerDay = int64_t{24} * 60 * 60;

// Whether LINE sets one of the statement's keys (which refresh writes anew).
bool IsStatementLine(const std::string& line) {
  const std::string name = line.substr(0, line.find('='));
  for (const char* key :
       {wu::release_keys::kProduct, wu::release_keys::kSize, wu::release_keys::kSha256,
        wu::release_keys::kKey, wu::release_keys::kSignature, wu::release_keys::kCertificate,
        wu::release_keys::kExpires}) {
    if (platform::EqualsIgnoreCase(name, key)) {
      return true;
    }
  }
  return wu::IsPatchKey(name);
}

// The information file's LINES with its statement's lines replaced by
// SIGNEDLINES, where the first of them was.
std::string WithStatement(const std::vector<std::string>& lines, const std::string& signedLines) {
  std::string result;
  bool placed = false;
  for (const std::string& line : lines) {
    if (!IsStatementLine(line)) {
      result += line + "\r\n";
    } else if (!placed) {
      result += signedLines;
      placed = true;
    }
  }
  return result;
}

// The statement of the information file FILE as it verifies under its own
// key, which must be KEY unless a certificate for KEY is given; raises
// Exception saying why not.
wu::ReleaseVerdict SignedStatement(const TextFile& file, const wu::SecretKey& key, bool certified) {
  const std::string& path = file.path;
  const std::string& text = file.text;
  if (wu::ReadIniValue(text, {.section = "Setup", .name = wu::release_keys::kSignature}).empty()) {
    throw Exception(Shown(path) +
                    ": holds no signed statement (no ReleaseSignature); release writes one");
  }
  wu::ReleaseVerdict verdict = wu::ReadSignedRelease(text, wu::ReadUpdateInfo(text).version);
  if (!verdict.result.Ok()) {
    throw Exception(Shown(path) + ": " + verdict.result.Reason());
  }
  if (!certified && verdict.signer != key.Public()) {
    throw Exception(Shown(path) + ": is signed by " + cipher::ToBase64(verdict.signer) +
                    ", not by the key of --key " + cipher::ToBase64(key.Public()) +
                    " (a certified signing key takes --cert)");
  }
  return verdict;
}

}  // namespace

int64_t UnixTimeNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int64_t ExpiryAfterDays(const std::string& text, int64_t now) {
  int64_t days = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, days);
  if (text.empty() || error != std::errc() || stop != end || days < 1 || days > kMaxExpiryDays) {
    throw Exception("--expires \"" + Shown(text) + "\" is not a number of days from 1 to " +
                    std::to_string(kMaxExpiryDays));
  }
  return now + days * kSecondsPerDay;
}

int RefreshCommand(const Arguments& arguments) {
  const Parsed parsed = Parse(arguments, {"--key", "--cert", "--expires", "--product"});
  if (parsed.words.size() != 1) {
    throw UsageError();
  }
  const std::string& path = parsed.words[0];
  const int64_t expires = ExpiryAfterDays(Required(parsed, "--expires"), UnixTimeNow());
  std::vector<std::string> inputs = {Required(parsed, "--key")};
  const wu::SecretKey key = ReadSecretKey(inputs.back());
  std::string certificate;
  if (parsed.options.contains("--cert")) {
    inputs.push_back(parsed.options.at("--cert"));
    certificate = ReadCertificate(inputs.back(), key);
  }
  CheckOutput(path, inputs);
  const TextFile file{.path = path, .text = ReadSmallFile(path)};
  const std::string& text = file.text;
  wu::ReleaseStatement statement = SignedStatement(file, key, !certificate.empty()).statement;
  const std::string product = Optional(parsed, "--product", statement.product);
  if (product != statement.product) {
    throw Exception(Shown(path) + ": is a statement for the product \"" + Shown(statement.product) +
                    "\", not \"" + Shown(product) + "\"");
  }
  if (certificate.empty()) {  // the same key: its certificate, if any, stays
    certificate =
        wu::ReadIniValue(text, {.section = "Setup", .name = wu::release_keys::kCertificate});
  }
  statement.expires = expires;
  ReplaceWithText({.path = path,
                   .text = WithStatement(wu::SplitLines(text),
                                         wu::SignedReleaseLines(statement, key, certificate))});
  std::printf("%s re-signed by %s, expires %s: %s", Shown(path).c_str(),
              cipher::ToBase64(key.Public()).c_str(), wu::ShownUtcTime(expires).c_str(),
              wu::StatementText(statement).c_str());
  return 0;
}

}  // namespace lumivora::tool
