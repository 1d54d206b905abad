// The shared legacy test data: its manifest (MANIFEST.tsv), one row per
// entry or raw stream with the method, flags, sizes, CRC-32, password, status
// and SHA-256 that the programs which wrote it record.
#pragma once

#include <cstdint>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace lumivora::testing {

inline const std::string kLegacyData = std::string(LUMIVORA_SHARED_TESTDATA) + "/legacy/";

inline uint16_t MethodNumber(const std::string& name) {
  if (name == "stored")
    return 0;
  if (name == "shrunk")
    return 1;
  if (name.rfind("reduce", 0) == 0 && name.size() == 7) {
    return static_cast<uint16_t>(1 + (name[6] - '0'));
  }
  if (name == "implode")
    return 6;
  if (name == "deflate" || name == "deflated")
    return 8;
  return 0xFFFF;
}

// One row of MANIFEST.tsv.
struct ManifestRow {
  std::string file;
  std::string entry;
  std::string method;
  uint16_t flags = 0;
  uint32_t compressedSize = 0;
  uint32_t uncompressedSize = 0;
  uint32_t crc32 = 0;
  std::string password;
  std::string status;
  std::string sha256;
  [[nodiscard]] bool IsRawStream() const { return entry.rfind("(raw stream", 0) == 0; }
};

inline void PrintTo(const ManifestRow& row, std::ostream* os) {
  *os << row.file << " " << row.entry;
}

inline std::vector<ManifestRow> LoadManifest() {
  std::vector<ManifestRow> rows;
  std::ifstream in(kLegacyData + "MANIFEST.tsv");
  std::string line;
  bool header = true;
  while (std::getline(in, line)) {
    if (header) {
      header = false;
      continue;
    }
    std::vector<std::string> cells;
    std::stringstream split(line);
    std::string cell;
    while (std::getline(split, cell, '\t')) {
      cells.push_back(cell);
    }
    if (cells.size() < 12) {
      continue;
    }
    ManifestRow row;
    row.file = cells[0];
    row.entry = cells[1];
    row.method = cells[2];
    row.flags = static_cast<uint16_t>(std::stoul(cells[3], nullptr, 16));
    row.compressedSize = static_cast<uint32_t>(std::stoul(cells[5]));
    row.uncompressedSize = static_cast<uint32_t>(std::stoul(cells[6]));
    row.crc32 = static_cast<uint32_t>(std::stoul(cells[7], nullptr, 16));
    row.password = cells[8];
    row.status = cells[10];
    row.sha256 = cells[11];
    rows.push_back(std::move(row));
  }
  return rows;
}

// The rows of the legacy methods (shrunk, reduced, imploded) whose entries
// the writing program recorded as whole.
inline std::vector<ManifestRow> LegacyRows() {
  std::vector<ManifestRow> rows;
  for (ManifestRow& row : LoadManifest()) {
    const uint16_t method = MethodNumber(row.method);
    if (method >= 1 && method <= 6 && row.status == "OK") {
      rows.push_back(std::move(row));
    }
  }
  return rows;
}

}  // namespace lumivora::testing
