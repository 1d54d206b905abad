// Profile (INI) files on Windows: the kernel's profile-file functions.
#include <algorithm>
#include <string>
#include <vector>

#include "platform/profile.h"
#include "platform/win32/windows_api.h"

namespace lumivora::platform {

std::string ReadProfileString(const std::string& section, const std::string& key,
                              const std::string& defaultValue, const std::string& file,
                              size_t maxChars) {
  // Room for MAXCHARS characters and the terminating NUL.
  const size_t room = std::min<size_t>(maxChars, 0x7FFFFFFEU) + 1;
  std::vector<char> buffer(room, '\0');
  const DWORD length =
      ::GetPrivateProfileStringA(section.c_str(), key.c_str(), defaultValue.c_str(), buffer.data(),
                                 static_cast<DWORD>(room), file.c_str());
  return std::string(buffer.data(), std::min<size_t>(length, maxChars));
}

bool WriteProfileString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& file) {
  return ::WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), file.c_str()) !=
         0;
}

namespace {

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

ProfileValues ReadProfileSection(const std::string& section, const std::vector<std::string>& keys,
                                 const std::string& file) {
  // The kernel gives the section as "key=value" texts, each ended by a NUL;
  // a result of the buffer's size less two means it did not fit.
  std::vector<char> buffer(4096);
  DWORD length = 0;
  for (;;) {
    length = ::GetPrivateProfileSectionA(section.c_str(), buffer.data(),
                                         static_cast<DWORD>(buffer.size()), file.c_str());
    if (length + 2 < buffer.size() || buffer.size() >= 0x40000000U) {
      break;
    }
    buffer.resize(buffer.size() * 4);
  }
  ProfileValues values;
  size_t start = 0;
  while (start < length) {
    const std::string line(buffer.data() + start);
    start += line.size() + 1;
    const size_t equals = line.find('=');
    if (equals == std::string::npos) {
      continue;
    }
    std::string value = Trimmed(line.substr(equals + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    std::string key = Trimmed(line.substr(0, equals));
    if (WantedProfileKey(values, keys, key)) {
      values.emplace_back(std::move(key), std::move(value));
    }
  }
  return values;
}

bool WriteProfileStrings(const std::string& section, const ProfileValues& values,
                         const std::string& file) {
  return std::all_of(values.begin(), values.end(), [&](const auto& entry) {
    return WriteProfileString(section, entry.first, entry.second, file);
  });
}

}  // namespace lumivora::platform
