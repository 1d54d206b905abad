// The update information file and the pure pieces of the update check: line
// splitting, the INI reading rules of the information file, the version
// comparison, address splitting and the "%s" formatting of message texts.
// Nothing here touches the network, the file system or the user.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumivora::webupdate {

// The lines of a text, found where they lie in it: CR, LF and CR LF end a
// line, a NUL ends the text, and empty lines are passed over (no reader of an
// information file or a key file needs them). Holds a view of the text only.
class LineIterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = std::string_view;
  using difference_type = std::ptrdiff_t;
  using pointer = const std::string_view*;
  using reference = const std::string_view&;

  LineIterator() = default;  // past the last line
  explicit LineIterator(std::string_view text);
  reference operator*() const { return line_; }
  pointer operator->() const { return &line_; }
  LineIterator& operator++();
  LineIterator operator++(int) {
    LineIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const LineIterator& other) const { return line_.data() == other.line_.data(); }

 private:
  std::string_view line_;  // no data once past the last line
  std::string_view rest_;  // the text after line_
};

// A text kept whole and read as its lines (see LineIterator): the memory it
// takes is the text's, however many lines it has.
class TextLines {
 public:
  TextLines() = default;
  explicit TextLines(std::string text) : text_(std::move(text)) {}
  [[nodiscard]] LineIterator begin() const { return LineIterator(text_); }
  [[nodiscard]] static LineIterator end() { return {}; }
  // The number of lines (counted).
  [[nodiscard]] size_t size() const;
  [[nodiscard]] const std::string& Text() const { return text_; }
  bool operator==(const TextLines&) const = default;

 private:
  std::string text_;
};

// The lines of TEXT (see LineIterator) as strings of their own.
std::vector<std::string> SplitLines(std::string_view text);

// Value of KEY in SECTION of the INI text TEXT, read by the information
// file's rules: its lines as LineIterator finds them, ";" lines are ignored,
// "[Name]" opens a section (the name is everything between the brackets),
// names are compared without regard to ASCII letter case, nothing is trimmed,
// the first section of a name and the first key in it count, lines before the
// first section are ignored. A missing section or key reads as the empty
// text.
struct IniKey {
  std::string_view section;
  std::string_view name;
};
std::string ReadIniValue(std::string_view text, IniKey key);

// Keys "URL2" to "URL<kMaxDownloadAddresses>" beside "URL" name further
// addresses of the same file.
inline constexpr int kMaxDownloadAddresses = 9;

// The values of the "Setup" section: the four keys, and the mirrors.
struct UpdateInfo {
  std::string redirectionUrl;
  std::string version;
  std::string url;
  std::string clientSideName;
  // The values of "URL2" to "URL9" that are download addresses
  // (IsDownloadAddress), in the order of their keys; a missing key or
  // another value is passed over, and the keys after it still count.
  std::vector<std::string> mirrors;
};
UpdateInfo ReadUpdateInfo(std::string_view text);

// What a later check may ask the information file on (If-None-Match,
// If-Modified-Since: RFC 9110 13.1.2, 13.1.3): the validators of the last
// file that verified and offered nothing to install, the address it was the
// first file at, the installed version it was decided against and its
// statement's expiry (Unix time, 0: none). Empty: fetched afresh.
struct InfoValidator {
  std::string address;
  std::string etag;
  std::string lastModified;
  std::string installed;
  int64_t expires = 0;
  [[nodiscard]] bool Empty() const { return etag.empty() && lastModified.empty(); }
  bool operator==(const InfoValidator&) const = default;
};

// An http:// or https:// address (scheme in any letter case) with a host and
// a path, in printable ASCII without blanks.
bool IsDownloadAddress(std::string_view text);

// TEXT read as a decimal 64-bit signed integer: an optional sign and
// decimal digits only; nullopt for anything else.
std::optional<int64_t> DecimalInt64(std::string_view text);

// TEXT read as a decimal 32-bit signed integer: an optional sign and
// decimal digits only; nullopt for anything else (empty, blanks, letters,
// out of range).
std::optional<int32_t> DecimalInt32(std::string_view text);

// Integer value of a version component: optional sign and decimal digits
// that fit a 32-bit signed integer; anything else (empty, blanks, letters)
// counts as 0.
int32_t VersionComponentValue(std::string_view text);

enum class VersionDecision {
  kFreeUpdate,   // newer in the last component of the installed version
  kPaidUpgrade,  // newer in an earlier component: a major version change
  kNotNewer,     // equal or older (in the components the installed one has)
  kBadRelease,   // the release recorded as bad: never installed again automatically
};

// Compares the installed version with the offered one component by
// component, walking the components of INSTALLED. An offered version with
// fewer components counts its missing ones as 0.
VersionDecision CompareVersionTexts(std::string_view installed, std::string_view offered);

// The update check's decision: kBadRelease for an offer of BADRELEASE itself
// (the same version component by component; an empty BADRELEASE names none),
// else CompareVersionTexts. A higher version than the bad one is decided as
// any other.
VersionDecision DecideVersion(std::string_view installed, std::string_view offered,
                              std::string_view badRelease);

// An address split into its parts.
struct UrlParts {
  bool secure = false;  // the address began with "https://"
  std::string hostName;
  std::string path;
  int port = 80;
};

// Splits an http:// or https:// address (scheme compared without regard to
// case). The host part ends at the first "/"; without a "/" the host name is
// empty and the path is the whole rest. "host:port" gives the port read as a
// decimal integer, the scheme's default when that is empty or not a number
// (a number out of the port range is kept, and fails the transfer).
UrlParts SplitUrl(std::string_view url);

// Replaces each "%s" of FORMAT by the next argument (the empty text when the
// arguments run out) and "%%" by "%"; any other "%" stays as it is.
std::string FormatText(std::string_view format, const std::vector<std::string>& arguments);

// The file-name part of a name that came from the server: what follows its
// last "/", "\" or ":". Empty when nothing usable is left ("", ".", "..").
std::string SafeFileNamePart(std::string_view name);

}  // namespace lumivora::webupdate
