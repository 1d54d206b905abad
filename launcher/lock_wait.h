// What a start does under the lock file that launchers of one user share
// (settings writes, the sweep of what killed starts left, the pack's
// replacement and extraction): taking it within a bound, saying so while it
// waits, and keeping message boxes out of the time it is held.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/ui.h"

namespace lumivora::launcher {

// How taking the lock ended.
struct LockAttempt {
  std::unique_ptr<platform::FileLock> lock;  // null unless held
  bool busy = false;                         // another start held it throughout the wait
};

// Takes the lock at LOCKFILE, waiting at most WAIT while another start holds
// it; ONWAIT is called once when the wait begins, and UI's messages are
// processed while it lasts. A lock file that cannot be opened at all (a
// folder or a link there, a read-only or full folder) ends at once.
LockAttempt TakeLock(const std::string& lockFile, std::chrono::milliseconds wait,
                     platform::UserInterface& ui, const std::function<void()>& onWait);

// Where SweepLeftovers looks.
struct LeftoverPlaces {
  std::string packPath;
  std::string tempFolder;
  std::string dataFolder;
};
// Removes what starts that were killed left behind, made by the launcher
// itself: copies of a new pack beside PACKPATH ("<pack>.new-*"), the
// download folders in TEMPFOLDER ("<product>-update-*") that no running start
// holds, and in DATAFOLDER's store of partial downloads what its record does
// not name (a partial of a release stays, to be resumed). Call it under the
// lock.
void SweepLeftovers(const LeftoverPlaces& places);

// A user interface that holds back message boxes (answered OK) until
// ShowHeld, so that no modal window appears while the lock is held; every
// other call goes to the real interface.
class HeldMessages final : public platform::UserInterface {
 public:
  explicit HeldMessages(platform::UserInterface& ui) : ui_(ui) {}
  platform::MessageAnswer ShowMessage(const platform::MessageBoxRequest& request) override;
  std::unique_ptr<platform::SplashView> CreateSplash() override { return ui_.CreateSplash(); }
  std::unique_ptr<platform::UpdaterView> CreateUpdater() override { return ui_.CreateUpdater(); }
  void SetCursor(platform::CursorKind cursor) override { ui_.SetCursor(cursor); }
  void ProcessMessages() override { ui_.ProcessMessages(); }
  // Shows the held boxes on the real interface, in order.
  void ShowHeld();

 private:
  platform::UserInterface& ui_;
  std::vector<platform::MessageBoxRequest> held_;
};

}  // namespace lumivora::launcher
