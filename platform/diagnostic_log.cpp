#include "platform/diagnostic_log.h"

#include "platform/file.h"
#include "platform/product.h"

namespace lumivora::platform {
namespace {

std::string TwoDigits(unsigned value) {
  return std::string(1, static_cast<char>('0' + value / 10 % 10)) +
         static_cast<char>('0' + value % 10);
}

}  // namespace

std::string DiagnosticLogName() {
  return ProductName() + ".log";
}

std::string IsoUtcTime(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss<milliseconds> clock{floor<milliseconds>(time - day)};
  const auto millis = static_cast<unsigned>(clock.subseconds().count());
  return std::to_string(static_cast<int>(date.year())) + "-" +
         TwoDigits(static_cast<unsigned>(date.month())) + "-" +
         TwoDigits(static_cast<unsigned>(date.day())) + "T" +
         TwoDigits(static_cast<unsigned>(clock.hours().count())) + ":" +
         TwoDigits(static_cast<unsigned>(clock.minutes().count())) + ":" +
         TwoDigits(static_cast<unsigned>(clock.seconds().count())) + "." +
         std::to_string(millis / 100) + TwoDigits(millis % 100) + "Z";
}

DiagnosticLog::DiagnosticLog(std::string path, uint64_t limit)
    : path_(std::move(path)), limit_(limit) {}

void DiagnosticLog::Write(std::string_view step) const noexcept {
  try {
    std::string line = IsoUtcTime(std::chrono::system_clock::now()) + " ";
    for (const char c : step) {
      line += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    }
    line += '\n';
    static_cast<void>(Append(line));
  } catch (...) {
    // No line: the log never stops a start.
  }
}

LogSink DiagnosticLog::Sink() const {
  return [this](std::string_view step) { Write(step); };
}

// Rotates first when LINE would take the file past the limit; a file still
// too long after that (the rename failed, another start appended) gets no
// line, so neither file ever grows past the limit by more than what starts
// appending at the same moment add.
bool DiagnosticLog::Append(const std::string& line) const {
  const auto fits = [&] {
    return static_cast<uint64_t>(FileSize(path_).value_or(0)) + line.size() <= limit_;
  };
  if (line.size() > limit_) {
    return false;
  }
  if (!fits()) {
    ReplaceFile(path_, path_ + ".1");
    if (!fits()) {
      return false;
    }
  }
  return AppendToFile(path_, line);
}

}  // namespace lumivora::platform
