#include "launcher/first_start.h"

#include <algorithm>

#include "launcher/entry.h"
#include "launcher/lock_wait.h"
#include "launcher/string_table.h"
#include "platform/exception.h"
#include "platform/file.h"
#include "platform/text.h"
#include "webupdate/info_file.h"

namespace lumivora::launcher {
namespace {

// The waits for the program's end between two looks at the guard: short at
// first, when a healthy program takes it, then longer.
constexpr std::chrono::milliseconds kFirstLook{1};
constexpr std::chrono::milliseconds kLongestLook{4};

// The folder part of PATH with its separator ("." when it has none).
std::string FolderOf(const std::string& path) {
  const size_t separator = path.find_last_of(platform::PathSeparator());
  return separator == std::string::npos ? std::string(".") : path.substr(0, separator + 1);
}

}  // namespace

platform::ProfileValues RecordInstall(LauncherSettings& settings, const std::string& previous,
                                      const std::string& installed) {
  settings.PreviousVersion = previous;
  settings.FirstStart = installed;
  return {{"PreviousVersion", previous}, {"FirstStart", installed}};
}

bool IsFirstStart(const LauncherSettings& settings) {
  return !settings.FirstStart.empty();
}

FirstStartWatch WatchFirstStart(platform::SystemServices& system, platform::UserInterface& ui,
                                const platform::CommandLine& commandLine,
                                std::chrono::milliseconds window) {
  const auto deadline = std::chrono::steady_clock::now() + window;
  FirstStartWatch watch;
  std::unique_ptr<platform::WatchedProcess> program;
  try {
    program = system.StartWatchedProcess(commandLine, watch.startError);
  } catch (const Exception&) {
    watch.startError = platform::kStartFileNotFound;
  }
  if (program == nullptr) {
    watch.outcome = FirstStartOutcome::kNotStarted;
    return watch;
  }
  const std::string guard = MutexName();
  for (std::chrono::milliseconds look = kFirstLook; !system.InstanceGuardTaken(guard);
       look = std::min(look * 2, kLongestLook)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      break;  // ran through the window
    }
    if (const std::optional<platform::ProcessEnd> end = program->WaitForEnd(std::min(look, left))) {
      watch.outcome =
          end->Failed() ? FirstStartOutcome::kEndedBadly : FirstStartOutcome::kStartedWell;
      break;
    }
    ui.ProcessMessages();
  }
  return watch;
}

bool RollBack(const ReleaseFiles& files, LauncherSettings& settings, platform::UserInterface& ui) {
  const LockAttempt attempt = TakeLock(files.lockFile, files.lockWait, ui, nullptr);
  if (attempt.lock == nullptr) {
    return false;  // the next start watches again
  }
  const std::string previous = PreviousPackPath(files.packPath);
  const bool restored = !settings.PreviousVersion.empty() && platform::FileExists(previous) &&
                        platform::ReplaceFile(previous, files.packPath);
  platform::ProfileValues values;
  if (restored) {
    platform::FlushFolder(FolderOf(files.packPath));
    settings.BadRelease = settings.FirstStart;
    settings.Version = settings.PreviousVersion;
    settings.PreviousVersion.clear();
    values = {{"Version", settings.Version},
              {"BadRelease", settings.BadRelease},
              {"PreviousVersion", ""}};
  }
  settings.FirstStart.clear();
  values.emplace_back("FirstStart", "");
  WriteSettingValues(files.settingsFile, values);
  return restored;
}

void EndFirstStart(const ReleaseFiles& files, LauncherSettings& settings,
                   platform::UserInterface& ui) {
  const LockAttempt attempt = TakeLock(files.lockFile, files.lockWait, ui, nullptr);
  if (attempt.lock != nullptr) {
    settings.FirstStart.clear();
    WriteSettingValues(files.settingsFile, {{"FirstStart", ""}});
  }
}

std::string RolledBackText(const std::string& bad, const std::string& restored) {
  return webupdate::FormatText(strings::kRolledBack,
                               {platform::ShownText(bad), platform::ShownText(restored)});
}

}  // namespace lumivora::launcher
