// Whole-file operations on POSIX paths: existence, folders, copy, move,
// delete, attributes, times, identity and limits. MS-DOS date/time values are
// local time, as Windows keeps them.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <ctime>
#include <string>

#include "platform/exception.h"
#include "platform/file.h"
#include "platform/posix/dos_time_posix.h"

namespace lumivora::platform {

using posix::DosToTime;
using posix::TimeToDos;

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateDirectory(const std::string& path) {
  return ::mkdir(path.c_str(), 0777) == 0;
}

bool ForceDirectories(const std::string& path) {
  if (path.empty()) {
    return false;
  }
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') {
    trimmed.pop_back();
  }
  if (DirectoryExists(trimmed)) {
    return true;
  }
  const size_t slash = trimmed.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !ForceDirectories(trimmed.substr(0, slash))) {
    return false;
  }
  return CreateDirectory(trimmed) || DirectoryExists(trimmed);
}

std::string CreateUniqueFolder(const std::string& prefix) {
  std::string path = prefix + "XXXXXX";
  return ::mkdtemp(path.data()) == nullptr ? std::string() : path;
}

bool RemoveDirectory(const std::string& path) {
  return ::rmdir(path.c_str()) == 0;
}

// Same-type parameters kept: ListFolder's interface in platform/file.h.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
std::vector<std::string> ListFolder(const std::string& folder, const std::string& prefix) {
  std::vector<std::string> names;
  DIR* directory = ::opendir(folder.c_str());
  if (directory == nullptr) {
    return names;
  }
  while (const dirent* entry = ::readdir(directory)) {
    const std::string name = entry->d_name;
    if (name != "." && name != ".." && name.rfind(prefix, 0) == 0) {
      names.push_back(name);
    }
  }
  ::closedir(directory);
  return names;
}

bool FlushFolder(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  const bool flushed = ::fsync(fd) == 0;
  ::close(fd);
  return flushed;
}

bool DeleteFile(const std::string& path) {
  return !DirectoryExists(path) && ::unlink(path.c_str()) == 0;
}

bool CopyFile(const std::string& source, const std::string& target, bool failIfExists) {
  if (failIfExists && (FileExists(target) || DirectoryExists(target))) {
    return false;
  }
  try {
    File in = File::Open(source, File::Mode::kRead);
    const int64_t size = in.Size();
    File out = File::Open(target, File::Mode::kCreate);
    std::array<char, 65536> buffer{};
    int64_t copied = 0;
    for (;;) {
      const size_t n = in.Read(buffer.data(), buffer.size());
      if (n == 0) {
        break;
      }
      out.Write(buffer.data(), n);
      copied += static_cast<int64_t>(n);
    }
    // A source that shrank or grew while it was read was not copied.
    if (copied != size || in.Size() != size) {
      return false;
    }
    struct stat st {};
    if (::stat(source.c_str(), &st) == 0) {
      const std::array<timespec, 2> times{st.st_atim, st.st_mtim};
      ::utimensat(AT_FDCWD, target.c_str(), times.data(), 0);
    }
    return true;
  } catch (const Exception&) {
    return false;
  }
}

bool MoveFile(const std::string& source, const std::string& target) {
  // rename(2) would replace TARGET; the move refuses an existing target.
  if (FileExists(target) || DirectoryExists(target)) {
    return false;
  }
  return ::rename(source.c_str(), target.c_str()) == 0;
}

bool ReplaceFile(const std::string& source, const std::string& target) {
  return ::rename(source.c_str(), target.c_str()) == 0;
}

bool LinkFile(const std::string& existing, const std::string& link) {
  return ::link(existing.c_str(), link.c_str()) == 0;
}

std::optional<uint32_t> GetFileAttributes(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return std::nullopt;
  }
  uint32_t attributes = S_ISDIR(st.st_mode) ? kAttrDirectory : kAttrArchive;
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    attributes |= kAttrReadOnly;
  }
  const size_t slash = path.find_last_of('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  if (nameStart < path.size() && path[nameStart] == '.') {
    attributes |= kAttrHidden;
  }
  return attributes;
}

bool SetFileAttributes(const std::string& path, uint32_t attributes) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return false;
  }
  mode_t mode = st.st_mode & 07777U;
  if ((attributes & kAttrReadOnly) != 0) {
    mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  } else {
    mode |= S_IWUSR;
  }
  return ::chmod(path.c_str(), mode) == 0;
}

bool SetFileUnixMode(const std::string& path, uint32_t mode) {
  return ::chmod(path.c_str(), static_cast<mode_t>(mode & 07777U)) == 0;
}

std::optional<uint32_t> FileAgeDos(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return std::nullopt;
  }
  return TimeToDos(st.st_mtim.tv_sec);
}

bool SetFileDosDateTime(const std::string& path, uint32_t dosDateTime) {
  const time_t value = DosToTime(dosDateTime);
  if (value == -1) {
    return false;
  }
  const std::array<timespec, 2> times{timespec{value, 0}, timespec{value, 0}};
  return ::utimensat(AT_FDCWD, path.c_str(), times.data(), 0) == 0;
}

bool IsSymbolicLink(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

size_t MaxPathLength() {
  return PATH_MAX - 1;  // without the terminating zero
}

size_t MaxNameLength() {
  return NAME_MAX;
}

std::optional<int64_t> FileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
    return std::nullopt;
  }
  return static_cast<int64_t>(st.st_size);
}

bool AppendToFile(const std::string& path, std::string_view text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    return false;
  }
  const ssize_t written = ::write(fd, text.data(), text.size());
  return (::close(fd) == 0) && written == static_cast<ssize_t>(text.size());
}

}  // namespace lumivora::platform
