// Whole-file operations on Windows paths with the kernel's own calls
// (CopyFileA, MoveFileA, DeleteFileA, SetFileAttributesA, SetFileTime):
// existence, folders, attributes, times, identity and limits. MS-DOS
// date/time values are local time.
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/win32/file_support_win32.h"
#include "platform/win32/windows_api.h"

namespace lumivora::platform {

using win32::DosToFileTime;
using win32::ScopedHandle;
using win32::UniqueSuffix;

namespace {

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

// The file's attribute record; false when PATH does not exist.
bool AttributeData(const std::string& path, WIN32_FILE_ATTRIBUTE_DATA& data) {
  return ::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) != 0;
}

}  // namespace

bool FileExists(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DirectoryExists(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool CreateDirectory(const std::string& path) {
  return ::CreateDirectoryA(path.c_str(), nullptr) != 0;
}

bool ForceDirectories(const std::string& path) {
  if (path.empty()) {
    return false;
  }
  std::string trimmed = path;
  while (trimmed.size() > 1 && IsSeparator(trimmed.back())) {
    trimmed.pop_back();
  }
  if (DirectoryExists(trimmed)) {
    return true;
  }
  const size_t separator = trimmed.find_last_of("\\/");
  // A drive root ("C:") or a share's root has no parent to create.
  if (separator != std::string::npos && separator > 0 && trimmed[separator - 1] != ':' &&
      !ForceDirectories(trimmed.substr(0, separator))) {
    return false;
  }
  return CreateDirectory(trimmed) || DirectoryExists(trimmed);
}

std::string CreateUniqueFolder(const std::string& prefix) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string path = prefix + UniqueSuffix();
    if (::CreateDirectoryA(path.c_str(), nullptr) != 0) {
      return path;
    }
    if (::GetLastError() != ERROR_ALREADY_EXISTS) {
      break;
    }
  }
  return {};
}

bool RemoveDirectory(const std::string& path) {
  return ::RemoveDirectoryA(path.c_str()) != 0;
}

std::vector<std::string> ListFolder(const std::string& folder, const std::string& prefix) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found{};
  HANDLE search = ::FindFirstFileA((folder + "\\" + prefix + "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    return names;
  }
  do {
    const std::string name = found.cFileName;
    if (name != "." && name != ".." && name.rfind(prefix, 0) == 0) {
      names.push_back(name);
    }
  } while (::FindNextFileA(search, &found) != 0);
  ::FindClose(search);
  return names;
}

bool FlushFolder(const std::string& /*path*/) {
  return true;  // ReplaceFile renames with MOVEFILE_WRITE_THROUGH
}

bool DeleteFile(const std::string& path) {
  return ::DeleteFileA(path.c_str()) != 0;
}

bool CopyFile(const std::string& source, const std::string& target, bool failIfExists) {
  return ::CopyFileA(source.c_str(), target.c_str(), failIfExists ? TRUE : FALSE) != 0;
}

bool MoveFile(const std::string& source, const std::string& target) {
  return ::MoveFileA(source.c_str(), target.c_str()) != 0;
}

bool ReplaceFile(const std::string& source, const std::string& target) {
  return ::MoveFileExA(source.c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool LinkFile(const std::string& existing, const std::string& link) {
  return ::CreateHardLinkA(link.c_str(), existing.c_str(), nullptr) != 0;
}

std::optional<uint32_t> GetFileAttributes(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return std::nullopt;
  }
  return static_cast<uint32_t>(attributes);
}

bool SetFileAttributes(const std::string& path, uint32_t attributes) {
  // Zero would mean "no change" to the kernel; a plain file is "normal".
  const DWORD value = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : static_cast<DWORD>(attributes);
  return ::SetFileAttributesA(path.c_str(), value) != 0;
}

bool SetFileUnixMode(const std::string& path, uint32_t mode) {
  // Windows keeps no permission bits: a mode without the owner's write
  // permission becomes the read-only attribute, as Info-ZIP's unzip does.
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return false;
  }
  const DWORD readOnly = (mode & 0200U) == 0 ? FILE_ATTRIBUTE_READONLY : 0;
  const DWORD updated = (attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)) | readOnly;
  return updated == attributes ||
         ::SetFileAttributesA(path.c_str(), updated == 0 ? FILE_ATTRIBUTE_NORMAL : updated) != 0;
}

std::optional<uint32_t> FileAgeDos(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  FILETIME local{};
  WORD date = 0;
  WORD time = 0;
  if (!AttributeData(path, data) || ::FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) == 0 ||
      ::FileTimeToDosDateTime(&local, &date, &time) == 0) {
    return std::nullopt;
  }
  return static_cast<uint32_t>(date) << 16U | time;
}

bool SetFileDosDateTime(const std::string& path, uint32_t dosDateTime) {
  FILETIME time{};
  if (!DosToFileTime(dosDateTime, time)) {
    return false;
  }
  const ScopedHandle file(::CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return file.Valid() && ::SetFileTime(file.Get(), nullptr, nullptr, &time) != 0;
}

bool IsSymbolicLink(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool SameFile(const std::string& a, const std::string& b) {
  const auto identity = [](const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
    const ScopedHandle file(
        ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return file.Valid() && ::GetFileInformationByHandle(file.Get(), &info) != 0;
  };
  BY_HANDLE_FILE_INFORMATION ia{};
  BY_HANDLE_FILE_INFORMATION ib{};
  return identity(a, ia) && identity(b, ib) && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

size_t MaxPathLength() {
  return MAX_PATH - 1;  // the ANSI calls, without the terminating zero
}

size_t MaxNameLength() {
  return 255;
}

std::optional<int64_t> FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!AttributeData(path, data) || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return std::nullopt;
  }
  return static_cast<int64_t>(static_cast<uint64_t>(data.nFileSizeHigh) << 32U | data.nFileSizeLow);
}

bool AppendToFile(const std::string& path, std::string_view text) {
  // FILE_APPEND_DATA alone: every write goes to the end of the file, however
  // many processes append; shared deletion lets another start rename it.
  const HANDLE file = ::CreateFileA(path.c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  DWORD written = 0;
  const bool ok =
      ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != 0 &&
      written == text.size();
  ::CloseHandle(file);
  return ok;
}

}  // namespace lumivora::platform
