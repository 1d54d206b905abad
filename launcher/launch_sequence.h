// The launch sequence: data folder and settings, the update check when due
// and online, extraction of the main program from the pack, and its start
// with the enciphered hand-off record.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "launcher/settings.h"
#include "launcher/splash.h"
#include "platform/diagnostic_log.h"
#include "platform/product.h"
#include "platform/system.h"
#include "platform/ui.h"

namespace lumivora::launcher {

// The main program's entry in the pack and its name in the temporary folder
// ("Lumivoramain"), named after the product.
inline std::string MainProgramName() {
  return platform::ProductName() + "main";
}
inline constexpr char kPackName[] = "Lumivorapack";
inline constexpr char kExeExtension[] = ".exe";
// The lock file in the data folder that a launcher holds while it replaces
// the pack, extracts it or writes the settings.
inline std::string LockFileName() {
  return platform::ProductName() + ".lock";
}

// The splash window's progress steps, the last one being the maximum: the
// settings are read, the target is prepared (the update check follows), the
// main program is extracted.
inline constexpr int64_t kStepSettingsRead = 1;
inline constexpr int64_t kStepPrepared = 2;
inline constexpr int64_t kStepExtracted = 3;

// Extracts ENTRYNAME from the pack into DESTFOLDER; true when it was
// extracted and passed its CRC check. Shows its own message for errors.
class PackExtractor {
 public:
  PackExtractor() = default;
  PackExtractor(const PackExtractor&) = delete;
  PackExtractor& operator=(const PackExtractor&) = delete;
  virtual ~PackExtractor() = default;
  // Its messages go to UI.
  virtual bool UnCompress(const std::string& packPath, const std::string& destFolder,
                          const std::string& password, const std::string& entryName,
                          platform::UserInterface& ui) = 0;
};

// What the update dialog gets to guard a replacement: the lock file, the
// write of the new version to the settings, which it calls right after the
// new pack was renamed into place while it still holds the lock, and where
// the replaced pack is kept.
struct PackGuard {
  std::string lockFile;
  std::function<void(const std::string& version)> recordVersion;
  std::string previousPack;
};

// What the update dialog is asked: the installed version, the pack, the
// deciphered addresses, the silent-update setting, the highest certificate
// serial accepted so far, the guard of a replacement, the release recorded
// as bad (never installed again automatically) and the data folder.
struct UpdateRequest {
  std::string currentVersion;
  std::string packPath;
  std::string infoURL1;
  std::string infoURL2;
  std::string upgradeURLFormat;
  bool silent = false;
  uint64_t signingSerial = 0;
  PackGuard guard;
  std::string badRelease;
  // The per-user data folder, where a download that did not complete is
  // kept for the next start.
  std::string dataFolder{};
  platform::LogSink log{};  // where the check's steps are logged
  // The information file's validators the check may ask on.
  webupdate::InfoValidator infoValidator{};
};

// What it did: the version it installed (the empty text: none), the
// highest certificate serial accepted, which rises when a higher one was,
// and the UTC day ("2027-01-31") of a statement that verified with an
// unexpired expiry (the empty text: none).
struct UpdateOutcome {
  std::string newVersion;
  uint64_t signingSerial = 0;
  std::string lastFreshOffer;
  // The validators the next check may ask on (empty: none).
  webupdate::InfoValidator infoValidator;
};

// Runs the update dialog: checks, downloads and replaces the pack.
class UpdateDialog {
 public:
  UpdateDialog() = default;
  UpdateDialog(const UpdateDialog&) = delete;
  UpdateDialog& operator=(const UpdateDialog&) = delete;
  virtual ~UpdateDialog() = default;
  virtual UpdateOutcome Execute(const UpdateRequest& request) = 0;
};

// The enciphered deployment configuration the launcher carries.
struct LauncherConfig {
  std::string InfoURL1;                        // EncipherConfigText output
  std::string InfoURL2;                        // EncipherConfigText output
  std::string UpgradeURLFormat;                // EncipherConfigText output
  std::span<const uint8_t> PackPasswordTable;  // one character code per element
  int PackPasswordLastIndex = -1;
  std::string UpdateRootKeys;   // Ed25519 public keys, Base64, separated by ";"
  std::string ProductIdentity;  // bound into every signed release statement
  // How long the first start of a newly installed release is watched
  // (LUMIVORA_FIRST_START_WATCH_SECONDS; zero: not watched).
  std::chrono::milliseconds FirstStartWatch = std::chrono::seconds(10);
};

// The built-in configuration of this build.
LauncherConfig BuiltInConfig();

struct LaunchEnvironment {
  platform::SystemServices& system;
  platform::UserInterface& ui;
  PackExtractor& extractor;
  UpdateDialog& updater;
  LauncherConfig config;
  std::vector<std::string> arguments;  // the launcher's arguments, program name excluded
  // How long a start waits for another start that holds the lock.
  std::chrono::milliseconds lockWait = std::chrono::seconds(30);
  // The diagnostic log: one line per step of the start (none: nowhere).
  platform::LogSink log{};
};

// The state of one run.
struct LaunchState {
  std::string DataFolder;
  LauncherSettings Settings;
  std::string UpdatedVersion;
  std::string TempFolder;
  std::string TargetPath;
  std::string PackPath;
  bool Extracted = false;
};

// Runs the sequence once. Errors of its main section are shown in a box
// captioned "Lumivora"; an error before it (the data folder) is passed on.
LaunchState RunLaunchSequence(LaunchEnvironment& environment, TfrmSplash* splash);

}  // namespace lumivora::launcher
