// Helpers of the Windows tests: child processes with their exit codes,
// waits bounded in time for a window or a file, and reading what a window
// shows (its class, text, place and child controls).
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/windows_api.h"

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
    std::string text = commandLine;
    PROCESS_INFORMATION info{};
    if (::CreateProcessA(nullptr, text.data(), nullptr, nullptr, output.Valid() ? TRUE : FALSE, 0,
                         nullptr, nullptr, &startup, &info) != 0) {
      process_.Reset(info.hProcess);
      platform::win32::ScopedHandle thread(info.hThread);
      id_ = info.dwProcessId;
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
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

// The first child of PARENT (at any depth) with that class and text.
inline HWND FindChild(HWND parent, const std::string& className, const std::string& text) {
  for (HWND child : ChildWindows(parent)) {
    if (ClassName(child) == className && WindowText(child) == text) {
      return child;
    }
  }
  return nullptr;
}

// A child's place in its parent's client area.
inline RECT PlaceInParent(HWND child) {
  RECT rect{};
  ::GetWindowRect(child, &rect);
  ::MapWindowPoints(HWND_DESKTOP, ::GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
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

}  // namespace lumivora::testing
