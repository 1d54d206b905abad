// Binary patches of real consecutive releases: the patch's size against
// Debian's bsdiff and zstd's patch mode (zstd --patch-from -19 --long), the
// time and peak memory of making and applying one (each in a child process:
// the old file read by offset, the new one written out as it comes).
//   build/bin/bench_delta [--preset N] [--window LOG] OLD NEW [OLD NEW]...
// Goals: the patch at most 0.9 x bsdiff's on each pair; for a program of up
// to 30 MiB, made within 10 s and 1 GiB, applied within 0.5 s and 64 MiB. Fetch the pairs by hand,
// e.g. apt-get download of two versions of a package and dpkg-deb -x.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "delta/apply_patch.h"
#include "delta/make_patch.h"

namespace {

using lumivora::bench::Measure;
using lumivora::bench::RunProcess;
namespace delta = lumivora::delta;

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

long FileSize(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 ? static_cast<long>(status.st_size) : -1;
}

// The child's side: make OLD NEW PATCH PRESET WINDOW_LOG.
int Make(char** argv) {
  delta::MakeOptions options;
  options.preset = static_cast<uint32_t>(std::stoul(argv[5]));
  options.windowLog = static_cast<uint32_t>(std::stoul(argv[6]));
  const std::vector<uint8_t> patch = delta::MakePatch(ReadAll(argv[2]), ReadAll(argv[3]), options);
  std::ofstream out(argv[4], std::ios::binary);
  out.write(reinterpret_cast<const char*>(patch.data()),
            static_cast<std::streamsize>(patch.size()));
  return out ? 0 : 1;
}

// The child's side: apply OLD PATCH NEW, the old file by pread, the new by write.
int Apply(char** argv) {
  const int old = open(argv[2], O_RDONLY);
  const int out = open(argv[4], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const std::vector<uint8_t> patch = ReadAll(argv[3]);
  const auto reader = [old](uint64_t offset, std::span<uint8_t> into) {
    return pread(old, into.data(), into.size(), static_cast<off_t>(offset)) ==
           static_cast<ssize_t>(into.size());
  };
  const auto writer = [out](std::span<const uint8_t> bytes) {
    return write(out, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  };
  const delta::PatchFault fault =
      delta::ApplyPatch(patch, static_cast<uint64_t>(FileSize(argv[2])), reader, writer);
  close(old);
  close(out);
  if (fault != delta::PatchFault::kNone) {
    std::fprintf(stderr, "%s\n", delta::FaultText(fault));
  }
  return fault == delta::PatchFault::kNone ? 0 : 1;
}

struct Row {
  std::string name;
  long oldSize = 0;
  long ours = 0;
  long bsdiff = 0;
  long zstd = 0;
  Measure make, apply, bsdiffMake, bspatch;
};

Row MeasurePair(const std::string& self, const std::string& old, const std::string& next,
                const std::vector<std::string>& options) {
  const std::string work = "/tmp/bench_delta." + std::to_string(getpid());
  Row row;
  row.name = next.substr(next.find_last_of('/') + 1);
  row.oldSize = FileSize(old);
  std::vector<std::string> make = {self, "--make-child", old, next, work + ".patch"};
  make.insert(make.end(), options.begin(), options.end());
  row.make = RunProcess(make);
  row.ours = FileSize(work + ".patch");
  row.apply = RunProcess({self, "--apply-child", old, work + ".patch", work + ".new"});
  if (row.make.status != 0 || row.apply.status != 0 || ReadAll(work + ".new") != ReadAll(next)) {
    throw std::runtime_error(row.name + ": the patch does not give back the new file");
  }
  row.bsdiffMake = RunProcess({"bsdiff", old, next, work + ".bsdiff"});
  row.bsdiff = FileSize(work + ".bsdiff");
  row.bspatch = RunProcess({"bspatch", old, work + ".bspatched", work + ".bsdiff"});
  RunProcess(
      {"zstd", "-q", "-f", "-19", "--long", "--patch-from=" + old, next, "-o", work + ".zst"});
  row.zstd = FileSize(work + ".zst");
  for (const char* suffix : {".patch", ".new", ".bsdiff", ".bspatched", ".zst"}) {
    unlink((work + suffix).c_str());
  }
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 7 && std::string(argv[1]) == "--make-child") {
    return Make(argv);
  }
  if (argc == 5 && std::string(argv[1]) == "--apply-child") {
    return Apply(argv);
  }
  std::vector<std::string> options = {"9", "23"};
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--preset" && i + 1 < argc) {
      options[0] = argv[++i];
    } else if (argument == "--window" && i + 1 < argc) {
      options[1] = argv[++i];
    } else {
      files.push_back(argument);
    }
  }
  if (files.empty() || files.size() % 2 != 0) {
    std::fprintf(stderr, "usage: bench_delta [--preset N] [--window LOG] OLD NEW...\n");
    return 2;
  }
  std::printf("LZMA2 preset %se, window log %s; %s\n", options[0].c_str(), options[1].c_str(),
              lumivora::bench::LoadText().c_str());
  std::printf("%-22s %10s %9s %9s %9s %6s %6s %8s %8s %8s %8s %8s\n", "new file", "old size",
              "ours", "bsdiff", "zstd", "/bsd", "/zstd", "make s", "make MiB", "apply s",
              "apply MiB", "bspatch s");
  bool sizes = true;
  bool times = true;
  for (size_t i = 0; i < files.size(); i += 2) {
    const Row row = MeasurePair("/proc/self/exe", files[i], files[i + 1], options);
    const double ratio = static_cast<double>(row.ours) / static_cast<double>(row.bsdiff);
    // Making within 10 s and 1 GiB, applying within 0.5 s and 64 MiB, for a
    // program of up to 30 MiB.
    const bool fast = row.make.seconds <= 10 && row.make.peakKiB <= (1L << 20) &&
                      row.apply.seconds <= 0.5 && row.apply.peakKiB <= (64L << 10);
    sizes = sizes && ratio <= 0.9;
    times = times && (fast || row.oldSize > (30L << 20));
    std::printf("%-22s %10ld %9ld %9ld %9ld %6.3f %6.3f %8.2f %8.1f %8.3f %8.1f %8.3f\n",
                row.name.c_str(), row.oldSize, row.ours, row.bsdiff, row.zstd, ratio,
                static_cast<double>(row.ours) / static_cast<double>(row.zstd), row.make.seconds,
                static_cast<double>(row.make.peakKiB) / 1024.0, row.apply.seconds,
                static_cast<double>(row.apply.peakKiB) / 1024.0, row.bspatch.seconds);
  }
  std::printf("goal: ours <= 0.9 x bsdiff on every pair: %s\n", sizes ? "ok" : "MISSED");
  std::printf(
      "goal: up to 30 MiB, made within 10 s and 1 GiB, applied within 0.5 s and 64 MiB: "
      "%s\n",
      times ? "ok" : "MISSED");
  return sizes && times ? 0 : 1;
}
