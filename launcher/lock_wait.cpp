#include "launcher/lock_wait.h"

#include <thread>

#include "webupdate/frm_updater.h"
#include "webupdate/partial_store.h"

namespace lumivora::launcher {
namespace {

// How often a waiting start tries the lock again (the lock calls have no
// bounded wait of their own).
constexpr std::chrono::milliseconds kLockRetry{50};

std::string WithSeparator(const std::string& folder) {
  return !folder.empty() && folder.back() == platform::PathSeparator()
             ? folder
             : folder + platform::PathSeparator();
}

// A download folder no running start holds: its files, then the folder.
void RemoveDownloadFolder(const std::string& folder) {
  {
    const std::unique_ptr<platform::FileLock> lock =
        platform::FileLock::TryAcquire(webupdate::DownloadFolderLock(folder));
    if (lock == nullptr) {
      return;  // held by a running start, or not a folder of ours
    }
    for (const std::string& name : platform::ListFolder(folder, "")) {
      platform::DeleteFile(WithSeparator(folder) + name);
    }
  }
  platform::DeleteFile(webupdate::DownloadFolderLock(folder));
  platform::RemoveDirectory(folder);
}

}  // namespace

LockAttempt TakeLock(const std::string& lockFile, std::chrono::milliseconds wait,
                     platform::UserInterface& ui, const std::function<void()>& onWait) {
  LockAttempt attempt;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  bool waiting = false;
  for (;;) {
    attempt.lock = platform::FileLock::TryAcquire(lockFile, &attempt.busy);
    if (attempt.lock != nullptr || !attempt.busy) {
      return attempt;
    }
    if (!waiting && onWait) {
      onWait();
    }
    waiting = true;
    if (std::chrono::steady_clock::now() >= deadline) {
      return attempt;
    }
    ui.ProcessMessages();
    std::this_thread::sleep_for(kLockRetry);
  }
}

void SweepLeftovers(const LeftoverPlaces& places) {
  const std::string& packPath = places.packPath;
  const std::string& tempFolder = places.tempFolder;
  const size_t separator = packPath.find_last_of(platform::PathSeparator());
  const std::string packFolder =
      separator == std::string::npos ? std::string() : packPath.substr(0, separator + 1);
  const std::string packName = packPath.substr(packFolder.size());
  if (!packFolder.empty()) {
    for (const std::string& name : platform::ListFolder(packFolder, packName + ".new-")) {
      platform::DeleteFile(packFolder + name);
    }
  }
  if (!tempFolder.empty()) {
    const std::string prefix = webupdate::DownloadFolderPrefix();
    for (const std::string& name : platform::ListFolder(tempFolder, prefix)) {
      const std::string folder = WithSeparator(tempFolder) + name;
      if (platform::DirectoryExists(folder) && !platform::IsSymbolicLink(folder)) {
        RemoveDownloadFolder(folder);
      }
    }
  }
  if (!places.dataFolder.empty()) {
    webupdate::SweepPartialStore(places.dataFolder);
  }
}

platform::MessageAnswer HeldMessages::ShowMessage(const platform::MessageBoxRequest& request) {
  held_.push_back(request);
  return platform::MessageAnswer::kOk;
}

void HeldMessages::ShowHeld() {
  for (const platform::MessageBoxRequest& request : held_) {
    ui_.ShowMessage(request);
  }
  held_.clear();
}

}  // namespace lumivora::launcher
