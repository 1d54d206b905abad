// Profile files on POSIX with the semantics of the Windows profile-file
// operations. A write replaces the file in one rename, so a reader never sees
// half a file and a failed write leaves the old file whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
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
  std::ostringstream content;
  content << in.rdbuf();
  const std::string text = content.str();
  crlf = text.find("\r\n") != std::string::npos;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    lines.push_back(line);
    start = end + 1;
  }
  return true;
}

}  // namespace

std::string ReadProfileString(const std::string& section, const std::string& key,
                              const std::string& defaultValue, const std::string& file,
                              size_t maxChars) {
  std::vector<std::string> lines;
  bool crlf = false;
  if (!ReadLines(file, lines, crlf)) {
    return defaultValue.substr(0, std::min(maxChars, defaultValue.size()));
  }
  bool inSection = false;
  bool sectionSeen = false;
  for (const std::string& line : lines) {
    std::string name;
    if (SectionName(line, name)) {
      if (sectionSeen && inSection) {
        break;  // the first section of that name wins
      }
      inSection = EqualsIgnoreCase(name, section);
      sectionSeen = sectionSeen || inSection;
      continue;
    }
    std::string lineKey;
    std::string value;
    if (inSection && KeyValue(line, lineKey, value) && EqualsIgnoreCase(lineKey, key)) {
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
          value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
      }
      return value.substr(0, std::min(maxChars, value.size()));
    }
  }
  return defaultValue.substr(0, std::min(maxChars, defaultValue.size()));
}

bool WriteProfileString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& file) {
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
  const std::string entry = key + "=" + value;
  // Find the first section of that name and the key in it.
  size_t sectionLine = lines.size();
  size_t insertAt = lines.size();
  bool replaced = false;
  for (size_t i = 0; i < lines.size() && !replaced; ++i) {
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
      replaced = true;
    } else if (!Trim(lines[i]).empty()) {
      insertAt = i + 1;
    }
  }
  if (!replaced) {
    if (sectionLine == lines.size()) {
      lines.push_back("[" + section + "]");
      lines.push_back(entry);
    } else {
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), entry);
    }
  }

  const char* newline = crlf ? "\r\n" : "\n";
  std::string text;
  for (const std::string& line : lines) {
    text += line;
    text += newline;
  }
  // Write beside the file and rename over it in one step.
  const std::string temporary = file + ".tmp" + std::to_string(::getpid());
  struct stat st {};
  const mode_t mode = exists && ::stat(file.c_str(), &st) == 0 ? (st.st_mode & 0777U) : 0644U;
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) {
    return false;
  }
  size_t done = 0;
  bool ok = true;
  while (ok && done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    ok = n > 0;
    done += ok ? static_cast<size_t>(n) : 0;
  }
  ok = (::fsync(fd) == 0) && ok;
  ok = (::close(fd) == 0) && ok;
  if (!ok || ::rename(temporary.c_str(), file.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace lumivora::platform
