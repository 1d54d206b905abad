// Decoding throughput of the legacy methods, side by side with a peer in the
// same run. Shrink and implode: TUnZip testing an entry (decode + CRC, no
// output file) against Info-ZIP `unzip -t` on the same archive entry, each
// over at least 8 MiB of output; the ratio is ours / peer (goal >= 1).
// Reduce has no peer here: its MB/s is printed beside our shrink decoder on
// the same data (TEST.EXE, 2.4 MB, from PKZIP 0.80 and 1.10). The 8 KiB /
// three-tree implode layout uses a 9 MiB text entry from the test-only
// encoder (Info-ZIP checks it here as well).
//   bench_unzip_legacy [SHARED_TESTDATA_DIR]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "tests/support/zip.h"
#include "tests/unzip/legacy_tools/implode_encoder.h"
#include "unzip/unzip.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kMiB = 1024.0 * 1024.0;
constexpr double kTargetBytes = 8.0 * kMiB;

struct Sample {
  std::string archive;
  std::string entry;
  double entryBytes;
};

// Repeats ACTION until at least 8 MiB of output; returns MB/s.
template <typename Action>
double Throughput(double entryBytes, Action action) {
  int runs = 0;
  double bytes = 0;
  const auto start = Clock::now();
  while (bytes < kTargetBytes) {
    if (!action()) {
      return 0;
    }
    bytes += entryBytes;
    ++runs;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return bytes / kMiB / seconds;
}

bool OursOnce(const Sample& s) {
  lumivora::unzip::TUnZip unzip;
  unzip.SetZipName(s.archive);
  unzip.SetFilesList({s.entry});
  unzip.SetTestOnly(true);
  unzip.SetDoProcessMessages(false);
  return unzip.UnZip() == 1;
}

bool PeerOnce(const Sample& s) {
  const std::string command = "unzip -tqq '" + s.archive + "' '" + s.entry + "' > /dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

// A 9 MiB text of words drawn from a real text, imploded with flags 6 into
// a one-entry archive under DIR.
Sample MakeLargeImploded(const std::string& data, const std::string& dir) {
  using namespace lumivora::testing;
  const std::vector<uint8_t> source = ReadBytes(data + "megazeux/dch1.txt");
  std::vector<std::string> words;
  std::string word;
  for (uint8_t c : source) {
    if (c == ' ' || c == '\n') {
      if (!word.empty()) {
        words.push_back(word);
      }
      word.clear();
    } else if (c != '\r') {
      word += static_cast<char>(c);
    }
  }
  std::mt19937 random(11);
  std::vector<uint8_t> text;
  while (text.size() < 9u * 1024 * 1024) {
    const std::string& w = words[random() % words.size()];
    text.insert(text.end(), w.begin(), w.end());
    text.push_back((random() % 12) == 0 ? '\n' : ' ');
  }
  ZipEntrySpec entry{.name = "words.txt", .data = text, .method = 6, .extraFlags = 6};
  entry.rawData = lumivora::legacytools::ImplodeEncode(text, {entry.extraFlags, false});
  const std::string archive = dir + "/words.zip";
  WriteBytes(archive, BuildZip({.entries = {entry}}));
  return {archive, entry.name, static_cast<double>(text.size())};
}

}  // namespace

int main(int argc, char** argv) {
  const std::string data = std::string(argc > 1 ? argv[1] : LUMIVORA_SHARED_TESTDATA) + "/legacy/";
  const double testExe = 2426368;
  const Sample shrunk{data + "pkzip-dos/PKZ110ES.ZIP", "TEST.EXE", testExe};
  const Sample imploded{data + "pkzip-dos/PKZ110EI.ZIP", "TEST.EXE", testExe};
  std::string dir = (std::filesystem::temp_directory_path() / "lumivora-bench-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) {
    return 1;
  }
  const Sample imploded8k = MakeLargeImploded(data, dir);
  int failures = 0;

  std::printf("%-34s %12s %12s %8s\n", "method / entry", "ours MB/s", "peer MB/s", "ratio");
  for (const auto& [name, sample] :
       {std::pair{"shrink  PKZ110ES TEST.EXE", shrunk},
        std::pair{"implode PKZ110EI TEST.EXE (4K/2)", imploded},
        std::pair{"implode 9 MiB words (8K/3, encoder)", imploded8k}}) {
    const double ours = Throughput(sample.entryBytes, [&] { return OursOnce(sample); });
    const double peer = Throughput(sample.entryBytes, [&] { return PeerOnce(sample); });
    if (ours == 0 || peer == 0) {
      std::printf("%-34s failed\n", name);
      ++failures;
      continue;
    }
    std::printf("%-34s %12.1f %12.1f %8.2f\n", name, ours, peer, ours / peer);
  }
  const double shrinkOurs = Throughput(testExe, [&] { return OursOnce(shrunk); });
  for (int factor = 1; factor <= 4; ++factor) {
    const Sample reduced{data + "pkzip-dos/PKZ80B" + std::to_string(factor) + ".ZIP", "TEST.EXE",
                         testExe};
    const double ours = Throughput(testExe, [&] { return OursOnce(reduced); });
    if (ours == 0) {
      std::printf("reduce factor %d failed\n", factor);
      ++failures;
      continue;
    }
    std::printf(
        "reduce%d PKZ80B%d TEST.EXE  %12.1f  (our shrink on the same data: %.1f; ratio %.2f)\n",
        factor, factor, ours, shrinkOurs, ours / shrinkOurs);
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return failures == 0 ? 0 : 1;
}
