// Signed releases (docs/signing.md):
//   lumivora-tool keygen -o SECRET_KEY_FILE
//   lumivora-tool certify --root SECRET_KEY_FILE --key PUBLIC_KEY --serial N -o CERT_FILE
//       [--product P]
//   lumivora-tool release MAIN_PROGRAM --version V --url URL [--url MIRROR]...
//       --key SECRET_KEY_FILE
//       [--cert CERT_FILE] [--client-name NAME] [-P PASSWORD] [--product P]
//       [--platform linux|windows] [--expires DAYS] [--previous OLD_PACK]... -o DIR
//   lumivora-tool verify INFO_FILE FILE --root-keys KEYS [--serial N] [--product P]
//       [-P PASSWORD] [--platform linux|windows]
// release and verify check the pack as the launcher checks a download
// (unzip::CheckPack) with -P or the built-in pack password; so does release
// each --previous pack, an earlier release's, from whose main program it
// makes a patch to the new one (tools/release_patches.cpp).
// A secret key file begins with the line "# Lumivora Ed25519 secret key."
// and holds Base64 of the key's 32-byte seed (lines starting with "#" are
// comments); it is created with mode 0600, never printed and never replaced.
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <tuple>

#include "cipher/base64.h"
#include "platform/exception.h"
#include "platform/file.h"
#include "platform/text.h"
#include "tools/release_options.h"
#include "tools/tool_commands.h"
#include "unzip/pack_check.h"
#include "webupdate/info_file.h"
#include "webupdate/release_patches.h"
#include "webupdate/release_signing.h"
#include "webupdate/release_time.h"

namespace lumivora::tool {

namespace wu = webupdate;

Parsed Parse(const Arguments& arguments, std::initializer_list<const char*> known) {
  Parsed parsed;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument.empty() || argument[0] != '-') {
      parsed.words.push_back(argument);
      continue;
    }
    if (std::find_if(known.begin(), known.end(),
                     [&](const char* name) { return argument == name; }) == known.end() ||
        i + 1 >= arguments.size()) {
      throw UsageError();
    }
    parsed.options[argument] = arguments[++i];
    parsed.all[argument].push_back(arguments[i]);
  }
  return parsed;
}

std::string Required(const Parsed& parsed, const char* name) {
  const auto found = parsed.options.find(name);
  if (found == parsed.options.end() || found->second.empty()) {
    throw UsageError();
  }
  return found->second;
}

std::string Optional(const Parsed& parsed, const char* name, const std::string& fallback) {
  const auto found = parsed.options.find(name);
  return found == parsed.options.end() ? fallback : found->second;
}

std::string ReadSmallFile(const std::string& path) {
  platform::File file = platform::File::Open(path, platform::File::Mode::kRead);
  std::string text;
  std::array<char, 4096> block{};
  while (const size_t count = file.Read(block.data(), block.size())) {
    text.append(block.data(), count);
    if (text.size() > 65536) {
      throw Exception(path + ": too large for a key or certificate file");
    }
  }
  return text;
}

wu::SecretKey ReadSecretKey(const std::string& path) {
  std::string text = ReadSmallFile(path);
  try {
    wu::SecretKey key = wu::SecretKeyFromText(text);
    sodium_memzero(text.data(), text.size());
    return key;
  } catch (const Exception& error) {
    sodium_memzero(text.data(), text.size());
    throw Exception(Shown(path) + ": " + error.Message());
  }
}

// The first line of TEXT that is neither empty nor a "#" comment.
std::string FirstValueLine(const std::string& text) {
  for (std::string& line : wu::SplitLines(text)) {
    if (!line.empty() && line[0] != '#') {
      return line;
    }
  }
  return {};
}

std::string ReadCertificate(const std::string& path, const wu::SecretKey& key) {
  std::string text = FirstValueLine(ReadSmallFile(path));
  const std::optional<wu::SigningCertificate> certificate = wu::DecodeCertificate(text);
  if (!certificate) {
    throw Exception(Shown(path) + ": not a certificate file (as certify writes it)");
  }
  if (certificate->key != key.Public()) {
    throw Exception(Shown(path) + ": certifies the key " + cipher::ToBase64(certificate->key) +
                    ", not the key of --key " + cipher::ToBase64(key.Public()));
  }
  return text;
}

