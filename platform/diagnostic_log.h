// The diagnostic log: every start appends one line per step ("Lumivora.log"
// in the per-user data folder), each line a UTC time in ISO 8601 and the
// step. The file is bounded: a line that would take it past its limit first
// renames it to "Lumivora.log.1" (replacing the older one), so the two hold
// at most twice the limit. Writing it never stops a start: a folder that is
// full, read-only or missing means no line, silently. Two starts may append
// at once: each line is opened, appended in one write and closed, so a
// rotation by the other start is seen at the next line.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace lumivora::platform {

// Where a step goes; the empty function: nowhere.
using LogSink = std::function<void(std::string_view step)>;

// Passes STEP to SINK when there is one.
inline void Log(const LogSink& sink, std::string_view step) {
  if (sink) {
    sink(step);
  }
}

// "Lumivora.log" and its one rotation, named after the product.
std::string DiagnosticLogName();
inline constexpr uint64_t kDiagnosticLogLimit = uint64_t{256} * 1024;

// TIME as ISO 8601 in UTC with milliseconds: "2027-01-31T12:00:00.250Z".
std::string IsoUtcTime(std::chrono::system_clock::time_point time);

class DiagnosticLog {
 public:
  // The log at PATH (its rotation is PATH + ".1"), each file at most LIMIT
  // bytes.
  explicit DiagnosticLog(std::string path, uint64_t limit = kDiagnosticLogLimit);

  // Appends the time and STEP (control characters as blanks) as one line.
  // Never throws.
  void Write(std::string_view step) const noexcept;
  // A sink that writes to this log, which must outlive it.
  [[nodiscard]] LogSink Sink() const;
  [[nodiscard]] const std::string& Path() const { return path_; }

 private:
  bool Append(const std::string& line) const;
  std::string path_;
  uint64_t limit_;
};

}  // namespace lumivora::platform
