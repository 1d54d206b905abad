#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>

#include "platform/exception.h"
#include "platform/file.h"
#include "platform/instance_guard.h"
#include "platform/profile.h"
#include "platform/system.h"
#include "tests/support/files.h"

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

TEST(ProfileFile, WriteChangesOnlyItsKey) {
  // What an earlier write left beside the file under the temporary name this
  // process would have used before (a write killed in a PID namespace, where
  // every start has the same PID).
  enum class Leftover { kNone, kFile, kLink, kHeldByAnotherWrite };
  struct Row {
    const char* before;  // nullptr: no file
    const char* after;
    Leftover leftover = Leftover::kNone;
  };
  const Row rows[] = {
      {nullptr, "[Setup]\nKey=new\n"},
      {"", "[Setup]\nKey=new\n"},
      {"[Setup]\nKey=old\nOther=1\n", "[Setup]\nKey=new\nOther=1\n"},
      {"[setup]\nkey=old\n", "[setup]\nKey=new\n"},
      {"[Setup]\nOther=1\n\n[Z]\nKey=z\n", "[Setup]\nOther=1\nKey=new\n\n[Z]\nKey=z\n"},
      {"[A]\nKey=a\n", "[A]\nKey=a\n[Setup]\nKey=new\n"},
      {"[Setup]\r\nKey=old\r\n", "[Setup]\r\nKey=new\r\n"},
      // Leftovers are removed (a link, not what it names); a temporary file
      // that another write holds locked stays.
      {"[Setup]\nKey=old\n", "[Setup]\nKey=new\n", Leftover::kFile},
      {nullptr, "[Setup]\nKey=new\n", Leftover::kLink},
      {"[Setup]\nKey=old\n", "[Setup]\nKey=new\n", Leftover::kHeldByAnotherWrite},
  };
  for (const Row& row : rows) {
    const TempDir dir;
    const std::string file = dir / "a.ini";
    const std::string leftover = file + ".tmp" + std::to_string(::getpid());
    if (row.before != nullptr) {
      WriteFile(file, row.before);
    }
    WriteFile(dir / "target", "not the settings");
    int held = -1;
    if (row.leftover == Leftover::kLink) {
      ASSERT_EQ(::symlink((dir / "target").c_str(), leftover.c_str()), 0);
    } else if (row.leftover != Leftover::kNone) {
      WriteFile(leftover, "[Setup]\nKey=half");
    }
    if (row.leftover == Leftover::kHeldByAnotherWrite) {
      held = ::open(leftover.c_str(), O_RDONLY | O_CLOEXEC);
      ASSERT_EQ(::flock(held, LOCK_EX), 0);
    }
    EXPECT_TRUE(WriteProfileString("Setup", "Key", "new", file));
    EXPECT_EQ(ReadFile(file), row.after) << (row.before ? row.before : "(none)");
    EXPECT_EQ(::access(leftover.c_str(), F_OK) == 0, held >= 0);
    EXPECT_EQ(ReadFile(dir / "target"), "not the settings");
    if (held >= 0) {
      ::close(held);
    }
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

// What another user may have left at /tmp/lumivora-<uid>, and the folder
// used then: that one, or a private folder of the user's own beside it.
TEST(SystemServices, TemporaryFolderIsPrivate) {
  enum class Planted { kNothing, kOpenToOthers, kLink };
  struct Row {
    const char* what;
    Planted planted;
    bool fixedName;
  };
  const Row rows[] = {
      {"nothing: created with mode 0700", Planted::kNothing, true},
      {"open to others: refused", Planted::kOpenToOthers, false},
      {"a link to a folder of the attacker: refused", Planted::kLink, false},
  };
  const ScopedEnvironment runtime("XDG_RUNTIME_DIR", "");
  const auto system = CreateSystemServices();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const TempDir dir;
    const TempDir elsewhere;
    const ScopedEnvironment tmp("TMPDIR", dir.Path());
    const std::string fixed = dir / ("lumivora-" + std::to_string(::getuid()));
    if (row.planted == Planted::kOpenToOthers) {
      ASSERT_EQ(::mkdir(fixed.c_str(), 0777), 0);
      ::chmod(fixed.c_str(), 0777);
    } else if (row.planted == Planted::kLink) {
      ASSERT_EQ(::symlink(elsewhere.Path().c_str(), fixed.c_str()), 0);
    }
    const std::string folder = system->TempFolder();
    if (row.fixedName) {
      EXPECT_EQ(folder, fixed + "/");
    } else {
      EXPECT_EQ(folder.rfind(fixed + "-", 0), 0U) << folder;
      EXPECT_EQ(folder.size(), fixed.size() + 8) << folder;
    }
    struct stat st {};
    ASSERT_EQ(::lstat(folder.substr(0, folder.size() - 1).c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777U, 0700U);
    EXPECT_EQ(system->TempFolder(), folder) << "the same folder on every call";
  }
}

TEST(SystemServices, DataFolderFollowsXdgConfigHome) {
  struct Row {
    const char* xdgConfigHome;  // "@" stands for the test's folder
    const char* home;
    const char* existing;  // a folder made beforehand with mode 0755, or ""
    const char* expected;  // "" when the system gives no folder
    unsigned mode;         // of the expected folder afterwards
  };
  const Row rows[] = {
      {"@/conf/", "@", "conf", "@/conf", 0755},
      {"@/new/conf", "@", "", "@/new/conf", 0700},
      {"", "@", ".config", "@/.config", 0755},
      {"", "@", "", "@/.config", 0700},  // a fresh account: created
      {"relative", "@", "", "@/.config", 0700},
      {"", "", "", "", 0},
  };
  const auto system = CreateSystemServices();
  for (const Row& row : rows) {
    const TempDir dir;
    const auto resolve = [&](std::string text) {
      if (!text.empty() && text[0] == '@') {
        text.replace(0, 1, dir.Path());
      }
      return text;
    };
    if (*row.existing != '\0') {
      ASSERT_EQ(::mkdir((dir / row.existing).c_str(), 0755), 0);
      ::chmod((dir / row.existing).c_str(), 0755);
    }
    const ScopedEnvironment config("XDG_CONFIG_HOME", resolve(row.xdgConfigHome));
    const ScopedEnvironment home("HOME", resolve(row.home));
    const std::string expected = resolve(row.expected);
    EXPECT_EQ(system->AppDataFolder(), expected) << row.xdgConfigHome << " " << row.existing;
    struct stat st {};
    EXPECT_TRUE(expected.empty() || ::stat(expected.c_str(), &st) == 0);
    EXPECT_EQ(st.st_mode & 0777U, row.mode) << expected;
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
  EXPECT_FALSE(system->InstanceGuardTaken("TestGuard"));
  {
    const auto guard = InstanceGuard::Acquire("TestGuard");
    ASSERT_NE(guard, nullptr);
    EXPECT_TRUE(system->InstanceGuardExists("TestGuard"));
    EXPECT_TRUE(system->InstanceGuardTaken("TestGuard"));
    EXPECT_FALSE(system->InstanceGuardTaken("OtherGuard"));
    EXPECT_EQ(InstanceGuard::Acquire("TestGuard"), nullptr);
  }
  EXPECT_FALSE(system->InstanceGuardExists("TestGuard"));
  EXPECT_FALSE(system->InstanceGuardTaken("TestGuard"));
}

// A watched start tells how the program ended, as soon as it ends.
TEST(SystemServices, WatchedStartSeesTheEnd) {
  const auto system = CreateSystemServices();
  struct Row {
    std::string script;
    int exitCode;
    int signal;
  };
  const Row rows[] = {
      {"exit 0", 0, 0}, {"exit 3", 3, 0}, {"kill -9 $$", 0, 9}, {"exec sleep 0.3", 0, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.script);
    unsigned error = 0;
    const auto program = system->StartWatchedProcess({"/bin/sh", {"-c", row.script}, ""}, error);
    ASSERT_NE(program, nullptr);
    EXPECT_GT(error, 31U);
    if (row.script.find("sleep") != std::string::npos) {
      EXPECT_FALSE(program->WaitForEnd(std::chrono::milliseconds(10)));
    }
    const auto begin = std::chrono::steady_clock::now();
    const std::optional<ProcessEnd> end = program->WaitForEnd(std::chrono::seconds(20));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
    ASSERT_TRUE(end);
    EXPECT_EQ(end->exitCode, row.exitCode);
    EXPECT_EQ(end->signal, row.signal);
    EXPECT_EQ(end->Failed(), row.exitCode != 0 || row.signal != 0);
  }
  unsigned error = 0;
  EXPECT_EQ(system->StartWatchedProcess({"/nonexistent/program", {}, ""}, error), nullptr);
  EXPECT_EQ(error, 2U);
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
    // The kernel marks a link running after its carrier comes up, a moment
    // later (link watch): wait for the link notifications, at most 10 s.
    const int links = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    sockaddr_nl groups{};
    groups.nl_family = AF_NETLINK;
    groups.nl_groups = RTMGRP_LINK;
    if (links < 0 || ::bind(links, reinterpret_cast<sockaddr*>(&groups), sizeof groups) != 0) {
      ::_exit(12);
    }
    if (std::system("ip link add lv0 type veth peer name lv1 && ip link set lv0 up && "  // NOLINT
                    "ip link set lv1 up") != 0) {
      ::_exit(12);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!system->IsOnline() && std::chrono::steady_clock::now() < deadline) {
      pollfd ready{links, POLLIN, 0};
      std::array<char, 8192> message{};
      if (::poll(&ready, 1, 1000) > 0) {
        static_cast<void>(::recv(links, message.data(), message.size(), 0));
      }
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
