// Which entries of an archive a run takes: the selection patterns of
// TUnZip's FilesList, and the core's lookup of an entry by its name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "unzip/unzip.h"

namespace lumivora::unzip {

class ZipArchive;

// Matches TEXT against a selection pattern: "*" any sequence, "?" one
// character, "<...>" a class of characters and ranges ("!" or "^" first
// negates; an unclosed class matches nothing); the whole text must match.
bool MatchPattern(const std::string& pattern, const std::string& text);

// The entries of one run: their positions in the sorted view, and the total
// of their uncompressed sizes. Marks every entry's `selected`.
struct Selection {
  std::vector<int> indices;
  int64_t totalBytes = 0;
};
Selection SelectEntries(const TUnZip& owner, ZipArchive& archive);

// The positions of the file entries that a FilesList line NAME selects:
// those stored under NAME (its file-name part), letter case ignored.
std::vector<int> LocateEntries(ZipArchive& archive, const std::string& name);

}  // namespace lumivora::unzip
