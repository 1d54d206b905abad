// Operating-system services of the launcher and the components: the
// single-instance guard, folders, platform id, connection state, process
// start, the executable's own path, the local date and the shell open.
// The launcher receives them as an interface so that tests can script them;
// each backend implements it in its own source file.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lumivora::platform {

// Platform id of the Windows NT family (VER_PLATFORM_WIN32_NT), the one every
// backend reports: the extracted program is started under the name it has in
// the pack, without ".exe" appended and without a rename.
inline constexpr int kPlatformIdNT = 2;

// Results of a process start as the Windows process start (WinExec) gives
// them: a value below kStartErrorLimit is an error code.
inline constexpr unsigned kStartErrorLimit = 32;
inline constexpr unsigned kStartFileNotFound = 2;  // ERROR_FILE_NOT_FOUND
inline constexpr unsigned kStartAccessDenied = 5;  // ERROR_ACCESS_DENIED
inline constexpr unsigned kStartOutOfMemory = 8;   // ERROR_NOT_ENOUGH_MEMORY
inline constexpr unsigned kStartBadFormat = 11;    // ERROR_BAD_FORMAT
inline constexpr unsigned kStarted = 33;           // a success value

constexpr bool ProcessStarted(unsigned result) {
  return result >= kStartErrorLimit;
}

// A program start: the program, its arguments, and the command-line text the
// Windows process start receives. POSIX starts PROGRAM with ARGUMENTS, no shell.
struct CommandLine {
  std::string program;
  std::vector<std::string> arguments;
  std::string text;
};

// How a watched program ended: its exit status, or the signal that ended it
// (POSIX; a program ended by an exception on Windows has a failure status).
struct ProcessEnd {
  int exitCode = 0;
  int signal = 0;
  [[nodiscard]] bool Failed() const { return exitCode != 0 || signal != 0; }
};

// A started program kept to be watched. Dropping it neither waits for the
// program nor ends it.
class WatchedProcess {
 public:
  WatchedProcess() = default;
  WatchedProcess(const WatchedProcess&) = delete;
  WatchedProcess& operator=(const WatchedProcess&) = delete;
  virtual ~WatchedProcess() = default;
  // Waits at most TIMEOUT for the program's end, and wakes as soon as it
  // comes: how it ended, or nullopt while it runs.
  virtual std::optional<ProcessEnd> WaitForEnd(std::chrono::milliseconds timeout) = 0;
};

class SystemServices {
 public:
  SystemServices() = default;
  SystemServices(const SystemServices&) = delete;
  SystemServices& operator=(const SystemServices&) = delete;
  virtual ~SystemServices() = default;

  // True when the main program's single-instance guard NAME is held.
  virtual bool InstanceGuardExists(const std::string& name) = 0;
  // The same question asked without touching the guard, so that it may be
  // asked again and again while a starting program takes it (on POSIX the
  // test of InstanceGuardExists locks for an instant, which would make a
  // take at that instant fail). False when the system cannot tell.
  virtual bool InstanceGuardTaken(const std::string& name) = 0;
  // Finds a top-level window titled exactly TITLE and asks it (once) to
  // restore itself. Returns true when such a window was found.
  virtual bool RestoreWindow(const std::string& title) = 0;

  // The per-user application-data folder without trailing separator, or the
  // empty text when the system cannot give one.
  virtual std::string AppDataFolder() = 0;
  // The user's temporary folder, ending with the path separator.
  virtual std::string TempFolder() = 0;
  // Platform id (kPlatformIdNT: no extension on the target, no rename) with
  // the system's version.
  virtual int PlatformId(int& major, int& minor) = 0;
  // True when the system reports a network connection; sends nothing.
  virtual bool IsOnline() = 0;
  // Full path of the running executable.
  virtual std::string ExecutablePath() = 0;
  // Today in the local calendar as whole days since 30 December 1899.
  virtual int Today() = 0;

  // Starts a process without waiting. Returns a value that ProcessStarted
  // accepts on success, else an error code below kStartErrorLimit.
  virtual unsigned StartProcess(const CommandLine& commandLine) = 0;
  // Starts a process as StartProcess does and keeps it to be watched; null
  // when it could not be started, with ERROR set to a code below
  // kStartErrorLimit.
  virtual std::unique_ptr<WatchedProcess> StartWatchedProcess(const CommandLine& commandLine,
                                                              unsigned& error) = 0;
  // Opens a web address in the user's browser; false when that failed.
  virtual bool ShellOpen(const std::string& address) = 0;
};

// The text that the Windows process start receives: TEXT, with PROGRAM put in
// double quotes when it contains a blank and TEXT begins with it unquoted.
// Unquoted, a path such as C:\Users\Ann Lee\Temp\Lumivoramain.exe would make
// the process start try C:\Users\Ann.exe first.
std::string ProcessStartText(const CommandLine& commandLine);

// The backend's real services.
std::unique_ptr<SystemServices> CreateSystemServices();

// Day number of a calendar date (days since 30 December 1899).
int DayNumber(int year, int month, int day);

}  // namespace lumivora::platform
