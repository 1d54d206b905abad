// libFuzzer target: extraction of every entry of an archive (password check,
// traditional decryption, stored/deflate and the legacy decoders, size guard,
// CRC check) from a memory-backed file, with and without output files.
#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "fuzz/fuzz_zip_support.h"
#include "platform/exception.h"
#include "unzip/unzip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lumivora::unzip;
  if (size == 0) {
    return 0;
  }
  // The first byte picks the options; the rest is the archive.
  const uint8_t options = data[0];
  const std::string path = lumivora::fuzz::WriteArchive(data + 1, size - 1);
  const std::string out = lumivora::fuzz::MemoryFolder() + "/out";
  TUnZip unzip;
  unzip.SetZipName(path);
  unzip.SetDestDir(out);
  unzip.SetPassword((options & 1U) != 0 ? "password" : "");
  unzip.SetTestOnly((options & 2U) == 0);
  unzip.SetRecreateDirs((options & 4U) != 0);
  unzip.SetIncompleteZipMode((options & 8U) != 0 ? TIncompleteZipMode::izAssumeBad
                                                 : TIncompleteZipMode::izAssumeMulti);
  unzip.SetOverwriteMode(TUZOverwriteMode::Always);
  unzip.SetDoProcessMessages(false);
  unzip.SetDoAll(true);
  unzip.OnGetNextDisk = [](TUnZip&, int, std::string& name) { name.clear(); };
  int percentEvents = 0;
  unzip.OnFilePercentDone = [&](TUnZip&, int percent) {
    if (percent < 0 || percent > 100) {
      std::abort();
    }
    ++percentEvents;
  };
  try {
    (void)unzip.UnZip();
  } catch (const lumivora::Exception&) {
  }
  if ((options & 2U) != 0) {
    std::error_code ignored;
    std::filesystem::remove_all(out, ignored);
  }
  return 0;
}
