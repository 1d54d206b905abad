#include "platform/profile.h"

#include <algorithm>

#include "platform/text.h"

namespace lumivora::platform {

bool WantedProfileKey(const ProfileValues& found, const std::vector<std::string>& keys,
                      const std::string& key) {
  const auto named = [&key](const std::string& name) { return EqualsIgnoreCase(name, key); };
  return std::any_of(keys.begin(), keys.end(), named) &&
         std::none_of(found.begin(), found.end(),
                      [&named](const auto& entry) { return named(entry.first); });
}

// Same-type parameters kept: key, then default, as the profile reading calls take them.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
std::string ProfileValue(const ProfileValues& values, const std::string& key,
                         const std::string& defaultValue, size_t maxChars) {
  const auto sameKey = [&key](const auto& entry) { return EqualsIgnoreCase(entry.first, key); };
  const auto found = std::find_if(values.begin(), values.end(), sameKey);
  const std::string& value = found == values.end() ? defaultValue : found->second;
  return value.substr(0, std::min(maxChars, value.size()));
}

}  // namespace lumivora::platform
