// ZipArchive's ways around a missing or misplaced central directory and a
// spanned archive: the scan of the local headers (APPNOTE 4.3.7) that stands
// in for the directory, and the disks of a numbered-file set.
#include <algorithm>
#include <array>
#include <cstdio>
#include <span>
#include <string>
#include <utility>

#include "platform/file.h"
#include "unzip/zip_archive.h"
#include "unzip/zip_format.h"

namespace lumivora::unzip {

namespace {

// While looking for the first local header the message queue runs once
// after every so many bytes that cannot begin one.
constexpr int kScanMessageInterval = 10240;

}  // namespace

// Moves the stream to the first local header signature from the scan's
// start (past the stub of a self-extracting ".EXE"); false when none.
bool ZipArchive::FindFirstLocalHeader() {
  const size_t dot = name_.find_last_of('.');
  const bool isExe = dot != std::string::npos &&
                     name_.compare(dot, std::string::npos, ".EXE") == 0 &&
                     name_.find(platform::PathSeparator(), dot) == std::string::npos;
  stream_.Seek(isExe ? zip::kSfxScanStart : 0);
  int sinceMessages = 0;
  uint8_t byte = 0;
  while (stream_.ReadByte(byte)) {
    if (byte != zip::kSignatureP) {
      if (++sinceMessages >= kScanMessageInterval) {
        sinceMessages = 0;
        if (owner_.ProcessMessages()) {
          ProcessMessages();
        }
      }
      continue;
    }
    const int64_t after = stream_.Position();
    std::array<uint8_t, 4> candidate{zip::kSignatureP};
    if (stream_.Read(candidate.data() + 1, 3) == 3 &&
        zip::StartsWithSignature(candidate, zip::kLocalTag)) {
      stream_.Seek(after - 1);
      return true;
    }
    stream_.Seek(after);
  }
  return false;
}

// Reads consecutive local headers into the main directory, each one skipped
// by its sizes, until a position holds none. A header without a name ends
// the scan, and so does the largest count of entries a directory can hold:
// each record then stands for at least 31 bytes of the archive, which keeps
// the directory's memory within a small multiple of the archive's size.
void ZipArchive::ReadLocalHeaders() {
  files_ = std::make_unique<TSortedZip>(TZipSortMode::ByNone, TDuplicates::dupError, true);
  while (files_->Count() < zip::kMaxEntries) {
    const int64_t remembered = stream_.Position();
    std::array<uint8_t, zip::kLocalHeaderSize> header{};
    const size_t got = stream_.Read(header.data(), header.size());
    const std::optional<zip::LocalHeader> h =
        zip::Parse<zip::LocalHeader>(std::span<const uint8_t>(header.data(), got));
    if (!h.has_value() || h->nameLength == 0) {
      stream_.Seek(remembered);
      break;
    }
    std::string stored(h->nameLength, '\0');
    if (stream_.Read(stored.data(), stored.size()) != stored.size()) {
      stream_.Seek(remembered);
      break;
    }
    // The fields a local header shares with a central one; those only a
    // central header holds stay zero.
    auto info = std::make_unique<TZipHeaderInfo>();
    static_cast<zip::CentralHeader&>(*info) = zip::CentralHeader{};
    static_cast<zip::EntryFields&>(*info) = *h;
    info->dateTime = SanitizeDosDateTime(info->dateTime);
    info->SetStoredName(MapStoredName(std::move(stored)));
    info->localHeaderOffset = static_cast<uint32_t>(remembered);
    int64_t next = stream_.Position() + info->extraLength + info->compressedSize;
    if ((info->flags & zip::kFlagDataDescriptor) != 0) {
      next += zip::kDataDescriptorSize;
    }
    files_->Insert(std::move(info));
    stream_.Seek(next);
    if (remembered > 0xFFFFFFFFLL) {
      break;
    }
  }
}

bool ZipArchive::LocalHeaderScan() {
  fromLocalScan_ = true;
  sorted_.reset();
  files_.reset();
  if (!FindFirstLocalHeader()) {
    return false;
  }
  ReadLocalHeaders();
  endCentral_.thisDisk = 0;
  endCentral_.centralDisk = 0;
  currentDisk_ = 0;
  multiMode_ = TMultiMode::mmNone;
  endCentral_.centralOffset =
      static_cast<uint32_t>(std::min<int64_t>(stream_.Position(), 0xFFFFFFFFLL));
  endCentral_.totalEntries = static_cast<uint16_t>(std::min(files_->Count(), 0xFFFF));
  numberOfDisks_ = 1;
  return true;
}

void NumberedDiskName(int disk, std::string& name) {
  std::array<char, 16> number{};
  std::snprintf(number.data(), number.size(), ".%3.3d", disk);
  const size_t separator = name.find_last_of(platform::PathSeparator());
  const size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && (separator == std::string::npos || dot > separator)) {
    name.erase(dot);
  }
  name += number.data();
}

void ZipArchive::OpenDisk(int disk) {
  stream_.Close();
  std::string name = name_;
  std::string previous;
  for (;;) {
    name = name_;
    owner_.NameDisk(disk, name);
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
  stream_.Open(name);
  currentDisk_ = disk - 1;
  zipTime_ = platform::FileAgeDos(name);
  name_ = name;
}

}  // namespace lumivora::unzip
