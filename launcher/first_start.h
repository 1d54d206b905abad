// The first start of a newly installed release: what an install records for
// it, the watch of the main program's first start, and the rollback to the
// previous pack when that start fails.
//
// An install keeps the pack it replaces beside the new one
// ("<pack>.previous") and records its version and the new release's first
// start in the settings. The first start is watched for a short window: a
// main program that takes the single-instance guard has started well; one
// that cannot be started, or ends with a failure status or a signal within
// the window, is rolled back: the previous pack is renamed over the pack,
// its version recorded, the failed release recorded as bad (never installed
// again automatically), and the user told once.
#pragma once

#include <chrono>
#include <string>

#include "launcher/settings.h"
#include "platform/profile.h"
#include "platform/system.h"
#include "platform/ui.h"

namespace lumivora::launcher {

// Where an install keeps the pack it replaced.
inline std::string PreviousPackPath(const std::string& packPath) {
  return packPath + ".previous";
}

// The settings an install writes with its version, under the lock: the
// release it replaced (PREVIOUS) and the first start of INSTALLED to watch
// (empty: none). SETTINGS takes them too.
platform::ProfileValues RecordInstall(LauncherSettings& settings, const std::string& previous,
                                      const std::string& installed);

// True when this start is the first of a newly installed release.
bool IsFirstStart(const LauncherSettings& settings);

enum class FirstStartOutcome {
  kStartedWell,  // took the guard, ended with success, or ran through the window
  kNotStarted,   // could not be started
  kEndedBadly,   // ended with a failure status or a signal within the window
};

struct FirstStartWatch {
  FirstStartOutcome outcome = FirstStartOutcome::kStartedWell;
  unsigned startError = 0;  // of a program that could not be started
};

// Starts the main program with COMMANDLINE and watches it until it takes the
// guard, ends, or WINDOW passes; it looks at the guard between waits for the
// program's end that grow from 1 ms to 4 ms, and processes UI's messages.
FirstStartWatch WatchFirstStart(platform::SystemServices& system, platform::UserInterface& ui,
                                const platform::CommandLine& commandLine,
                                std::chrono::milliseconds window);

// The files a rollback changes, and how long it waits for the lock.
struct ReleaseFiles {
  std::string packPath;
  std::string settingsFile;
  std::string lockFile;
  std::chrono::milliseconds lockWait{0};
};

// Under the lock: renames the previous pack over the pack and records its
// version, the failed release as bad and the first start as done. False,
// with only the first start marked done, when there is no previous release
// to restore; false, changing nothing, when another start holds the lock
// throughout the wait.
bool RollBack(const ReleaseFiles& files, LauncherSettings& settings, platform::UserInterface& ui);

// Under the lock: marks the first start done.
void EndFirstStart(const ReleaseFiles& files, LauncherSettings& settings,
                   platform::UserInterface& ui);

// The one sentence that tells the user about a rollback from BAD to RESTORED.
std::string RolledBackText(const std::string& bad, const std::string& restored);

}  // namespace lumivora::launcher
