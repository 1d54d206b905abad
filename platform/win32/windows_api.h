// The Windows API for the Win32 backend's source files only (never included
// by a shared header). ANSI functions are called by their ...A names
// throughout; the generic names that <windows.h> defines as macros and that
// the platform layer uses for its own functions (DeleteFile, CopyFile, ...)
// are undefined again here.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After <windows.h>, which they need: common controls, shell folders and
// execution, WinINet.
#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <wininet.h>

#undef CopyFile
#undef CreateDirectory
#undef DeleteFile
#undef GetFileAttributes
#undef MoveFile
#undef RemoveDirectory
#undef ReplaceFile
#undef SetFileAttributes
#undef WriteProfileString

namespace lumivora::platform::win32 {

// Closes a kernel handle when it goes out of scope.
class ScopedHandle {
 public:
  ScopedHandle() = default;
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.Release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) {
      Reset(other.Release());
    }
    return *this;
  }
  ~ScopedHandle() { Reset(nullptr); }

  [[nodiscard]] HANDLE Get() const { return handle_; }
  [[nodiscard]] bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }
  void Reset(HANDLE handle) {
    if (Valid()) {
      ::CloseHandle(handle_);
    }
    handle_ = handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace lumivora::platform::win32
