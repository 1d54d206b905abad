#include "webupdate/release_time.h"

#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>

namespace lumivora::webupdate {
namespace {

using std::chrono::days;
using std::chrono::seconds;
using std::chrono::sys_days;
using std::chrono::sys_seconds;

constexpr size_t kTextLength = 20;  // "2027-01-31T12:00:00Z"
constexpr int kFirstYear = 1970;
constexpr int kLastYear = 9999;

// The decimal number of WIDTH digits at TEXT[AT], or -1.
int Digits(std::string_view text, size_t at, size_t width) {
  int value = 0;
  const char* first = text.data() + at;
  const auto [stop, error] = std::from_chars(first, first + width, value);
  const bool digitsOnly =
      text.substr(at, width).find_first_not_of("0123456789") == std::string_view::npos;
  return error == std::errc() && stop == first + width && digitsOnly ? value : -1;
}

struct UtcFields {
  int year = 0;
  unsigned month = 0;
  unsigned day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

UtcFields Fields(int64_t time) {
  const sys_seconds point{seconds{time}};
  const sys_days day = std::chrono::floor<days>(point);
  const std::chrono::year_month_day date{day};
  const auto inDay = static_cast<int>((point - sys_seconds{day}).count());
  return {static_cast<int>(date.year()),
          static_cast<unsigned>(date.month()),
          static_cast<unsigned>(date.day()),
          inDay / 3600,
          inDay / 60 % 60,
          inDay % 60};
}

}  // namespace

std::optional<int64_t> ParseUtcTime(std::string_view text) {
  if (text.size() != kTextLength || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
      text[13] != ':' || text[16] != ':' || text[19] != 'Z') {
    return std::nullopt;
  }
  const int year = Digits(text, 0, 4);
  const int month = Digits(text, 5, 2);
  const int day = Digits(text, 8, 2);
  const int hour = Digits(text, 11, 2);
  const int minute = Digits(text, 14, 2);
  const int second = Digits(text, 17, 2);
  if (year < kFirstYear || year > kLastYear || month < 1 || day < 1 || hour < 0 || hour > 23 ||
      minute < 0 || minute > 59 || second < 0 || second > 59) {
    return std::nullopt;
  }
  const std::chrono::year_month_day date{std::chrono::year{year},
                                         std::chrono::month{static_cast<unsigned>(month)},
                                         std::chrono::day{static_cast<unsigned>(day)}};
  if (!date.ok()) {
    return std::nullopt;
  }
  const int64_t dayStart = sys_seconds{sys_days{date}}.time_since_epoch().count();
  return dayStart + int64_t{hour} * 3600 + int64_t{minute} * 60 + second;
}

std::string UtcTimeText(int64_t time) {
  const UtcFields f = Fields(time);
  std::array<char, 32> text{};
  std::snprintf(text.data(), text.size(), "%04d-%02u-%02uT%02d:%02d:%02dZ", f.year, f.month, f.day,
                f.hour, f.minute, f.second);
  return text.data();
}

std::string ShownUtcTime(int64_t time) {
  const UtcFields f = Fields(time);
  std::array<char, 32> text{};
  std::snprintf(text.data(), text.size(), "%04d-%02u-%02u %02d:%02d UTC", f.year, f.month, f.day,
                f.hour, f.minute);
  return text.data();
}

std::string UtcDateText(int64_t time) {
  return UtcTimeText(time).substr(0, 10);
}

}  // namespace lumivora::webupdate
