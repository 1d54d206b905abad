// Shared by the extraction and launch benchmarks: whole processes run as
// children with their wall time and peak resident memory, executable-like
// input, and the machine's load (the figures are only as good as the load
// during the run allows).
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace lumivora::bench {

struct Measure {
  double seconds = 0;
  long peakKiB = 0;
  int status = -1;
};

// Runs ARGV as a child process with standard output and error on /dev/null
// and the variables of ENVIRONMENT set (an empty value unsets); its wall
// time and peak RSS.
inline Measure RunProcess(const std::vector<std::string>& argv,
                          const std::map<std::string, std::string>& environment = {}) {
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));  // NOLINT: execvp's interface
  }
  args.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    for (const auto& [name, value] : environment) {
      if (value.empty()) {
        unsetenv(name.c_str());
      } else {
        setenv(name.c_str(), value.c_str(), 1);
      }
    }
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execvp(args[0], args.data());
    _exit(127);
  }
  Measure measure;
  int status = 0;
  rusage usage{};
  if (pid > 0 && wait4(pid, &status, 0, &usage) == pid) {
    measure.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    measure.peakKiB = usage.ru_maxrss;
  }
  measure.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return measure;
}

// Executable-like content, modelled on machine code: skewed byte values with
// short repeats at distances up to 2 KiB. Deflate level 6 keeps about 39 %
// of it and zlib inflates it at the pace of real programs (about 330 MB/s
// of output here).
inline void AppendExecutableLike(std::ofstream& out, size_t size, uint32_t seed = 2026) {
  constexpr size_t kBlock = size_t{1} << 20U;
  constexpr size_t kReach = 2048;
  std::mt19937 random(seed);
  std::vector<char> buffer;
  buffer.reserve(kBlock + kReach + 16);
  while (size > 0) {
    const size_t start = buffer.size();
    while (buffer.size() < start + kBlock) {
      const auto value = static_cast<uint32_t>(random());
      if (value % 100 < 50 && buffer.size() > kReach) {
        const size_t back = 1 + (value >> 8U) % kReach;
        const size_t length = 3 + (value >> 20U) % 8;
        for (size_t i = 0; i < length; ++i) {
          buffer.push_back(buffer[buffer.size() - back]);
        }
      } else {
        const uint32_t pick = static_cast<uint32_t>(random()) % 256;
        buffer.push_back(static_cast<char>(((pick * pick / 256) * 167 + 13) & 0xFFU));
      }
    }
    const size_t n = std::min(size, buffer.size() - start);
    out.write(buffer.data() + start, static_cast<std::streamsize>(n));
    size -= n;
    buffer.erase(buffer.begin(), buffer.end() - static_cast<std::ptrdiff_t>(kReach));
  }
}

inline void MakeExecutableLike(const std::string& path, size_t size) {
  std::ofstream out(path, std::ios::binary);
  AppendExecutableLike(out, size);
}

// "1-minute load a.aa, processors n".
inline std::string LoadText() {
  double load[1] = {0};
  getloadavg(load, 1);
  char text[64];
  std::snprintf(text, sizeof text, "load %.2f on %ld processors", load[0],
                sysconf(_SC_NPROCESSORS_ONLN));
  return text;
}

// The best (smallest) time of each contender over the rounds and the largest
// peak RSS, by name.
struct Results {
  std::map<std::string, double> best;
  std::map<std::string, long> peak;
  void Add(const std::string& name, const Measure& measure) {
    const auto found = best.find(name);
    best[name] = found == best.end() ? measure.seconds : std::min(found->second, measure.seconds);
    peak[name] = std::max(peak[name], measure.peakKiB);
  }
};

// Prints "NAME: ratio R (goal >= G) ok|BELOW" and returns whether it holds.
inline bool PrintRatio(const char* name, double ratio, double goal) {
  const bool ok = ratio >= goal;
  std::printf("%s: ratio %.2f (goal >= %.1f) %s\n", name, ratio, goal, ok ? "ok" : "BELOW");
  return ok;
}

}  // namespace lumivora::bench
