#include "launcher/launch_sequence.h"

#include <cstring>
#include <functional>

#include "cipher/config_cipher.h"
#include "launcher/first_start.h"
#include "launcher/lock_wait.h"
#include "launcher/string_table.h"
#include "launcher/system_services.h"
#include "platform/exception.h"
#include "platform/file.h"
#include "unzip/uncompress.h"
#include "webupdate/partial_store.h"

namespace lumivora::launcher {
namespace {

// A deciphered text carries the zero bytes of its padding: it ends at its
// first zero byte.
std::string UpToFirstZero(const std::string& text) {
  return text.substr(0, text.find('\0'));
}

// The folder of PATH with its trailing separator. A path that is not
// absolute (the system could not tell it) would name a folder relative to the
// current one: refused.
std::string FolderOf(const std::string& path) {
  const size_t separator = path.find_last_of(platform::PathSeparator());
  if (!platform::IsAbsolutePath(path) || separator == std::string::npos) {
    throw Exception(strings::kNoLauncherFolder);
  }
  return path.substr(0, separator + 1);
}

// Sets the default cursor back when the sequence ends, on every path.
class CursorRestorer {
 public:
  explicit CursorRestorer(platform::UserInterface& ui) : ui_(ui) {}
  CursorRestorer(const CursorRestorer&) = delete;
  CursorRestorer& operator=(const CursorRestorer&) = delete;
  ~CursorRestorer() { ui_.SetCursor(platform::CursorKind::kDefault); }

 private:
  platform::UserInterface& ui_;
};

// Clears the main program an earlier start left at PATH: the file is renamed
// aside at once, so that its name is free for the new copy, and unlinked when
// the sequence ends, after the new copy has been started (unlinking a large
// file costs the file system several milliseconds of processor time, which
// the extraction needs). Without a file to rename it is deleted in place.
class OldCopyRemoval {
 public:
  explicit OldCopyRemoval(const std::string& path) : aside_(path + ".old") {
    platform::DeleteFile(aside_);  // left by a start that ended in between
    if (!platform::MoveFile(path, aside_)) {
      platform::DeleteFile(path);
    }
  }
  OldCopyRemoval(const OldCopyRemoval&) = delete;
  OldCopyRemoval& operator=(const OldCopyRemoval&) = delete;
  ~OldCopyRemoval() { platform::DeleteFile(aside_); }

