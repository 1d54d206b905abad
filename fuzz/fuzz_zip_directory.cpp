// libFuzzer target: the directory reader of TUnZip (end record search,
// central directory, local-header scan, comments, sort orders) takes any
// file and either reads a directory or raises one of its errors.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz/fuzz_zip_support.h"
#include "platform/exception.h"
#include "unzip/unzip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lumivora::unzip;
  const std::string path = lumivora::fuzz::WriteArchive(data, size);
  for (const TIncompleteZipMode mode :
       {TIncompleteZipMode::izAssumeMulti, TIncompleteZipMode::izAssumeBad}) {
    TUnZip unzip;
    unzip.SetIncompleteZipMode(mode);
    // A set's other disks do not exist here: no disk is ever asked for twice.
    unzip.OnGetNextDisk = [](TUnZip&, int, std::string& name) { name.clear(); };
    unzip.SetZipName(path);
    try {
      unzip.ReadZip();
      const int count = unzip.Count();
      for (int i = 0; i < count; ++i) {
        (void)unzip.FileComment(i);
      }
      (void)unzip.ZipComment();
      for (int m = 0; m <= static_cast<int>(TZipSortMode::ByNone); ++m) {
        unzip.SetSortMode(static_cast<TZipSortMode>(m));
        if (unzip.Count() != count) {
          std::abort();
        }
      }
    } catch (const lumivora::Exception&) {
      // Every failure is one of the component's or the file layer's errors.
    }
  }
  return 0;
}
