// Extraction benchmark: one large executable-like entry extracted in the same
// run by Info-ZIP unzip, 7-Zip (7z x) and lumivora-tool extract (TUnZip),
// each as a whole process writing its output file, round after round. Three
// archives of the same content made by Info-ZIP zip: deflated and encrypted
// (zip -P, as the pack is), stored, and stored and encrypted. Prints each
// round, then the best times, the peak resident memory of lumivora-tool and
// the ratios against their goals, with the machine's load before and after.
//
//   bench_unzip [MEBIBYTES] [ROUNDS]     (defaults: 100 MiB, 3 rounds)
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_support.h"

namespace {

using lumivora::bench::Measure;
using lumivora::bench::Results;
using lumivora::bench::RunProcess;

constexpr const char* kPassword = "bench-pass";
constexpr long kPeakGoalKiB = 8 * 1024;

struct Archive {
  const char* name;
  const char* zipOptions;
  bool encrypted;
  bool with7z;
  double unzipGoal;  // 0: printed without a goal
};

std::vector<std::string> Command(const std::string& who, const std::string& tool,
                                 const std::string& zip, const std::string& out, bool encrypted) {
  const std::string password = encrypted ? kPassword : "";
  if (who == "unzip") {
    std::vector<std::string> argv = {"unzip", "-o", "-qq"};
    if (encrypted) {
      argv.insert(argv.end(), {"-P", password});
    }
    argv.insert(argv.end(), {zip, "-d", out});
    return argv;
  }
  if (who == "7z") {
    std::vector<std::string> argv = {"7z", "x", "-y", "-o" + out};
    if (encrypted) {
      argv.push_back("-p" + password);
    }
    argv.push_back(zip);
    return argv;
  }
  std::vector<std::string> argv = {tool, "extract", zip, "-d", out};
  if (encrypted) {
    argv.insert(argv.end(), {"-P", password});
  }
  return argv;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const std::string tool = std::string(LUMIVORA_BIN_DIR) + "/lumivora-tool";
  char pattern[] = "/tmp/lvbenchXXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = pattern;
  const std::string data = dir + "/program.bin";
  lumivora::bench::MakeExecutableLike(data, mebibytes << 20U);
  const Archive archives[] = {
      {"deflated+encrypted", "-6", true, true, 2.5},
      {"stored", "-0", false, false, 1.8},
      // Bound by traditional decryption, which is serial (each key depends on
      // the byte before): shown for reference.
      {"stored+encrypted", "-0", true, false, 0},
  };
  for (const Archive& archive : archives) {
    std::vector<std::string> zipArgs = {"zip", "-q", "-j", archive.zipOptions};
    if (archive.encrypted) {
      zipArgs.insert(zipArgs.end(), {"-P", kPassword});
    }
    zipArgs.insert(zipArgs.end(), {dir + "/" + archive.name + ".zip", data});
    if (RunProcess(zipArgs).status != 0) {
      std::fprintf(stderr, "zip failed\n");
      return 1;
    }
  }
  std::printf("input: %zu MiB executable-like entry; %s\n", mebibytes,
              lumivora::bench::LoadText().c_str());

  bool allOk = true;
  for (const Archive& archive : archives) {
    const std::string zip = dir + "/" + archive.name + ".zip";
    std::printf("%s: %ju bytes in the archive\n", archive.name,
                static_cast<uintmax_t>(std::filesystem::file_size(zip)));
    std::vector<std::string> contenders = {"unzip", "lumivora-tool"};
    if (archive.with7z) {
      contenders.insert(contenders.begin() + 1, "7z");
    }
    Results results;
    for (int round = 0; round < rounds; ++round) {
      std::printf("  round %d:", round + 1);
      for (const std::string& who : contenders) {
        const std::string out = dir + "/out-" + who;
        std::filesystem::remove_all(out);
        const Measure measure = RunProcess(Command(who, tool, zip, out, archive.encrypted));
        if (measure.status != 0) {
          std::fprintf(stderr, "\n%s failed with %d\n", who.c_str(), measure.status);
          return 1;
        }
        if (RunProcess({"cmp", "-s", data, out + "/program.bin"}).status != 0) {
          std::fprintf(stderr, "\n%s: output differs\n", who.c_str());
          return 1;
        }
        std::printf(" %s %.3f s", who.c_str(), measure.seconds);
        std::fflush(stdout);
        results.Add(who, measure);
      }
      std::printf("\n");
    }
    const double ours = results.best["lumivora-tool"];
    std::printf("  best:");
    for (const std::string& who : contenders) {
      std::printf(" %s %.3f s", who.c_str(), results.best[who]);
    }
    std::printf(" (lumivora-tool %.0f MiB/s)\n", static_cast<double>(mebibytes) / ours);
    const long peak = results.peak["lumivora-tool"];
    std::printf("  peak RSS lumivora-tool %ld KiB (goal < %ld KiB) %s\n", peak, kPeakGoalKiB,
                peak < kPeakGoalKiB ? "ok" : "ABOVE");
    allOk = peak < kPeakGoalKiB && allOk;
    if (archive.unzipGoal > 0) {
      allOk = lumivora::bench::PrintRatio("  unzip / lumivora-tool", results.best["unzip"] / ours,
                                          archive.unzipGoal) &&
              allOk;
    } else {
      std::printf("  unzip / lumivora-tool: ratio %.2f (no goal)\n", results.best["unzip"] / ours);
    }
    if (archive.with7z) {
      allOk = lumivora::bench::PrintRatio("  7z / lumivora-tool", results.best["7z"] / ours, 1.8) &&
              allOk;
    }
  }
  std::filesystem::remove_all(dir);
  std::printf("after: %s\n", lumivora::bench::LoadText().c_str());
  return allOk ? 0 : 2;
}
