#include "launcher/settings.h"

#include <charconv>
#include <cstdint>
#include <limits>

#include "platform/exception.h"
#include "platform/file.h"
#include "platform/profile.h"
#include "unzip/unzip.h"
#include "webupdate/info_file.h"

namespace lumivora {
LUMIVORA_DECLARE_EXCEPTION(EIniFileException, Exception);
}  // namespace lumivora

namespace lumivora::launcher {
namespace {

constexpr size_t kValueRoom = 2047;  // characters a value is read with

int HexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

}  // namespace

int32_t StrToIntDef(const std::string& text, int32_t defaultValue) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  bool hex = false;
  if (i < text.size() && text[i] == '$') {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i == text.size()) {
    return defaultValue;
  }
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const int digit =
        hex ? HexDigit(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
    if (digit < 0) {
      return defaultValue;
    }
    value = value * (hex ? 16U : 10U) + static_cast<uint64_t>(digit);
    if (value > 0xFFFFFFFFULL) {
      return defaultValue;
    }
  }
  if (hex) {
    // Hexadecimal digits give the 32-bit pattern ($FFFFFFFF is -1).
    const auto pattern = static_cast<uint32_t>(value);
    const auto signedValue = static_cast<int32_t>(pattern);
    return negative ? static_cast<int32_t>(0U - pattern) : signedValue;
  }
  const uint64_t limit = negative ? 2147483648ULL : 2147483647ULL;
  if (value > limit) {
    return defaultValue;
  }
  return negative ? static_cast<int32_t>(-static_cast<int64_t>(value))
                  : static_cast<int32_t>(value);
}

std::string SettingsFilePath(const std::string& dataFolder) {
  return dataFolder + platform::PathSeparator() + SettingsFileName();
}

LauncherSettings ReadSettings(const std::string& settingsFile) {
  // One read of the file for all the keys.
  const platform::ProfileValues values = platform::ReadProfileSection(
      kSettingsSection,
      {"Version", "AutoUpdate", "NextUpdate", "SilentUpdate", "SigningSerial", "PreviousVersion",
       "FirstStart", "BadRelease", "InfoAddress", "InfoETag", "InfoLastModified", "InfoVersion",
       "InfoExpires"},
      settingsFile);
  const auto readInteger = [&](const char* key, int32_t defaultValue) {
    return StrToIntDef(platform::ProfileValue(values, key, "", kValueRoom), defaultValue);
  };
  LauncherSettings settings;
  settings.Version = platform::ProfileValue(values, "Version", "1.0", kValueRoom);
  settings.AutoUpdate = readInteger("AutoUpdate", 2);
  settings.NextUpdate = readInteger("NextUpdate", 0);
  settings.SilentUpdate = readInteger("SilentUpdate", 0) != 0;
  const std::string serial = platform::ProfileValue(values, "SigningSerial", "", kValueRoom);
  const char* end = serial.data() + serial.size();
  if (std::from_chars(serial.data(), end, settings.SigningSerial).ptr != end) {
    settings.SigningSerial = 0;
  }
  settings.PreviousVersion = platform::ProfileValue(values, "PreviousVersion", "", kValueRoom);
  settings.FirstStart = platform::ProfileValue(values, "FirstStart", "", kValueRoom);
  settings.BadRelease = platform::ProfileValue(values, "BadRelease", "", kValueRoom);
  const auto text = [&](const char* key) {
    return platform::ProfileValue(values, key, "", kValueRoom);
  };
  settings.InfoValidator = {text("InfoAddress"), text("InfoETag"), text("InfoLastModified"),
                            text("InfoVersion"),
                            webupdate::DecimalInt64(text("InfoExpires")).value_or(0)};
  return settings;
}

std::string PackVersion(const std::string& packPath) {
  std::string comment;
  try {
    unzip::TUnZip zip(nullptr);
    zip.SetZipName(packPath);
    comment = zip.ZipComment();
  } catch (const Exception&) {
    return {};
  }
  constexpr std::string_view kKey = "Version=";
  constexpr size_t kLongestVersion = 32;
  for (const std::string& line : webupdate::SplitLines(comment)) {
    if (line.rfind(kKey, 0) != 0) {
      continue;
    }
    const std::string version = line.substr(kKey.size());
    const bool wellFormed = !version.empty() && version.size() <= kLongestVersion &&
                            version.front() != '.' && version.back() != '.' &&
                            version.find("..") == std::string::npos &&
                            version.find_first_not_of("0123456789.") == std::string::npos;
    return wellFormed ? version : std::string();
  }
  return {};
}

std::string HigherVersion(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) {
    return a.empty() ? b : a;
  }
  return webupdate::CompareVersionTexts(a, b) == webupdate::VersionDecision::kNotNewer ? a : b;
}

bool UpdateDue(const LauncherSettings& settings, int32_t today) {
  return settings.AutoUpdate > 0 && settings.NextUpdate <= today;
}

void ScheduleNextUpdate(LauncherSettings& settings, int32_t today) {
  settings.NextUpdate = today + (settings.AutoUpdate == 1 ? kWeeklyCheckDays : kMonthlyCheckDays);
}

void WriteSettings(const std::string& settingsFile, const LauncherSettings& settings,
                   const std::string& updatedVersion, bool writeSigningSerial,
                   const platform::ProfileValues& more) {
  platform::ProfileValues values;
  if (!updatedVersion.empty()) {
    values.emplace_back("Version", updatedVersion);
  }
  values.emplace_back("NextUpdate", std::to_string(settings.NextUpdate));
  if (writeSigningSerial) {
    values.emplace_back("SigningSerial", std::to_string(settings.SigningSerial));
  }
  if (!settings.LastFreshOffer.empty()) {
    values.emplace_back("LastFreshOffer", settings.LastFreshOffer);
  }
  values.insert(values.end(), more.begin(), more.end());
  WriteSettingValues(settingsFile, values);
}

platform::ProfileValues InfoValidatorValues(const webupdate::InfoValidator& validator) {
  return {{"InfoAddress", validator.address},
          // In quotes of its own: the reading takes one pair off, and an
          // entity tag has its own (RFC 9110 8.8.3).
          {"InfoETag", validator.etag.empty() ? "" : '"' + validator.etag + '"'},
          {"InfoLastModified", validator.lastModified},
          {"InfoVersion", validator.installed},
          {"InfoExpires", validator.expires != 0 ? std::to_string(validator.expires) : ""}};
}

void WriteSettingValues(const std::string& settingsFile, const platform::ProfileValues& values) {
  if (!platform::WriteProfileStrings(kSettingsSection, values, settingsFile)) {
    throw EIniFileException("Unable to write to " + settingsFile);
  }
}

}  // namespace lumivora::launcher
