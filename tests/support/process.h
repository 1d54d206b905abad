// Runs a program (searched in PATH) as a child process with a given environment, collects its
// standard output and error, and waits for it with a time bound (the child is
// killed when the bound is reached), also for a shell command line.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace lumivora::testing {

struct ProcessResult {
  int exitCode = -1;  // -1: killed at the time bound or by a signal
  std::string out;
  std::string err;
  // User and system CPU time of the child and of the children it waited for.
  std::chrono::microseconds cpu{0};
};

// The current environment with OVERRIDES applied (an empty value removes).
inline std::vector<std::string> Environment(const std::map<std::string, std::string>& overrides) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    if (overrides.count(name) == 0) {
      result.push_back(text);
    }
  }
  for (const auto& [name, value] : overrides) {
    if (!value.empty()) {
      result.push_back(name + "=" + value);
    }
  }
  return result;
}

// A started child with pipes on its standard streams.
class ChildProcess {
 public:
  // With TERMINAL, standard input is a pseudo-terminal (a program sees a
  // user at a terminal) instead of a pipe; with ERRORFILE, standard error is
  // appended to that file instead of read.
  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               bool terminal = false, const std::string& errorFile = "") {
    std::array<int, 2> in{};
    std::array<int, 2> out{};
    std::array<int, 2> err{};
    if (terminal) {
      if (::openpty(&in[1], &in[0], nullptr, nullptr, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
      }
      ::fcntl(in[0], F_SETFD, FD_CLOEXEC);
      ::fcntl(in[1], F_SETFD, FD_CLOEXEC);
    } else if (::pipe2(in.data(), O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe failed");
    }
    if (::pipe2(out.data(), O_CLOEXEC) != 0 || ::pipe2(err.data(), O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    if (!errorFile.empty()) {
      posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(),
                                       O_WRONLY | O_CREAT | O_APPEND, 0644);
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
      args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& entry : env) {
      envp.push_back(const_cast<char*>(entry.c_str()));
    }
    envp.push_back(nullptr);
    const int error = ::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    stderr_ = err[0];
    if (error != 0) {
      pid_ = -1;
      throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() {
    CloseInput();
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    for (const int fd : {stdout_, stderr_}) {
      if (fd >= 0) {
        ::close(fd);
      }
    }
  }

  // Types TEXT at the child's standard input.
  void Type(const std::string& text) {
    if (stdin_ >= 0) {
      const ssize_t written = ::write(stdin_, text.data(), text.size());
      (void)written;
    }
  }

  // Reads standard error (or output) until it holds TEXT; false at the time
  // bound or at the end of the stream.
  bool WaitForError(const std::string& text, std::chrono::milliseconds bound) {
    return WaitFor(err_, text, bound, false);
  }
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds bound) {
    return WaitFor(out_, text, bound, true);
  }

  void Signal(int signal) {
    if (pid_ > 0) {
      ::kill(pid_, signal);
    }
  }

  void CloseInput() {
    if (stdin_ >= 0) {
      ::close(stdin_);
      stdin_ = -1;
    }
  }

  // Waits for the end of the child (killing it at the time bound).
  ProcessResult Wait(std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (stdout_ >= 0 || stderr_ >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        ::kill(pid_, SIGKILL);
        break;
      }
      Pump(static_cast<int>(left.count()), false);
    }
    ProcessResult result;
    int status = 0;
    rusage usage{};
    ::wait4(pid_, &status, 0, &usage);
    pid_ = -1;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    for (const timeval& time : {usage.ru_utime, usage.ru_stime}) {
      result.cpu += std::chrono::seconds(time.tv_sec) + std::chrono::microseconds(time.tv_usec);
    }
    result.out = out_;
    result.err = err_;
    return result;
  }

  // True once the child has ended (it is reaped only by Wait).
  [[nodiscard]] bool Ended() const {
    siginfo_t info{};
    return pid_ > 0 &&
           ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid_;
  }

  [[nodiscard]] int Pid() const { return pid_; }
  [[nodiscard]] const std::string& Output() const { return out_; }

 private:
  bool WaitFor(const std::string& seen, const std::string& text, std::chrono::milliseconds bound,
               bool outOnly) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (seen.find(text) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !Pump(static_cast<int>(left.count()), outOnly)) {
        return false;
      }
    }
    return true;
  }

  // One poll round over the open output pipes; false when nothing is open.
  bool Pump(int timeoutMs, bool outOnly) {
    std::vector<pollfd> fds;
    if (stdout_ >= 0) {
      fds.push_back({stdout_, POLLIN, 0});
    }
    if (stderr_ >= 0 && !outOnly) {
      fds.push_back({stderr_, POLLIN, 0});
    }
    if (fds.empty()) {
      return false;
    }
    if (::poll(fds.data(), fds.size(), timeoutMs) <= 0) {
      return true;
    }
    for (const pollfd& fd : fds) {
      if ((fd.revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
        continue;
      }
      std::array<char, 4096> buffer{};
      const ssize_t n = ::read(fd.fd, buffer.data(), buffer.size());
      int& own = fd.fd == stdout_ ? stdout_ : stderr_;
      std::string& text = fd.fd == stdout_ ? out_ : err_;
      if (n <= 0) {
        ::close(own);
        own = -1;
      } else {
        text.append(buffer.data(), static_cast<size_t>(n));
      }
    }
    return stdout_ >= 0 || !outOnly;
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  int stderr_ = -1;
  std::string out_;
  std::string err_;
};

// Polls CONDITION until it holds or BOUND passes (for states that no tool can
// wait for).
template <typename F>
bool PollUntil(F condition, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    ::poll(nullptr, 0, 20);  // the next look, not a synchronisation
  }
  return true;
}

inline ProcessResult RunProcess(const std::vector<std::string>& argv,
                                const std::map<std::string, std::string>& overrides,
                                std::chrono::milliseconds bound = std::chrono::seconds(60)) {
  ChildProcess child(argv, Environment(overrides));
  child.CloseInput();
  return child.Wait(bound);
}

// Runs COMMAND through the shell; its exit status (-1 when it did not end
// normally within a minute) and standard output.
struct ShellResult {
  int exitCode = -1;
  std::string output;
};

inline ShellResult Shell(const std::string& command) {
  const ProcessResult result = RunProcess({"/bin/sh", "-c", command}, {});
  return {result.exitCode, result.out};
}

// While it lives, files this process writes may not grow past LIMIT bytes
// (none when negative): SIGXFSZ is ignored, so a write past it comes back
// short, as on a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(int64_t limit) : active_(limit >= 0) {
    if (active_) {
      getrlimit(RLIMIT_FSIZE, &saved_);
      previous_ = std::signal(SIGXFSZ, SIG_IGN);
      rlimit lowered = saved_;
      lowered.rlim_cur = static_cast<rlim_t>(limit);
      setrlimit(RLIMIT_FSIZE, &lowered);
    }
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  ~FileSizeLimit() {
    if (active_) {
      setrlimit(RLIMIT_FSIZE, &saved_);
      std::signal(SIGXFSZ, previous_);
    }
  }

 private:
  bool active_;
  rlimit saved_{};
  void (*previous_)(int) = nullptr;
};

}  // namespace lumivora::testing
