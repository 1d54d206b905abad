// Temporary folders removed on every path, and whole-file reads and writes.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace lumivora::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes ToBytes(const std::string& text) {
  return {text.begin(), text.end()};
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

inline Bytes ReadBytes(const std::string& path) {
  return ToBytes(ReadFile(path));
}

// Writes CONTENT to PATH, creating its folder when missing.
inline void WriteFile(const std::string& path, std::string_view content) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + path);
  }
}

inline void WriteBytes(const std::string& path, std::span<const uint8_t> bytes) {
  WriteFile(path, std::string_view(reinterpret_cast<const char*>(bytes.data()),  // NOLINT
                                   bytes.size()));
}

// A new folder of a random name under the system's temporary folder; it and
// everything in it (read-only entries too) go when the object goes.
// Copies the launcher built in BINDIR into FOLDER, with the GTK module it
// loads from its own folder when a display is given (when the build made one).
inline void InstallLauncher(const std::string& binDir, const std::string& folder) {
  std::filesystem::copy_file(binDir + "/lumivora", folder + "/lumivora");
  if (std::filesystem::exists(binDir + "/lumivora-gtk.so")) {
    std::filesystem::copy_file(binDir + "/lumivora-gtk.so", folder + "/lumivora-gtk.so");
  }
}

class TempDir {
 public:
  TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      const std::filesystem::path candidate =
          base / ("lumivora-test-" + std::to_string(random()) + "-" + std::to_string(++counter));
      std::error_code error;
      if (std::filesystem::create_directory(candidate, error)) {
        path_ = candidate.string();
      }
    }
    if (path_.empty()) {
      throw std::runtime_error("cannot create a temporary folder");
    }
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path_, ignored)) {
      if (!entry.is_symlink(ignored)) {
        std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
      }
    }
    std::filesystem::remove_all(path_, ignored);
  }
  [[nodiscard]] const std::string& Path() const { return path_; }
  [[nodiscard]] std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // Writes CONTENT to the file NAME inside the folder; returns its path.
  std::string Write(const std::string& name, std::string_view content) const {
    const std::string path = *this / name;
    WriteFile(path, content);
    return path;
  }

 private:
  std::string path_;
};

}  // namespace lumivora::testing
