// lumivora-tool release --previous OLD_PACK: one binary patch
// (docs/delta-format.md) per earlier release, from the main program in its
// pack to the new one, named in update.ini with the version it applies to.
#include "webupdate/release_patches.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "delta/make_patch.h"
#include "platform/exception.h"
#include "platform/file.h"
#include "platform/product.h"
#include "tools/release_options.h"
#include "unzip/unzip.h"
#include "unzip/zip_reader.h"
#include "webupdate/info_file.h"

namespace lumivora::tool {
namespace {

namespace wu = webupdate;

std::vector<uint8_t> ReadWhole(const std::string& path) {
  platform::File file = platform::File::Open(path, platform::File::Mode::kRead);
  std::vector<uint8_t> bytes;
  std::vector<uint8_t> block(size_t{1} << 20U);
  while (const size_t count = file.Read(block.data(), block.size())) {
    bytes.insert(bytes.end(), block.begin(), block.begin() + static_cast<ptrdiff_t>(count));
    if (bytes.size() > delta::kMaxNewSize) {
      throw Exception(Shown(path) + ": larger than a patch's 1 GiB");
    }
  }
  return bytes;
}

// The version in the archive comment of the pack at PATH ("Version=V", as
// pack --version and release write it); empty when there is none.
std::string PackCommentVersion(const std::string& path) {
  unzip::TUnZip zip(nullptr);
  zip.SetZipName(path);
  const std::string comment = zip.ZipComment();
  for (const std::string& line : wu::SplitLines(comment)) {
    if (line.starts_with("Version=")) {
      return line.substr(8);
    }
  }
  return {};
}

// A temporary folder of the tool's, removed with the one file it may hold.
class ProgramFolder {
 public:
  ProgramFolder()
      : path_(platform::CreateUniqueFolder(std::filesystem::temp_directory_path().string() +
                                           platform::PathSeparator() + "lumivora-previous-")) {
    if (path_.empty()) {
      throw Exception("cannot create a temporary folder");
    }
  }
  ProgramFolder(const ProgramFolder&) = delete;
  ProgramFolder& operator=(const ProgramFolder&) = delete;
  ~ProgramFolder() {
    platform::DeleteFile(File());
    platform::RemoveDirectory(path_);
  }
  [[nodiscard]] const std::string& Path() const { return path_; }
  [[nodiscard]] std::string File() const {
    return path_ + platform::PathSeparator() + platform::ProductName() + "main";
  }

 private:
  std::string path_;
};

// The main program in the pack at PATH, decoded with PASSWORD.
std::vector<uint8_t> PackedProgram(const std::string& path, const std::string& password) {
  const ProgramFolder folder;
  const unzip::EntryResult result = unzip::ExtractEntry({path, platform::ProductName() + "main"},
                                                        {.password = password,
                                                         .destFolder = folder.Path(),
                                                         .requireEncryption = true,
                                                         .uniqueName = true,
                                                         .retainAttributes = false,
                                                         .processMessages = false},
                                                        nullptr);
  if (result.status != unzip::EntryStatus::kExtracted) {
    throw Exception(Shown(path) + ": its main program cannot be extracted");
  }
  return ReadWhole(folder.File());
}

}  // namespace

std::vector<MadePatch> MakeReleasePatches(const PatchPlan& plan, wu::ReleaseStatement& statement,
                                          std::vector<std::string>& inputs) {
  if (plan.previousPacks.size() > static_cast<size_t>(wu::kMaxPatches)) {
    throw Exception("at most " + std::to_string(wu::kMaxPatches) + " --previous");
  }
  inputs.insert(inputs.end(), plan.previousPacks.begin(), plan.previousPacks.end());
  std::vector<MadePatch> made;
  const std::vector<uint8_t> program = ReadWhole(plan.program);
  for (const std::string& pack : plan.previousPacks) {
    if (const platform::Result checked = CheckPackAsLauncher(pack, plan.password, plan.kind);
        !checked.Ok()) {
      throw Exception(Shown(pack) + ": not a pack of an earlier release: " + checked.Reason());
    }
    const std::string version = PackCommentVersion(pack);
    if (version.empty()) {
      throw Exception(Shown(pack) +
                      ": names no version in its archive comment (Version=V, as pack --version "
                      "and release write it)");
    }
    if (wu::CompareVersionTexts(version, statement.version) == wu::VersionDecision::kNotNewer) {
      throw Exception(Shown(pack) + ": is version " + Shown(version) + ", not earlier than " +
                      statement.version);
    }
    if (std::any_of(made.begin(), made.end(),
                    [&](const MadePatch& other) { return other.offer.fromVersion == version; })) {
      throw Exception(Shown(pack) + ": a second pack of version " + Shown(version));
    }
    MadePatch patch;
    patch.bytes = delta::MakePatch(PackedProgram(pack, plan.password), program);
    patch.name = plan.packName + "-from-" + version + ".patch";
    CheckOutput(plan.folder + platform::PathSeparator() + patch.name, inputs);
    patch.offer.address = plan.baseAddress + patch.name;
    patch.offer.fromVersion = version;
    patch.offer.size = patch.bytes.size();
    patch.offer.sha256 = delta::Sha256Of(patch.bytes);
    made.push_back(std::move(patch));
  }
  if (!made.empty()) {
    statement.programSize = program.size();
    statement.programSha256 = delta::Sha256Of(program);
    for (const MadePatch& patch : made) {
      statement.patches.push_back(patch.offer);
    }
  }
  return made;
}

}  // namespace lumivora::tool
