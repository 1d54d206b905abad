// File layer on Windows: kernel file handles owned by File, and the lock
// file. The whole-file operations on paths are in file_paths_win32.cpp.
#include <algorithm>
#include <random>
#include <string>
#include <system_error>
#include <utility>

#include "platform/exception.h"
#include "platform/file.h"
#include "platform/win32/file_support_win32.h"
#include "platform/win32/windows_api.h"

namespace lumivora::platform {

namespace win32 {

// An MS-DOS date/time (local time) as a file time (UTC); false when invalid.
bool DosToFileTime(uint32_t dosDateTime, FILETIME& utc) {
  FILETIME local{};
  if (::DosDateTimeToFileTime(static_cast<WORD>(dosDateTime >> 16U),
                              static_cast<WORD>(dosDateTime & 0xFFFFU), &local) == 0) {
    return false;
  }
  return ::LocalFileTimeToFileTime(&local, &utc) != 0;
}

// Eight characters no other process can predict.
std::string UniqueSuffix() {
  static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::random_device random;
  std::string suffix;
  for (int i = 0; i < 8; ++i) {
    suffix.push_back(kDigits[random() % 36U]);
  }
  return suffix;
}

}  // namespace win32

using win32::DosToFileTime;
using win32::ScopedHandle;
using win32::UniqueSuffix;

char PathSeparator() {
  return '\\';
}

bool IsAbsolutePath(const std::string& path) {
  const bool drive = path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
  return drive || path.starts_with("\\\\");
}

struct File::Handle {
  ScopedHandle handle;
  explicit Handle(HANDLE h) : handle(h) {}
};

File File::Open(const std::string& path, Mode mode) {
  DWORD access = GENERIC_READ;
  DWORD share = FILE_SHARE_READ;
  DWORD disposition = OPEN_EXISTING;
  switch (mode) {
    case Mode::kRead:
      break;
    case Mode::kCreate:
      access = GENERIC_WRITE;
      share = 0;  // exclusive write access
      disposition = CREATE_ALWAYS;
      break;
    case Mode::kReadWrite:
      access = GENERIC_READ | GENERIC_WRITE;
      break;
    case Mode::kReplace:
      access = GENERIC_WRITE;
      share = 0;
      disposition = CREATE_ALWAYS;
      if (IsSymbolicLink(path)) {
        // The link goes (a file link or a directory junction), never its target.
        if (::DeleteFileA(path.c_str()) == 0) {
          ::RemoveDirectoryA(path.c_str());
        }
      }
      break;
    case Mode::kCreateNew:
      access = GENERIC_WRITE;
      share = 0;
      disposition = CREATE_NEW;  // fails when anything is at the path
      break;
  }
  const DWORD flags =
      FILE_ATTRIBUTE_NORMAL | (mode == Mode::kReplace ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  HANDLE handle = ::CreateFileA(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    if (mode == Mode::kCreate || mode == Mode::kReplace || mode == Mode::kCreateNew) {
      throw EFCreateError("Cannot create file " + path);
    }
    throw EFOpenError("Cannot open file " + path);
  }
  File file;
  file.handle_ = std::make_unique<Handle>(handle);
  file.path_ = path;
  return file;
}

File File::CreateUnique(const std::string& prefix) {
  DWORD error = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < 100 && error == ERROR_FILE_EXISTS; ++attempt) {
    try {
      return Open(prefix + UniqueSuffix(), Mode::kCreateNew);
    } catch (const EFCreateError&) {
      error = ::GetLastError();
    }
  }
  throw EFCreateError("Cannot create file " + prefix + "... (" +
                      std::system_category().message(static_cast<int>(error)) + ")");
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
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1U << 30U));
    DWORD read = 0;
    if (::ReadFile(handle_->handle.Get(), bytes + done, chunk, &read, nullptr) == 0) {
      throw EReadError("Stream read error");
    }
    if (read == 0) {
      break;
    }
    done += read;
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
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1U << 30U));
    DWORD written = 0;
    if (::WriteFile(handle_->handle.Get(), bytes + done, chunk, &written, nullptr) == 0 ||
        written == 0) {
      throw EWriteError("Stream write error");
    }
    done += written;
  }
}

void File::WriteBlocks(std::span<const std::span<const uint8_t>> blocks, size_t& written) {
  written = 0;
  for (const std::span<const uint8_t> block : blocks) {
    Write(block.data(), block.size());
    ++written;
  }
}

