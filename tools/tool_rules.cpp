// The rules every command of lumivora-tool keeps: values checked, outputs
// kept apart from the inputs and from secret key files, text files replaced
// by one rename, packs checked as the launcher checks them.
#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/exception.h"
#include "platform/file.h"
#include "platform/product.h"
#include "platform/text.h"
#include "tools/tool_commands.h"
#include "webupdate/info_file.h"
#include "webupdate/release_signing.h"

#ifndef LUMIVORA_DEMO_IDENTITY
#error "LUMIVORA_DEMO_IDENTITY must be defined by the build"
#endif

namespace lumivora::tool {

namespace {

constexpr size_t kMaxVersionLength = 32;
constexpr size_t kMaxVersionDigits = 9;  // every component fits a 32-bit integer

bool IsControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// "OPTION \"VALUE\" is not WHAT".
Exception Refusal(const std::string& option, const std::string& value, const std::string& what) {
  return Exception(option + " \"" + Shown(value) + "\" is not " + what);
}

// True when the file at PATH begins as a secret key file does, holds a
// public key (Base64 of 32 bytes) on its first line, or cannot be read to
// tell.
bool MayHoldKey(const std::string& path) {
  if (!platform::FileExists(path)) {
    return false;
  }
  try {
    platform::File file = platform::File::Open(path, platform::File::Mode::kRead);
    std::array<char, 256> start{};
    size_t length = 0;
    while (const size_t count = file.Read(start.data() + length, start.size() - length)) {
      length += count;
    }
    const std::string_view text(start.data(), length);
    const std::vector<std::string> lines = webupdate::SplitLines(text);
    return webupdate::IsSecretKeyText(text) ||
           (!lines.empty() && webupdate::DecodePublicKey(lines[0]).has_value());
  } catch (const Exception&) {
    return true;
  }
}

}  // namespace

std::string Shown(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      shown += "\\\\";
    } else if (c == '\r' || c == '\n' || c == '\t') {
      shown += c == '\r' ? "\\r" : c == '\n' ? "\\n" : "\\t";
    } else if (IsControl(c) || byte > 0x7E) {
      std::array<char, 5> escape{};
      std::snprintf(escape.data(), escape.size(), "\\x%02x", static_cast<unsigned>(byte));
      shown += escape.data();
    } else {
      shown += c;
    }
  }
  return shown;
}

void CheckVersion(const std::string& option, const std::string& version) {
  size_t digits = 0;
  bool good = !version.empty() && version.size() <= kMaxVersionLength;
  for (const char c : version) {
    digits = IsDigit(c) ? digits + 1 : 0;
    good = good && (IsDigit(c) ? digits <= kMaxVersionDigits : c == '.');
  }
  if (!good || version.front() == '.' || version.back() == '.' ||
      version.find("..") != std::string::npos) {
    throw Refusal(option, version,
                  "a version (numbers of 1 to 9 digits separated by dots, such as 1.10.2, at "
                  "most 32 characters)");
  }
}

void CheckUrl(const std::string& option, const std::string& url) {
  const size_t scheme = platform::StartsWithIgnoreCase(url, "http://")    ? 7
                        : platform::StartsWithIgnoreCase(url, "https://") ? 8
                                                                          : 0;
  const size_t path = url.find('/', scheme);
  const bool printable = std::all_of(url.begin(), url.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte > 0x20 && byte < 0x7F;
  });
  if (scheme == 0 || path == std::string::npos || path == scheme || url[scheme] == ':' ||
      !printable) {
    throw Refusal(option, url,
                  "an http:// or https:// address with a host and a path (printable ASCII, no "
                  "blanks)");
  }
}

void CheckName(const std::string& option, const std::string& name, bool fileName) {
  if (name.empty() || std::any_of(name.begin(), name.end(), IsControl)) {
    throw Refusal(option, name, "a name (not empty, no control characters)");
  }
  if (fileName &&
      (name.find_first_of("/\\:") != std::string::npos || name == "." || name == "..")) {
    throw Refusal(option, name, "a file name (no \"/\", \"\\\" or \":\", not \".\" or \"..\")");
  }
}

void CheckOutput(const std::string& output, const std::vector<std::string>& inputs) {
  for (const std::string& input : inputs) {
    if (platform::SameFile(output, input)) {
      throw Exception(Shown(output) + ": is the input " + Shown(input) +
                      "; an output never replaces an input");
    }
  }
  if (MayHoldKey(output)) {
    throw Exception(Shown(output) +
                    ": holds a key (or cannot be read); no command replaces a key file");
  }
}

void WarnIfDemoIdentity(const char* command, const std::string& product) {
  if (product == LUMIVORA_DEMO_IDENTITY) {
    std::fprintf(stderr,
                 "lumivora-tool %s: warning: made for the demo identity \"%s\", which a launcher "
                 "configured for your product refuses (give --product, or build the tool with "
                 "your LUMIVORA_PRODUCT_IDENTITY)\n",
                 command, Shown(product).c_str());
  }
}

unzip::ProgramKind ParsePlatform(const std::string& value) {
  if (value.empty()) {
    return unzip::NativeProgramKind();
  }
  if (value == "linux" || value == "windows") {
    return value == "linux" ? unzip::ProgramKind::kElf : unzip::ProgramKind::kPe;
  }
  throw Refusal("--platform", value, "linux or windows");
}

const char* PlatformName(unzip::ProgramKind kind) {
  return kind == unzip::ProgramKind::kElf ? "linux" : "windows";
}

platform::Result CheckPackAsLauncher(const std::string& path, const std::string& password,
                                     unzip::ProgramKind kind) {
  // The entry the launcher of the same build extracts: named after the product.
  return unzip::CheckPack(path, {password, platform::ProductName() + "main", kind});
}

void ReplaceWithText(const TextFile& replacement) {
  const std::string& path = replacement.path;
  const std::string& text = replacement.text;
  platform::PartialFile partial;
  platform::File file = platform::File::CreateUnique(path + ".new-");
  partial.path = file.Path();
  file.Write(text.data(), text.size());
  const bool moded = platform::FileExists(path) ? file.SetModeOf(path) : file.SetPermissions(0666);
  if (!moded || !file.Flush()) {
    throw Exception(Shown(path) + ": cannot write " + Shown(partial.path));
  }
  file.Close();
  if (!platform::ReplaceFile(partial.path, path)) {
    throw Exception(Shown(path) + ": cannot rename " + Shown(partial.path) + " over it");
  }
  partial.path.clear();
  const size_t slash = path.find_last_of(platform::PathSeparator());
  platform::FlushFolder(slash == std::string::npos ? std::string(".") : path.substr(0, slash));
}

}  // namespace lumivora::tool
