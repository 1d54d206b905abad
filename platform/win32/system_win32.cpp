// System services on Windows, each a thin layer over the platform call that
// the launcher's behaviour is defined by:
//  - guard: OpenMutexA with SYNCHRONIZE only (the launcher never creates or
//    holds it); the main program's side is InstanceGuard (CreateMutexA);
//  - restore: FindWindowA by exact title, then one synchronous
//    WM_SYSCOMMAND/SC_RESTORE;
//  - folders: SHGetFolderPathA(CSIDL_APPDATA), GetTempPathA;
//  - platform id: GetVersionExA; connection state: InternetGetConnectedState;
//  - process start: WinExec with SW_SHOWNORMAL, not waited for; a watched
//    start is CreateProcessA with the same command line and window state,
//    its process handle kept for WaitForSingleObject and GetExitCodeProcess;
//  - shell open: ShellExecuteA "open".
#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/exception.h"
#include "platform/instance_guard.h"
#include "platform/system.h"
#include "platform/win32/windows_api.h"

namespace lumivora::platform {
namespace {

using win32::ScopedHandle;

// A started process and its handle, which keeps its exit code readable.
class Win32WatchedProcess final : public WatchedProcess {
 public:
  explicit Win32WatchedProcess(HANDLE process) : process_(process) {}

  std::optional<ProcessEnd> WaitForEnd(std::chrono::milliseconds timeout) override {
    const auto wait = static_cast<DWORD>(std::max<int64_t>(timeout.count(), 0));
    DWORD code = 0;
    if (::WaitForSingleObject(process_.Get(), wait) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(process_.Get(), &code)) {
      return std::nullopt;
    }
    return ProcessEnd{static_cast<int>(code), 0};
  }

 private:
  ScopedHandle process_;
};

// A CreateProcess error as WinExec reports it: below kStartErrorLimit.
unsigned StartErrorCode(DWORD error) {
  return error != 0 && error < kStartErrorLimit ? static_cast<unsigned>(error) : kStartBadFormat;
}

class Win32SystemServices final : public SystemServices {
 public:
  bool InstanceGuardExists(const std::string& name) override {
    const ScopedHandle mutex(::OpenMutexA(SYNCHRONIZE, FALSE, name.c_str()));
    return mutex.Valid();
  }

  // Opening a named mutex never disturbs the one who creates it.
  bool InstanceGuardTaken(const std::string& name) override { return InstanceGuardExists(name); }

  bool RestoreWindow(const std::string& title) override {
    HWND window = ::FindWindowA(nullptr, title.c_str());
    if (window == nullptr) {
      return false;
    }
    ::SendMessageA(window, WM_SYSCOMMAND, SC_RESTORE, 0);
    return true;
  }

  std::string AppDataFolder() override {
    std::array<char, MAX_PATH + 1> buffer{};
    const HRESULT result =
        ::SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer.data());
    if (FAILED(result)) {
      return {};
    }
    return std::string(buffer.data());
  }

  std::string TempFolder() override {
    std::array<char, MAX_PATH> buffer{};
    const DWORD length = ::GetTempPathA(static_cast<DWORD>(buffer.size()), buffer.data());
    return std::string(buffer.data(), std::min<size_t>(length, buffer.size() - 1));
  }

  int PlatformId(int& major, int& minor) override {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);
    ::GetVersionExA(&info);
    major = static_cast<int>(info.dwMajorVersion);
    minor = static_cast<int>(info.dwMinorVersion);
    return static_cast<int>(info.dwPlatformId);
  }

  bool IsOnline() override {
    DWORD flags = 0;
    return ::InternetGetConnectedState(&flags, 0) != 0;
  }

  std::string ExecutablePath() override {
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
      const DWORD length =
          ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
      if (length == 0) {
        return {};
      }
      if (length < buffer.size()) {
        return std::string(buffer.data(), length);
      }
      buffer.resize(buffer.size() * 2);
    }
  }

  int Today() override {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    return DayNumber(now.wYear, now.wMonth, now.wDay);
  }

  unsigned StartProcess(const CommandLine& commandLine) override {
    const std::string text = ProcessStartText(commandLine);
    return ::WinExec(text.c_str(), SW_SHOWNORMAL);
  }

  std::unique_ptr<WatchedProcess> StartWatchedProcess(const CommandLine& commandLine,
                                                      unsigned& error) override {
    std::string text = ProcessStartText(commandLine);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION started{};
    if (!::CreateProcessA(nullptr, text.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &started)) {
      error = StartErrorCode(::GetLastError());
      return nullptr;
    }
    ::CloseHandle(started.hThread);
    error = kStarted;
    return std::make_unique<Win32WatchedProcess>(started.hProcess);
  }

  bool ShellOpen(const std::string& address) override {
    HINSTANCE result =
        ::ShellExecuteA(nullptr, "open", address.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    // Values above 32 mean success.
    return reinterpret_cast<INT_PTR>(result) > 32;
  }
};

}  // namespace

std::unique_ptr<SystemServices> CreateSystemServices() {
  return std::make_unique<Win32SystemServices>();
}

struct InstanceGuard::State {
  ScopedHandle mutex;
  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() {
    if (mutex.Valid()) {
      ::ReleaseMutex(mutex.Get());
    }
  }
};

InstanceGuard::InstanceGuard(std::unique_ptr<State> state) : state_(std::move(state)) {}
InstanceGuard::~InstanceGuard() = default;

std::unique_ptr<InstanceGuard> InstanceGuard::Acquire(const std::string& name) {
  auto state = std::make_unique<State>();
  state->mutex.Reset(::CreateMutexA(nullptr, TRUE, name.c_str()));
  if (!state->mutex.Valid()) {
    return nullptr;
  }
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    // Opened someone else's mutex without owning it: release only the handle.
    state->mutex.Reset(nullptr);
    return nullptr;
  }
  return std::unique_ptr<InstanceGuard>(
      new InstanceGuard(std::move(state)));  // NOLINT: private ctor
}

}  // namespace lumivora::platform
