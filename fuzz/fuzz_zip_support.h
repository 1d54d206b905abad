// Shared by the ZIP fuzz targets: the input becomes a memory-backed file
// (tmpfs under /dev/shm when present) for the component to open.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

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
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    std::abort();
  }
  if (size > 0 && std::fwrite(data, 1, size, file) != size) {
    std::abort();
  }
  std::fclose(file);
  return path;
}

}  // namespace lumivora::fuzz
