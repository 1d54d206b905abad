// Launch benchmark: the real launcher, offline (the settings file turns the
// update check off), with a pack holding a main program of 30 MiB, timed from
// the moment its process is started until the main program runs; side by
// side in the same run with Info-ZIP unzip extracting the same entry from the
// same pack and, when given, a previous build of the launcher.
//
//   bench_launch [MEBIBYTES] [ROUNDS] [PREVIOUS_LAUNCHER]   (30 MiB, 5 rounds)
//
// The main program is this program itself, padded with executable-like bytes
// and packed by Info-ZIP zip -P under the name "Lumivoramain": started under
// that name it writes the monotonic time at which it began to the FIFO named
// by LUMIVORA_BENCH_FIFO and ends. bench/build-previous-launcher builds the
// launcher of an earlier commit for the third column.
#include <poll.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/bench_support.h"

#ifndef LUMIVORA_PACK_PASSWORD
#error "LUMIVORA_PACK_PASSWORD must be defined by the build"
#endif

namespace {

namespace fs = std::filesystem;
using lumivora::bench::Results;
using lumivora::bench::RunProcess;
using Clock = std::chrono::steady_clock;

int64_t NowNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// Main-program mode: report the start time and end.
int ReportStart() {
  const int64_t started = NowNanoseconds();
  const char* fifo = std::getenv("LUMIVORA_BENCH_FIFO");
  if (fifo == nullptr) {
    return 2;
  }
  const int fd = open(fifo, O_WRONLY);
  const std::string text = std::to_string(started) + "\n";
  const bool written =
      fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return written ? 0 : 3;
}

// Waits (at most 30 s) for the main program's start time on READER, then for
// its end (the FIFO's writer closes); -1 when none came.
int64_t AwaitStart(int reader) {
  std::string text;
  pollfd poller{reader, POLLIN, 0};
  while (poll(&poller, 1, 30000) > 0) {
    char buffer[64];
    const ssize_t got = read(reader, buffer, sizeof buffer);
    if (got <= 0) {
      if (!text.empty()) {
        break;  // the writer is gone: the main program ended
      }
      continue;
    }
    text.append(buffer, static_cast<size_t>(got));
  }
  return text.empty() ? -1 : std::strtoll(text.c_str(), nullptr, 10);
}

struct Setup {
  std::string dir;
  std::string fifo;
  std::map<std::string, std::string> environment;
};

// A launcher installed beside a copy of the pack; its seconds until the main
// program ran.
double TimeLauncher(const Setup& setup, const std::string& launcher) {
  // Opened afresh for each start, so that the previous writer's end does not
  // count as this one's.
  const int reader = open(setup.fifo.c_str(), O_RDONLY | O_NONBLOCK);
  const int64_t start = NowNanoseconds();
  const lumivora::bench::Measure measure = RunProcess({launcher}, setup.environment);
  const int64_t started = AwaitStart(reader);
  close(reader);
  if (measure.status != 0 || started < 0) {
    std::fprintf(stderr, "\n%s: exit %d, main program %s\n", launcher.c_str(), measure.status,
                 started < 0 ? "not started" : "started");
    std::exit(1);
  }
  return static_cast<double>(started - start) / 1e9;
}

std::string Install(const Setup& setup, const std::string& name, const std::string& launcher) {
  const std::string folder = setup.dir + "/" + name;
  fs::create_directories(folder);
  fs::copy_file(launcher, folder + "/lumivora");
  const std::string module = fs::path(launcher).parent_path() / "lumivora-gtk.so";
  if (fs::exists(module)) {  // loaded only with a display, which this run has not
    fs::copy_file(module, folder + "/lumivora-gtk.so");
  }
  fs::copy_file(setup.dir + "/Lumivorapack", folder + "/Lumivorapack");
  return folder + "/lumivora";
}

Setup Prepare(size_t mebibytes) {
  char pattern[] = "/tmp/lvlaunchXXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  Setup setup;
  setup.dir = pattern;
  for (const char* folder : {"home/.config/Lumivora", "tmp", "stage", "peer"}) {
    fs::create_directories(setup.dir + "/" + folder);
  }
  // No update check: the run stays offline whatever the network says.
  std::ofstream(setup.dir + "/home/.config/Lumivora/Lumivora.ini")
      << "[Setup]\nAutoUpdate=0\nVersion=1.0\n";
  const std::string main = setup.dir + "/stage/Lumivoramain";
  fs::copy_file("/proc/self/exe", main);
  {
    std::ofstream out(main, std::ios::binary | std::ios::app);
    lumivora::bench::AppendExecutableLike(out, (mebibytes << 20U) - fs::file_size(main));
  }
  fs::permissions(main, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  // zip adds ".zip" to a name without an extension.
  if (RunProcess({"zip", "-q", "-j", "-P", LUMIVORA_PACK_PASSWORD, setup.dir + "/pack.zip", main})
          .status != 0) {
    std::fprintf(stderr, "zip failed\n");
    std::exit(1);
  }
  fs::rename(setup.dir + "/pack.zip", setup.dir + "/Lumivorapack");
  setup.fifo = setup.dir + "/started.fifo";
  mkfifo(setup.fifo.c_str(), 0600);
  setup.environment = {{"HOME", setup.dir + "/home"},
                       {"XDG_CONFIG_HOME", setup.dir + "/home/.config"},
                       {"XDG_RUNTIME_DIR", ""},
                       {"TMPDIR", setup.dir + "/tmp"},
                       {"DISPLAY", ""},
                       {"WAYLAND_DISPLAY", ""},
                       {"LUMIVORA_BENCH_FIFO", setup.fifo}};
  return setup;
}

}  // namespace

int main(int argc, char** argv) {
  if (fs::path(argv[0]).filename() == "Lumivoramain") {
    return ReportStart();
  }
  const size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 30;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::string previous = argc > 3 ? fs::absolute(argv[3]).string() : "";
  const Setup setup = Prepare(mebibytes);
  const std::string pack = setup.dir + "/Lumivorapack";
  std::printf("pack: %zu MiB main program, %ju bytes in the pack; %s\n", mebibytes,
              static_cast<uintmax_t>(fs::file_size(pack)), lumivora::bench::LoadText().c_str());
  const std::string launcher =
      Install(setup, "install", std::string(LUMIVORA_BIN_DIR) + "/lumivora");
  const std::string earlier = previous.empty() ? "" : Install(setup, "previous", previous);
  Results results;
  for (int round = 0; round < rounds; ++round) {
    lumivora::bench::Measure ours;
    ours.seconds = TimeLauncher(setup, launcher);
    results.Add("launcher", ours);
    const lumivora::bench::Measure peer =
        RunProcess({"unzip", "-o", "-qq", "-P", LUMIVORA_PACK_PASSWORD, pack, "Lumivoramain", "-d",
                    setup.dir + "/peer"});
    if (peer.status != 0) {
      std::fprintf(stderr, "unzip failed with %d\n", peer.status);
      return 1;
    }
    results.Add("unzip", peer);
    std::printf("round %d: launcher %.3f s, unzip %.3f s", round + 1, ours.seconds, peer.seconds);
    if (!earlier.empty()) {
      lumivora::bench::Measure before;
      before.seconds = TimeLauncher(setup, earlier);
      results.Add("previous", before);
      std::printf(", previous launcher %.3f s", before.seconds);
    }
    std::printf("\n");
  }
  fs::remove_all(setup.dir);
  const double best = results.best["launcher"];
  std::printf("best: launcher %.3f s, unzip %.3f s", best, results.best["unzip"]);
  if (!earlier.empty()) {
    std::printf(", previous launcher %.3f s", results.best["previous"]);
  }
  std::printf("\n");
  // The goal is met by either comparison: 2.3 times as fast as unzip
  // extracting the entry, or twice as fast as the previous launcher.
  bool ok = lumivora::bench::PrintRatio("unzip / launcher", results.best["unzip"] / best, 2.3);
  if (!earlier.empty()) {
    ok = lumivora::bench::PrintRatio("previous launcher / launcher",
                                     results.best["previous"] / best, 2.0) ||
         ok;
  }
  std::printf("launch goal (either ratio): %s\n", ok ? "met" : "NOT met");
  std::printf("after: %s\n", lumivora::bench::LoadText().c_str());
  return ok ? 0 : 2;
}
