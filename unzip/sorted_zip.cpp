// TSortedZip: the orders of TZipSortMode over directory records, and the
// list kept in one of them (insertion and lookup by binary search).
#include "unzip/sorted_zip.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <string>
#include <utility>

#include "platform/text.h"

namespace lumivora::unzip {

namespace {

template <typename T>
int Descending(T a, T b) {
  if (a == b) {
    return 0;
  }
  return a > b ? -1 : 1;
}

// The modification time as an ordering key; 0 when it is no calendar time.
uint32_t DateKey(uint32_t dosDateTime) {
  const uint32_t seconds = (dosDateTime & 0x1FU) * 2U;
  const uint32_t minutes = (dosDateTime >> 5U) & 0x3FU;
  const uint32_t hours = (dosDateTime >> 11U) & 0x1FU;
  const uint32_t day = (dosDateTime >> 16U) & 0x1FU;
  const uint32_t month = (dosDateTime >> 21U) & 0x0FU;
  const uint32_t year = 1980U + (dosDateTime >> 25U);
  static constexpr std::array<uint32_t, 12> kDays = {31, 29, 31, 30, 31, 30,
                                                     31, 31, 30, 31, 30, 31};
  if (seconds >= 60 || minutes >= 60 || hours >= 24 || month < 1 || month > 12 || day < 1 ||
      day > kDays[month - 1]) {
    return 0;
  }
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month == 2 && day == 29 && !leap) {
    return 0;
  }
  return dosDateTime;
}

int Rate(const TZipHeaderInfo& info) {
  if (info.uncompressedSize == 0) {
    return 0;
  }
  const double rate = std::nearbyint(static_cast<double>(info.compressedSize) * 100.0 /
                                     static_cast<double>(info.uncompressedSize));
  return rate > 100.0 ? 100 : static_cast<int>(rate);
}

}  // namespace

int CompareTextNoCase(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const auto ca = static_cast<unsigned char>(platform::LowerAscii(a[i]));
    const auto cb = static_cast<unsigned char>(platform::LowerAscii(b[i]));
    if (ca != cb) {
      return ca < cb ? -1 : 1;
    }
  }
  if (a.size() == b.size()) {
    return 0;
  }
  return a.size() < b.size() ? -1 : 1;
}

int TSortedZip::Compare(const TZipHeaderInfo& a, const TZipHeaderInfo& b) const {
  switch (mode_) {
    case TZipSortMode::ByName: {
      return CompareTextNoCase(a.Directory() + a.FileName(), b.Directory() + b.FileName());
    }
    case TZipSortMode::ByFileName:
      return CompareTextNoCase(a.FileName(), b.FileName());
    case TZipSortMode::ByDirectoryName:
      return CompareTextNoCase(a.Directory(), b.Directory());
    case TZipSortMode::ByDate: {
      const int order = Descending(DateKey(a.dateTime), DateKey(b.dateTime));
      return order == 0 ? -1 : order;  // never equal: insertion order stays
    }
    case TZipSortMode::ByCompressedSize: {
      const int order = Descending(a.compressedSize, b.compressedSize);
      return order == 0 ? -1 : order;
    }
    case TZipSortMode::ByUnCompressedSize: {
      const int order = Descending(a.uncompressedSize, b.uncompressedSize);
      return order == 0 ? -1 : order;
    }
    case TZipSortMode::ByRate:
      return Descending(Rate(a), Rate(b));
    case TZipSortMode::ByNone:
      if (a.diskNumberStart != b.diskNumberStart) {
        return a.diskNumberStart < b.diskNumberStart ? -1 : 1;
      }
      if (a.localHeaderOffset != b.localHeaderOffset) {
        return a.localHeaderOffset < b.localHeaderOffset ? -1 : 1;
      }
      return 0;
  }
  return 0;
}

int TSortedZip::InsertPointer(TZipHeaderInfo* record) {
  // First position whose item compares greater than or equal to RECORD.
  size_t low = 0;
  size_t high = items_.size();
  // Fast path: physical order appends.
  if (!items_.empty() && Compare(*items_.back(), *record) < 0) {
    low = high;
  }
  while (low < high) {
    const size_t mid = low + (high - low) / 2;
    if (Compare(*items_[mid], *record) < 0) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  if (low < items_.size() && Compare(*items_[low], *record) == 0) {
    if (duplicates_ == TDuplicates::dupIgnore) {
      return -1;
    }
    if (duplicates_ == TDuplicates::dupError) {
      throw EListError("Duplicate Object index");
    }
  }
  items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(low), record);
  return static_cast<int>(low);
}

int TSortedZip::Insert(std::unique_ptr<TZipHeaderInfo> record) {
  TZipHeaderInfo* raw = record.get();
  const int position = InsertPointer(raw);
  if (position >= 0 && owns_) {
    owned_.push_back(std::move(record));
  }
  return position;
}

int TSortedZip::InsertShared(TZipHeaderInfo* record) {
  return InsertPointer(record);
}

int TSortedZip::Find(const TZipHeaderInfo& probe) const {
  size_t low = 0;
  size_t high = items_.size();
  while (low < high) {
    const size_t mid = low + (high - low) / 2;
    if (Compare(*items_[mid], probe) < 0) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  if (low < items_.size() && Compare(*items_[low], probe) == 0) {
    return static_cast<int>(low);
  }
  return -1;
}

TZipHeaderInfo& TSortedZip::At(int index) const {
  if (index < 0 || index >= Count()) {
    throw EListError("Index " + std::to_string(index) + " is out of range");
  }
  return *items_[static_cast<size_t>(index)];
}

}  // namespace lumivora::unzip
