// Entry selection of an UnZip run: the owner's FilesList patterns ("*",
// "?", "<...>" classes) matched against each entry's stored path, letter
// case ignored.
#include "unzip/entry_selection.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/file.h"
#include "unzip/zip_archive.h"

namespace lumivora::unzip {

namespace {

std::string LowerText(std::string text) {
  for (char& c : text) {
    c = LowerAscii(c);
  }
  return text;
}

// The file-name part of a FilesList line: everything after its last
// separator or colon.
std::string PatternOf(const std::string& line) {
  const size_t cut = line.find_last_of(std::string("\\/:") + platform::PathSeparator());
  return LowerText(cut == std::string::npos ? line : line.substr(cut + 1));
}

// One element of a selection pattern.
struct PatternToken {
  enum class Kind { kLiteral, kAny, kStar, kClass } kind = Kind::kLiteral;
  char literal = 0;
  bool negated = false;
  std::vector<std::pair<char, char>> ranges;

  [[nodiscard]] bool Matches(char c) const {
    switch (kind) {
      case Kind::kLiteral:
        return c == literal;
      case Kind::kAny:
        return true;
      case Kind::kStar:
        return false;
      case Kind::kClass: {
        bool inside = false;
        for (const auto& [low, high] : ranges) {
          if (static_cast<unsigned char>(c) >= static_cast<unsigned char>(low) &&
              static_cast<unsigned char>(c) <= static_cast<unsigned char>(high)) {
            inside = true;
            break;
          }
        }
        return inside != negated;
      }
    }
    return false;
  }
};

std::optional<std::vector<PatternToken>> ParsePattern(const std::string& pattern) {
  std::vector<PatternToken> tokens;
  for (size_t i = 0; i < pattern.size(); ++i) {
    PatternToken token;
    const char c = pattern[i];
    if (c == '*') {
      token.kind = PatternToken::Kind::kStar;
    } else if (c == '?') {
      token.kind = PatternToken::Kind::kAny;
    } else if (c == '<') {
      token.kind = PatternToken::Kind::kClass;
      size_t j = i + 1;
      if (j < pattern.size() && (pattern[j] == '!' || pattern[j] == '^')) {
        token.negated = true;
        ++j;
      }
      bool closed = false;
      while (j < pattern.size()) {
        if (pattern[j] == '>') {
          closed = true;
          break;
        }
        const char low = pattern[j];
        if (j + 2 < pattern.size() && pattern[j + 1] == '-' && pattern[j + 2] != '>') {
          token.ranges.emplace_back(low, pattern[j + 2]);
          j += 3;
        } else {
          token.ranges.emplace_back(low, low);
          ++j;
        }
      }
      if (!closed) {
        return std::nullopt;
      }
      i = j;
    } else {
      token.literal = c;
    }
    tokens.push_back(std::move(token));
  }
  return tokens;
}

}  // namespace

// Same-type parameters kept: pattern, then text, as the selection rules name them.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
bool MatchPattern(const std::string& pattern, const std::string& text) {
  if (pattern == "*") {
    return true;
  }
  const std::optional<std::vector<PatternToken>> parsed = ParsePattern(pattern);
  if (!parsed.has_value()) {
    return false;
  }
  const std::vector<PatternToken>& tokens = *parsed;
  // Greedy matching with one backtrack point per star: O(pattern x text).
  size_t t = 0;
  size_t p = 0;
  std::optional<size_t> starToken;
  size_t starText = 0;
  while (t < text.size()) {
    if (p < tokens.size() && tokens[p].kind == PatternToken::Kind::kStar) {
      starToken = p++;
      starText = t;
    } else if (p < tokens.size() && tokens[p].Matches(text[t])) {
      ++p;
      ++t;
    } else if (starToken.has_value()) {
      p = *starToken + 1;
      t = ++starText;
    } else {
      return false;
    }
  }
  while (p < tokens.size() && tokens[p].kind == PatternToken::Kind::kStar) {
    ++p;
  }
  return p == tokens.size();
}

Selection SelectEntries(const TUnZip& owner, ZipArchive& archive) {
  std::vector<std::string> patterns;
  patterns.reserve(owner.FilesList().size());
  for (const std::string& line : owner.FilesList()) {
    patterns.push_back(PatternOf(line));
  }
  Selection selection;
  for (int i = 0; i < archive.Count(); ++i) {
    TZipHeaderInfo& info = archive.Entry(i);
    bool isSelected = owner.DoAll();
    if (info.FileName().empty() && !owner.RecreateDirs()) {
      isSelected = false;
    } else {
      const std::string text = LowerText(info.Directory() + info.FileName());
      for (const std::string& pattern : patterns) {
        if (MatchPattern(pattern, text)) {
          isSelected = true;
          break;
        }
      }
    }
    info.selected = isSelected;
    if (isSelected) {
      selection.totalBytes += info.uncompressedSize;
      selection.indices.push_back(i);
    }
  }
  return selection;
}

std::vector<int> LocateEntries(ZipArchive& archive, const std::string& name) {
  const std::string pattern = PatternOf(name);
  std::vector<int> found;
  for (int i = 0; i < archive.Count(); ++i) {
    const TZipHeaderInfo& info = archive.Entry(i);
    if (!info.FileName().empty() &&
        MatchPattern(pattern, LowerText(info.Directory() + info.FileName()))) {
      found.push_back(i);
    }
  }
  return found;
}

}  // namespace lumivora::unzip
