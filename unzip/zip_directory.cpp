// ZipArchive, the reading half of TUnZip: opening and closing the archive,
// the end of central directory search, the central directory, the sorted
// view and the comments (PKWARE APPNOTE 4.3.12, 4.3.16). The local-header
// scan and the disks of a numbered set are in local_scan.cpp.
#include <algorithm>
#include <array>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/file.h"
#include "platform/ui.h"
#include "unzip/zip_archive.h"
#include "unzip/zip_format.h"

namespace lumivora::unzip {

// ---- archive state ------------------------------------------------------------

void ZipArchive::SetName(const std::string& name) {
  if (CompareTextNoCase(name, name_) == 0) {
    return;
  }
  name_ = name;
  files_.reset();
  sorted_.reset();
  endCentral_.Reset();
  stream_.Close();
  fromLocalScan_ = false;
  zipTime_.reset();
}

void ZipArchive::Clear() {
  stream_.Close();
  sorted_.reset();
  files_.reset();
  endCentral_.Reset();
  fromLocalScan_ = false;
  numberOfDisks_ = 1;
  multiMode_ = TMultiMode::mmNone;
  zipTime_.reset();
  name_.clear();
}

TZipHeaderInfo& ZipArchive::Entry(int index) const {
  if (!files_) {
    throw EListError("Index " + std::to_string(index) + " is out of range");
  }
  return (sorted_ ? *sorted_ : *files_).At(index);
}

void ZipArchive::ApplySortMode(TZipSortMode mode) {
  sorted_.reset();
  if (mode == TZipSortMode::ByNone || !files_) {
    return;
  }
  auto view = std::make_unique<TSortedZip>(mode, TDuplicates::dupAccept, false);
  for (int i = 0; i < files_->Count(); ++i) {
    view->InsertShared(&files_->At(i));
  }
  sorted_ = std::move(view);
}

int64_t ZipArchive::DataLimit(const TZipHeaderInfo& record) const {
  const int at = files_ ? files_->Find(record) : -1;
  if (at >= 0 && at + 1 < files_->Count()) {
    const TZipHeaderInfo& next = files_->At(at + 1);
    if (next.diskNumberStart == record.diskNumberStart) {
      return next.localHeaderOffset;
    }
  }
  if (record.diskNumberStart == endCentral_.centralDisk) {
    return endCentral_.centralOffset;
  }
  return std::numeric_limits<int64_t>::max();
}

void ZipArchive::Open() {
  if (!stream_.IsOpen()) {
    stream_.Open(name_);
  }
  if (files_ && zipTime_.has_value() && platform::FileAgeDos(name_) == zipTime_) {
    return;
  }
  ReadDirectory();
}

void ZipArchive::Close() {
  if (!owner_.KeepOpen()) {
    stream_.Close();
  }
}

void ZipArchive::ProcessMessages() {
  if (ui_ != nullptr) {
    ui_->ProcessMessages();
  }
}

void ZipArchive::ShowBusyCursor(bool busy) {
  if (ui_ != nullptr) {
    ui_->SetCursor(busy ? platform::CursorKind::kAppStarting : platform::CursorKind::kDefault);
  }
}

// ---- end of central directory ----------------------------------------------------

bool ZipArchive::FindEndCentral() {
  const int64_t size = stream_.Size();
  if (size < static_cast<int64_t>(zip::kEndRecordSize)) {
    return false;
  }
  const int64_t length = std::min(size, zip::kEndSearchSize);
  const int64_t start = size - length;
  std::vector<uint8_t> tail(static_cast<size_t>(length));
  stream_.Seek(start);
  if (stream_.Read(tail.data(), tail.size()) != tail.size()) {
    return false;
  }
  // Backwards from the last place a whole record fits. A candidate is taken
  // only when it is consistent: its comment runs exactly to the end of the
  // archive, or its central directory lies before it. Otherwise (an end
  // signature inside an archive comment, say) the search goes on.
  for (size_t i = tail.size() - zip::kEndRecordSize + 1; i-- > 0;) {
    const std::span<const uint8_t> at = std::span<const uint8_t>(tail).subspan(i);
    if (!zip::StartsWithSignature(at, zip::kEndTag)) {
      continue;
    }
    const std::optional<zip::EndRecord> record = zip::Parse<zip::EndRecord>(at);
    if (!record.has_value()) {
      continue;
    }
    const int64_t recordPosition = start + static_cast<int64_t>(i);
    const int64_t recordEnd = recordPosition + static_cast<int64_t>(zip::kEndRecordSize);
    const bool commentToEnd = recordEnd + record->commentLength == size;
    const bool centralBefore =
        record->centralDisk < record->thisDisk ||
        (record->centralDisk == record->thisDisk &&
         static_cast<int64_t>(record->centralOffset) + record->centralSize <= recordPosition);
    if (!commentToEnd && !centralBefore) {
      continue;
    }
    TEndCentral end;
    static_cast<zip::EndRecord&>(end) = *record;
    // A comment that does not end the file is taken from behind the record.
    end.commentPosition = commentToEnd ? size - record->commentLength : recordEnd;
    endCentral_ = std::move(end);
    return true;
  }
  return false;
}

// ---- central directory ----------------------------------------------------------

bool ZipArchive::ReadCentralHeader(TZipHeaderInfo& record) {
  const int64_t remembered = stream_.Position();
  std::array<uint8_t, zip::kCentralHeaderSize> header{};
  size_t got = stream_.Read(header.data(), header.size());
  if (multiMode_ != TMultiMode::mmNone && got < header.size() &&
      (got == 0 || zip::StartsWithSignature(std::span(header).first(got), zip::kCentralTag))) {
    OpenDisk(currentDisk_ + 2);
    got += stream_.Read(header.data() + got, header.size() - got);
  }
  const std::optional<zip::CentralHeader> h =
      zip::Parse<zip::CentralHeader>(std::span<const uint8_t>(header.data(), got));
  if (!h.has_value()) {
    stream_.Seek(remembered);
    return false;
  }
  std::string name(h->nameLength, '\0');
  if (stream_.Read(name.data(), name.size()) != name.size()) {
    stream_.Seek(remembered);
    return false;
  }
  TZipHeaderInfo info;
  static_cast<zip::CentralHeader&>(info) = *h;
  info.dateTime = SanitizeDosDateTime(info.dateTime);
  info.SetStoredName(MapStoredName(std::move(name)));
  if (multiMode_ != TMultiMode::mmNone && info.commentLength > 0) {
    // In a set the comment is read at once, while its disk is open.
    stream_.Seek(stream_.Position() + info.extraLength);
    std::string comment(info.commentLength, '\0');
    comment.resize(stream_.Read(comment.data(), comment.size()));
    info.fileComment = std::move(comment);
  } else {
    stream_.Seek(stream_.Position() + info.extraLength + info.commentLength);
  }
  info.centralRecordOffset = remembered;
  record = std::move(info);
  return true;
}

bool ZipArchive::ScanWithBusyCursor() {
  ShowBusyCursor(true);
  const bool scanned = LocalHeaderScan();
  ShowBusyCursor(false);
  return scanned;
}

// Positions the stream at the central directory: found through the end
// record, or made up by the local-header scan.
void ZipArchive::LocateCentralDirectory() {
  if (FindEndCentral()) {
    currentDisk_ = endCentral_.thisDisk;
    multiMode_ = endCentral_.thisDisk == 0 ? TMultiMode::mmNone : TMultiMode::mmNumbered;
    if (endCentral_.totalEntries == 0) {
      return;
    }
    if (multiMode_ != TMultiMode::mmNone && endCentral_.centralDisk != currentDisk_) {
      OpenDisk(endCentral_.centralDisk + 1);
    }
    stream_.Seek(endCentral_.centralOffset);
    std::array<uint8_t, 4> signature{};
    const size_t got = stream_.Read(signature.data(), signature.size());
    if (!(got == signature.size() && zip::StartsWithSignature(signature, zip::kCentralTag)) &&
        !ScanWithBusyCursor()) {
      Clear();
      throw EBadZipFile("Not a valid zip file!");
    }
    stream_.Seek(endCentral_.centralOffset);
    return;
  }
  const TIncompleteZipMode mode = owner_.IncompleteMode();
  if (mode == TIncompleteZipMode::izAssumeMulti) {
    Clear();
    throw EIncompleteZip("Incomplete Zip File");
  }
  if (!ScanWithBusyCursor()) {
    Clear();
    throw EBadZipFile("Not a valid zip file!");
  }
  multiMode_ = TMultiMode::mmNone;
  stream_.Seek(endCentral_.centralOffset);
}

// Reads the central headers into the main directory; after a local-header
// scan they only complete the records the scan found.
void ZipArchive::ReadCentralDirectory() {
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
      Clear();
      throw EBadZipFile("Not a valid zip file!");
    }
    if (!fromLocalScan_) {
      files_->Insert(std::move(record));
      continue;
    }
    const int at = files_->Find(*record);
    if (at >= 0) {
      TZipHeaderInfo& existing = files_->At(at);
      const uint32_t offset = existing.localHeaderOffset;
      existing = *record;
      existing.localHeaderOffset = offset;
    }
  }
}

