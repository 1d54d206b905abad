#include "webupdate/info_file.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <optional>

#include "platform/text.h"

namespace lumivora::webupdate {

std::optional<int64_t> DecimalInt64(std::string_view text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') {
      return std::nullopt;
    }
  }
  if (text.empty()) {
    return std::nullopt;
  }
  int64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end) {
    return std::nullopt;
  }
  return value;
}

LineIterator::LineIterator(std::string_view text) : rest_(text.substr(0, text.find('\0'))) {
  ++*this;
}

LineIterator& LineIterator::operator++() {
  const size_t start = rest_.find_first_not_of("\r\n");
  if (start == std::string_view::npos) {
    line_ = {};
    rest_ = {};
    return *this;
  }
  rest_.remove_prefix(start);
  const size_t end = std::min(rest_.find_first_of("\r\n"), rest_.size());
  line_ = rest_.substr(0, end);
  rest_.remove_prefix(end);
  return *this;
}

size_t TextLines::size() const {
  return static_cast<size_t>(std::distance(begin(), end()));
}

std::vector<std::string> SplitLines(std::string_view text) {
  return {LineIterator(text), LineIterator()};
}

std::string ReadIniValue(std::string_view text, IniKey key) {
  // Only the first section of the name is read: once it has been left, a
  // later section of the same name is passed over.
  bool seen = false;
  bool inside = false;
  for (LineIterator it(text); it != LineIterator(); ++it) {
    const std::string_view line = *it;
    if (line.front() == ';') {
      continue;
    }
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      if (inside) {
        return {};
      }
      inside = !seen && platform::EqualsIgnoreCase(line.substr(1, line.size() - 2), key.section);
      seen = seen || inside;
      continue;
    }
    if (!inside) {
      continue;
    }
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      continue;
    }
    if (platform::EqualsIgnoreCase(line.substr(0, equals), key.name)) {
      return std::string(line.substr(equals + 1));
    }
  }
  return {};
}

UpdateInfo ReadUpdateInfo(std::string_view text) {
  UpdateInfo info;
  info.redirectionUrl = ReadIniValue(text, {.section = "Setup", .name = "RedirectionURL"});
  info.version = ReadIniValue(text, {.section = "Setup", .name = "Version"});
  info.url = ReadIniValue(text, {.section = "Setup", .name = "URL"});
  info.clientSideName = ReadIniValue(text, {.section = "Setup", .name = "ClientSideName"});
  for (int n = 2; n <= kMaxDownloadAddresses; ++n) {
    const std::string key = "URL" + std::to_string(n);
    std::string mirror = ReadIniValue(text, {.section = "Setup", .name = key});
    if (IsDownloadAddress(mirror)) {
      info.mirrors.push_back(std::move(mirror));
    }
  }
  return info;
}

bool IsDownloadAddress(std::string_view text) {
  const bool http = platform::StartsWithIgnoreCase(text, "http://");
  if (!http && !platform::StartsWithIgnoreCase(text, "https://")) {
    return false;
  }
  const std::string_view rest = text.substr(http ? 7 : 8);
  const size_t slash = rest.find('/');
  const bool printable = std::all_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte > 0x20 && byte < 0x7F;
  });
  return printable && slash != std::string_view::npos && slash != 0 && rest.front() != ':';
}

std::optional<int32_t> DecimalInt32(std::string_view text) {
  const std::optional<int64_t> value = DecimalInt64(text);
  if (!value || *value < std::numeric_limits<int32_t>::min() ||
      *value > std::numeric_limits<int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<int32_t>(*value);
}

int32_t VersionComponentValue(std::string_view text) {
  return DecimalInt32(text).value_or(0);
}

// Same-type parameters kept: installed, then offered, as TWebUpdate calls it.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
VersionDecision CompareVersionTexts(std::string_view installed, std::string_view offered) {
  std::string_view a = installed;
  std::string_view n = offered;
  for (;;) {
    const size_t pa = a.find('.');
    const size_t pn = n.find('.');
    const int32_t va = VersionComponentValue(a.substr(0, pa));
    const int32_t vn = VersionComponentValue(n.substr(0, pn));
    if (va < vn) {
      return pa == std::string_view::npos ? VersionDecision::kFreeUpdate
                                          : VersionDecision::kPaidUpgrade;
    }
    if (va > vn || pa == std::string_view::npos) {
      return VersionDecision::kNotNewer;
    }
    a.remove_prefix(pa + 1);
    // The offered version ran out of components: the missing ones are 0.
    n = pn == std::string_view::npos ? std::string_view() : n.substr(pn + 1);
  }
}

namespace {

// True when A and B are the same version: equal component by component, the
// missing components of the shorter one counting as 0 ("1.1" is "1.1.0").
bool SameVersion(std::string_view a, std::string_view b) {
  for (;;) {
    const size_t pa = a.find('.');
    const size_t pb = b.find('.');
    if (VersionComponentValue(a.substr(0, pa)) != VersionComponentValue(b.substr(0, pb))) {
      return false;
    }
    if (pa == std::string_view::npos && pb == std::string_view::npos) {
      return true;
    }
    a = pa == std::string_view::npos ? std::string_view() : a.substr(pa + 1);
    b = pb == std::string_view::npos ? std::string_view() : b.substr(pb + 1);
  }
}

}  // namespace

// Same-type parameters kept: as CompareVersionTexts, then the bad release.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
VersionDecision DecideVersion(std::string_view installed, std::string_view offered,
                              std::string_view badRelease) {
  return !badRelease.empty() && SameVersion(offered, badRelease)
             ? VersionDecision::kBadRelease
             : CompareVersionTexts(installed, offered);
}

UrlParts SplitUrl(std::string_view url) {
  UrlParts parts;
  constexpr std::string_view kHttp = "http://";
  constexpr std::string_view kHttps = "https://";
  if (platform::StartsWithIgnoreCase(url, kHttp)) {
    url.remove_prefix(kHttp.size());
  } else if (platform::StartsWithIgnoreCase(url, kHttps)) {
    url.remove_prefix(kHttps.size());
    parts.secure = true;
    parts.port = 443;
  }
  const size_t slash = url.find('/');
  std::string_view host;
  if (slash == std::string_view::npos) {
    parts.path = std::string(url);
  } else {
    host = url.substr(0, slash);
    parts.path = std::string(url.substr(slash));
  }
  const size_t colon = host.find(':');
  if (colon == std::string_view::npos) {
    parts.hostName = std::string(host);
    return parts;
  }
  parts.hostName = std::string(host.substr(0, colon));
  parts.port = DecimalInt32(host.substr(colon + 1)).value_or(parts.port);
  return parts;
}

std::string FormatText(std::string_view format, const std::vector<std::string>& arguments) {
  std::string result;
  size_t next = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size()) {
      if (format[i + 1] == 's') {
        if (next < arguments.size()) {
          result += arguments[next];
        }
        ++next;
        ++i;
        continue;
      }
      if (format[i + 1] == '%') {
        result += '%';
        ++i;
        continue;
      }
    }
    result += format[i];
  }
  return result;
}

std::string SafeFileNamePart(std::string_view name) {
  const size_t last = name.find_last_of("/\\:");
  if (last != std::string_view::npos) {
    name.remove_prefix(last + 1);
  }
  if (name.empty() || name == "." || name == "..") {
    return {};
  }
  return std::string(name);
}

}  // namespace lumivora::webupdate
