// Download benchmark: a signed 200 MiB release from a local nginx through a
// whole TWebUpdate::CheckForUpdate (the signed information file fetched and
// its Ed25519 signature verified, the file downloaded in 1025-byte blocks
// with an event and message processing after each, its size and SHA-256
// computed as it is written and compared with the signed statement), side by
// side with `curl -o` on the same file in the same run. Prints both
// throughputs, their ratio and the peak resident memory of this process.
// Exit status 1 when the ratio is below 0.8 or the peak reaches 16 MiB.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/http.h"
#include "platform/recording/ui_recording.h"
#include "tests/support/fakes.h"
#include "tests/webupdate/servers.h"
#include "webupdate/release_signing.h"
#include "webupdate/web_update.h"

extern char** environ;

namespace {

using lumivora::webupdate::TWebUpdate;
namespace wu = lumivora::webupdate;
namespace wt = lumivora::webupdate::testing;

constexpr size_t kFileSize = 200U * 1024U * 1024U;

double Seconds(std::chrono::steady_clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

double RunCurl(const std::string& url, const std::string& target) {
  std::vector<std::string> args = {"curl", "-s", "-o", target, url};
  std::vector<char*> argv;
  for (std::string& arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0) {
    return -1;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  const double seconds = Seconds(std::chrono::steady_clock::now() - start);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

}  // namespace

int main() {
  const wt::Nginx nginx;
  const wt::TempDir scratch;
  // The release: the file, written in 1 MiB pieces so that making it does
  // not raise the peak, and its signed information file.
  const wu::SecretKey key = wu::SecretKey::Generate();
  {
    std::ofstream out(nginx.DocumentRoot() + "/big.bin", std::ios::binary);
    const std::string piece = wt::PatternContent(1024U * 1024U);
    wu::Sha256Stream hash;
    for (size_t written = 0; written < kFileSize; written += piece.size()) {
      out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
      hash.Update({reinterpret_cast<const uint8_t*>(piece.data()), piece.size()});
    }
    const wu::ReleaseStatement statement{"bench-product", "1.1", kFileSize, hash.Finish(), {}};
    nginx.Put("update.ini", "[Setup]\r\nVersion=1.1\r\nURL=" + nginx.Url("/big.bin") +
                                "\r\nClientSideName=ours.out\r\n" +
                                wu::SignedReleaseLines(statement, key, ""));
  }
  const std::string url = nginx.Url("/big.bin");

  lumivora::platform::RecordingInterface ui;
  lumivora::testing::FakeSystem system;
  const std::unique_ptr<lumivora::platform::HttpTransport> transport =
      lumivora::platform::CreateHttpTransport();
  TWebUpdate update(ui, system, *transport);
  update.SetReleaseTrust(wu::ReleaseTrust{.product = "bench-product", .roots = {key.Public()}});
  update.SetActualVersion("1.0");
  update.SetOptions({wu::uoOverwrite});
  update.SetTargetFolder(scratch.Path());
  uint64_t events = 0;
  update.OnDownload = [&events](TWebUpdate&, int32_t, int32_t) { ++events; };

  double bestCurl = 1e9;
  double bestOurs = 1e9;
  for (int round = 0; round < 3; ++round) {
    const double curl = RunCurl(url, scratch.Path() + "/curl.out");
    if (curl < 0) {
      std::fprintf(stderr, "curl failed\n");
      return 2;
    }
    bestCurl = std::min(bestCurl, curl);
    const auto start = std::chrono::steady_clock::now();
    const bool installed =
        update.CheckForUpdate(nginx.Url("/update.ini")) && update.DownloadProblem().Ok();
    const double ours = Seconds(std::chrono::steady_clock::now() - start);
    if (!installed || lumivora::platform::FileSize(scratch.Path() + "/ours.out").value_or(0) !=
                          static_cast<int64_t>(kFileSize)) {
      std::fprintf(stderr, "the signed release was not downloaded: %s\n",
                   update.Refusal().Reason().c_str());
      return 2;
    }
    bestOurs = std::min(bestOurs, ours);
  }

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const double peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
  const double mib = static_cast<double>(kFileSize) / (1024.0 * 1024.0);
  const double ratio = bestCurl / bestOurs;
  std::printf("signed release of %.0f MiB from local nginx, best of 3\n", mib);
  std::printf("  curl -o            : %8.1f MiB/s (%.3f s)\n", mib / bestCurl, bestCurl);
  std::printf(
      "  CheckForUpdate     : %8.1f MiB/s (%.3f s), %llu OnDownload events,\n"
      "                       signature verified, size and SHA-256 matched\n",
      mib / bestOurs, bestOurs, static_cast<unsigned long long>(events / 3));
  std::printf("  ratio ours/curl    : %.2f (target >= 0.80)\n", ratio);
  std::printf("  peak resident memory of this process: %.1f MiB (target < 16)\n", peakMiB);
  const bool pass = ratio >= 0.8 && peakMiB < 16.0;
  std::printf("%s\n", pass ? "PASS" : "FAIL");
  return pass ? 0 : 1;
}
