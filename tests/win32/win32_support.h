// Helpers of the Windows tests: child processes with their exit codes,
// waits bounded in time for a window or a file, reading what a window shows
// (its class, text, place and child controls), and the launcher's
// surroundings (its settings file, the main program it starts).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/profile.h"
#include "platform/system.h"
#include "platform/win32/windows_api.h"
#include "tests/support/files.h"

namespace lumivora::testing {

using Clock = std::chrono::steady_clock;

// Polls CONDITION until it holds or TIMEOUT passes (a wait for something
// that another process does, bounded in time).
inline bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A child process started with CreateProcessA; killed when still running at
// the end of the test.
class ChildProcess {
 public:
  // Starts COMMANDLINE; standard output and error go to OUTPUTFILE when given.
  explicit ChildProcess(const std::string& commandLine, const std::string& outputFile = "") {
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    platform::win32::ScopedHandle output;
    if (!outputFile.empty()) {
      SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
      output.Reset(::CreateFileA(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
      startup.dwFlags = STARTF_USESTDHANDLES;
      startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
      startup.hStdOutput = output.Get();
      startup.hStdError = output.Get();
    }
    // Wine's server refuses a start now and then on a loaded machine: a
    // program that exists starts at a later attempt, one that does not never.
    for (int attempt = 0; attempt < 3 && !process_.Valid(); ++attempt) {
      std::string text = commandLine;
      PROCESS_INFORMATION info{};
      if (::CreateProcessA(nullptr, text.data(), nullptr, nullptr, output.Valid() ? TRUE : FALSE, 0,
                           nullptr, nullptr, &startup, &info) != 0) {
        process_.Reset(info.hProcess);
        platform::win32::ScopedHandle thread(info.hThread);
        id_ = info.dwProcessId;
      }
    }
  }
  ~ChildProcess() {
    if (process_.Valid() && ::WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT) {
      ::TerminateProcess(process_.Get(), 99);
      ::WaitForSingleObject(process_.Get(), 10000);
    }
  }

  [[nodiscard]] bool Started() const { return process_.Valid(); }
  [[nodiscard]] DWORD Id() const { return id_; }

  // The exit code, or -1 when the process did not end within TIMEOUT.
  long Wait(std::chrono::milliseconds timeout) {
    if (!process_.Valid() ||
        ::WaitForSingleObject(process_.Get(), static_cast<DWORD>(timeout.count())) !=
            WAIT_OBJECT_0) {
      return -1;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process_.Get(), &code);
    return static_cast<long>(code);
  }

 private:
  platform::win32::ScopedHandle process_;
  DWORD id_ = 0;
};

inline std::string WindowText(HWND window) {
  std::vector<char> text(static_cast<size_t>(::GetWindowTextLengthA(window)) + 1, '\0');
  const int length = ::GetWindowTextA(window, text.data(), static_cast<int>(text.size()));
  return std::string(text.data(), static_cast<size_t>(std::max(length, 0)));
}

inline std::string ClassName(HWND window) {
  char name[256] = {};
  const int length = ::GetClassNameA(window, name, sizeof(name));
  return std::string(name, static_cast<size_t>(std::max(length, 0)));
}

// The visible top-level windows of process PID (0: any process) of class
// CLASSNAME (empty: any class).
inline std::vector<HWND> TopLevelWindows(DWORD pid, const std::string& className) {
  struct Search {
    DWORD pid;
    std::string className;
    std::vector<HWND> found;
  } search{pid, className, {}};
  ::EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        DWORD owner = 0;
        ::GetWindowThreadProcessId(window, &owner);
        if (::IsWindowVisible(window) != 0 && (s->pid == 0 || owner == s->pid) &&
            (s->className.empty() || ClassName(window) == s->className)) {
          s->found.push_back(window);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

inline std::vector<HWND> ChildWindows(HWND parent) {
  std::vector<HWND> children;
  ::EnumChildWindows(
      parent,
      [](HWND window, LPARAM data) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(data)->push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&children));
  return children;
}

// The tests that need windows: skipped when none can be created (no display).
class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HWND probe = ::CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                   ::GetModuleHandleA(nullptr), nullptr);
    if (probe == nullptr) {
      GTEST_SKIP() << "no window can be created (no display)";
    }
    ::DestroyWindow(probe);
  }
};

// The first visible top-level window of process PID (0: any) of class
// CLASSNAME, waited for (30 s at most); nullptr when none came. The main
// window of a sample main program has the class "LumivoraMainWindow".
inline HWND WaitForWindow(DWORD pid, const std::string& className) {
  HWND window = nullptr;
  WaitUntil(
      [&] {
        const auto windows = TopLevelWindows(pid, className);
        window = windows.empty() ? nullptr : windows.front();
        return window != nullptr;
      },
      std::chrono::seconds(30));
  return window;
}

// The message box of process PID (0: any), waited for.
inline HWND WaitForBox(DWORD pid) {
  return WaitForWindow(pid, "#32770");
}

// The first child of PARENT (at any depth) with that class and text.
inline HWND FindChild(HWND parent, const std::string& className, const std::string& text) {
  for (HWND child : ChildWindows(parent)) {
    if (ClassName(child) == className && WindowText(child) == text) {
      return child;
    }
  }
  return nullptr;
}

// The text of a message box (its one static control with text).
inline std::string MessageBoxText(HWND box) {
  for (HWND child : ChildWindows(box)) {
    if (ClassName(child) == "Static" && !WindowText(child).empty()) {
      return WindowText(child);
    }
  }
  return {};
}

// A message to a window of another process that may be busy: its result,
// or -1 when the window did not answer within a second (a plain SendMessage
// would wait for ever on a thread that processes no messages).
inline LRESULT QueryWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  if (::SendMessageTimeoutA(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 1000, &result) ==
      0) {
    return -1;
  }
  return static_cast<LRESULT>(result);
}

