#include "webupdate/pack_install.h"

#include <array>
#include <memory>

#include "platform/exception.h"
#include "platform/file.h"

namespace lumivora::webupdate {
namespace {

platform::Result Fail(std::string reason) {
  return platform::Result::Failure(std::move(reason));
}

// The folder part of PATH with its separator.
std::string FolderPart(const std::string& path) {
  const size_t separator = path.find_last_of("/\\");
  return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

// Copies every byte of SOURCE to OUT; false unless exactly EXPECTED bytes
// were read and the source kept that size throughout.
bool CopyWhole(const std::string& source, platform::File& out, int64_t expected) {
  platform::File in = platform::File::Open(source, platform::File::Mode::kRead);
  std::array<char, 65536> buffer{};
  int64_t copied = 0;
  for (size_t n = in.Read(buffer.data(), buffer.size()); n != 0;
       n = in.Read(buffer.data(), buffer.size())) {
    out.Write(buffer.data(), n);
    copied += static_cast<int64_t>(n);
  }
  return copied == expected && in.Size() == expected;
}

// The pack in place becomes the previous generation at PREVIOUSPATH, whole at
// every moment: the older generation goes first (so that beside the pack
// there are never more than two), then a second name for the pack's own
// bytes where the file system has them (no byte copied, no room taken),
// else a copy with the pack's mode, flushed, renamed into place.
platform::Result KeepPrevious(const std::string& packPath, const std::string& previousPath) {
  platform::DeleteFile(previousPath);
  const std::optional<int64_t> size = platform::FileSize(packPath);
  if (!size || platform::LinkFile(packPath, previousPath)) {
    return {};  // no pack to keep, or kept
  }
  platform::PartialFile copy;
  try {
    platform::File out = platform::File::CreateUnique(packPath + ".new-");
    copy.path = out.Path();
    if (!CopyWhole(packPath, out, *size) || !out.SetModeOf(packPath) || !out.Flush()) {
      return Fail("The previous pack cannot be kept (" + out.Path() + ").");
    }
    out.Close();
  } catch (const Exception& error) {
    return Fail(error.Message());
  }
  if (!platform::ReplaceFile(copy.path, previousPath)) {
    return Fail("The previous pack cannot be kept (" + previousPath + ").");
  }
  copy.path.clear();
  return {};
}

// The replacement itself, with the lock held.
platform::Result ReplaceUnderLock(const PackInstallation& installation) {
  const std::string& packPath = installation.packPath;
  // A copy beside the pack, in a new file of its own: every byte of the
  // download, the pack's mode and owner, flushed to disk.
  platform::PartialFile copy;
  try {
    platform::File out = platform::File::CreateUnique(packPath + ".new-");
    copy.path = out.Path();
    if (!CopyWhole(installation.source, out, static_cast<int64_t>(installation.size))) {
      return Fail("The download changed while it was copied.");
    }
    if ((platform::FileExists(packPath) && !out.SetModeOf(packPath)) || !out.Flush()) {
      return Fail("The copy beside the pack cannot be completed (" + out.Path() + ").");
    }
    out.Close();
  } catch (const Exception& error) {
    // A product folder this user may not write (installed for all users), a
    // full disk.
    return Fail(error.Message());
  }
  // The check reads the very file that the rename puts in place.
  platform::Result checked =
      installation.checkPack ? installation.checkPack(copy.path) : Fail("no pack check");
  if (!checked.Ok()) {
    return checked;
  }
  if (!installation.previousPath.empty()) {
    if (platform::Result kept = KeepPrevious(packPath, installation.previousPath); !kept.Ok()) {
      return kept;
    }
  }
  // One rename: the pack is always either the old one or the new one.
  if (!platform::ReplaceFile(copy.path, packPath)) {
    return Fail("The pack cannot be replaced (in use, or the folder is not writable).");
  }
  copy.path.clear();
  platform::FlushFolder(FolderPart(packPath).empty() ? std::string(".") : FolderPart(packPath));
  if (installation.recordVersion) {
    installation.recordVersion(installation.version);
  }
  return {};
}

}  // namespace

platform::Result InstallPack(const PackInstallation& installation) {
  // A read-only pack refuses the copy, as it does on Windows.
  const auto attributes = platform::GetFileAttributes(installation.packPath);
  if (attributes && (*attributes & platform::kAttrReadOnly) != 0) {
    return Fail("The pack is read-only.");
  }
  // Another launcher that replaces the pack, extracts it or writes the
  // settings holds the lock; this one waits for it. Without the lock the
  // pack is never replaced.
  const std::unique_ptr<platform::FileLock> lock =
      installation.lockFile.empty() ? nullptr : platform::FileLock::Acquire(installation.lockFile);
  if (lock == nullptr && !installation.lockFile.empty()) {
    return Fail("Unable to lock " + installation.lockFile);
  }
  return ReplaceUnderLock(installation);
}

}  // namespace lumivora::webupdate
