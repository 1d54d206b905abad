// File layer on POSIX: file descriptors owned by File, whole-file operations
// on paths. MS-DOS date/time values are local time, as Windows keeps them.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <ctime>
#include <string>
#include <utility>

#include "platform/exception.h"
#include "platform/file.h"

namespace lumivora::platform {

char PathSeparator() {
  return '/';
}

struct File::Handle {
  int fd = -1;
  explicit Handle(int descriptor) : fd(descriptor) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (fd >= 0) {
      ::close(fd);
    }
  }
};

namespace {

int OpenFlags(File::Mode mode) {
  switch (mode) {
    case File::Mode::kRead:
      return O_RDONLY | O_CLOEXEC;
    case File::Mode::kCreate:
      return O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    case File::Mode::kReadWrite:
      return O_RDWR | O_CLOEXEC;
    case File::Mode::kReplace:
      return O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW;
    case File::Mode::kCreateNew:
      return O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  }
  return O_RDONLY | O_CLOEXEC;
}

// Converts an MS-DOS date/time (local time) to a time_t; -1 when invalid.
time_t DosToTime(uint32_t dosDateTime) {
  std::tm tm{};
  const uint32_t time = dosDateTime & 0xFFFFU;
  const uint32_t date = dosDateTime >> 16U;
  tm.tm_sec = static_cast<int>((time & 0x1FU) * 2U);
  tm.tm_min = static_cast<int>((time >> 5U) & 0x3FU);
  tm.tm_hour = static_cast<int>(time >> 11U);
  tm.tm_mday = static_cast<int>(date & 0x1FU);
  tm.tm_mon = static_cast<int>(((date >> 5U) & 0x0FU)) - 1;
  tm.tm_year = static_cast<int>(date >> 9U) + 80;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

// The process umask, read once (umask(2) can only be read by setting it).
mode_t ProcessUmask() {
  static const mode_t mask = [] {
    const mode_t value = ::umask(077);
    ::umask(value);
    return value;
  }();
  return mask;
}

uint32_t TimeToDos(time_t value) {
  std::tm tm{};
  if (localtime_r(&value, &tm) == nullptr || tm.tm_year < 80) {
    return (1U << 5U | 1U) << 16U;  // 1980-01-01 00:00:00
  }
  const auto date =
      static_cast<uint32_t>(((tm.tm_year - 80) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
  const auto time = static_cast<uint32_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
  return date << 16U | time;
}

}  // namespace

File File::Open(const std::string& path, Mode mode) {
  if (mode == Mode::kReplace && IsSymbolicLink(path)) {
    ::unlink(path.c_str());  // the link goes, never what it points at
  }
  const int fd = ::open(path.c_str(), OpenFlags(mode), mode == Mode::kCreateNew ? 0600 : 0666);
  if (fd < 0) {
    if (mode == Mode::kCreate || mode == Mode::kReplace || mode == Mode::kCreateNew) {
      throw EFCreateError("Cannot create file " + path);
    }
    throw EFOpenError("Cannot open file " + path);
  }
  File file;
  file.handle_ = std::make_unique<Handle>(fd);
  file.path_ = path;
  return file;
}

File File::CreateUnique(const std::string& prefix) {
  std::string path = prefix + "XXXXXX";
  const int fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) {
    throw EFCreateError("Cannot create file " + prefix + "...");
  }
  File file;
  file.handle_ = std::make_unique<Handle>(fd);
  file.path_ = path;
  return file;
}

File::File(File&&) noexcept = default;
File& File::operator=(File&&) noexcept = default;
File::~File() = default;

bool File::IsOpen() const {
  return handle_ != nullptr;
}

size_t File::Read(void* buffer, size_t size) {
  if (!handle_) {
    throw EReadError("Stream read error");
  }
  size_t done = 0;
  auto* bytes = static_cast<char*>(buffer);
  while (done < size) {
    const ssize_t n = ::read(handle_->fd, bytes + done, size - done);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw EReadError("Stream read error");
    }
    if (n == 0) {
      break;
    }
    done += static_cast<size_t>(n);
  }
  return done;
}

void File::Write(const void* buffer, size_t size) {
  if (!handle_) {
    throw EWriteError("Stream write error");
  }
  size_t done = 0;
  const auto* bytes = static_cast<const char*>(buffer);
  while (done < size) {
    const ssize_t n = ::write(handle_->fd, bytes + done, size - done);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw EWriteError("Stream write error");
    }
    done += static_cast<size_t>(n);
  }
}

void File::Seek(int64_t position) {
  if (!handle_ || position < 0 || ::lseek(handle_->fd, position, SEEK_SET) < 0) {
    throw EReadError("Stream read error");
  }
}

int64_t File::Position() const {
  return handle_ ? static_cast<int64_t>(::lseek(handle_->fd, 0, SEEK_CUR)) : -1;
}

int64_t File::Size() const {
  struct stat st {};
  if (!handle_ || ::fstat(handle_->fd, &st) != 0) {
    return -1;
  }
  return static_cast<int64_t>(st.st_size);
}

bool File::SetDosDateTime(uint32_t dosDateTime) {
  const time_t value = DosToTime(dosDateTime);
  if (!handle_ || value == -1) {
    return false;
  }
  const std::array<timespec, 2> times{timespec{value, 0}, timespec{value, 0}};
  return ::futimens(handle_->fd, times.data()) == 0;
}

bool File::SetPermissions(uint32_t mode) {
  const mode_t permissions = static_cast<mode_t>(mode & 0777U) & ~ProcessUmask();
  return handle_ && ::fchmod(handle_->fd, permissions) == 0;
}

bool File::SetAttributes(uint32_t attributes) {
  struct stat st {};
  if (!handle_ || ::fstat(handle_->fd, &st) != 0) {
    return false;
  }
  mode_t mode = st.st_mode & 0777U;
  if ((attributes & kAttrReadOnly) != 0) {
    mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  } else {
    mode |= S_IWUSR;
  }
  return ::fchmod(handle_->fd, mode) == 0;
}

bool File::SetModeOf(const std::string& path) {
  struct stat st {};
  if (!handle_ || ::stat(path.c_str(), &st) != 0) {
    return false;
  }
  // The owner first: a change of owner clears the set-id bits again. Only a
  // privileged process may give the file away; others keep their own.
  if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) &&
      ::fchown(handle_->fd, st.st_uid, st.st_gid) != 0 && errno != EPERM) {
    return false;
  }
  return ::fchmod(handle_->fd, st.st_mode & 07777U) == 0;
}

bool File::Flush() {
  return handle_ && ::fsync(handle_->fd) == 0;
}

void File::Close() {
  handle_.reset();
}

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

struct FileLock::Handle {
  int fd = -1;
  explicit Handle(int descriptor) : fd(descriptor) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { ::close(fd); }  // closing the descriptor releases the lock
};

FileLock::FileLock(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}
FileLock::~FileLock() = default;

std::unique_ptr<FileLock> FileLock::Acquire(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    return nullptr;
  }
  auto handle = std::make_unique<Handle>(fd);
  int result = 0;
  do {
    result = ::flock(fd, LOCK_EX);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    return nullptr;
  }
  return std::unique_ptr<FileLock>(new FileLock(std::move(handle)));
}

}  // namespace lumivora::platform
