// The records of TUnZip's directory: the MS-DOS date/time rule, one entry
// (TZipHeaderInfo), the sorted lists of entries (TSortedZip, in the orders of
// TZipSortMode) and the buffered archive stream (TLFNFileStream).
#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <utility>

#include "platform/file.h"
#include "unzip/zip_archive.h"
#include "unzip/zip_format.h"

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
    const auto ca = static_cast<unsigned char>(LowerAscii(a[i]));
    const auto cb = static_cast<unsigned char>(LowerAscii(b[i]));
    if (ca != cb) {
      return ca < cb ? -1 : 1;
    }
  }
  if (a.size() == b.size()) {
    return 0;
  }
  return a.size() < b.size() ? -1 : 1;
}

// Maps a stored name to this platform: both '/' (APPNOTE 4.4.17) and the
// '\' of old DOS writers become the platform separator. The OEM-to-ANSI
// conversion of Windows has no counterpart here: names stay byte for byte.
std::string MapStoredName(std::string name) {
  const char separator = platform::PathSeparator();
  for (char& c : name) {
    if (c == '/' || c == '\\') {
      c = separator;
    }
  }
  return name;
}

uint32_t SanitizeDosDateTime(uint32_t dosDateTime) {
  uint32_t seconds2 = dosDateTime & 0x1FU;
  uint32_t minutes = (dosDateTime >> 5U) & 0x3FU;
  uint32_t hours = (dosDateTime >> 11U) & 0x1FU;
  uint32_t day = (dosDateTime >> 16U) & 0x1FU;
  uint32_t month = (dosDateTime >> 21U) & 0x0FU;
  uint32_t year = (dosDateTime >> 25U) & 0x7FU;
  if (seconds2 < 30 && minutes < 60 && hours <= 24 && day != 0 && month >= 1 && month <= 12 &&
      year < 120) {
    return dosDateTime;
  }
  if (seconds2 >= 30) {
    seconds2 = 29;
  }
  if (minutes >= 60) {
    minutes = 59;
  }
  if (hours > 24) {
    hours = 24;
  }
  if (day == 0) {
    day = 1;
  }
  if (month == 0) {
    month = 1;
  } else if (month > 12) {
    month = 12;
  }
  if (year >= 120) {
    year = 119;
  }
  return (year << 25U) | (month << 21U) | (day << 16U) | (hours << 11U) | (minutes << 5U) |
         seconds2;
}

// ---- TZipHeaderInfo ---------------------------------------------------------

void TZipHeaderInfo::SetFileName(std::string name) {
  fileName_ = std::move(name);
  UpdateNameLength();
}

void TZipHeaderInfo::SetDirectory(std::string directory) {
  const char separator = platform::PathSeparator();
  if (!directory.empty() && directory.back() != separator) {
    directory.push_back(separator);
  }
  directory_ = std::move(directory);
  UpdateNameLength();
}

void TZipHeaderInfo::SetStoredName(const std::string& name) {
  const size_t slash = name.find_last_of(platform::PathSeparator());
  if (slash == std::string::npos) {
    directory_.clear();
    fileName_ = name;
  } else {
    directory_ = name.substr(0, slash + 1);
    fileName_ = name.substr(slash + 1);
  }
  UpdateNameLength();
}

void TZipHeaderInfo::UpdateNameLength() {
  nameLength =
      static_cast<uint16_t>(std::min<size_t>(0xFFFF, directory_.size() + fileName_.size()));
}

// ---- TSortedZip -------------------------------------------------------------

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

// ---- TLFNFileStream ---------------------------------------------------------

void TLFNFileStream::Open(const std::string& path) {
  file_.reset();
  file_.emplace(platform::File::Open(path, platform::File::Mode::kRead));
  size_ = file_->Size();
  bufferStart_ = 0;
  fill_ = 0;
  pos_ = 0;
}

void TLFNFileStream::Close() {
  file_.reset();
  fill_ = 0;
  pos_ = 0;
  bufferStart_ = 0;
  size_ = 0;
}

size_t TLFNFileStream::Read(void* buffer, size_t size) {
  if (!IsOpen()) {
    throw EReadError("Stream read error");
  }
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  const size_t buffered = std::min(size, fill_ - pos_);
  if (buffered > 0) {
    std::copy_n(buffer_.data() + pos_, buffered, out);
    pos_ += buffered;
    done = buffered;
  }
  if (done == size) {
    return done;
  }
  const int64_t position = Position();
  if (size - done >= kBufferSize) {
    // Large reads go straight to the file.
    file_->Seek(position);
    const size_t n = file_->Read(out + done, size - done);
    bufferStart_ = position + static_cast<int64_t>(n);
    fill_ = 0;
    pos_ = 0;
    return done + n;
  }
  file_->Seek(position);
  bufferStart_ = position;
  fill_ = file_->Read(buffer_.data(), kBufferSize);
  pos_ = 0;
  const size_t n = std::min(size - done, fill_);
  std::copy_n(buffer_.data(), n, out + done);
  pos_ = n;
  return done + n;
}

bool TLFNFileStream::ReadByteSlow(uint8_t& byte) {
  return Read(&byte, 1) == 1;
}

void TLFNFileStream::Seek(int64_t position) {
  if (position < 0) {
    position = 0;
  }
  if (position >= bufferStart_ && position <= bufferStart_ + static_cast<int64_t>(fill_)) {
    pos_ = static_cast<size_t>(position - bufferStart_);
    return;
  }
  bufferStart_ = position;
  fill_ = 0;
  pos_ = 0;
}

bool TZipHeaderInfo::Encrypted() const {
  return (flags & zip::kFlagEncrypted) != 0;
}

}  // namespace lumivora::unzip
