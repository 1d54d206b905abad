// Letter case of 8-bit texts as the system compares names: only the 26 ASCII
// letters have a case; every other byte of the code page compares as it is,
// whatever the locale of the process.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace lumivora::platform {

constexpr char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string LowerAscii(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](char c) { return LowerAscii(c); });
  return text;
}

inline bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return LowerAscii(x) == LowerAscii(y);
         });
}

inline bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace lumivora::platform

namespace lumivora::platform {

// Characters of a text from outside (a server, an archive) that are shown.
inline constexpr size_t kShownTextLimit = 80;

// TEXT as it may be shown to the user when nothing vouches for it: control
// characters written as ls and Info-ZIP's unzip show them ("^[" for escape,
// "^?" for delete), so that it cannot drive a terminal or break a line, and
// cut after LIMIT characters (at a UTF-8 character's start) with "...".
inline std::string ShownText(std::string_view text, size_t limit = kShownTextLimit) {
  std::string shown;
  size_t end = std::min(text.size(), limit);
  if (end < text.size()) {
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0U) == 0x80U) {
      --end;
    }
  }
  for (const char c : text.substr(0, end)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      shown += '^';
      shown += static_cast<char>(byte ^ 0x40U);
    } else {
      shown += c;
    }
  }
  return end < text.size() ? shown + "..." : shown;
}

// TEXT, whose lines the program breaks as Windows does (CR LF, or CR alone),
// with every line break (CR LF, CR or LF) as one LF: the one break of a
// terminal and of the GTK toolkit. Windows takes the texts as they are.
inline std::string LfLineBreaks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') {
        ++i;
      }
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace lumivora::platform
