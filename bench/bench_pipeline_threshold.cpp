// Where the reading-and-decryption worker starts to pay: one deflated and
// encrypted entry (Info-ZIP zip -P) of each size extracted in this process by
// TUnZip, serial and pipelined in alternation, output file written each time.
// Prints the best time of each and the ratio serial / pipelined per size; the
// smallest compressed size at which the ratio stays above 1 is the threshold
// (kPipelineThreshold in unzip/chunk_pipeline.h).
//
//   bench_pipeline_threshold [ROUNDS]     (default: 30)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench/bench_support.h"
#include "unzip/chunk_pipeline.h"
#include "unzip/unzip.h"

namespace {

namespace fs = std::filesystem;
namespace unzip = lumivora::unzip;

double ExtractOnce(const std::string& zip, const std::string& out, unzip::PipelineMode mode) {
  unzip::SetPipelineMode(mode);
  const auto start = std::chrono::steady_clock::now();
  unzip::TUnZip component;
  component.SetZipName(zip);
  component.SetDestDir(out);
  component.SetPassword("bench-pass");
  component.SetOverwriteMode(unzip::TUZOverwriteMode::Always);
  component.SetDoAll(true);
  if (component.UnZip() != 1) {
    std::fprintf(stderr, "extraction failed\n");
    std::exit(1);
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 30;
  char pattern[] = "/tmp/lvthresholdXXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = pattern;
  std::printf("%s\n", lumivora::bench::LoadText().c_str());
  std::printf("%12s %12s %12s %12s %8s\n", "entry", "compressed", "serial", "pipelined", "ratio");
  for (const size_t kib : {16U, 32U, 64U, 128U, 256U, 512U, 1024U, 4096U}) {
    const std::string data = dir + "/program.bin";
    const std::string zip = dir + "/entry.zip";
    fs::remove(zip);
    lumivora::bench::MakeExecutableLike(data, kib << 10U);
    if (lumivora::bench::RunProcess({"zip", "-q", "-j", "-P", "bench-pass", zip, data}).status !=
        0) {
      std::fprintf(stderr, "zip failed\n");
      return 1;
    }
    double serial = 1e9;
    double pipelined = 1e9;
    for (int round = 0; round < rounds; ++round) {
      serial = std::min(serial, ExtractOnce(zip, dir + "/out", unzip::PipelineMode::kNever));
      pipelined = std::min(pipelined, ExtractOnce(zip, dir + "/out", unzip::PipelineMode::kAlways));
    }
    std::printf("%9zu KiB %8ju KiB %9.0f us %9.0f us %8.2f\n", kib,
                static_cast<uintmax_t>(fs::file_size(zip) >> 10U), serial * 1e6, pipelined * 1e6,
                serial / pipelined);
  }
  unzip::SetPipelineMode(unzip::PipelineMode::kAuto);
  fs::remove_all(dir);
  std::printf("%s\n", lumivora::bench::LoadText().c_str());
  return 0;
}
