// The per-user settings file "Lumivora.ini" (section Setup) and the update
// schedule. Values are read once per run and written at most once.
#pragma once

#include <cstdint>
#include <string>

#include "platform/product.h"
#include "platform/profile.h"
#include "webupdate/info_file.h"

namespace lumivora::launcher {

struct LauncherSettings {
  std::string Version = "1.0";
  int32_t AutoUpdate = 2;  // <= 0 never, 1 weekly, >= 2 monthly
  int32_t NextUpdate = 0;  // day number of the next check
  bool SilentUpdate = false;
  // Highest certificate serial of a signing key accepted so far: signing
  // keys certified with a lower serial are refused.
  uint64_t SigningSerial = 0;
  // The UTC day ("2027-01-31") of the last check whose statement verified
  // with an unexpired expiry; only written (empty: not written).
  std::string LastFreshOffer;
  // The release an update replaced, kept beside the pack until the next
  // update ("PreviousVersion"; empty: none); the release whose first start
  // is still to be watched ("FirstStart"; empty: none); the release that
  // failed its first start and was rolled back, never installed again
  // automatically ("BadRelease"; empty: none).
  std::string PreviousVersion;
  std::string FirstStart;
  std::string BadRelease;
  // The information file's validators a check may ask on ("InfoAddress",
  // "InfoETag", "InfoLastModified", "InfoVersion", "InfoExpires"; empty:
  // none).
  webupdate::InfoValidator InfoValidator;
};

// Days from one update check to the next: AutoUpdate 1 checks weekly, 2 and
// more monthly.
inline constexpr int32_t kWeeklyCheckDays = 7;
inline constexpr int32_t kMonthlyCheckDays = 30;

// "Lumivora.ini", named after the product.
inline std::string SettingsFileName() {
  return platform::ProductName() + ".ini";
}
inline constexpr char kSettingsSection[] = "Setup";

// Integer conversion of a profile value: leading blanks skipped, optional
// sign, "$", "0x" or "0X" for hexadecimal; anything else, or a value outside
// 32 bits, gives DEFAULTVALUE.
int32_t StrToIntDef(const std::string& text, int32_t defaultValue);

// The settings file path in DATAFOLDER (held without trailing separator).
std::string SettingsFilePath(const std::string& dataFolder);

// Reads Version, AutoUpdate, NextUpdate, SilentUpdate and SigningSerial, in
// this order (a SigningSerial that is not a decimal number reads as 0), and
// the release record (PreviousVersion, FirstStart, BadRelease) and the
// information file's validators, in one read.
LauncherSettings ReadSettings(const std::string& settingsFile);

// The schedule test: true when a check is due on TODAY (AutoUpdate 1 or more
// and NextUpdate not after TODAY).
bool UpdateDue(const LauncherSettings& settings, int32_t today);

// The schedule step of a due check: NextUpdate moves to TODAY +
// kWeeklyCheckDays (AutoUpdate 1) or TODAY + kMonthlyCheckDays (AutoUpdate 2
// or more).
void ScheduleNextUpdate(LauncherSettings& settings, int32_t today);

// The version a pack records in its archive comment ("Version=1.2", as the
// vendor tool writes it), read without extracting; the empty text for a pack
// without one (made by another tool), an unreadable pack or a value that is
// not a version (decimal numbers separated by dots).
std::string PackVersion(const std::string& packPath);

// The higher of two versions as the update check compares them (either may
// be empty, which counts as lowest).
std::string HigherVersion(const std::string& a, const std::string& b);

// Writes Version (only when UPDATEDVERSION is not empty), then NextUpdate,
// then SigningSerial (only when WRITESIGNINGSERIAL is set), then
// LastFreshOffer (only when not empty), then the values of MORE.
// A refused write raises EIniFileException("Unable to write to <file>").
void WriteSettings(const std::string& settingsFile, const LauncherSettings& settings,
                   const std::string& updatedVersion, bool writeSigningSerial = false,
                   const platform::ProfileValues& more = {});

// The settings' values of VALIDATOR (empty texts clear them).
platform::ProfileValues InfoValidatorValues(const webupdate::InfoValidator& validator);

// Writes only VALUES, in one write; raises as WriteSettings does.
void WriteSettingValues(const std::string& settingsFile, const platform::ProfileValues& values);

}  // namespace lumivora::launcher
