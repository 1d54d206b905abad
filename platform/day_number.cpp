#include "platform/system.h"

namespace lumivora::platform {

// Days from 1970-01-01 in the proleptic Gregorian calendar (H. Hinnant's
// days_from_civil), moved to the 30 December 1899 epoch.
int DayNumber(int year, int month, int day) {
  const int y = year - (month <= 2 ? 1 : 0);
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  constexpr int kUnixEpochDay = 25569;  // 1970-01-01 counted from 1899-12-30
  return era * 146097 + doe - 719468 + kUnixEpochDay;
}

}  // namespace lumivora::platform
