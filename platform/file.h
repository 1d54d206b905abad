// File layer: an owned file handle with the stream semantics the components
// rely on, and the whole-file operations (copy, move, delete, attributes,
// times). Paths are 8-bit texts. Each backend implements it in its own files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lumivora::platform {

// The path separator of this platform ('/' on POSIX, '\\' on Windows).
char PathSeparator();
// True when PATH names a file from the root of a file system, not from the
// current folder: a leading "/" on POSIX; a drive letter, ":" and a
// separator, or a network share (two backslashes) on Windows.
bool IsAbsolutePath(const std::string& path);

// Attribute bits in the MS-DOS / Windows layout; POSIX maps read-only to the
// write permission bits and ignores the others.
inline constexpr uint32_t kAttrReadOnly = 0x01;
inline constexpr uint32_t kAttrHidden = 0x02;
inline constexpr uint32_t kAttrSystem = 0x04;
inline constexpr uint32_t kAttrDirectory = 0x10;
inline constexpr uint32_t kAttrArchive = 0x20;

class File {
 public:
  enum class Mode {
    kRead,       // open an existing file for reading, sharing reads
    kCreate,     // create or truncate, exclusive write access
    kReadWrite,  // open an existing file for reading and writing
    kReplace,    // as kCreate, but never through a link: a link at the path
                 // is removed first and the open follows none
    kCreateNew,  // create a file that does not exist yet (nothing, not even a
                 // link, may be at the path), readable and writable by the
                 // user only until SetModeOf gives it another mode
  };

  // Opens PATH. kCreate failures raise EFCreateError("Cannot create file %s"),
  // other failures EFOpenError("Cannot open file %s").
  static File Open(const std::string& path, Mode mode);
  // Creates a new file (kCreateNew) named PREFIX followed by characters of
  // its own, in PREFIX's folder; raises EFCreateError("Cannot create file
  // <prefix>...") when no name could be created.
  static File CreateUnique(const std::string& prefix);

  File() = default;
  File(File&&) noexcept;
  File& operator=(File&&) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  [[nodiscard]] bool IsOpen() const;
  [[nodiscard]] const std::string& Path() const { return path_; }
  // Reads up to SIZE bytes; returns the count read (0 at end of file).
  // A system failure raises EReadError("Stream read error").
  size_t Read(void* buffer, size_t size);
  // Writes all SIZE bytes or raises EWriteError("Stream write error").
  void Write(const void* buffer, size_t size);
  // Writes BLOCKS one after the other, with as few system calls as the
  // system allows (gathered writes on POSIX). WRITTEN counts the blocks
  // written whole, also when it raises EWriteError("Stream write error")
  // for the first block that could not be written.
  void WriteBlocks(std::span<const std::span<const uint8_t>> blocks, size_t& written);
  void Seek(int64_t position);
  [[nodiscard]] int64_t Position() const;
  [[nodiscard]] int64_t Size() const;
  // Sets the modification time from an MS-DOS date/time (local time).
  bool SetDosDateTime(uint32_t dosDateTime);
  // Sets the permission bits of the open file to MODE & 0777 less the
  // process umask: setuid, setgid and sticky are never set. Where there are
  // no such bits, a MODE without the owner's write bit makes it read-only.
  bool SetPermissions(uint32_t mode);
  // Sets the attributes of the open file (POSIX keeps only read-only).
  bool SetAttributes(uint32_t attributes);
  // Gives the file the permission bits and, where the process may, the owner
  // of the file at PATH (on Windows: its attributes, read-only excepted).
  bool SetModeOf(const std::string& path);
  // Writes everything written so far through to the disk.
  bool Flush();
  void Close();

 private:
  struct Handle;
  std::unique_ptr<Handle> handle_;
  std::string path_;
};

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
// Creates one directory (its parent must exist).
bool CreateDirectory(const std::string& path);
// Creates a directory and every missing parent.
bool ForceDirectories(const std::string& path);
// Creates a new folder for the user only, named PREFIX followed by characters
// of its own; its path (no trailing separator), or the empty text.
std::string CreateUniqueFolder(const std::string& prefix);
// Removes an empty folder.
bool RemoveDirectory(const std::string& path);
// The names in FOLDER that begin with PREFIX ("." and ".." never), in no
// particular order; empty when the folder cannot be read.
std::vector<std::string> ListFolder(const std::string& folder, const std::string& prefix);
// Writes the folder's entries (a rename into it) through to the disk; true
// where the platform does that with the rename itself.
bool FlushFolder(const std::string& path);
bool DeleteFile(const std::string& path);
// Copies SOURCE over TARGET (replacing it unless failIfExists).
bool CopyFile(const std::string& source, const std::string& target, bool failIfExists);
// Renames SOURCE to TARGET; fails when TARGET exists.
bool MoveFile(const std::string& source, const std::string& target);
// Renames SOURCE over TARGET in one step, replacing TARGET.
bool ReplaceFile(const std::string& source, const std::string& target);
// Gives the file EXISTING the second name LINK in the same file system (a
// hard link: no byte is copied); fails when LINK exists or the file system
// has no such names.
bool LinkFile(const std::string& existing, const std::string& link);
std::optional<uint32_t> GetFileAttributes(const std::string& path);
bool SetFileAttributes(const std::string& path, uint32_t attributes);
// Sets the POSIX permission bits (mode & 07777), as a ZIP entry made on a
// Unix host stores them in the high half of its external attributes
// (APPNOTE 4.4.15); false where the platform has no such bits.
bool SetFileUnixMode(const std::string& path, uint32_t mode);
// Modification time of PATH as an MS-DOS date/time, or nullopt.
std::optional<uint32_t> FileAgeDos(const std::string& path);
// Sets the modification time of PATH from an MS-DOS date/time (local time).
bool SetFileDosDateTime(const std::string& path, uint32_t dosDateTime);
// True when PATH itself is a symbolic link (on Windows, a reparse point).
bool IsSymbolicLink(const std::string& path);
// True when A and B name the same existing file.
bool SameFile(const std::string& a, const std::string& b);
// The longest path, and the longest name within it, that this platform's
// file calls take.
size_t MaxPathLength();
size_t MaxNameLength();
// Size of PATH in bytes, or nullopt.
std::optional<int64_t> FileSize(const std::string& path);
// Appends TEXT to PATH (created when missing, readable by its owner only) in
// one write at the file's end, also while other processes append to it or
// rename it; false when it cannot (never raises).
bool AppendToFile(const std::string& path, std::string_view text);

// An exclusive lock between processes on the lock file PATH (created when
// missing, never removed), held while the object lives. Acquire waits while
// another process holds it; the system releases it when its holder ends,
// however it ends. Null when the lock file cannot be opened.
class FileLock {
 public:
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();
  static std::unique_ptr<FileLock> Acquire(const std::string& path);
  // The lock without waiting: null when another process holds it (BUSY is
  // then set) or when it cannot be taken at all (the lock file cannot be
  // opened: a folder or a link at PATH, a read-only or full folder).
  static std::unique_ptr<FileLock> TryAcquire(const std::string& path, bool* busy = nullptr);

 private:
  struct Handle;
  explicit FileLock(std::unique_ptr<Handle> handle);
  std::unique_ptr<Handle> handle_;
};

// A new file that is to replace another: deleted when the holder goes out of
// scope, on every path, unless its path was cleared (it was renamed into
// place).
struct PartialFile {
  std::string path;
  PartialFile() = default;
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;
  ~PartialFile() {
    if (!path.empty()) {
      DeleteFile(path);
    }
  }
};

}  // namespace lumivora::platform