namespace {

// Creates PATH (never an existing file or link) readable by its owner only.
void WriteSecretKey(const std::string& path, const wu::SecretKey& key) {
  int flags = O_WRONLY | O_CREAT | O_EXCL;
#ifdef O_NOFOLLOW
  flags |= O_NOFOLLOW;
#endif
#ifdef O_BINARY
  flags |= O_BINARY;
#endif
  const int fd = ::open(path.c_str(), flags, 0600);
  if (fd < 0) {
    throw Exception(path + ": cannot create the key file (it must not exist yet)");
  }
  std::string text = wu::SecretKeyText(key);
  const auto count = ::write(fd, text.data(), static_cast<unsigned>(text.size()));
  const bool written = count >= 0 && static_cast<size_t>(count) == text.size();
  sodium_memzero(text.data(), text.size());
  if (::close(fd) != 0 || !written) {
    throw Exception(path + ": cannot write the key file");
  }
}

uint64_t ParseSerial(const std::string& text) {
  uint64_t serial = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, serial);
  if (text.empty() || error != std::errc() || stop != end) {
    throw Exception("not a serial number (a decimal integer): " + text);
  }
  return serial;
}

// Size and SHA-256 of the file at PATH, read in blocks.
std::pair<uint64_t, wu::Sha256Digest> HashFile(const std::string& path) {
  platform::File file = platform::File::Open(path, platform::File::Mode::kRead);
  wu::Sha256Stream hash;
  std::vector<uint8_t> block(size_t{64} * 1024);
  while (const size_t count = file.Read(block.data(), block.size())) {
    hash.Update({block.data(), count});
  }
  const uint64_t size = hash.Size();
  return {size, hash.Finish()};
}

}  // namespace

int KeygenCommand(const Arguments& arguments) {
  const Parsed parsed = Parse(arguments, {"-o"});
  if (!parsed.words.empty()) {
    throw UsageError();
  }
  const wu::SecretKey key = wu::SecretKey::Generate();
  WriteSecretKey(Required(parsed, "-o"), key);
  std::printf("%s\n", cipher::ToBase64(key.Public()).c_str());
  return 0;
}

int CertifyCommand(const Arguments& arguments) {
  const Parsed parsed = Parse(arguments, {"--root", "--key", "--serial", "-o", "--product"});
  const wu::SecretKey root = ReadSecretKey(Required(parsed, "--root"));
  const std::optional<wu::PublicKey> key = wu::DecodePublicKey(Required(parsed, "--key"));
  if (!key || !parsed.words.empty()) {
    throw Exception("--key takes the public key that keygen printed (Base64 of 32 bytes)");
  }
  const std::string product = Optional(parsed, "--product", BuiltInIdentity());
  CheckName("--product", product, false);
  const std::string output = Required(parsed, "-o");
  const uint64_t serial = ParseSerial(Required(parsed, "--serial"));
  CheckOutput(output, {Required(parsed, "--root")});
  const wu::SigningCertificate certificate = wu::CertifyKey(root, *key, serial, product);
  ReplaceWithText({.path = output, .text = wu::EncodeCertificate(certificate) + "\n"});
  WarnIfDemoIdentity("certify", product);
  std::printf("certificate for %s, product %s, serial %llu, by root %s\n",
              cipher::ToBase64(*key).c_str(), product.c_str(),
              static_cast<unsigned long long>(certificate.serial),
              cipher::ToBase64(certificate.root).c_str());
  return 0;
}

