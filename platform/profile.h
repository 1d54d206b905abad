// Profile (INI) files with the semantics of the Windows profile-file
// operations: every read and write goes straight to the file; section and key
// names are matched without regard to letter case; a write changes only its
// key and creates the section and the file when missing.
#pragma once

#include <string>
#include <utility>
#include <vector>

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

// Key and value pairs of one section.
using ProfileValues = std::vector<std::pair<std::string, std::string>>;

// The values of KEYS in the first section SECTION of FILE, read in one pass:
// the first KEY=VALUE line of each key (letter case ignored), values as
// ReadProfileString gives them, uncut. A missing file, section or key gives
// no pair.
ProfileValues ReadProfileSection(const std::string& section, const std::vector<std::string>& keys,
                                 const std::string& file);
// The value of the first KEY of VALUES (letter case ignored), or DEFAULT;
// cut at MAXCHARS characters.
std::string ProfileValue(const ProfileValues& values, const std::string& key,
                         const std::string& defaultValue, size_t maxChars = 2047);
// True when KEY is one of KEYS and has no pair in FOUND yet.
bool WantedProfileKey(const ProfileValues& found, const std::vector<std::string>& keys,
                      const std::string& key);
// Writes each KEY=VALUE of VALUES into SECTION of FILE, in one replacement of
// the file where the platform allows; false when the system refuses.
bool WriteProfileStrings(const std::string& section, const ProfileValues& values,
                         const std::string& file);

}  // namespace lumivora::platform
