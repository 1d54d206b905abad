// The output folder of an entry: DestDir, or with RecreateDirs the stored
// directory below it (RootDir removed, drive letters and leading separators
// dropped, ".." never climbing out of DestDir).
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/file.h"
#include "unzip/extraction_run.h"
#include "unzip/zip_archive.h"

namespace lumivora::unzip {

namespace {

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  if (prefix.size() > text.size()) {
    return false;
  }
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (LowerAscii(text[i]) != LowerAscii(prefix[i])) {
      return false;
    }
  }
  return true;
}

bool IsSeparator(char c) {
  return c == '/' || c == '\\' || c == platform::PathSeparator();
}

// The folders of a stored directory below the destination: "." dropped,
// ".." climbing only inside what the path itself descended; nullopt when it
// would climb above its start.
std::optional<std::vector<std::string>> ContainedParts(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) {
      ++end;
    }
    std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (parts.empty()) {
        return std::nullopt;
      }
      parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(std::move(part));
    }
    start = end + 1;
  }
  return parts;
}

}  // namespace

// The output folder of the working copy (with a trailing separator, or
// empty for the current folder), its missing folders created. Refused with
// srUnsafePath when the stored directory would lead outside DestDir or
// passes through a link, with srPathTooLong when the output path is longer
// than the platform takes (checked before anything is created).
std::optional<TSkipReason> ExtractionRun::OutputFolder(std::string& folder) const {
  const std::string& destDir = owner_.DestDir();
  folder = destDir.empty() ? std::string() : destDir + platform::PathSeparator();
  std::vector<std::string> parts;
  if (owner_.RecreateDirs() && !Work().Directory().empty()) {
    std::string path = Work().Directory();
    const std::string& rootDir = owner_.RootDir();
    if (!rootDir.empty() && StartsWithNoCase(path, rootDir)) {
      path.erase(0, rootDir.size());
    }
    // An absolute stored path (leading separator or drive letter) lands
    // under DestDir.
    if (path.size() >= 2 && path[1] == ':') {
      path.erase(0, 2);
    }
    std::optional<std::vector<std::string>> contained = ContainedParts(path);
    if (!contained.has_value()) {
      return TSkipReason::srUnsafePath;
    }
    parts = std::move(*contained);
  }
  size_t length = folder.size() + Work().FileName().size();
  bool nameTooLong = Work().FileName().size() > platform::MaxNameLength();
  for (const std::string& part : parts) {
    length += part.size() + 1;
    nameTooLong = nameTooLong || part.size() > platform::MaxNameLength();
  }
  if (nameTooLong || length > platform::MaxPathLength()) {
    return TSkipReason::srPathTooLong;
  }
  return CreateFolders(folder, parts);
}

// Walks FOLDER down through PARTS one folder at a time, creating the missing
// ones; a part that is a link (which could lead anywhere) refuses the entry.
std::optional<TSkipReason> ExtractionRun::CreateFolders(
    std::string& folder, const std::vector<std::string>& parts) const {
  for (const std::string& part : parts) {
    folder += part;
    if (!owner_.TestOnly()) {
      if (platform::IsSymbolicLink(folder)) {
        return TSkipReason::srUnsafePath;
      }
      if (!platform::DirectoryExists(folder)) {
        platform::CreateDirectory(folder);
      }
    }
    folder += platform::PathSeparator();
  }
  return std::nullopt;
}

}  // namespace lumivora::unzip
