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

}  // namespace lumivora::platform
