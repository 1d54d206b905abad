// Profile files on POSIX with the semantics of the Windows profile-file
// operations. A write replaces the file in one rename, so a reader never sees
// half a file and a failed write leaves the old file whole.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace lumivora::platform {
namespace {

std::string Trim(const std::string& text) {
  const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  size_t first = 0;
  size_t last = text.size();
  while (first < last && isBlank(text[first])) {
    ++first;
  }
  while (last > first && isBlank(text[last - 1])) {
    --last;
  }
  return text.substr(first, last - first);
}

// The section name of a "[name]" line, or false when LINE is no section line.
bool SectionName(const std::string& line, std::string& name) {
  const std::string trimmed = Trim(line);
  if (trimmed.size() < 2 || trimmed.front() != '[') {
    return false;
  }
  const size_t close = trimmed.find(']');
  name = Trim(trimmed.substr(1, close == std::string::npos ? std::string::npos : close - 1));
  return true;
}

// Splits a "key=value" line; false for lines without "=" and comments.
// Same-type parameters kept: the line's two halves in their order.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
bool KeyValue(const std::string& line, std::string& key, std::string& value) {
  const std::string trimmed = Trim(line);
  if (trimmed.empty() || trimmed.front() == ';') {
    return false;
  }
  const size_t equals = trimmed.find('=');
  if (equals == std::string::npos) {
    return false;
  }
  key = Trim(trimmed.substr(0, equals));
  value = Trim(trimmed.substr(equals + 1));
  return true;
}

bool ReadLines(const std::string& file, std::vector<std::string>& lines, bool& crlf) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    return false;
  }
  crlf = false;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
      crlf = true;
    }
    lines.push_back(std::move(line));
  }
  return true;
}

// Sets KEY=VALUE in the first section SECTION of LINES: the first line of
// that key is replaced, else the entry goes after the section's last
// non-blank line; a missing section is added at the end.
void SetValue(std::vector<std::string>& lines, const std::string& section, const std::string& key,
              const std::string& value) {
  const std::string entry = key + "=" + value;
  size_t sectionLine = lines.size();
  size_t insertAt = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string name;
    if (SectionName(lines[i], name)) {
      if (sectionLine != lines.size()) {
        break;
      }
      if (EqualsIgnoreCase(name, section)) {
        sectionLine = i;
        insertAt = i + 1;
      }
      continue;
    }
    if (sectionLine == lines.size()) {
      continue;
    }
    std::string lineKey;
    std::string lineValue;
    if (KeyValue(lines[i], lineKey, lineValue) && EqualsIgnoreCase(lineKey, key)) {
      lines[i] = entry;
      return;
    }
    if (!Trim(lines[i]).empty()) {
      insertAt = i + 1;
    }
  }
  if (sectionLine == lines.size()) {
    lines.push_back("[" + section + "]");
    lines.push_back(entry);
  } else {
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), entry);
  }
}

// Temporary files of a write are named FILE.tmp followed by characters of
// their own, and are locked (flock) for as long as their write runs.
constexpr std::string_view kTemporaryMark = ".tmp";

// The folder part of FILE, with its separator ("." when it has none).
std::string FolderOf(const std::string& file) {
  const size_t slash = file.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : file.substr(0, slash + 1);
}

// Removes what earlier writes of FILE left behind when they were killed:
// temporary files of the user's own that no write holds locked, and links
// under a temporary file's name (the link, never what it names).
void SweepLeftovers(const std::string& file) {
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(FolderOf(file).c_str()), ::closedir);
  if (!dir) {
    return;
  }
  const std::string prefix = file.substr(file.find_last_of('/') + 1) + std::string(kTemporaryMark);
  const int dirFd = ::dirfd(dir.get());
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name.size() <= prefix.size() || !name.starts_with(prefix)) {
      continue;
    }
    const int fd = ::openat(dirFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ELOOP) {
        ::unlinkat(dirFd, entry->d_name, 0);
      }
      continue;
    }
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
        ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      ::unlinkat(dirFd, entry->d_name, 0);
    }
    ::close(fd);
  }
}