// Waits until a window of another process and its children have nothing
// left to paint and the window has answered a message (it must be
// processing messages, as a message box does); false when that did not
// happen within TIMEOUT.
inline bool WaitUntilPainted(HWND window, std::chrono::milliseconds timeout) {
  const bool painted = WaitUntil(
      [&] {
        if (::GetUpdateRect(window, nullptr, FALSE) != 0) {
          return false;
        }
        for (HWND child : ChildWindows(window)) {
          if (::GetUpdateRect(child, nullptr, FALSE) != 0) {
            return false;
          }
        }
        return true;
      },
      timeout);
  return painted && QueryWindow(window, WM_NULL, 0, 0) == 0;
}

// The launcher's settings file for one test ("Lumivora\Lumivora.ini" in the
// user's application-data folder): the file the test writes, and whatever
// stood there before put back at the end.
class SettingsFile {
 public:
  explicit SettingsFile(const std::string& text)
      : path_(platform::CreateSystemServices()->AppDataFolder() + "\\Lumivora\\Lumivora.ini") {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ignored);
    if (std::filesystem::exists(path_, ignored)) {
      saved_ = ReadFile(path_);
      existed_ = true;
    }
    WriteFile(path_, text);
  }
  SettingsFile(const SettingsFile&) = delete;
  SettingsFile& operator=(const SettingsFile&) = delete;
  ~SettingsFile() {
    if (existed_) {
      WriteFile(path_, saved_);
    } else {
      ::DeleteFileA(path_.c_str());
    }
  }

  // The value of KEY of [Setup], empty when absent.
  [[nodiscard]] std::string Value(const std::string& key) const {
    return platform::ReadProfileString("Setup", key, "", path_);
  }

 private:
  std::string path_;
  std::string saved_;
  bool existed_ = false;
};

// Closes the main program that owns WINDOW and waits for its end; true when it
// ended within TIMEOUT.
inline bool CloseMainProgram(HWND window, std::chrono::milliseconds timeout) {
  DWORD pid = 0;
  ::GetWindowThreadProcessId(window, &pid);
  const platform::win32::ScopedHandle process(::OpenProcess(SYNCHRONIZE, FALSE, pid));
  ::PostMessageA(window, WM_CLOSE, 0, 0);
  return process.Valid() &&
         ::WaitForSingleObject(process.Get(), static_cast<DWORD>(timeout.count())) == WAIT_OBJECT_0;
}

}  // namespace lumivora::testing
