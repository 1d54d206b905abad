// Internal to TUnZip: TSortedZip, the directory's records kept in one of the
// orders of TZipSortMode, with binary-search insertion and lookup.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "unzip/unzip.h"

namespace lumivora::unzip {

// <0, 0, >0 as A orders before, with, after B, ASCII letter case ignored.
int CompareTextNoCase(const std::string& a, const std::string& b);

enum class TDuplicates { dupIgnore, dupAccept, dupError };

// An ordered list of directory records with binary-search insertion.
class TSortedZip {
 public:
  TSortedZip(TZipSortMode mode, TDuplicates duplicates, bool ownsRecords)
      : mode_(mode), duplicates_(duplicates), owns_(ownsRecords) {}

  // Inserts RECORD (takes it over when the list owns its records). Returns
  // the record's position, or -1 when an equal one was ignored.
  int Insert(std::unique_ptr<TZipHeaderInfo> record);
  int InsertShared(TZipHeaderInfo* record);
  // Position of the record that compares equal to PROBE, or -1.
  [[nodiscard]] int Find(const TZipHeaderInfo& probe) const;
  [[nodiscard]] int Count() const { return static_cast<int>(items_.size()); }
  [[nodiscard]] TZipHeaderInfo& At(int index) const;
  [[nodiscard]] TZipSortMode Mode() const { return mode_; }
  // <0, 0, >0 as A orders before, with, after B.
  [[nodiscard]] int Compare(const TZipHeaderInfo& a, const TZipHeaderInfo& b) const;

 private:
  int InsertPointer(TZipHeaderInfo* record);
  TZipSortMode mode_;
  TDuplicates duplicates_;
  bool owns_;
  std::vector<TZipHeaderInfo*> items_;
  std::vector<std::unique_ptr<TZipHeaderInfo>> owned_;
};

}  // namespace lumivora::unzip