 private:
  const std::string aside_;
};

void ShowError(platform::UserInterface& ui, const std::string& text) {
  platform::MessageBoxRequest box;
  box.caption = strings::Caption();
  box.text = text;
  box.icon = platform::MessageIcon::kError;
  ui.ShowMessage(box);
}

// The files a start shares with other starts of the same user.
struct SharedFiles {
  std::string settingsFile;
  std::string lockFile;
};

// Takes the lock within the environment's wait; the splash window says so
// while it waits.
LockAttempt TakeSharedLock(LaunchEnvironment& environment, TfrmSplash* splash,
                           const SharedFiles& files) {
  return TakeLock(files.lockFile, environment.lockWait, environment.ui, [&] {
    if (splash != nullptr) {
      splash->SetStatus(strings::kWaitingForLock);
    }
  });
}

// One settings write under the lock; raises "Unable to write to" when the lock
// cannot be taken or the file cannot be written. Returns false, writing
// nothing, when another start held the lock throughout the wait.
bool WriteSharedSettings(LaunchEnvironment& environment, TfrmSplash* splash,
                         const SharedFiles& files, const LaunchState& state,
                         const std::string& version, bool writeSerial,
                         const std::function<void()>& alsoUnderLock = {},
                         const platform::ProfileValues& more = {}) {
  const LockAttempt attempt = TakeSharedLock(environment, splash, files);
  if (attempt.lock == nullptr) {
    if (attempt.busy) {
      return false;
    }
    throw Exception("Unable to write to " + files.lockFile);
  }
  WriteSettings(files.settingsFile, state.Settings, version, writeSerial, more);
  if (alsoUnderLock) {
    alsoUnderLock();
  }
  return true;
}

// The online part of the sequence. First, under the lock and before anything
// a server can make slow or modal, the schedule is recorded (with the
// installed version when the pack names a higher one than the settings: the
// settings keep the highest version ever installed, below which nothing is
// installed) and what killed starts left is swept; a data folder where this
// fails ends the update with a message before any download. Then the update
// dialog, and the settings write of a new signing serial, of the day of a
// fresh statement or of a version the dialog did not record itself.
void RunUpdateStep(LaunchEnvironment& environment, TfrmSplash* splash, LaunchState& state,
                   const SharedFiles& files) {
  const uint64_t recordedSerial = state.Settings.SigningSerial;
  const int32_t today = environment.system.Today();
  // A download that a killed or cut start left is taken up at once.
  const bool due =
      UpdateDue(state.Settings, today) || webupdate::PartialDownloadPresent(state.DataFolder);
  if (due) {
    ScheduleNextUpdate(state.Settings, today);
  }
  platform::Log(environment.log, std::string("schedule: ") +
                                     (due ? "an update check is due" : "no update check due") +
                                     ", next on day " + std::to_string(state.Settings.NextUpdate));
  const std::string installed =
      due ? HigherVersion(state.Settings.Version, PackVersion(state.PackPath))
          : state.Settings.Version;
  const std::string raised = installed != state.Settings.Version ? installed : std::string();
  if (!WriteSharedSettings(environment, splash, files, state, raised, false,
                           [&] {
                             SweepLeftovers({.packPath = state.PackPath,
                                             .tempFolder = state.TempFolder,
                                             .dataFolder = state.DataFolder});
                           }) ||
      !due) {
    platform::Log(environment.log, due ? "schedule: another start holds the lock, no update check"
                                       : "update: not checked");
    return;
  }
  state.Settings.Version = installed;
  const std::string url1 = UpToFirstZero(cipher::DecipherConfigText(environment.config.InfoURL1));
  const std::string url2 = UpToFirstZero(cipher::DecipherConfigText(environment.config.InfoURL2));
  const std::string upgrade =
      UpToFirstZero(cipher::DecipherConfigText(environment.config.UpgradeURLFormat));
  bool recorded = false;
  // The version of a replaced pack is written while the replacement still
  // holds the lock, so that it always names the pack in place.
  // The replaced release is kept, and the new one's first start recorded
  // with it when it is to be watched.
  const bool watched = environment.config.FirstStartWatch.count() > 0;
  const PackGuard guard{files.lockFile,
                        [&](const std::string& version) {
                          WriteSettings(
                              files.settingsFile, state.Settings, version, false,
                              RecordInstall(state.Settings, installed, watched ? version : ""));
                          recorded = true;
                        },
                        PreviousPackPath(state.PackPath)};
  const UpdateOutcome outcome = environment.updater.Execute(
      {installed, state.PackPath, url1, url2, upgrade, state.Settings.SilentUpdate,
       state.Settings.SigningSerial, guard, state.Settings.BadRelease, state.DataFolder,
       environment.log, state.Settings.InfoValidator});
  state.UpdatedVersion = outcome.newVersion;
  platform::Log(environment.log, outcome.newVersion.empty()
                                     ? "update: none installed, version " + installed + " stays"
                                     : "update: version " + outcome.newVersion + " installed");
  state.Settings.SigningSerial = outcome.signingSerial;
  state.Settings.LastFreshOffer = outcome.lastFreshOffer;
  const std::string version = recorded ? std::string() : state.UpdatedVersion;
  const bool newSerial = state.Settings.SigningSerial != recordedSerial;
  const bool newValidator = outcome.infoValidator != state.Settings.InfoValidator;
  state.Settings.InfoValidator = outcome.infoValidator;
  if (!version.empty() || newSerial || !outcome.lastFreshOffer.empty() || newValidator) {
    WriteSharedSettings(
        environment, splash, files, state, version, newSerial, {},
        newValidator ? InfoValidatorValues(outcome.infoValidator) : platform::ProfileValues{});
  }
}

// Extracts the main program under the lock (no other start replaces the pack
// while it is read); a box the extraction shows waits until the lock is
// released. A start that held the lock throughout the wait does not stop this
// one: the pack is only ever replaced by a rename.
bool ExtractUnderLock(LaunchEnvironment& environment, TfrmSplash* splash, LaunchState& state,
                      const SharedFiles& files, const std::string& password) {
  HeldMessages held(environment.ui);
  bool extracted = false;
  {
    const LockAttempt attempt = TakeSharedLock(environment, splash, files);
    extracted = environment.extractor.UnCompress(state.PackPath, state.TempFolder, password,
                                                 MainProgramName(), held);
  }
  held.ShowHeld();
  return extracted;
}

// Where the extraction puts the main program, and whether it is renamed to
// its target path afterwards (systems other than NT start it only with the
// extension).
struct ExtractionTarget {
  std::string extractedPath;
  bool renameToTarget = false;
};

// The private temporary folder and the target path in it (where
// OldCopyRemoval clears an earlier copy of the main program).
ExtractionTarget PrepareTarget(platform::SystemServices& system, LaunchState& state) {
  state.TempFolder = GetTempFolder(system);
  int major = 0;
  int minor = 0;
  const int platformId = GetPlatformId(system, major, minor);
  ExtractionTarget target;
  target.extractedPath = state.TempFolder + MainProgramName();
  target.renameToTarget = platformId != platform::kPlatformIdNT;
  state.TargetPath =
      target.renameToTarget ? target.extractedPath + kExeExtension : target.extractedPath;
  return target;
}

// A failure that its boundary has already shown to the user: it ends the
// section without a second box. The cause is kept for whoever records it.
struct ShownFailure {
  std::string cause;
};

void ShowStep(TfrmSplash* splash, int64_t step) {
  if (splash != nullptr) {
    splash->SetProgressPosition(step);
  }
}

// The main program's command line, once it is at its target path.
platform::CommandLine MainProgramCommandLine(LaunchEnvironment& environment,
                                             const LaunchState& state,
                                             const ExtractionTarget& target,
                                             const std::string& firstArgument) {
  environment.ui.ProcessMessages();
  if (target.renameToTarget) {
    platform::MoveFile(target.extractedPath, state.TargetPath);
    environment.ui.ProcessMessages();
  }
  const std::string record =
      cipher::EncipherConfigText(BuildHandOffRecord(environment.system.ExecutablePath()));
  return BuildCommandLine(state.TargetPath, record, firstArgument);
}

// Starts the extracted main program with the hand-off record. A start that
// raises an error is reported once, by StartProgram's own box.
void StartMainProgram(LaunchEnvironment& environment, const platform::CommandLine& commandLine) {
  try {
    const bool started = StartProgram(environment.system, environment.ui, commandLine, true);
    platform::Log(
        environment.log,
        (started ? "start: started " : "error: the system did not start ") + commandLine.program);
  } catch (const Exception& error) {
    throw ShownFailure{error.Message()};
  }
}

// What the extraction and the start work with.
struct StartPlan {
  const SharedFiles& files;
  const ExtractionTarget& target;
  const std::string& password;
  const std::string& firstArgument;
};

// Extracts the main program and starts it; the first start of a newly
// installed release is watched, and a release that fails it is rolled back:
// the user is told once, and the restored release is extracted and started
// as at any other start.
void ExtractAndStart(LaunchEnvironment& environment, TfrmSplash* splash, LaunchState& state,
                     const StartPlan& plan) {
  state.Extracted = ExtractUnderLock(environment, splash, state, plan.files, plan.password);
  platform::Log(environment.log,
                state.Extracted
                    ? "extraction: " + MainProgramName() + " extracted to " + state.TempFolder
                    : "error: extraction from " + state.PackPath + " failed");
  ShowStep(splash, kStepExtracted);
  if (!state.Extracted) {
    ShowError(environment.ui, std::string(strings::kErrorInFileProcessing) + "\r" + state.PackPath);
    return;
  }
  const platform::CommandLine commandLine =
      MainProgramCommandLine(environment, state, plan.target, plan.firstArgument);
  const std::chrono::milliseconds window = environment.config.FirstStartWatch;
  if (!IsFirstStart(state.Settings) || window.count() <= 0) {
    StartMainProgram(environment, commandLine);
    return;
  }
  const ReleaseFiles release{state.PackPath, plan.files.settingsFile, plan.files.lockFile,
                             environment.lockWait};
  const FirstStartWatch watch =
      WatchFirstStart(environment.system, environment.ui, commandLine, window);
  const std::string bad = state.Settings.FirstStart;
  if (watch.outcome != FirstStartOutcome::kNotStarted) {
    platform::Log(environment.log, "start: started " + commandLine.program + ", watched");
  }
  if (watch.outcome == FirstStartOutcome::kStartedWell) {
    platform::Log(environment.log, "first start: version " + bad + " started well");
    EndFirstStart(release, state.Settings, environment.ui);
    return;
  }
  platform::Log(environment.log, "first start: version " + bad +
                                     (watch.outcome == FirstStartOutcome::kNotStarted
                                          ? " could not be started"
                                          : " ended with a failure within the watch"));
  if (!RollBack(release, state.Settings, environment.ui)) {
    platform::Log(environment.log, "rollback: no previous release restored");
    if (watch.outcome == FirstStartOutcome::kNotStarted) {
      StartMainProgram(environment, commandLine);  // tried once more, with its box
    }
    return;
  }
  platform::Log(environment.log, "rollback: version " + state.Settings.Version +
                                     " restored, version " + bad + " recorded as bad");
  environment.ui.ShowMessage({.caption = strings::Caption(),
                              .text = RolledBackText(bad, state.Settings.Version),
                              .icon = platform::MessageIcon::kWarning});
  platform::DeleteFile(state.TargetPath);  // the failed release's copy
  ExtractAndStart(environment, splash, state, plan);
}

}  // namespace

LaunchState RunLaunchSequence(LaunchEnvironment& environment, TfrmSplash* splash) {
  platform::SystemServices& system = environment.system;
  platform::UserInterface& ui = environment.ui;
  LaunchState state;

  state.DataFolder = GetDataFolder(system);
  const SharedFiles files{SettingsFilePath(state.DataFolder),
                          state.DataFolder + platform::PathSeparator() + LockFileName()};
  state.Settings = ReadSettings(files.settingsFile);
  platform::Log(environment.log, "settings: " + files.settingsFile + " read, installed version " +
                                     state.Settings.Version);
  if (splash != nullptr) {
    splash->SetProgressMax(kStepExtracted);
    splash->SetProgressPosition(kStepSettingsRead);
  }
  ui.SetCursor(platform::CursorKind::kAppStarting);
  const CursorRestorer cursor(ui);
  try {
    const std::string password = unzip::BuildPassword(environment.config.PackPasswordTable,
                                                      environment.config.PackPasswordLastIndex);
    const std::string firstArgument =
        environment.arguments.empty() ? std::string() : environment.arguments.front();
    const ExtractionTarget target = PrepareTarget(system, state);
    const OldCopyRemoval oldCopy(state.TargetPath);
    ui.ProcessMessages();
    ShowStep(splash, kStepPrepared);
    state.PackPath = FolderOf(system.ExecutablePath()) + kPackName;

    const bool online = IsOnline(system);
    platform::Log(environment.log,
                  online ? "online: the update step runs" : "offline: no update check");
    if (online) {
      try {
        RunUpdateStep(environment, splash, state, files);
      } catch (const Exception& error) {
        // The update ends; the installed program still starts.
        platform::Log(environment.log, "error: the update ended: " + error.Message());
        ShowError(ui, "Problem : \r" + error.Message());
      }
    }
    ExtractAndStart(environment, splash, state, {files, target, password, firstArgument});
    if (splash != nullptr) {
      splash->SetStatus(strings::kReady);
    }
  } catch (const ShownFailure& failure) {
    // Already shown; the rest of the section is skipped.
    platform::Log(environment.log, "error: the main program did not start: " + failure.cause);
  } catch (const Exception& error) {
    platform::Log(environment.log, "error: " + error.Message());
    ShowError(ui, "Problem : \r" + error.Message());
  }
  return state;
}

}  // namespace lumivora::launcher
