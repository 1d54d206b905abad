// Launch benchmark: the real launcher, offline (the settings file turns the
// update check off), with a pack holding a main program of 30 MiB, timed from
// the moment its process is started until the main program runs; side by
// side in the same run with Info-ZIP unzip extracting the same entry from the
// same pack and, when given, a previous build of the launcher.
//
//   bench_launch [MEBIBYTES] [ROUNDS] [PREVIOUS_LAUNCHER]   (30 MiB, 5 rounds)
//   bench_launch --update OLD NEW [ROUNDS]
//
// The second form times a whole update over loopback: release 1.0 installed,
// release 1.1 taken once as the whole pack and once as a patch from 1.0 (see
// UpdateBench); the goal is the patch's update finishing first.
//
// The main program is this program itself, padded with executable-like bytes
// and packed by Info-ZIP zip -P under the name "Lumivoramain": started under
// that name it writes the monotonic time at which it began to the FIFO named
// by LUMIVORA_BENCH_FIFO and ends. bench/build-previous-launcher builds the
// launcher of an earlier commit for the third column.
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

// Main-program mode: report the start time and this program's size, and end.
int ReportStart() {
  const int64_t started = NowNanoseconds();
  const char* fifo = std::getenv("LUMIVORA_BENCH_FIFO");
  if (fifo == nullptr) {
    return 2;
  }
  const int fd = open(fifo, O_WRONLY);
  const std::string text =
      std::to_string(started) + " " + std::to_string(fs::file_size("/proc/self/exe")) + "\n";
  const bool written =
      fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return written ? 0 : 3;
}

// Waits (at most 30 s) for the main program's start time on READER, then for
// its end (the FIFO's writer closes); -1 when none came. SIZE: its size.
int64_t AwaitStart(int reader, uintmax_t* size = nullptr) {
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
  char* end = nullptr;
  const int64_t started = text.empty() ? -1 : std::strtoll(text.c_str(), &end, 10);
  if (size != nullptr && end != nullptr) {
    *size = std::strtoumax(end, nullptr, 10);
  }
  return started;
}

struct Setup {
  std::string dir;
  std::string fifo;
  std::map<std::string, std::string> environment;
};

// A launcher installed beside a copy of the pack; its seconds until the main
// program ran.
double TimeLauncher(const Setup& setup, const std::string& launcher,
                    uintmax_t* mainSize = nullptr) {
  // Opened afresh for each start, so that the previous writer's end does not
  // count as this one's.
  const int reader = open(setup.fifo.c_str(), O_RDONLY | O_NONBLOCK);
  const int64_t start = NowNanoseconds();
  const lumivora::bench::Measure measure = RunProcess({launcher}, setup.environment);
  const int64_t started = AwaitStart(reader, mainSize);
  close(reader);
  if (measure.status != 0 || started < 0) {
    std::fprintf(stderr, "\n%s: exit %d, main program %s\n", launcher.c_str(), measure.status,
                 started < 0 ? "not started" : "started");
    std::exit(1);
  }
  return static_cast<double>(started - start) / 1e9;
}

std::string Install(const Setup& setup, const std::string& name, const std::string& launcher,
                    const std::string& pack) {
  const std::string folder = setup.dir + "/" + name;
  fs::create_directories(folder);
  fs::copy_file(launcher, folder + "/lumivora");
  const std::string module = fs::path(launcher).parent_path() / "lumivora-gtk.so";
  if (fs::exists(module)) {  // loaded only with a display, which this run has not
    fs::copy_file(module, folder + "/lumivora-gtk.so");
  }
  fs::copy_file(pack, folder + "/Lumivorapack");
  return folder + "/lumivora";
}

// A private folder with a home, a temporary folder, a stage and the FIFO the
// main program reports to, and the launcher's environment there (no display).
Setup NewSetup() {
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

// This program as a main program at PATH, followed by SIZE executable-like
// bytes, or by the bytes of the file TAIL.
void MakeMainProgram(const std::string& path, size_t size, const std::string& tail = "") {
  fs::copy_file("/proc/self/exe", path, fs::copy_options::overwrite_existing);
  {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    if (tail.empty()) {
      lumivora::bench::AppendExecutableLike(out, size - fs::file_size(path));
    } else {
      std::ifstream in(tail, std::ios::binary);
      std::vector<char> buffer(size_t{1} << 20U);
      while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) ||
             in.gcount() > 0) {
        out.write(buffer.data(), in.gcount());
      }
    }
  }
  fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
}

