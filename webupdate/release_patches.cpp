#include "webupdate/release_patches.h"

#include <sodium.h>

#include <optional>

#include "cipher/base64.h"
#include "platform/text.h"
#include "webupdate/info_file.h"

namespace lumivora::webupdate {
namespace {

platform::Result Fail(const std::string& reason) {
  return platform::Result::Failure("The update's patch statement " + reason);
}

std::string Key(const char* prefix, int index, const char* suffix) {
  return prefix + std::to_string(index) + suffix;
}

// Patch INDEX of TEXT; nullopt when there is none, RESULT set when it is malformed.
std::optional<PatchOffer> ReadPatch(std::string_view text, int index, platform::Result& result) {
  const auto value = [&](const std::string& key) {
    return ReadIniValue(text, {.section = "Setup", .name = key});
  };
  PatchOffer patch;
  patch.fromVersion = value(Key("ReleasePatch", index, "From"));
  patch.address = value(Key("Patch", index, ""));
  if (patch.fromVersion.empty() && patch.address.empty()) {
    return std::nullopt;
  }
  const std::optional<uint64_t> size = DecimalSize(value(Key("ReleasePatch", index, "Size")));
  const std::optional<Sha256Digest> digest = HexDigest(value(Key("ReleasePatch", index, "SHA256")));
  if (patch.fromVersion.empty() || !IsDownloadAddress(patch.address) || !size || !digest) {
    result = Fail("names patch " + std::to_string(index) +
                  " without a version, an address, a size or a SHA-256.");
    return std::nullopt;
  }
  patch.size = *size;
  patch.sha256 = *digest;
  return patch;
}

}  // namespace

std::string PatchStatementText(const ReleaseStatement& statement) {
  std::string text = "Lumivora patch statement 1\nproduct=" + statement.product +
                     "\nversion=" + statement.version + "\nsize=" + std::to_string(statement.size) +
                     "\nsha256=" + HexText(statement.sha256) +
                     "\nprogram-size=" + std::to_string(statement.programSize) +
                     "\nprogram-sha256=" + HexText(statement.programSha256) + "\n";
  for (const PatchOffer& patch : statement.patches) {
    text += "patch=" + patch.fromVersion + " " + std::to_string(patch.size) + " " +
            HexText(patch.sha256) + "\n";
  }
  return text;
}

void ReadPatches(std::string_view text, ReleaseVerdict& verdict) {
  const std::string signatureText =
      ReadIniValue(text, {.section = "Setup", .name = release_keys::kPatchSignature});
  if (signatureText.empty()) {
    return;
  }
  ReleaseStatement& statement = verdict.statement;
  const std::optional<uint64_t> size =
      DecimalSize(ReadIniValue(text, {.section = "Setup", .name = release_keys::kProgramSize}));
  const std::optional<Sha256Digest> digest =
      HexDigest(ReadIniValue(text, {.section = "Setup", .name = release_keys::kProgramSha256}));
  const std::optional<std::string> signature =
      cipher::DecodeBase64(signatureText, cipher::Base64Rules::kCanonical);
  if (!size || !digest || !signature || signature->size() != crypto_sign_BYTES) {
    verdict.result = Fail("has no valid program size, SHA-256 or signature.");
    return;
  }
  statement.programSize = *size;
  statement.programSha256 = *digest;
  for (int index = 1; index <= kMaxPatches && verdict.result.Ok(); ++index) {
    if (std::optional<PatchOffer> patch = ReadPatch(text, index, verdict.result)) {
      statement.patches.push_back(std::move(*patch));
    }
  }
  const std::string message = PatchStatementText(statement);
  if (verdict.result.Ok() &&
      crypto_sign_verify_detached(reinterpret_cast<const uint8_t*>(signature->data()),
                                  reinterpret_cast<const uint8_t*>(message.data()), message.size(),
                                  verdict.signer.data()) != 0) {
    verdict.result = Fail("does not match its signature.");
  }
  if (!verdict.result.Ok()) {
    statement.patches.clear();
  }
}

std::string PatchLines(const ReleaseStatement& statement, const std::string& signature) {
  if (statement.patches.empty()) {
    return {};
  }
  std::string lines =
      std::string(release_keys::kProgramSize) + "=" + std::to_string(statement.programSize) +
      "\r\n" + release_keys::kProgramSha256 + "=" + HexText(statement.programSha256) + "\r\n";
  int index = 0;
  for (const PatchOffer& patch : statement.patches) {
    ++index;
    lines += Key("Patch", index, "=") + patch.address + "\r\n" +
             Key("ReleasePatch", index, "From=") + patch.fromVersion + "\r\n" +
             Key("ReleasePatch", index, "Size=") + std::to_string(patch.size) + "\r\n" +
             Key("ReleasePatch", index, "SHA256=") + HexText(patch.sha256) + "\r\n";
  }
  return lines + release_keys::kPatchSignature + "=" + signature + "\r\n";
}

bool IsPatchKey(std::string_view name) {
  for (int index = 1; index <= kMaxPatches; ++index) {
    for (const std::string& key :
         {Key("Patch", index, ""), Key("ReleasePatch", index, "From"),
          Key("ReleasePatch", index, "Size"), Key("ReleasePatch", index, "SHA256")}) {
      if (platform::EqualsIgnoreCase(name, key)) {
        return true;
      }
    }
  }
  return platform::EqualsIgnoreCase(name, release_keys::kProgramSize) ||
         platform::EqualsIgnoreCase(name, release_keys::kProgramSha256) ||
         platform::EqualsIgnoreCase(name, release_keys::kPatchSignature);
}

}  // namespace lumivora::webupdate
