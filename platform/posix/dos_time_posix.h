// Conversions between MS-DOS date/time values (local time, as Windows keeps
// them) and time_t, for the POSIX file sources.
#pragma once

#include <cstdint>
#include <ctime>

namespace lumivora::platform::posix {

// Converts an MS-DOS date/time (local time) to a time_t; -1 when invalid.
inline time_t DosToTime(uint32_t dosDateTime) {
  std::tm tm{};
  const uint32_t time = dosDateTime & 0xFFFFU;
  const uint32_t date = dosDateTime >> 16U;
  tm.tm_sec = static_cast<int>((time & 0x1FU) * 2U);
  tm.tm_min = static_cast<int>((time >> 5U) & 0x3FU);
  tm.tm_hour = static_cast<int>(time >> 11U);
  tm.tm_mday = static_cast<int>(date & 0x1FU);
  tm.tm_mon = static_cast<int>(((date >> 5U) & 0x0FU)) - 1;
  tm.tm_year = static_cast<int>(date >> 9U) + 80;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

// A time_t as an MS-DOS date/time (local time); 1980-01-01 00:00:00 for
// times before 1980 or that cannot be converted.
inline uint32_t TimeToDos(time_t value) {
  std::tm tm{};
  if (localtime_r(&value, &tm) == nullptr || tm.tm_year < 80) {
    return (1U << 5U | 1U) << 16U;  // 1980-01-01 00:00:00
  }
  const auto date =
      static_cast<uint32_t>(((tm.tm_year - 80) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
  const auto time = static_cast<uint32_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
  return date << 16U | time;
}

}  // namespace lumivora::platform::posix
