#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>

#include "platform/exception.h"
#include "platform/file.h"
#include "platform/instance_guard.h"
#include "platform/profile.h"
#include "platform/system.h"
#include "tests/test_support.h"

namespace lumivora::platform {
namespace {

using lumivora::testing::ReadFile;
using lumivora::testing::TempDir;
using lumivora::testing::WriteFile;

// Sets an environment variable for one test and restores it afterwards.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
    const char* old = std::getenv(name);
    hadValue_ = old != nullptr;
    old_ = hadValue_ ? old : "";
    ::setenv(name, value.c_str(), 1);
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
  ~ScopedEnvironment() {
    if (hadValue_) {
      ::setenv(name_, old_.c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  bool hadValue_ = false;
  std::string old_;
};

TEST(DayNumber, CountsFromThe30thOfDecember1899) {
  struct Row {
    int year, month, day, number;
  };
  const Row rows[] = {
      {1899, 12, 30, 0},   {1899, 12, 31, 1},    {1900, 1, 1, 2},      {1900, 3, 1, 61},
      {1970, 1, 1, 25569}, {2000, 2, 29, 36585}, {2026, 12, 8, 46364}, {1899, 12, 29, -1},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(DayNumber(row.year, row.month, row.day), row.number)
        << row.year << "-" << row.month << "-" << row.day;
  }
}

TEST(ProfileFile, ReadRules) {
  struct Row {
    const char* content;
    const char* section;
    const char* key;
    const char* expected;  // default is "DEF"
  };
  const Row rows[] = {
      {"[Setup]\nVersion=1.2\n", "Setup", "Version", "1.2"},
      {"[SETUP]\nVERSION=1.2\n", "setup", "version", "1.2"},
      {"[Setup]\n  Version  =  1.2  \n", "Setup", "Version", "1.2"},
      {"[Setup]\nVersion=\"1.2 \"\n", "Setup", "Version", "1.2 "},
      {"[Setup]\nVersion=\n", "Setup", "Version", ""},
      {"[Setup]\nOther=1\n", "Setup", "Version", "DEF"},
      {"[Other]\nVersion=1\n", "Setup", "Version", "DEF"},
      {"[Setup]\nVersion=1\nVersion=2\n", "Setup", "Version", "1"},
      {"[Setup]\r\nVersion=1.2\r\n", "Setup", "Version", "1.2"},
      {"[Setup]\n;Version=3\nVersion=4\n", "Setup", "Version", "4"},
      {"Version=0\n[Setup]\nVersion=a=b\n", "Setup", "Version", "a=b"},
      {"[Setup]\n[Next]\nVersion=9\n", "Setup", "Version", "DEF"},
  };
  for (const Row& row : rows) {
    const TempDir dir;
    WriteFile(dir / "a.ini", row.content);
    EXPECT_EQ(ReadProfileString(row.section, row.key, "DEF", dir / "a.ini"), row.expected)
        << row.content;
  }
  EXPECT_EQ(ReadProfileString("Setup", "Version", "DEF", "/nonexistent/a.ini"), "DEF");
}

TEST(ProfileFile, WriteChangesOnlyItsKey) {
  struct Row {
    const char* before;  // nullptr: no file
    const char* after;
  };
  const Row rows[] = {
      {nullptr, "[Setup]\nKey=new\n"},
      {"", "[Setup]\nKey=new\n"},
      {"[Setup]\nKey=old\nOther=1\n", "[Setup]\nKey=new\nOther=1\n"},
      {"[setup]\nkey=old\n", "[setup]\nKey=new\n"},
      {"[Setup]\nOther=1\n\n[Z]\nKey=z\n", "[Setup]\nOther=1\nKey=new\n\n[Z]\nKey=z\n"},
      {"[A]\nKey=a\n", "[A]\nKey=a\n[Setup]\nKey=new\n"},
      {"[Setup]\r\nKey=old\r\n", "[Setup]\r\nKey=new\r\n"},
  };
  for (const Row& row : rows) {
    const TempDir dir;
    const std::string file = dir / "a.ini";
    if (row.before != nullptr) {
      WriteFile(file, row.before);
    }
    EXPECT_TRUE(WriteProfileString("Setup", "Key", "new", file));
    EXPECT_EQ(ReadFile(file), row.after) << (row.before ? row.before : "(none)");
  }
}

TEST(ProfileFile, RefusedWritesLeaveTheFileWhole) {
  const TempDir dir;
  const std::string file = dir / "a.ini";
  WriteFile(file, "[Setup]\nKey=old\n");
  ::chmod(file.c_str(), 0444);
  EXPECT_FALSE(WriteProfileString("Setup", "Key", "new", file));
  EXPECT_EQ(ReadFile(file), "[Setup]\nKey=old\n");
  EXPECT_FALSE(WriteProfileString("Setup", "Key", "new", dir / "missing/a.ini"));
}

TEST(File, OpenErrorsCarryTheFileLayerMessages) {
  const TempDir dir;
  try {
    File::Open(dir / "missing/out", File::Mode::kCreate);
    FAIL();
  } catch (const EFCreateError& error) {
    EXPECT_EQ(error.Message(), "Cannot create file " + (dir / "missing/out"));
  }
  try {
    File::Open(dir / "none", File::Mode::kRead);
    FAIL();
  } catch (const EFOpenError& error) {
    EXPECT_EQ(error.Message(), "Cannot open file " + (dir / "none"));
  }
}

TEST(File, ReadWriteSeekAndDosTime) {
  const TempDir dir;
  const std::string path = dir / "f";
  {
    File file = File::Open(path, File::Mode::kCreate);
    file.Write("hello world", 11);
    EXPECT_EQ(file.Size(), 11);
    // 2024-02-29 13:37:58
    const uint32_t dos =
        ((2024U - 1980U) << 25U) | (2U << 21U) | (29U << 16U) | (13U << 11U) | (37U << 5U) | 29U;
    EXPECT_TRUE(file.SetDosDateTime(dos));
    file.Close();
    EXPECT_EQ(FileAgeDos(path), dos);
  }
  File file = File::Open(path, File::Mode::kRead);
  file.Seek(6);
  std::array<char, 16> buffer{};
  EXPECT_EQ(file.Read(buffer.data(), buffer.size()), 5U);
  EXPECT_EQ(std::string(buffer.data(), 5), "world");
  EXPECT_EQ(file.Read(buffer.data(), buffer.size()), 0U);
}

TEST(FileOperations, CopyMoveReplaceDeleteAttributes) {
  const TempDir dir;
  WriteFile(dir / "a", "A");
  WriteFile(dir / "b", "B");
  EXPECT_FALSE(CopyFile(dir / "a", dir / "b", true));
  EXPECT_TRUE(CopyFile(dir / "a", dir / "b", false));
  EXPECT_EQ(ReadFile(dir / "b"), "A");
  EXPECT_FALSE(MoveFile(dir / "a", dir / "b"));  // target exists
  EXPECT_TRUE(MoveFile(dir / "a", dir / "c"));
  EXPECT_FALSE(FileExists(dir / "a"));
  WriteFile(dir / "d", "D");
  EXPECT_TRUE(ReplaceFile(dir / "d", dir / "c"));
  EXPECT_EQ(ReadFile(dir / "c"), "D");
  EXPECT_TRUE(SetFileAttributes(dir / "c", kAttrReadOnly | kAttrArchive));
  EXPECT_EQ(GetFileAttributes(dir / "c").value_or(0) & kAttrReadOnly, kAttrReadOnly);
  EXPECT_TRUE(SetFileAttributes(dir / "c", kAttrArchive));
  EXPECT_EQ(GetFileAttributes(dir / "c").value_or(kAttrReadOnly) & kAttrReadOnly, 0U);
  EXPECT_TRUE(DeleteFile(dir / "c"));
  EXPECT_FALSE(DeleteFile(dir / "c"));
  EXPECT_FALSE(DeleteFile(dir.Path()));
  EXPECT_TRUE(ForceDirectories(dir / "x/y/z"));
  EXPECT_TRUE(DirectoryExists(dir / "x/y/z"));
}

TEST(SystemServices, TemporaryFolderIsPrivate) {
  const TempDir dir;
  const ScopedEnvironment runtime("XDG_RUNTIME_DIR", "");
  const ScopedEnvironment tmp("TMPDIR", dir.Path());
  const auto system = CreateSystemServices();
  const std::string folder = system->TempFolder();
  EXPECT_EQ(folder, dir / ("lumivora-" + std::to_string(::getuid()) + "/"));
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777U, 0700U);
  // Opened to others: refused, not used.
  ::chmod(folder.c_str(), 0777);
  EXPECT_THROW(system->TempFolder(), Exception);
  ::chmod(folder.c_str(), 0700);
  // A link planted in its place: refused.
  const std::string planted = dir / ("lumivora-" + std::to_string(::getuid()));
  ::rmdir(planted.c_str());
  ASSERT_EQ(::symlink(dir.Path().c_str(), planted.c_str()), 0);
  EXPECT_THROW(system->TempFolder(), Exception);
}

TEST(SystemServices, DataFolderFollowsXdgConfigHome) {
  const TempDir dir;
  const auto system = CreateSystemServices();
  {
    const ScopedEnvironment config("XDG_CONFIG_HOME", dir / "conf/");
    EXPECT_EQ(system->AppDataFolder(), dir / "conf");
  }
  {
    const ScopedEnvironment config("XDG_CONFIG_HOME", "");
    const ScopedEnvironment home("HOME", dir.Path());
    EXPECT_EQ(system->AppDataFolder(), dir / ".config");
  }
  {
    const ScopedEnvironment config("XDG_CONFIG_HOME", "");
    const ScopedEnvironment home("HOME", "");
    EXPECT_EQ(system->AppDataFolder(), "");
  }
}

TEST(SystemServices, PlatformIdAndToday) {
  const auto system = CreateSystemServices();
  int major = -1;
  int minor = -1;
  EXPECT_EQ(system->PlatformId(major, minor), 2);
  EXPECT_GE(major, 0);
  EXPECT_GT(system->Today(), DayNumber(2020, 1, 1));
}

TEST(SystemServices, InstanceGuardIsHeldByOneHolder) {
  const TempDir dir;
  const ScopedEnvironment runtime("XDG_RUNTIME_DIR", "");
  const ScopedEnvironment tmp("TMPDIR", dir.Path());
  const auto system = CreateSystemServices();
  EXPECT_FALSE(system->InstanceGuardExists("TestGuard"));
  {
    const auto guard = InstanceGuard::Acquire("TestGuard");
    ASSERT_NE(guard, nullptr);
    EXPECT_TRUE(system->InstanceGuardExists("TestGuard"));
    EXPECT_EQ(InstanceGuard::Acquire("TestGuard"), nullptr);
  }
  EXPECT_FALSE(system->InstanceGuardExists("TestGuard"));
}

TEST(SystemServices, ProcessStartUsesNoShell) {
  const TempDir dir;
  const auto system = CreateSystemServices();
  // The argument would run a command if a shell saw it.
  CommandLine commandLine;
  commandLine.program = "/bin/true";
  commandLine.arguments = {"$(touch " + (dir / "pwned") + ")", "a b"};
  EXPECT_GT(system->StartProcess(commandLine), 31U);
  commandLine.program = dir / "does-not-exist";
  EXPECT_EQ(system->StartProcess(commandLine), 2U);
  WriteFile(dir / "not-executable", "x");
  commandLine.program = dir / "not-executable";
  EXPECT_LT(system->StartProcess(commandLine), 32U);
  int status = 0;
  while (::waitpid(-1, &status, 0) > 0) {
  }
  EXPECT_FALSE(FileExists(dir / "pwned"));
}

TEST(SystemServices, ConnectionStateFollowsNonLoopbackInterfaces) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "a private network namespace needs root";
  }
  // In a network namespace of its own the child sees only the loopback
  // interface (offline), then a veth pair that it brings up (online).
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::unshare(CLONE_NEWNET) != 0) {
      ::_exit(10);
    }
    const auto system = CreateSystemServices();
    if (std::system("ip link set lo up") != 0 || system->IsOnline()) {  // NOLINT
      ::_exit(11);
    }
    if (std::system("ip link add lv0 type veth peer name lv1 && ip link set lv0 up && "  // NOLINT
                    "ip link set lv1 up") != 0) {
      ::_exit(12);
    }
    ::_exit(system->IsOnline() ? 0 : 13);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10: no namespace, 11: online with loopback only, "
                                       "12: no veth, 13: offline with an interface up";
}

TEST(SystemServices, RestoreWithoutDisplaySendsNothing) {
  const ScopedEnvironment display("DISPLAY", "");
  EXPECT_FALSE(CreateSystemServices()->RestoreWindow("Lumivora"));
}

}  // namespace
}  // namespace lumivora::platform
