// The Win32 system services, profile files and file operations, against the
// real platform calls (under Wine in CI).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/exception.h"
#include "platform/file.h"
#include "platform/instance_guard.h"
#include "platform/profile.h"
#include "platform/system.h"
#include "tests/support/files.h"
#include "tests/win32/win32_support.h"

namespace lumivora::platform {
namespace {

using namespace lumivora::testing;
using namespace std::chrono_literals;

// A name no other test or run uses.
std::string UniqueName(const char* stem) {
  return std::string(stem) + std::to_string(::GetCurrentProcessId()) + "_" +
         std::to_string(::GetTickCount64());
}

TEST(Build, IsSixtyFourBit) {
  std::printf("pointer size %zu\n", sizeof(void*));
  EXPECT_EQ(sizeof(void*), 8U);
}

TEST(Win32Services, MutexGuardIsSeenOnlyWhileHeld) {
  const std::string name = UniqueName("LumivoraTestMutex");
  const auto system = CreateSystemServices();
  EXPECT_FALSE(system->InstanceGuardExists(name));
  {
    const auto guard = InstanceGuard::Acquire(name);
    ASSERT_NE(guard, nullptr);
    EXPECT_TRUE(system->InstanceGuardExists(name));
    EXPECT_TRUE(system->InstanceGuardExists(name));  // the test leaves no handle open
    EXPECT_EQ(InstanceGuard::Acquire(name), nullptr);
    EXPECT_TRUE(system->InstanceGuardExists(name));
    EXPECT_TRUE(system->InstanceGuardTaken(name));
  }
  EXPECT_FALSE(system->InstanceGuardExists(name));
  EXPECT_FALSE(system->InstanceGuardTaken(name));
}

// A real top-level window that counts the restore requests it receives.
class CountingWindow {
 public:
  explicit CountingWindow(const std::string& title) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = Proc;
    windowClass.hInstance = ::GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "LumivoraTestCounting";
    ::RegisterClassA(&windowClass);
    window_ = ::CreateWindowExA(0, windowClass.lpszClassName, title.c_str(), WS_OVERLAPPEDWINDOW, 0,
                                0, 200, 100, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (window_ != nullptr) {
      ::SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
  }
  CountingWindow(const CountingWindow&) = delete;
  CountingWindow& operator=(const CountingWindow&) = delete;
  ~CountingWindow() {
    if (window_ != nullptr) {
      ::DestroyWindow(window_);
    }
  }
  [[nodiscard]] HWND Get() const { return window_; }
  int restores = 0;
  int otherSysCommands = 0;

 private:
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<CountingWindow*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
    if (self != nullptr && message == WM_SYSCOMMAND) {
      ++((wParam & 0xFFF0U) == SC_RESTORE && lParam == 0 ? self->restores : self->otherSysCommands);
    }
    return ::DefWindowProcA(window, message, wParam, lParam);
  }
  HWND window_ = nullptr;
};

TEST(Win32Services, RestoreSendsOneRestoreCommandToTheWindowWithThatTitle) {
  const std::string title = UniqueName("Lumivora test ");
  CountingWindow window(title);
  if (window.Get() == nullptr) {
    GTEST_SKIP() << "no window can be created (no display)";
  }
  ::ShowWindow(window.Get(), SW_SHOWMINIMIZED);
  ASSERT_TRUE(::IsIconic(window.Get()));
  const auto system = CreateSystemServices();
  EXPECT_TRUE(system->RestoreWindow(title));
  EXPECT_EQ(window.restores, 1);
  EXPECT_EQ(window.otherSysCommands, 0);
  EXPECT_FALSE(::IsIconic(window.Get()));
  // Only an exact title matches.
  EXPECT_FALSE(system->RestoreWindow(title + " "));
  EXPECT_FALSE(system->RestoreWindow(title.substr(0, title.size() - 1)));
  EXPECT_EQ(window.restores, 1);
}

TEST(Win32Services, FoldersPlatformAndExecutable) {
  const auto system = CreateSystemServices();
  const std::string appData = system->AppDataFolder();
  ASSERT_FALSE(appData.empty());
  EXPECT_NE(appData.back(), '\\');
  EXPECT_TRUE(DirectoryExists(appData));
  const std::string temp = system->TempFolder();
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.back(), '\\');
  EXPECT_TRUE(DirectoryExists(temp));
  int major = 0;
  int minor = -1;
  EXPECT_EQ(system->PlatformId(major, minor), 2);  // the NT family
  EXPECT_GE(major, 5);
  EXPECT_GE(minor, 0);
  const std::string self = system->ExecutablePath();
  EXPECT_TRUE(FileExists(self)) << self;
  EXPECT_NE(self.find("win32_tests.exe"), std::string::npos) << self;
  EXPECT_EQ(PathSeparator(), '\\');
}

// The process start with the launcher's command line: a target path with a
// blank is quoted, so the decoy "<folder>\Ann.exe" is never started.
TEST(Win32Services, ProcessStartQuotesATargetPathWithABlank) {
  const TempDir dir;
  const std::string probe = std::string(LUMIVORA_TEST_DIR) + "/win32_probe.exe";
  ASSERT_TRUE(CreateDirectory(dir / "Ann Lee"));
  ASSERT_TRUE(CopyFile(probe, dir / "Ann Lee/Lumivoramain.exe", false));
  ASSERT_TRUE(CopyFile(probe, dir / "Ann.exe", false));
  const auto system = CreateSystemServices();

  CommandLine commandLine;
  commandLine.program = dir.Path() + "\\Ann Lee\\Lumivoramain.exe";
  commandLine.arguments = {"RECORD", "first"};
  commandLine.text = commandLine.program + " RECORD first";
  EXPECT_GT(system->StartProcess(commandLine), 31U);
  const std::string report = dir / "Ann Lee/started.txt";
  ASSERT_TRUE(WaitUntil([&] { return FileExists(report) && !ReadFile(report).empty(); }, 20s));
  EXPECT_EQ(ReadFile(report), '"' + commandLine.program + "\" RECORD first");
  EXPECT_FALSE(FileExists(dir / "started.txt"));

  // Watched, the same start, and the program's exit code once it ends (the
  // probe fails with 1 when a folder stands where it writes its report).
  for (const bool writable : {true, false}) {
    if (!writable) {
      DeleteFile(report);
      ASSERT_TRUE(CreateDirectory(report));
    }
    unsigned error = 0;
    const auto watched = system->StartWatchedProcess(commandLine, error);
    ASSERT_NE(watched, nullptr);
    EXPECT_GT(error, 31U);
    const std::optional<ProcessEnd> end = watched->WaitForEnd(20s);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->exitCode, writable ? 0 : 1);
  }
  RemoveDirectory(report);

