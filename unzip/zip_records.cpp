// The records of TUnZip's directory: the stored name on this platform, the
// MS-DOS date/time rule and one entry (TZipHeaderInfo). Their lists are in
// sorted_zip.cpp, the archive stream in lfn_file_stream.cpp.
#include <algorithm>
#include <string>
#include <utility>

#include "platform/file.h"
#include "unzip/zip_archive.h"
#include "unzip/zip_format.h"

namespace lumivora::unzip {

// Maps a stored name to this platform: both '/' (APPNOTE 4.4.17) and the
// '\' of old DOS writers become the platform separator. The OEM-to-ANSI
// conversion of Windows has no counterpart here: names stay byte for byte.
std::string MapStoredName(std::string name) {
  const char separator = platform::PathSeparator();
  for (char& c : name) {
    if (c == '/' || c == '\\') {
      c = separator;
    }
  }
  return name;
}

uint32_t SanitizeDosDateTime(uint32_t dosDateTime) {
  uint32_t seconds2 = dosDateTime & 0x1FU;
  uint32_t minutes = (dosDateTime >> 5U) & 0x3FU;
  uint32_t hours = (dosDateTime >> 11U) & 0x1FU;
  uint32_t day = (dosDateTime >> 16U) & 0x1FU;
  uint32_t month = (dosDateTime >> 21U) & 0x0FU;
  uint32_t year = (dosDateTime >> 25U) & 0x7FU;
  if (seconds2 < 30 && minutes < 60 && hours <= 24 && day != 0 && month >= 1 && month <= 12 &&
      year < 120) {
    return dosDateTime;
  }
  if (seconds2 >= 30) {
    seconds2 = 29;
  }
  if (minutes >= 60) {
    minutes = 59;
  }
  if (hours > 24) {
    hours = 24;
  }
  if (day == 0) {
    day = 1;
  }
  if (month == 0) {
    month = 1;
  } else if (month > 12) {
    month = 12;
  }
  if (year >= 120) {
    year = 119;
  }
  return (year << 25U) | (month << 21U) | (day << 16U) | (hours << 11U) | (minutes << 5U) |
         seconds2;
}

// ---- TZipHeaderInfo ---------------------------------------------------------

void TZipHeaderInfo::SetFileName(std::string name) {
  fileName_ = std::move(name);
  UpdateNameLength();
}

void TZipHeaderInfo::SetDirectory(std::string directory) {
  const char separator = platform::PathSeparator();
  if (!directory.empty() && directory.back() != separator) {
    directory.push_back(separator);
  }
  directory_ = std::move(directory);
  UpdateNameLength();
}

void TZipHeaderInfo::SetStoredName(const std::string& name) {
  const size_t slash = name.find_last_of(platform::PathSeparator());
  if (slash == std::string::npos) {
    directory_.clear();
    fileName_ = name;
  } else {
    directory_ = name.substr(0, slash + 1);
    fileName_ = name.substr(slash + 1);
  }
  UpdateNameLength();
}

void TZipHeaderInfo::UpdateNameLength() {
  nameLength =
      static_cast<uint16_t>(std::min<size_t>(0xFFFF, directory_.size() + fileName_.size()));
}

bool TZipHeaderInfo::Encrypted() const {
  return (flags & zip::kFlagEncrypted) != 0;
}

}  // namespace lumivora::unzip