void File::Seek(int64_t position) {
  LARGE_INTEGER distance{};
  distance.QuadPart = position;
  if (!handle_ || position < 0 ||
      ::SetFilePointerEx(handle_->handle.Get(), distance, nullptr, FILE_BEGIN) == 0) {
    throw EReadError("Stream read error");
  }
}

int64_t File::Position() const {
  LARGE_INTEGER zero{};
  LARGE_INTEGER position{};
  if (!handle_ || ::SetFilePointerEx(handle_->handle.Get(), zero, &position, FILE_CURRENT) == 0) {
    return -1;
  }
  return position.QuadPart;
}

int64_t File::Size() const {
  LARGE_INTEGER size{};
  if (!handle_ || ::GetFileSizeEx(handle_->handle.Get(), &size) == 0) {
    return -1;
  }
  return size.QuadPart;
}

bool File::SetDosDateTime(uint32_t dosDateTime) {
  FILETIME time{};
  return handle_ && DosToFileTime(dosDateTime, time) &&
         ::SetFileTime(handle_->handle.Get(), nullptr, nullptr, &time) != 0;
}

bool File::SetAttributes(uint32_t attributes) {
  FILE_BASIC_INFO info{};
  // Zero would mean "no change" to the kernel; a plain file is "normal".
  info.FileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : static_cast<DWORD>(attributes);
  return handle_ && ::SetFileInformationByHandle(handle_->handle.Get(), FileBasicInfo, &info,
                                                 sizeof(info)) != 0;
}

bool File::SetPermissions(uint32_t mode) {
  // Windows keeps no permission bits: a mode without the owner's write
  // permission becomes the read-only attribute, as Info-ZIP's unzip does.
  FILE_BASIC_INFO info{};
  if (!handle_ || ::GetFileInformationByHandleEx(handle_->handle.Get(), FileBasicInfo, &info,
                                                 sizeof(info)) == 0) {
    return false;
  }
  DWORD attributes = info.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  if ((mode & 0200U) == 0) {
    attributes |= FILE_ATTRIBUTE_READONLY;
  }
  return SetAttributes(attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
}

bool File::SetModeOf(const std::string& path) {
  // Windows keeps no permission bits: the attributes stand for the mode. The
  // file stays writable until it is closed.
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (!handle_ || attributes == INVALID_FILE_ATTRIBUTES) {
    return false;
  }
  FILE_BASIC_INFO info{};  // times of zero are left as they are
  const DWORD kept = attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                   FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
  info.FileAttributes = kept == 0 ? FILE_ATTRIBUTE_NORMAL : kept;
  return ::SetFileInformationByHandle(handle_->handle.Get(), FileBasicInfo, &info, sizeof info) !=
         0;
}

bool File::Flush() {
  return handle_ && ::FlushFileBuffers(handle_->handle.Get()) != 0;
}

void File::Close() {
  handle_.reset();
}
struct FileLock::Handle {
  ScopedHandle handle;  // closing the handle releases the lock
  explicit Handle(HANDLE h) : handle(h) {}
};

FileLock::FileLock(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}
FileLock::~FileLock() = default;

std::unique_ptr<FileLock> FileLock::TryAcquire(const std::string& path, bool* busy) {
  if (busy != nullptr) {
    *busy = false;
  }
  auto handle =
      std::make_unique<Handle>(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle->handle.Valid()) {
    return nullptr;
  }
  OVERLAPPED whole{};
  if (::LockFileEx(handle->handle.Get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                   MAXDWORD, MAXDWORD, &whole) == 0) {
    if (busy != nullptr) {
      *busy = ::GetLastError() == ERROR_LOCK_VIOLATION;
    }
    return nullptr;
  }
  return std::unique_ptr<FileLock>(new FileLock(std::move(handle)));
}

std::unique_ptr<FileLock> FileLock::Acquire(const std::string& path) {
  auto handle =
      std::make_unique<Handle>(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle->handle.Valid()) {
    return nullptr;
  }
  OVERLAPPED whole{};
  if (::LockFileEx(handle->handle.Get(), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) ==
      0) {
    return nullptr;
  }
  return std::unique_ptr<FileLock>(new FileLock(std::move(handle)));
}

}  // namespace lumivora::platform
