// Shared by the ZIP fuzz targets: the input becomes a memory-backed file
// (tmpfs under /dev/shm when present) for the component to open, written
// with the tests' whole-file helpers.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "tests/support/files.h"

namespace lumivora::fuzz {

inline std::string MemoryFolder() {
  static const std::string folder = [] {
    std::string pattern =
        access("/dev/shm", W_OK) == 0 ? "/dev/shm/lvfuzzXXXXXX" : "/tmp/lvfuzzXXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::abort();
    }
    return pattern;
  }();
  return folder;
}

// Writes DATA to the archive file of this process and returns its path.
inline std::string WriteArchive(const uint8_t* data, size_t size) {
  const std::string path = MemoryFolder() + "/input.zip";
  ::lumivora::testing::WriteBytes(path, {data, size});
  return path;
}

}  // namespace lumivora::fuzz