#if LUMIVORA_TOOL_PACK_COMMAND
namespace {

constexpr char kInfoFileName[] = "update.ini";

// What release writes, from values that have all been checked.
struct ReleasePlan {
  std::string program;
  std::string url;
  std::vector<std::string> mirrors;  // URL2 and on
  std::string clientName;
  std::string folder;
  std::string packName;
  std::string password;
  unzip::ProgramKind kind = unzip::NativeProgramKind();
  wu::ReleaseStatement statement;
};

// "URL2=..." and on, one line each.
std::string MirrorLines(const std::vector<std::string>& mirrors) {
  std::string lines;
  for (size_t i = 0; i < mirrors.size(); ++i) {
    lines += "URL" + std::to_string(i + 2) + "=" + mirrors[i] + "\r\n";
  }
  return lines;
}

std::string JoinedAddresses(const ReleasePlan& plan) {
  std::string joined = plan.url;
  for (const std::string& mirror : plan.mirrors) {
    joined += ", " + mirror;
  }
  return joined;
}

ReleasePlan PlanRelease(const Parsed& parsed) {
  ReleasePlan plan;
  plan.program = parsed.words.at(0);
  plan.password = Optional(parsed, "-P", BuiltInPackPassword());
  plan.kind = ParsePlatform(Optional(parsed, "--platform", ""));
  Required(parsed, "--url");
  const std::vector<std::string>& urls = parsed.all.at("--url");
  if (urls.size() > webupdate::kMaxDownloadAddresses) {
    throw Exception("at most " + std::to_string(webupdate::kMaxDownloadAddresses) +
                    " --url (the pack's address and its mirrors)");
  }
  plan.url = urls.front();
  plan.mirrors.assign(urls.begin() + 1, urls.end());
  plan.folder = Required(parsed, "-o");
  plan.statement.product = Optional(parsed, "--product", BuiltInIdentity());
  plan.statement.version = Required(parsed, "--version");
  CheckVersion("--version", plan.statement.version);
  for (const std::string& url : urls) {
    CheckUrl("--url", url);
  }
  CheckName("--product", plan.statement.product, false);
  plan.packName = wu::SafeFileNamePart(plan.url);
  plan.clientName = Optional(parsed, "--client-name", plan.packName);
  if (plan.packName.empty()) {
    throw Exception("--url must end in the pack's file name");
  }
  CheckName("--client-name", plan.clientName, true);
  if (parsed.options.contains("--expires")) {
    plan.statement.expires = ExpiryAfterDays(parsed.options.at("--expires"), UnixTimeNow());
  }
  if (platform::EqualsIgnoreCase(plan.packName, kInfoFileName)) {
    throw Exception("--url \"" + Shown(plan.url) + "\" names the pack " + kInfoFileName +
                    ", the name of the information file written beside it");
  }
  if (!platform::FileExists(plan.program)) {
    throw Exception(Shown(plan.program) + ": not a readable file");
  }
  return plan;
}

}  // namespace

int ReleaseCommand(const Arguments& arguments) {
  const Parsed parsed =
      Parse(arguments, {"--version", "--url", "--key", "--cert", "--client-name", "-P", "-o",
                        "--product", "--platform", "--expires", "--previous"});
  if (parsed.words.size() != 1) {
    throw UsageError();
  }
  ReleasePlan plan = PlanRelease(parsed);
  std::vector<std::string> inputs = {plan.program, Required(parsed, "--key")};
  const wu::SecretKey key = ReadSecretKey(inputs.back());
  std::string certificate;
  if (parsed.options.contains("--cert")) {
    inputs.push_back(parsed.options.at("--cert"));
    certificate = ReadCertificate(inputs.back(), key);
  }
  const std::string pack = plan.folder + platform::PathSeparator() + plan.packName;
  const std::string info = plan.folder + platform::PathSeparator() + kInfoFileName;
  CheckOutput(pack, inputs);
  CheckOutput(info, inputs);
  const auto previous = parsed.all.find("--previous");
  const std::vector<MadePatch> patches =
      previous == parsed.all.end()
          ? std::vector<MadePatch>()
          : MakeReleasePatches(
                {plan.program, previous->second, plan.password, plan.kind, plan.packName,
                 plan.url.substr(0, plan.url.rfind('/') + 1), plan.folder},
                plan.statement, inputs);
  // Every value is checked: from here on the release is written, the pack
  // first and only when the launcher's check passes, then the patches.
  WritePackOnceChecked({plan.program, pack, plan.password, plan.statement.version}, plan.kind);
  for (const MadePatch& patch : patches) {
    ReplaceWithText({.path = plan.folder + platform::PathSeparator() + patch.name,
                     .text = std::string(patch.bytes.begin(), patch.bytes.end())});
    std::printf("%s: patch from version %s, %zu bytes\n", patch.name.c_str(),
                patch.offer.fromVersion.c_str(), patch.bytes.size());
  }
  wu::ReleaseStatement& statement = plan.statement;
  std::tie(statement.size, statement.sha256) = HashFile(pack);
  ReplaceWithText({.path = info,
                   .text = "[Setup]\r\nVersion=" + statement.version + "\r\nURL=" + plan.url +
                           "\r\nClientSideName=" + plan.clientName + "\r\n" +
                           MirrorLines(plan.mirrors) +
                           wu::SignedReleaseLines(statement, key, certificate)});
  std::printf("%s and %s in %s signed by %s: %s", plan.packName.c_str(), kInfoFileName,
              plan.folder.c_str(), cipher::ToBase64(key.Public()).c_str(),
              wu::StatementText(statement).c_str());
  // A launcher that reads the new information file before the pack is served
  // fails its download: the order is part of the release.
  std::printf(
      "Publish in this order:\n1. Upload %s so that %s%s serves it%s.\n2. Then upload %s "
      "where the launchers read their update information file.\n",
      Shown(pack).c_str(), plan.mirrors.empty() ? "" : "each of ",
      Shown(JoinedAddresses(plan)).c_str(), patches.empty() ? "" : ", and the patches beside it",
      Shown(info).c_str());
  WarnIfDemoIdentity("release", statement.product);
  if (plan.password != BuiltInPackPassword()) {
    std::fprintf(stderr,
                 "lumivora-tool release: warning: -P is not the pack password this tool was "
                 "built with; a launcher built with the tool's configuration refuses the pack\n");
  }
  return 0;
}
#endif