// Creates and locks a new temporary file of FILE, named in TEMPORARY; -1 when
// none could be made.
int CreateTemporary(const std::string& file, std::string& temporary) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    temporary = file + std::string(kTemporaryMark) + "XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
      return -1;
    }
    // Another write's sweep may have taken it for a leftover before the lock
    // was held: then it is gone, and another name is tried.
    struct stat info {};
    if (::flock(fd, LOCK_EX) == 0 && ::fstat(fd, &info) == 0 && info.st_nlink > 0) {
      return fd;
    }
    ::close(fd);
  }
  return -1;
}

// Writes LINES, each ended by NEWLINE, beside FILE, flushes them and renames
// the result over FILE in one step; the file keeps MODE (0644 for a new one).
bool ReplaceContent(const std::string& file, const std::vector<std::string>& lines,
                    const char* newline, std::optional<mode_t> mode) {
  SweepLeftovers(file);
  std::string temporary;
  const int fd = CreateTemporary(file, temporary);
  if (fd < 0) {
    return false;
  }
  bool ok = ::fchmod(fd, mode.value_or(0644U)) == 0;  // the mode as it was, whatever the umask
  std::string pending;
  const auto writeOut = [&] {
    for (size_t done = 0; ok && done < pending.size();) {
      const ssize_t n = ::write(fd, pending.data() + done, pending.size() - done);
      ok = n > 0;
      done += ok ? static_cast<size_t>(n) : 0;
    }
    pending.clear();
  };
  for (const std::string& line : lines) {
    pending += line;
    pending += newline;
    if (pending.size() >= 65536) {
      writeOut();
    }
  }
  writeOut();
  ok = (::fsync(fd) == 0) && ok;
  ok = (::close(fd) == 0) && ok;
  if (!ok || ::rename(temporary.c_str(), file.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  FlushFolder(FolderOf(file));
  return true;
}

}  // namespace

ProfileValues ReadProfileSection(const std::string& section, const std::vector<std::string>& keys,
                                 const std::string& file) {
  // Line by line: only the wanted values are kept, whatever else the file
  // holds.
  ProfileValues values;
  std::ifstream in(file, std::ios::binary);
  bool inSection = false;
  bool sectionSeen = false;
  std::string line;
  while (std::getline(in, line)) {
    std::string name;
    if (SectionName(line, name)) {
      if (sectionSeen && inSection) {
        break;  // the first section of that name wins
      }
      inSection = EqualsIgnoreCase(name, section);
      sectionSeen = sectionSeen || inSection;
      continue;
    }
    std::string key;
    std::string value;
    if (inSection && KeyValue(line, key, value) && WantedProfileKey(values, keys, key)) {
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
          value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
      }
      values.emplace_back(std::move(key), std::move(value));
    }
  }
  return values;
}

std::string ReadProfileString(const std::string& section, const std::string& key,
                              const std::string& defaultValue, const std::string& file,
                              size_t maxChars) {
  return ProfileValue(ReadProfileSection(section, {key}, file), key, defaultValue, maxChars);
}

bool WriteProfileString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& file) {
  return WriteProfileStrings(section, {{key, value}}, file);
}

bool WriteProfileStrings(const std::string& section, const ProfileValues& values,
                         const std::string& file) {
  std::vector<std::string> lines;
  bool crlf = false;
  const bool exists = ReadLines(file, lines, crlf);
  if (!exists && FileExists(file)) {
    return false;  // present but unreadable
  }
  struct stat current {};
  if (exists && (::access(file.c_str(), W_OK) != 0 ||
                 (::stat(file.c_str(), &current) == 0 &&
                  (current.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0))) {
    return false;  // a read-only file refuses the write, as it does for an administrator too
  }
  for (const auto& [key, value] : values) {
    SetValue(lines, section, key, value);
  }
  return ReplaceContent(file, lines, crlf ? "\r\n" : "\n",
                        exists ? std::optional<mode_t>(current.st_mode & 0777U) : std::nullopt);
}

}  // namespace lumivora::platform
