// Watching a started child and looking at the single-instance guard on POSIX
// (Linux): the child's end through a pidfd (Linux 5.3; without one, a look
// every 2 ms), and the guard's flock lock through the kernel's table of locks
// (/proc/locks), which is read without taking any lock.
#include "platform/posix/process_posix.h"

#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <fstream>

namespace lumivora::platform {
namespace {

// A number in lower-case hexadecimal with at least two digits, as the
// kernel's table of locks writes device numbers.
std::string Hex2(unsigned value) {
  std::array<char, 16> digits{};
  const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value, 16).ptr;
  std::string text(digits.data(), end);
  if (text.size() < 2) {
    text.insert(text.begin(), '0');
  }
  return text;
}

// A started child kept unreaped until its end is seen, so that its process
// id cannot pass to another process meanwhile.
class ChildWatch final : public WatchedProcess {
 public:
  // (The system call itself: glibc 2.36 declares pidfd_open without C
  // linkage.)
  explicit ChildWatch(pid_t pid)
      : pid_(pid), pidfd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U))) {}
  ChildWatch(const ChildWatch&) = delete;
  ChildWatch& operator=(const ChildWatch&) = delete;
  ~ChildWatch() override {
    if (pidfd_ >= 0) {
      ::close(pidfd_);
    }
  }

  std::optional<ProcessEnd> WaitForEnd(std::chrono::milliseconds timeout) override {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!end_ && !Reap()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        break;
      }
      // The pidfd becomes readable when the child ends; without one (an
      // older kernel) the next look comes 2 ms later.
      pollfd ended{pidfd_, POLLIN, 0};
      ::poll(pidfd_ >= 0 ? &ended : nullptr, pidfd_ >= 0 ? 1 : 0,
             static_cast<int>(pidfd_ >= 0 ? left.count() : std::min<int64_t>(left.count(), 2)));
    }
    return end_;
  }

 private:
  bool Reap() {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) {
      return false;
    }
    end_ =
        WIFSIGNALED(status) ? ProcessEnd{0, WTERMSIG(status)} : ProcessEnd{WEXITSTATUS(status), 0};
    return true;
  }

  const pid_t pid_;
  const int pidfd_;
  std::optional<ProcessEnd> end_;
};

}  // namespace

std::unique_ptr<WatchedProcess> WatchChild(pid_t pid) {
  return std::make_unique<ChildWatch>(pid);
}

// The kernel's table names each lock's file as "major:minor:inode"; a "->"
// line is a waiter, not a holder.
bool FlockHeld(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return false;
  }
  std::string id(1, ' ');
  id.append(Hex2(major(st.st_dev))).append(1, ':').append(Hex2(minor(st.st_dev)));
  id.append(1, ':').append(std::to_string(st.st_ino)).append(1, ' ');
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    if (line.find(" FLOCK ") != std::string::npos && line.find("->") == std::string::npos &&
        line.find(id) != std::string::npos) {
      return true;
    }
  }
  return false;
}

}  // namespace lumivora::platform
