// libFuzzer target: extraction of every entry of an archive (password check,
// traditional decryption, stored/deflate and the legacy decoders, size guard,
// CRC check, local header and overlap checks) from a memory-backed file,
// with and without output files. With output files it also checks what the
// extraction must never do: write through a link already in the
// destination, set setuid, setgid or sticky bits, or overwrite the archive.
// Bit 6 of the options forces the pipelined decode (reading and decryption
// ahead on one worker, writing behind on another) for every entry, however
// small; no worker may outlive the run.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "fuzz/fuzz_zip_support.h"
#include "platform/exception.h"
#include "unzip/chunk_pipeline.h"
#include "unzip/unzip.h"

namespace {

namespace fs = std::filesystem;

// Aborts when a file under DIR carries setuid, setgid or sticky.
void CheckModes(const std::string& dir) {
  std::error_code ignored;
  for (auto it = fs::recursive_directory_iterator(dir, ignored); it != fs::end(it);
       it.increment(ignored)) {
    struct stat st {};
    if (::lstat(it->path().c_str(), &st) == 0 && (st.st_mode & 07000U) != 0) {
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lumivora::unzip;
  if (size == 0) {
    return 0;
  }
  // The first byte picks the options; the rest is the archive.
  const uint8_t options = data[0];
  const std::string path = lumivora::fuzz::WriteArchive(data + 1, size - 1);
  const bool writeFiles = (options & 2U) != 0;
  // Bit 5: extract beside the archive itself, where an entry may name it.
  const std::string out = (options & 32U) != 0 ? lumivora::fuzz::MemoryFolder()
                                               : lumivora::fuzz::MemoryFolder() + "/out";
  const std::string elsewhere = lumivora::fuzz::MemoryFolder() + "/elsewhere";
  std::error_code ignored;
  if (writeFiles && (options & 16U) != 0) {
    // Links in the destination that lead elsewhere: a folder and a file.
    fs::create_directories(elsewhere, ignored);
    fs::create_directories(out, ignored);
    fs::create_directory_symlink(elsewhere, out + "/d", ignored);
    fs::create_symlink(elsewhere + "/f", out + "/f", ignored);
  }
  SetPipelineMode((options & 64U) != 0 ? PipelineMode::kAlways : PipelineMode::kAuto);
  TUnZip unzip;
  unzip.SetZipName(path);
  unzip.SetDestDir(out);
  unzip.SetPassword((options & 1U) != 0 ? "password" : "");
  unzip.SetTestOnly(!writeFiles);
  unzip.SetRecreateDirs((options & 4U) != 0);
  unzip.SetIncompleteZipMode((options & 8U) != 0 ? TIncompleteZipMode::izAssumeBad
                                                 : TIncompleteZipMode::izAssumeMulti);
  unzip.SetOverwriteMode(TUZOverwriteMode::Always);
  unzip.SetDoProcessMessages(false);
  unzip.SetDoAll(true);
  unzip.OnGetNextDisk = [](TUnZip&, int, std::string& name) { name.clear(); };
  unzip.OnFilePercentDone = [&](TUnZip&, int percent) {
    if (percent < 0 || percent > 100) {
      std::abort();
    }
  };
  unzip.OnSkippingFile = [](TUnZip&, TSkipReason reason, const std::string&, int) {
    if (static_cast<int>(reason) < 0 ||
        static_cast<int>(reason) > static_cast<int>(TSkipReason::srArchiveItself)) {
      std::abort();
    }
  };
  try {
    (void)unzip.UnZip();
  } catch (const lumivora::Exception&) {
  }
  if (ChunkPipeline::LiveWorkers() != 0) {
    std::abort();
  }
  if (writeFiles) {
    // Nothing through the links, no special bits, the archive untouched.
    if (fs::exists(elsewhere) && !fs::is_empty(elsewhere, ignored)) {
      std::abort();
    }
    CheckModes(out);
    if (::lumivora::testing::ReadBytes(path) != std::vector<uint8_t>(data + 1, data + size)) {
      std::abort();
    }
    if ((options & 32U) != 0) {
      for (const auto& item : fs::directory_iterator(out, ignored)) {
        if (item.path() != fs::path(path)) {
          fs::remove_all(item.path(), ignored);
        }
      }
    } else {
      fs::remove_all(out, ignored);
    }
    fs::remove_all(elsewhere, ignored);
  }
  return 0;
}
