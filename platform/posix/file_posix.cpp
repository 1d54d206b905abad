// File layer on POSIX: file descriptors owned by File, and the lock file.
// The whole-file operations on paths are in file_paths_posix.cpp.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

#include "platform/exception.h"
#include "platform/file.h"
#include "platform/posix/dos_time_posix.h"

namespace lumivora::platform {

using posix::DosToTime;

char PathSeparator() {
  return '/';
}

bool IsAbsolutePath(const std::string& path) {
  return path.starts_with('/');
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

// The process umask, read once (umask(2) can only be read by setting it).
mode_t ProcessUmask() {
  static const mode_t mask = [] {
    const mode_t value = ::umask(077);
    ::umask(value);
    return value;
  }();
  return mask;
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
    throw EFCreateError("Cannot create file " + prefix + "... (" +
                        std::generic_category().message(errno) + ")");
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

void File::WriteBlocks(std::span<const std::span<const uint8_t>> blocks, size_t& written) {
  written = 0;
  if (!handle_) {
    throw EWriteError("Stream write error");
  }
  constexpr size_t kMostVectors = 64;  // well below IOV_MAX
  std::array<iovec, kMostVectors> vectors{};
  size_t offset = 0;  // bytes of blocks[written] already written
  while (written < blocks.size()) {
    size_t count = 0;
    for (size_t i = written; i < blocks.size() && count < kMostVectors; ++i, ++count) {
      const size_t skip = i == written ? offset : 0;
      // writev does not write through iov_base; the POSIX type is not const.
      vectors[count].iov_base = const_cast<uint8_t*>(blocks[i].data() + skip);  // NOLINT
      vectors[count].iov_len = blocks[i].size() - skip;
    }
    const ssize_t n = ::writev(handle_->fd, vectors.data(), static_cast<int>(count));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      throw EWriteError("Stream write error");
    }
    auto left = static_cast<size_t>(n);
    while (written < blocks.size() && left >= blocks[written].size() - offset) {
      left -= blocks[written].size() - offset;
      offset = 0;
      ++written;
    }
    offset += left;
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

struct FileLock::Handle {
  int fd = -1;
  explicit Handle(int descriptor) : fd(descriptor) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { ::close(fd); }  // closing the descriptor releases the lock
};

FileLock::FileLock(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}
FileLock::~FileLock() = default;

std::unique_ptr<FileLock> FileLock::TryAcquire(const std::string& path, bool* busy) {
  if (busy != nullptr) {
    *busy = false;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    return nullptr;
  }
  auto handle = std::make_unique<Handle>(fd);
  int result = 0;
  do {
    result = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    if (busy != nullptr) {
      *busy = errno == EWOULDBLOCK;
    }
    return nullptr;
  }
  return std::unique_ptr<FileLock>(new FileLock(std::move(handle)));
}

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
