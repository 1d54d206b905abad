// The reading half of TUnZip: the archive stream, the directory records
// and their sorted views, the end of central directory search, the central
// directory reader, the local-header scan and the multi-disk (numbered-file)
// sets. Layouts: PKWARE APPNOTE 4.3.7 (local header), 4.3.12 (central
// header), 4.3.16 (end of central directory record).
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <span>
#include <string>
#include <utility>

#include "platform/file.h"
#include "platform/ui.h"
#include "unzip/le_reader.h"
#include "unzip/unzip.h"

namespace lumivora::unzip {

namespace {

constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kEndSignature = 0x06054b50;
constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kCentralHeaderSize = 46;
constexpr size_t kEndRecordSize = 22;
constexpr int64_t kEndSearchSize = 65528;
constexpr int64_t kSfxScanStart = 14000;
constexpr int kScanMessageInterval = 10240;

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

int CompareText(const std::string& a, const std::string& b) {
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

}  // namespace

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
  nameLength_ =
      static_cast<uint16_t>(std::min<size_t>(0xFFFF, directory_.size() + fileName_.size()));
}

// ---- TSortedZip -------------------------------------------------------------

int TSortedZip::Compare(const TZipHeaderInfo& a, const TZipHeaderInfo& b) const {
  switch (mode_) {
    case TZipSortMode::ByName: {
      return CompareText(a.Directory() + a.FileName(), b.Directory() + b.FileName());
    }
    case TZipSortMode::ByFileName:
      return CompareText(a.FileName(), b.FileName());
    case TZipSortMode::ByDirectoryName:
      return CompareText(a.Directory(), b.Directory());
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

// ---- TUnZip: archive state -------------------------------------------------

void TUnZip::SetZipName(const std::string& name) {
  if (CompareText(name, zipName_) == 0) {
    return;
  }
  if (!name.empty() && name.back() == '?') {
    // No file-open dialog in this user-interface layer: as if cancelled.
    throw EUserCanceled("User canceled setting zip file name.");
  }
  zipName_ = name;
  files_.reset();
  sorted_.reset();
  endCentral_.Reset();
  zipStream_.Close();
  fromLocalScan_ = false;
  zipTime_.reset();
}

void TUnZip::ClearZip() {
  zipStream_.Close();
  sorted_.reset();
  files_.reset();
  endCentral_.Reset();
  fromLocalScan_ = false;
  numberOfDisks_ = 1;
  multiMode_ = TMultiMode::mmNone;
  zipTime_.reset();
  zipName_.clear();
}

int TUnZip::Count() const {
  return files_ ? files_->Count() : 0;
}

const TZipHeaderInfo& TUnZip::Entry(int index) const {
  if (!files_) {
    throw EListError("Index " + std::to_string(index) + " is out of range");
  }
  return (sorted_ ? *sorted_ : *files_).At(index);
}

void TUnZip::SetSortMode(TZipSortMode mode) {
  sortMode_ = mode;
  if (files_) {
    ApplySortMode();
  }
}

void TUnZip::ApplySortMode() {
  sorted_.reset();
  if (sortMode_ == TZipSortMode::ByNone || !files_) {
    return;
  }
  auto view = std::make_unique<TSortedZip>(sortMode_, TDuplicates::dupAccept, false);
  for (int i = 0; i < files_->Count(); ++i) {
    view->InsertShared(&files_->At(i));
  }
  sorted_ = std::move(view);
}

void TUnZip::OpenZip() {
  if (!zipStream_.IsOpen()) {
    zipStream_.Open(zipName_);
  }
  if (files_ && zipTime_.has_value() && platform::FileAgeDos(zipName_) == zipTime_) {
    return;
  }
  ReadDirectory();
}

void TUnZip::CloseZip() {
  if (!keepZipOpen_) {
    zipStream_.Close();
  }
}

void TUnZip::ReadZip() {
  OpenZip();
  CloseZip();
}

void TUnZip::ProcessMessages() {
  if (ui_ != nullptr) {
    ui_->ProcessMessages();
  }
}

void TUnZip::ShowBusyCursor(bool busy) {
  if (ui_ != nullptr) {
    ui_->SetCursor(busy ? platform::CursorKind::kAppStarting : platform::CursorKind::kDefault);
  }
}

// ---- end of central directory ------------------------------------------------

bool TUnZip::FindEndCentral() {
  const int64_t size = zipStream_.Size();
  if (size < static_cast<int64_t>(kEndRecordSize)) {
    return false;
  }
  const int64_t length = std::min(size, kEndSearchSize);
  const int64_t start = size - length;
  std::vector<uint8_t> tail(static_cast<size_t>(length));
  zipStream_.Seek(start);
  if (zipStream_.Read(tail.data(), tail.size()) != tail.size()) {
    return false;
  }
  // Backwards from the last place a whole record fits. A candidate is taken
  // only when it is consistent: its comment runs exactly to the end of the
  // archive, or its central directory lies before it. Otherwise (an end
  // signature inside an archive comment, say) the search goes on.
  for (size_t i = tail.size() - kEndRecordSize + 1; i-- > 0;) {
    if (tail[i] != 'P' || tail[i + 1] != 'K' || tail[i + 2] != 5 || tail[i + 3] != 6) {
      continue;
    }
    LeReader reader(std::span<const uint8_t>(tail).subspan(i, kEndRecordSize));
    TEndCentral record;
    record.signature = reader.U32();
    record.thisDisk = reader.U16();
    record.centralDisk = reader.U16();
    record.entriesThisDisk = reader.U16();
    record.totalEntries = reader.U16();
    record.centralSize = reader.U32();
    record.centralOffset = reader.U32();
    record.commentLength = reader.U16();
    if (!reader.Ok() || record.signature != kEndSignature) {
      continue;
    }
    const int64_t recordPosition = start + static_cast<int64_t>(i);
    const bool commentToEnd =
        recordPosition + static_cast<int64_t>(kEndRecordSize) + record.commentLength == size;
    const bool centralBefore =
        record.centralDisk < record.thisDisk ||
        (record.centralDisk == record.thisDisk &&
         static_cast<int64_t>(record.centralOffset) + record.centralSize <= recordPosition);
    if (!commentToEnd && !centralBefore) {
      continue;
    }
    record.commentPosition = size - record.commentLength;
    if (!commentToEnd) {
      // The comment does not end the file: take it from behind the record.
      record.commentPosition = recordPosition + static_cast<int64_t>(kEndRecordSize);
    }
    endCentral_ = std::move(record);
    return true;
  }
  return false;
}

// ---- central directory -------------------------------------------------------

bool TUnZip::ReadCentralHeader(TZipHeaderInfo& record) {
  const int64_t remembered = zipStream_.Position();
  std::array<uint8_t, kCentralHeaderSize> header{};
  size_t got = zipStream_.Read(header.data(), header.size());
  if (multiMode_ != TMultiMode::mmNone && got < header.size() &&
      (got == 0 ||
       (got >= 4 && header[0] == 'P' && header[1] == 'K' && header[2] == 1 && header[3] == 2))) {
    OpenDisk(currentDisk_ + 2);
    got += zipStream_.Read(header.data() + got, header.size() - got);
  }
  LeReader reader(std::span<const uint8_t>(header.data(), got));
  const uint32_t signature = reader.U32();
  TZipHeaderInfo info;
  info.versionMadeBy = reader.U16();
  info.versionNeeded = reader.U16();
  info.flags = reader.U16();
  info.compressionMethod = reader.U16();
  info.dateTime = SanitizeDosDateTime(reader.U32());
  info.crc32 = reader.U32();
  info.compressedSize = reader.U32();
  info.uncompressedSize = reader.U32();
  const uint16_t nameLength = reader.U16();
  info.extraLength = reader.U16();
  info.commentLength = reader.U16();
  info.diskNumberStart = reader.U16();
  info.internalAttributes = reader.U16();
  info.externalAttributes = reader.U32();
  info.localHeaderOffset = reader.U32();
  if (!reader.Ok() || got != header.size() || signature != kCentralSignature) {
    zipStream_.Seek(remembered);
    return false;
  }
  std::string name(nameLength, '\0');
  if (zipStream_.Read(name.data(), name.size()) != name.size()) {
    zipStream_.Seek(remembered);
    return false;
  }
  info.SetStoredName(MapStoredName(std::move(name)));
  if (multiMode_ != TMultiMode::mmNone && info.commentLength > 0) {
    // In a set the comment is read at once, while its disk is open.
    zipStream_.Seek(zipStream_.Position() + info.extraLength);
    std::string comment(info.commentLength, '\0');
    comment.resize(zipStream_.Read(comment.data(), comment.size()));
    info.fileComment = std::move(comment);
  } else {
    zipStream_.Seek(zipStream_.Position() + info.extraLength + info.commentLength);
  }
  info.centralRecordOffset = remembered;
  record = std::move(info);
  return true;
}

bool TUnZip::LocalHeaderScan() {
  fromLocalScan_ = true;
  sorted_.reset();
  files_.reset();
  const std::string& name = zipName_;
  const size_t dot = name.find_last_of('.');
  const bool isExe = dot != std::string::npos &&
                     name.compare(dot, std::string::npos, ".EXE") == 0 &&
                     name.find(platform::PathSeparator(), dot) == std::string::npos;
  zipStream_.Seek(isExe ? kSfxScanStart : 0);
  int sinceMessages = 0;
  bool found = false;
  uint8_t byte = 0;
  while (zipStream_.ReadByte(byte)) {
    if (byte != 'P') {
      if (++sinceMessages >= kScanMessageInterval) {
        sinceMessages = 0;
        if (doProcessMessages_) {
          ProcessMessages();
        }
      }
      continue;
    }
    const int64_t after = zipStream_.Position();
    std::array<uint8_t, 3> rest{};
    if (zipStream_.Read(rest.data(), rest.size()) == rest.size() && rest[0] == 'K' &&
        rest[1] == 3 && rest[2] == 4) {
      zipStream_.Seek(after - 1);
      found = true;
      break;
    }
    zipStream_.Seek(after);
  }
  if (!found) {
    return false;
  }
  files_ = std::make_unique<TSortedZip>(TZipSortMode::ByNone, TDuplicates::dupError, true);
  for (;;) {
    const int64_t remembered = zipStream_.Position();
    std::array<uint8_t, kLocalHeaderSize> header{};
    const size_t got = zipStream_.Read(header.data(), header.size());
    LeReader reader(std::span<const uint8_t>(header.data(), got));
    const uint32_t signature = reader.U32();
    auto info = std::make_unique<TZipHeaderInfo>();
    info->versionMadeBy = 0;
    info->versionNeeded = reader.U16();
    info->flags = reader.U16();
    info->compressionMethod = reader.U16();
    info->dateTime = SanitizeDosDateTime(reader.U32());
    info->crc32 = reader.U32();
    info->compressedSize = reader.U32();
    info->uncompressedSize = reader.U32();
    const uint16_t nameLength = reader.U16();
    info->extraLength = reader.U16();
    if (!reader.Ok() || signature != kLocalSignature) {
      zipStream_.Seek(remembered);
      break;
    }
    std::string stored(nameLength, '\0');
    if (zipStream_.Read(stored.data(), stored.size()) != stored.size()) {
      zipStream_.Seek(remembered);
      break;
    }
    info->SetStoredName(MapStoredName(std::move(stored)));
    info->commentLength = 0;
    info->diskNumberStart = 0;
    info->internalAttributes = 0;
    info->externalAttributes = 0;
    info->localHeaderOffset = static_cast<uint32_t>(remembered);
    int64_t next = zipStream_.Position() + info->extraLength + info->compressedSize;
    if ((info->flags & 8U) != 0) {
      next += 16;
    }
    files_->Insert(std::move(info));
    zipStream_.Seek(next);
    if (remembered > 0xFFFFFFFFLL) {
      break;
    }
  }
  endCentral_.thisDisk = 0;
  endCentral_.centralDisk = 0;
  currentDisk_ = 0;
  multiMode_ = TMultiMode::mmNone;
  endCentral_.centralOffset =
      static_cast<uint32_t>(std::min<int64_t>(zipStream_.Position(), 0xFFFFFFFFLL));
  endCentral_.totalEntries = static_cast<uint16_t>(std::min(files_->Count(), 0xFFFF));
  numberOfDisks_ = 1;
  return true;
}

void TUnZip::ReadDirectory() {
  try {
    zipTime_ = platform::FileAgeDos(zipName_);
    sorted_.reset();
    files_.reset();
    fromLocalScan_ = false;
    const bool found = FindEndCentral();
    if (found) {
      currentDisk_ = endCentral_.thisDisk;
      multiMode_ = endCentral_.thisDisk == 0 ? TMultiMode::mmNone : TMultiMode::mmNumbered;
      if (endCentral_.totalEntries != 0) {
        if (multiMode_ != TMultiMode::mmNone && endCentral_.centralDisk != currentDisk_) {
          OpenDisk(endCentral_.centralDisk + 1);
        }
        zipStream_.Seek(endCentral_.centralOffset);
        std::array<uint8_t, 4> signature{};
        const size_t got = zipStream_.Read(signature.data(), signature.size());
        if (got == 4 && LeReader(signature).U32() == kCentralSignature) {
          zipStream_.Seek(endCentral_.centralOffset);
        } else {
          ShowBusyCursor(true);
          const bool scanned = LocalHeaderScan();
          ShowBusyCursor(false);
          if (!scanned) {
            ClearZip();
            throw EBadZipFile("Not a valid zip file!");
          }
          zipStream_.Seek(endCentral_.centralOffset);
        }
      }
    } else {
      TIncompleteZipMode mode = incompleteZipMode_;
      if (OnInCompleteZip) {
        OnInCompleteZip(*this, mode);
      }
      if (mode == TIncompleteZipMode::izAssumeMulti) {
        ClearZip();
        throw EIncompleteZip("Incomplete Zip File");
      }
      ShowBusyCursor(true);
      const bool scanned = LocalHeaderScan();
      ShowBusyCursor(false);
      if (!scanned) {
        ClearZip();
        throw EBadZipFile("Not a valid zip file!");
      }
      multiMode_ = TMultiMode::mmNone;
      zipStream_.Seek(endCentral_.centralOffset);
    }

    const int total = fromLocalScan_ ? files_->Count() : endCentral_.totalEntries;
    if (!fromLocalScan_) {
      files_ = std::make_unique<TSortedZip>(TZipSortMode::ByNone, TDuplicates::dupError, true);
    }
    for (int i = 0; i < total; ++i) {
      auto record = std::make_unique<TZipHeaderInfo>();
      if (!ReadCentralHeader(*record)) {
        if (fromLocalScan_) {
          break;  // the local headers stand for the missing directory
        }
        ClearZip();
        throw EBadZipFile("Not a valid zip file!");
      }
      if (fromLocalScan_) {
        const int at = files_->Find(*record);
        if (at >= 0) {
          TZipHeaderInfo& existing = files_->At(at);
          const uint32_t offset = existing.localHeaderOffset;
          existing = *record;
          existing.localHeaderOffset = offset;
        }
      } else {
        files_->Insert(std::move(record));
      }
    }
    if (multiMode_ != TMultiMode::mmNone && endCentral_.commentLength > 0) {
      if (currentDisk_ != endCentral_.thisDisk) {
        OpenDisk(endCentral_.thisDisk + 1);
      }
      endCentral_.comment =
          ReadCommentAt(endCentral_.commentPosition, endCentral_.commentLength, true);
    }
    numberOfDisks_ = endCentral_.thisDisk + 1;
    currentDisk_ = endCentral_.thisDisk;
    ApplySortMode();
  } catch (...) {
    // Never keep a half-read directory as if it were current.
    sorted_.reset();
    files_.reset();
    zipTime_.reset();
    throw;
  }
}

// ---- comments ------------------------------------------------------------------

std::string TUnZip::ReadCommentAt(int64_t position, uint16_t length, bool archiveComment) {
  if (archiveComment) {
    zipStream_.Seek(position);
  } else {
    zipStream_.Seek(position);
    std::array<uint8_t, kCentralHeaderSize> header{};
    const size_t got = zipStream_.Read(header.data(), header.size());
    LeReader reader(std::span<const uint8_t>(header.data(), got));
    reader.Skip(28);
    const uint16_t nameLength = reader.U16();
    const uint16_t extraLength = reader.U16();
    if (!reader.Ok() || got != header.size()) {
      return {};
    }
    zipStream_.Seek(zipStream_.Position() + nameLength + extraLength);
  }
  std::string text(length, '\0');
  text.resize(zipStream_.Read(text.data(), text.size()));
  return text;
}

std::string TUnZip::FileComment(int index) {
  if (!files_ || index < 0 || index >= Count()) {
    throw EListError("Index " + std::to_string(index) + " is out of range");
  }
  TZipHeaderInfo& info = (sorted_ ? *sorted_ : *files_).At(index);
  if (info.commentLength == 0) {
    return {};
  }
  if (info.fileComment.has_value()) {
    return *info.fileComment;
  }
  const bool wasOpen = zipStream_.IsOpen();
  if (!wasOpen) {
    zipStream_.Open(zipName_);
  }
  info.fileComment = ReadCommentAt(info.centralRecordOffset, info.commentLength, false);
  CloseZip();
  return *info.fileComment;
}

std::string TUnZip::ZipComment() {
  if (!files_ && !zipName_.empty()) {
    OpenZip();
    CloseZip();
  }
  if (endCentral_.commentLength == 0) {
    return {};
  }
  if (!endCentral_.comment.has_value()) {
    if (!zipStream_.IsOpen()) {
      zipStream_.Open(zipName_);
    }
    endCentral_.comment =
        ReadCommentAt(endCentral_.commentPosition, endCentral_.commentLength, true);
    CloseZip();
  }
  return *endCentral_.comment;
}

// ---- multi-disk sets ---------------------------------------------------------------

void TUnZip::DefaultGetNextDisk(int nextDisk, std::string& fName) {
  // Numbered-file set: the extension becomes the disk number in three digits.
  std::array<char, 16> number{};
  std::snprintf(number.data(), number.size(), ".%3.3d", nextDisk);
  const size_t separator = fName.find_last_of(platform::PathSeparator());
  const size_t dot = fName.find_last_of('.');
  if (dot != std::string::npos && (separator == std::string::npos || dot > separator)) {
    fName.erase(dot);
  }
  fName += number.data();
}

void TUnZip::OpenDisk(int disk) {
  zipStream_.Close();
  std::string name = zipName_;
  std::string previous;
  for (;;) {
    name = zipName_;
    if (OnGetNextDisk) {
      OnGetNextDisk(*this, disk, name);
    }
    if (name.empty()) {
      throw EUserCanceled("User canceled loading new disk.");
    }
    if (platform::FileExists(name)) {
      break;
    }
    if (name == previous) {
      break;  // no progress: let the file layer report the missing file
    }
    previous = name;
  }
  zipStream_.Open(name);
  currentDisk_ = disk - 1;
  zipTime_ = platform::FileAgeDos(name);
  zipName_ = name;
}

}  // namespace lumivora::unzip
