// Profile files on POSIX with the semantics of the Windows profile-file
// operations. A write replaces the file in one rename, so a reader never sees
// half a file and a failed write leaves the old file whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <string>
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

// Writes LINES, each ended by NEWLINE, beside FILE, flushes them and renames
// the result over FILE in one step; the file keeps MODE (0644 for a new one).
bool ReplaceContent(const std::string& file, const std::vector<std::string>& lines,
                    const char* newline, std::optional<mode_t> mode) {
  const std::string temporary = file + ".tmp" + std::to_string(::getpid());
  const int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode.value_or(0644U));
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
  const size_t slash = file.find_last_of('/');
  FlushFolder(slash == std::string::npos ? std::string(".") : file.substr(0, slash + 1));
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