namespace {

// The patches of the release (verify): the version each applies to, and the
// main program they make.
void PrintPatches(const wu::ReleaseStatement& statement) {
  for (const wu::PatchOffer& patch : statement.patches) {
    std::printf("patch from version %s: %s, size %llu, SHA-256 %s\n", patch.fromVersion.c_str(),
                Shown(patch.address).c_str(), static_cast<unsigned long long>(patch.size),
                wu::HexText(patch.sha256).c_str());
  }
  if (!statement.patches.empty()) {
    std::printf("patched main program: size %llu, SHA-256 %s\n",
                static_cast<unsigned long long>(statement.programSize),
                wu::HexText(statement.programSha256).c_str());
  }
}

}  // namespace

int VerifyCommand(const Arguments& arguments) {
  const Parsed parsed =
      Parse(arguments, {"--root-keys", "--product", "--serial", "-P", "--platform"});
  if (parsed.words.size() != 2) {
    throw UsageError();
  }
  const unzip::ProgramKind kind = ParsePlatform(Optional(parsed, "--platform", ""));
  wu::ReleaseTrust trust;
  trust.product = Optional(parsed, "--product", BuiltInIdentity());
  trust.roots = wu::ParsePublicKeys(Required(parsed, "--root-keys"));
  trust.recordedSerial = ParseSerial(Optional(parsed, "--serial", "0"));
  trust.now = UnixTimeNow();
  const std::string text = ReadSmallFile(parsed.words[0]);
  const std::string version = wu::ReadUpdateInfo(text).version;
  const wu::ReleaseVerdict verdict = wu::VerifyRelease(trust, text, version);
  if (!verdict.result.Ok()) {
    std::printf("refused: %s\n", verdict.result.Reason().c_str());
    return 1;
  }
  std::printf("statement: product %s, version %s, size %llu, SHA-256 %s\n",
              verdict.statement.product.c_str(), version.c_str(),
              static_cast<unsigned long long>(verdict.statement.size),
              wu::HexText(verdict.statement.sha256).c_str());
  PrintPatches(verdict.statement);
  const std::optional<int64_t> expires = verdict.statement.expires;
  const std::string expiry = expires ? wu::ShownUtcTime(*expires) : "never (no ReleaseExpires)";
  std::printf("expires: %s\n", expiry.c_str());
  if (verdict.serial) {
    std::printf("signed by %s, certified by root key %s with serial %llu\n",
                cipher::ToBase64(verdict.signer).c_str(), cipher::ToBase64(*verdict.root).c_str(),
                static_cast<unsigned long long>(*verdict.serial));
  } else {
    std::printf("signed by root key %s\n", cipher::ToBase64(verdict.signer).c_str());
  }
  const auto [size, digest] = HashFile(parsed.words[1]);
  if (const platform::Result match = wu::DownloadMismatch(verdict.statement, size, digest);
      !match.Ok()) {
    std::printf("refused: %s\n", match.Reason().c_str());
    return 1;
  }
  std::printf("%s: size %llu and SHA-256 match\n", parsed.words[1].c_str(),
              static_cast<unsigned long long>(size));
  // The check the launcher makes before it puts the download in place.
  const std::string password = Optional(parsed, "-P", BuiltInPackPassword());
  const platform::Result checked = CheckPackAsLauncher(parsed.words[1], password, kind);
  if (!checked.Ok()) {
    std::printf("refused: a %s launcher would say: %s\n", PlatformName(kind),
                checked.Reason().c_str());
    return 1;
  }
  std::printf("%s: a pack that a %s launcher starts\n", parsed.words[1].c_str(),
              PlatformName(kind));
  return 0;
}

}  // namespace lumivora::tool
