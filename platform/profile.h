// Profile (INI) files with the semantics of the Windows profile-file
// operations: every read and write goes straight to the file; section and key
// names are matched without regard to letter case; a write changes only its
// key and creates the section and the file when missing.
#pragma once

#include <string>

namespace lumivora::platform {

// Value of KEY in SECTION of FILE, or DEFAULT when the file, section or key is
// missing. Blanks around the value are removed and one pair of enclosing
// quotes is dropped; the result is cut at MAXCHARS characters.
std::string ReadProfileString(const std::string& section, const std::string& key,
                              const std::string& defaultValue, const std::string& file,
                              size_t maxChars = 2047);
// Writes KEY=VALUE into SECTION of FILE; false when the system refuses.
bool WriteProfileString(const std::string& section, const std::string& key,
                        const std::string& value, const std::string& file);

}  // namespace lumivora::platform