void ZipArchive::ReadDirectory() {
  try {
    zipTime_ = platform::FileAgeDos(name_);
    sorted_.reset();
    files_.reset();
    fromLocalScan_ = false;
    LocateCentralDirectory();
    ReadCentralDirectory();
    if (multiMode_ != TMultiMode::mmNone && endCentral_.commentLength > 0) {
      if (currentDisk_ != endCentral_.thisDisk) {
        OpenDisk(endCentral_.thisDisk + 1);
      }
      endCentral_.comment =
          ReadCommentAt(endCentral_.commentPosition, endCentral_.commentLength, true);
    }
    numberOfDisks_ = endCentral_.thisDisk + 1;
    currentDisk_ = endCentral_.thisDisk;
    ApplySortMode(owner_.SortMode());
  } catch (...) {
    // Never keep a half-read directory as if it were current.
    sorted_.reset();
    files_.reset();
    zipTime_.reset();
    throw;
  }
}

// ---- comments ----------------------------------------------------------------------

// Same-type parameters kept: a comment's position and length, as records hold them.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
std::string ZipArchive::ReadCommentAt(int64_t position, uint16_t length, bool archiveComment) {
  stream_.Seek(position);
  if (!archiveComment) {
    std::array<uint8_t, zip::kCentralHeaderSize> header{};
    const size_t got = stream_.Read(header.data(), header.size());
    const std::optional<zip::CentralHeader> h =
        zip::Parse<zip::CentralHeader>(std::span<const uint8_t>(header.data(), got));
    if (!h.has_value()) {
      return {};
    }
    stream_.Seek(stream_.Position() + h->nameLength + h->extraLength);
  }
  std::string text(length, '\0');
  text.resize(stream_.Read(text.data(), text.size()));
  return text;
}

std::string ZipArchive::FileComment(int index) {
  if (!files_ || index < 0 || index >= Count()) {
    throw EListError("Index " + std::to_string(index) + " is out of range");
  }
  TZipHeaderInfo& info = Entry(index);
  if (info.commentLength == 0) {
    return {};
  }
  if (info.fileComment.has_value()) {
    return *info.fileComment;
  }
  if (!stream_.IsOpen()) {
    stream_.Open(name_);
  }
  info.fileComment = ReadCommentAt(info.centralRecordOffset, info.commentLength, false);
  Close();
  return *info.fileComment;
}

std::string ZipArchive::ZipComment() {
  if (!files_ && !name_.empty()) {
    Open();
    Close();
  }
  if (endCentral_.commentLength == 0) {
    return {};
  }
  if (!endCentral_.comment.has_value()) {
    if (!stream_.IsOpen()) {
      stream_.Open(name_);
    }
    endCentral_.comment =
        ReadCommentAt(endCentral_.commentPosition, endCentral_.commentLength, true);
    Close();
  }
  return *endCentral_.comment;
}

}  // namespace lumivora::unzip
