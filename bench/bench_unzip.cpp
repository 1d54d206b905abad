// Extraction benchmark: one large executable-like entry, deflated and
// encrypted by Info-ZIP zip -P, extracted in the same run by Info-ZIP unzip
// and by lumivora-tool extract (TUnZip), each as a whole process. Prints
// the times, the peak resident memory of each process, and the ratio last.
//
//   bench_unzip [MEBIBYTES] [ROUNDS]     (defaults: 200 MiB, 3 rounds)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

struct Measure {
  double seconds = 0;
  long peakKiB = 0;
  int status = -1;
};

// Runs ARGV as a child process; wall time and the child's peak RSS.
Measure RunProcess(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));  // NOLINT: execvp's interface
  }
  args.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
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

// Executable-like content: code-ish byte runs with repeats and tables.
void MakeInput(const std::string& path, size_t size) {
  std::mt19937 random(2026);
  std::ofstream out(path, std::ios::binary);
  std::vector<char> block;
  block.reserve(1 << 20);
  std::vector<char> history;
  while (size > 0) {
    block.clear();
    while (block.size() < (1U << 20)) {
      const auto value = static_cast<uint32_t>(random());
      if ((value & 3U) != 0 && block.size() > 256) {
        const size_t back = 1 + (value >> 4U) % 256;
        const size_t length = 4 + (value >> 12U) % 28;
        for (size_t i = 0; i < length; ++i) {
          block.push_back(block[block.size() - back]);
        }
      } else {
        for (int i = 0; i < 4; ++i) {
          block.push_back(static_cast<char>((value >> (8U * static_cast<unsigned>(i))) & 0xFFU));
        }
      }
    }
    const size_t n = std::min(size, block.size());
    out.write(block.data(), static_cast<std::streamsize>(n));
    size -= n;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const std::string tool = std::string(LUMIVORA_BIN_DIR) + "/lumivora-tool";
  char pattern[] = "/tmp/lvbenchXXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = pattern;
  const std::string data = dir + "/program.bin";
  const std::string zip = dir + "/pack.zip";
  std::printf("input: %zu MiB executable-like entry, deflated and encrypted by zip -P\n",
              mebibytes);
  MakeInput(data, mebibytes << 20U);
  const Measure made = RunProcess({"zip", "-q", "-j", "-P", "bench-pass", zip, data});
  if (made.status != 0) {
    std::fprintf(stderr, "zip failed\n");
    return 1;
  }
  std::filesystem::remove(data);

  double bestPeer = 1e9;
  double bestOurs = 1e9;
  long peerPeak = 0;
  long oursPeak = 0;
  for (int round = 0; round < rounds; ++round) {
    const Measure peer =
        RunProcess({"unzip", "-o", "-qq", "-P", "bench-pass", zip, "-d", dir + "/peer"});
    const Measure ours =
        RunProcess({tool, "extract", zip, "-d", dir + "/ours", "-P", "bench-pass"});
    if (peer.status != 0 || ours.status != 0) {
      std::fprintf(stderr, "extraction failed (unzip %d, lumivora-tool %d)\n", peer.status,
                   ours.status);
      return 1;
    }
    std::printf("round %d: unzip %.3f s, lumivora-tool %.3f s\n", round + 1, peer.seconds,
                ours.seconds);
    bestPeer = std::min(bestPeer, peer.seconds);
    bestOurs = std::min(bestOurs, ours.seconds);
    peerPeak = std::max(peerPeak, peer.peakKiB);
    oursPeak = std::max(oursPeak, ours.peakKiB);
  }
  const bool same =
      RunProcess({"cmp", "-s", dir + "/peer/program.bin", dir + "/ours/program.bin"}).status == 0;
  std::filesystem::remove_all(dir);
  std::printf("outputs identical: %s\n", same ? "yes" : "NO");
  std::printf("best unzip: %.3f s (%.1f MiB/s), peak RSS %ld KiB\n", bestPeer,
              static_cast<double>(mebibytes) / bestPeer, peerPeak);
  std::printf("best lumivora-tool extract: %.3f s (%.1f MiB/s)\n", bestOurs,
              static_cast<double>(mebibytes) / bestOurs);
  std::printf("peak RSS lumivora-tool extract: %ld KiB\n", oursPeak);
  std::printf("ratio unzip / lumivora-tool: %.2f\n", bestPeer / bestOurs);
  return same ? 0 : 1;
}