Setup Prepare(size_t mebibytes) {
  Setup setup = NewSetup();
  // No update check: the run stays offline whatever the network says.
  std::ofstream(setup.dir + "/home/.config/Lumivora/Lumivora.ini")
      << "[Setup]\nAutoUpdate=0\nVersion=1.0\n";
  const std::string main = setup.dir + "/stage/Lumivoramain";
  MakeMainProgram(main, mebibytes << 20U);
  // zip adds ".zip" to a name without an extension.
  if (RunProcess({"zip", "-q", "-j", "-P", LUMIVORA_PACK_PASSWORD, setup.dir + "/pack.zip", main})
          .status != 0) {
    std::fprintf(stderr, "zip failed\n");
    std::exit(1);
  }
  fs::rename(setup.dir + "/pack.zip", setup.dir + "/Lumivorapack");
  return setup;
}

// The loopback update server (tools/update-server: nginx on 127.0.0.1:8808,
// the address built into the demo launcher) serving ROOT until it is
// destroyed (its standard input closes).
class UpdateServer {
 public:
  UpdateServer(const std::string& root, uint64_t rate) {
    int input[2];
    int output[2];
    if (pipe(input) != 0 || pipe(output) != 0) {
      std::perror("pipe");
      std::exit(1);
    }
    pid_ = fork();
    if (pid_ == 0) {
      dup2(input[0], STDIN_FILENO);
      dup2(output[1], STDOUT_FILENO);
      close(input[1]);
      close(output[0]);
      const std::string server = std::string(LUMIVORA_SOURCE_DIR) + "/tools/update-server";
      const std::string bytesPerSecond = std::to_string(rate);
      execl(server.c_str(), server.c_str(), root.c_str(), "8808", "--rate", bytesPerSecond.c_str(),
            "--until-stdin-closes", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(input[0]);
    close(output[1]);
    input_ = input[1];
    std::string text;
    pollfd poller{output[0], POLLIN, 0};
    char buffer[256];
    while (text.find("ready") == std::string::npos && poll(&poller, 1, 20000) > 0) {
      const ssize_t got = read(output[0], buffer, sizeof buffer);
      if (got <= 0) {
        break;
      }
      text.append(buffer, static_cast<size_t>(got));
    }
    close(output[0]);
    if (text.find("ready") == std::string::npos) {
      std::fprintf(stderr, "the update server did not start (is port 8808 in use?)\n");
      std::exit(1);
    }
  }
  UpdateServer(const UpdateServer&) = delete;
  UpdateServer& operator=(const UpdateServer&) = delete;
  ~UpdateServer() {
    close(input_);
    waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
};

void Tool(const std::vector<std::string>& arguments) {
  std::vector<std::string> command = {std::string(LUMIVORA_BIN_DIR) + "/lumivora-tool"};
  command.insert(command.end(), arguments.begin(), arguments.end());
  if (RunProcess(command).status != 0) {
    std::fprintf(stderr, "lumivora-tool %s failed\n", arguments.front().c_str());
    std::exit(1);
  }
}

// Update mode: release 1.0 of a main program (this program followed by OLD)
// installed, release 1.1 (this program followed by NEXT) offered on loopback,
// once as the whole pack and once with a patch from 1.0 (release --previous);
// each start timed from the launcher's start until the 1.1 program runs.
int UpdateBench(const std::string& old, const std::string& next, int rounds) {
  const Setup setup = NewSetup();
  const std::string stage = setup.dir + "/stage/";
  const std::string www = setup.dir + "/www/lumivora/";
  fs::create_directories(www);
  MakeMainProgram(stage + "old", 0, old);
  MakeMainProgram(stage + "new", 0, next);
  const uintmax_t newSize = fs::file_size(stage + "new");
  Tool({"pack", stage + "old", "-o", stage + "Lumivorapack", "--version", "1.0"});
  // Each release in a folder of its own: a pack is encrypted afresh each time.
  const auto publish = [&](const std::string& way, std::vector<std::string> more) {
    fs::create_directories(www + way);
    std::vector<std::string> release = {
        "release",   stage + "new",
        "--version", "1.1",
        "--url",     "http://127.0.0.1:8808/lumivora/" + way + "/Lumivorapack-1.1",
        "--key",     std::string(LUMIVORA_SOURCE_DIR) + "/keys/demo-only/root.key",
        "-o",        www + way};
    release.insert(release.end(), more.begin(), more.end());
    Tool(release);
  };
  publish("full", {});
  publish("delta", {"--previous", stage + "Lumivorapack"});
  std::printf("main program %ju -> %ju bytes; pack %ju bytes, patch %ju bytes; %s\n",
              static_cast<uintmax_t>(fs::file_size(stage + "old")), newSize,
              static_cast<uintmax_t>(fs::file_size(www + "full/Lumivorapack-1.1")),
              static_cast<uintmax_t>(fs::file_size(www + "delta/Lumivorapack-1.1-from-1.0.patch")),
              lumivora::bench::LoadText().c_str());
  const std::string launcher = Install(
      setup, "install", std::string(LUMIVORA_BIN_DIR) + "/lumivora", stage + "Lumivorapack");
  const std::string config = setup.dir + "/home/.config/Lumivora/";
  // One start from 1.0 to 1.1, the whole pack's way or the patch's: its time.
  const auto start = [&](const std::string& way) {
    fs::copy_file(www + way + "/update.ini", www + "update.ini",
                  fs::copy_options::overwrite_existing);
    fs::copy_file(stage + "Lumivorapack", setup.dir + "/install/Lumivorapack",
                  fs::copy_options::overwrite_existing);
    fs::remove_all(config);
    fs::create_directories(config);
    std::ofstream(config + "Lumivora.ini")
        << "[Setup]\nVersion=1.0\nAutoUpdate=2\nNextUpdate=0\nSilentUpdate=1\n";
    uintmax_t started = 0;
    lumivora::bench::Measure measure;
    measure.seconds = TimeLauncher(setup, launcher, &started);
    // The launcher logs the making of the pack: "... made from version 1.0
    // and a patch of N bytes in M ms".
    std::string made;
    std::ifstream log(config + "Lumivora.log");
    for (std::string line; std::getline(log, line);) {
      if (line.find("delta: version 1.1 made from version 1.0") != std::string::npos) {
        made = line.substr(line.rfind(" in ") + 4);
      }
    }
    if (started != newSize || made.empty() != (way == "full")) {
      std::fprintf(stderr, "\n%s: the 1.1 program did not start %s (%s kept)\n", way.c_str(),
                   made.empty() ? "from the whole pack" : "from a patch", setup.dir.c_str());
      std::exit(1);
    }
    std::printf(" %s %.3f s%s", way.c_str(), measure.seconds,
                made.empty() ? "" : (" (the pack made in " + made + ")").c_str());
    return measure;
  };
  // Unshaped loopback, then links of 100 and 20 Mbit/s (nginx's limit_rate).
  bool ok = true;
  for (const uint64_t rate : {uint64_t{0}, uint64_t{12500000}, uint64_t{2500000}}) {
    const UpdateServer server(setup.dir + "/www", rate);
    Results results;
    for (int round = 0; round < rounds; ++round) {
      std::printf("%s, round %d:",
                  rate == 0 ? "loopback" : (std::to_string(rate * 8 / 1000000) + " Mbit/s").c_str(),
                  round + 1);
      results.Add("full", start("full"));
      results.Add("delta", start("delta"));
      std::printf("\n");
    }
    const double full = results.best["full"];
    const double delta = results.best["delta"];
    std::printf("best: whole pack %.3f s, patch %.3f s\n", full, delta);
    const bool met = lumivora::bench::PrintRatio("whole pack / patch", full / delta, 1.0);
    ok = ok && (met || rate == 0);
    if (rate == 0 && !met) {
      // Where the patch's way would finish first: the bytes it spares take
      // longer than the making of the pack.
      const double spared =
          static_cast<double>(fs::file_size(www + "full/Lumivorapack-1.1")) -
          static_cast<double>(fs::file_size(www + "delta/Lumivorapack-1.1-from-1.0.patch"));
      std::printf("break-even: below %.0f Mbit/s the patch's way finishes first\n",
                  spared * 8 / (delta - full) / 1e6);
    }
  }
  fs::remove_all(setup.dir);
  std::printf("goal (the patch first on links up to 100 Mbit/s): %s\nafter: %s\n",
              ok ? "met" : "NOT met", lumivora::bench::LoadText().c_str());
  return ok ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (fs::path(argv[0]).filename() == "Lumivoramain") {
    return ReportStart();
  }
  if (argc >= 4 && std::string(argv[1]) == "--update") {
    return UpdateBench(argv[2], argv[3], argc > 4 ? std::atoi(argv[4]) : 5);
  }
  const size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 30;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::string previous = argc > 3 ? fs::absolute(argv[3]).string() : "";
  const Setup setup = Prepare(mebibytes);
  const std::string pack = setup.dir + "/Lumivorapack";
  std::printf("pack: %zu MiB main program, %ju bytes in the pack; %s\n", mebibytes,
              static_cast<uintmax_t>(fs::file_size(pack)), lumivora::bench::LoadText().c_str());
  const std::string launcher =
      Install(setup, "install", std::string(LUMIVORA_BIN_DIR) + "/lumivora", pack);
  const std::string earlier = previous.empty() ? "" : Install(setup, "previous", previous, pack);
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