  // A program that does not exist: a code below 32.
  commandLine.program = dir / "none.exe";
  commandLine.text = commandLine.program + " RECORD ";
  EXPECT_LT(system->StartProcess(commandLine), 32U);
  unsigned error = 0;
  EXPECT_EQ(system->StartWatchedProcess(commandLine, error), nullptr);
  EXPECT_LT(error, 32U);
}

TEST(Win32ProfileFile, WritesChangeOnlyTheirKey) {
  const TempDir dir;
  const std::string file = dir / "Lumivora.ini";
  EXPECT_TRUE(WriteProfileString("Setup", "NextUpdate", "46394", file));  // created
  EXPECT_EQ(ReadProfileString("Setup", "NextUpdate", "", file), "46394");
  WriteFile(file, "[Other]\r\nNextUpdate=1\r\n[Setup]\r\nVersion=1.2\r\nAutoUpdate=1\r\n");
  EXPECT_TRUE(WriteProfileString("Setup", "nextupdate", "7", file));
  EXPECT_TRUE(WriteProfileString("SETUP", "Version", "1.3", file));
  EXPECT_EQ(ReadProfileString("setup", "NEXTUPDATE", "", file), "7");
  EXPECT_EQ(ReadProfileString("Setup", "Version", "", file), "1.3");
  EXPECT_EQ(ReadProfileString("Setup", "AutoUpdate", "", file), "1");
  EXPECT_EQ(ReadProfileString("Other", "NextUpdate", "", file), "1");
  // Read room: a longer value is cut.
  EXPECT_EQ(ReadProfileString("Setup", "Version", "", file, 2), "1.");
  EXPECT_EQ(ReadProfileString("Setup", "Missing", "default", file, 3), "def");
}

TEST(Win32ProfileFile, RefusedWritesFailAndLeaveTheFileWhole) {
  const TempDir dir;
  const std::string file = dir / "a.ini";
  WriteFile(file, "[Setup]\r\nKey=old\r\n");
  EXPECT_FALSE(WriteProfileString("Setup", "Key", "new", dir / "missing/a.ini"));
  // A file that another handle holds open without sharing refuses the write
  // for every user. (A read-only attribute would not do: Wine keeps it as Unix
  // permissions, which do not bind the superuser that CI runs as.)
  {
    const win32::ScopedHandle holder(::CreateFileA(file.c_str(), GENERIC_READ, 0, nullptr,
                                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder.Valid());
    EXPECT_FALSE(WriteProfileString("Setup", "Key", "new", file));
  }
  EXPECT_EQ(ReadProfileString("Setup", "Key", "", file), "old");
}

TEST(Win32Files, KernelSemantics) {
  const TempDir dir;
  WriteFile(dir / "a", "A");
  // A read-only file refuses deletion until the attribute is cleared.
  ASSERT_TRUE(SetFileAttributes(dir / "a", kAttrReadOnly));
  EXPECT_EQ(GetFileAttributes(dir / "a").value_or(0) & kAttrReadOnly, kAttrReadOnly);
  EXPECT_FALSE(DeleteFile(dir / "a"));
  EXPECT_TRUE(SetFileAttributes(dir / "a", kAttrArchive));
  // A copy keeps the modification time.
  const uint32_t dos = ((2021U - 1980U) << 25U) | (7U << 21U) | (4U << 16U) | (9U << 11U) | 20U;
  ASSERT_TRUE(SetFileDosDateTime(dir / "a", dos));
  ASSERT_TRUE(CopyFile(dir / "a", dir / "b", true));
  EXPECT_EQ(FileAgeDos(dir / "b"), dos);
  // An open file (exclusive write) cannot be replaced by a copy.
  {
    File open = File::Open(dir / "b", File::Mode::kCreate);
    EXPECT_FALSE(CopyFile(dir / "a", dir / "b", false));
    EXPECT_THROW(File::Open(dir / "b", File::Mode::kRead), lumivora::EFOpenError);
  }
  EXPECT_EQ(FileSize(dir / "b"), 0);
  EXPECT_TRUE(DeleteFile(dir / "a"));
  EXPECT_EQ(FileSize(dir / "a"), std::nullopt);
  EXPECT_TRUE(ForceDirectories(dir.Path() + "\\x\\y"));
  EXPECT_TRUE(DirectoryExists(dir / "x/y"));
}

}  // namespace
}  // namespace lumivora::platform
