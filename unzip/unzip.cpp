// TUnZip: the properties an owner sets, the operations, and their
// hand-over to the parts that do the work: ZipArchive (the archive and its
// directory) and ExtractionRun (one UnZip run).
#include "unzip/unzip.h"

#include <array>
#include <cstdio>
#include <string>

#include "platform/file.h"
#include "unzip/extraction.h"
#include "unzip/zip_archive.h"

namespace lumivora::unzip {

namespace {

bool IsSeparator(char c) {
  return c == '/' || c == '\\' || c == platform::PathSeparator();
}

}  // namespace

TUnZip::TUnZip(platform::UserInterface* ui)
    : ui_(ui), archive_(std::make_unique<ZipArchive>(*this, ui)) {
  OnGetNextDisk = [](TUnZip& sender, int nextDisk, std::string& fName) {
    sender.DefaultGetNextDisk(nextDisk, fName);
  };
}

TUnZip::~TUnZip() = default;

const std::string& TUnZip::ZipName() const {
  return archive_->Name();
}

void TUnZip::SetZipName(const std::string& name) {
  if (CompareTextNoCase(name, archive_->Name()) == 0) {
    return;
  }
  if (!name.empty() && name.back() == '?') {
    // No file-open dialog in this user-interface layer: as if cancelled.
    throw EUserCanceled("User canceled setting zip file name.");
  }
  archive_->SetName(name);
}

void TUnZip::SetDestDir(const std::string& dir) {
  if (dir == "?") {
    // No folder-selection dialog in this user-interface layer.
    throw EUserCanceled("User canceled Set Desination Directory");
  }
  destDir_ = dir;
  if (destDir_.size() > 1 && IsSeparator(destDir_.back())) {
    destDir_.pop_back();
  }
}

void TUnZip::SetRootDir(const std::string& dir) {
  rootDir_ = dir;
  if (!rootDir_.empty() && !IsSeparator(rootDir_.back())) {
    rootDir_.push_back(platform::PathSeparator());
  }
}

void TUnZip::SetSortMode(TZipSortMode mode) {
  sortMode_ = mode;
  archive_->ApplySortMode(mode);
}

int TUnZip::UnZip() {
  archive_->Open();
  ExtractionRun run(*this, *archive_, ui_);
  const int count = run.Run();
  archive_->Close();
  return count;
}

void TUnZip::ReadZip() {
  archive_->Open();
  archive_->Close();
}

void TUnZip::ClearZip() {
  archive_->Clear();
}

int TUnZip::Count() const {
  return archive_->Count();
}

const TZipHeaderInfo& TUnZip::Entry(int index) const {
  return archive_->Entry(index);
}

std::string TUnZip::FileComment(int index) {
  return archive_->FileComment(index);
}

std::string TUnZip::ZipComment() {
  return archive_->ZipComment();
}

const TEndCentral& TUnZip::EndCentral() const {
  return archive_->EndCentral();
}

int TUnZip::NumberOfDisks() const {
  return archive_->NumberOfDisks();
}

TMultiMode TUnZip::MultiMode() const {
  return archive_->MultiMode();
}

bool TUnZip::FromLocalScan() const {
  return archive_->FromLocalScan();
}

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

}  // namespace lumivora::unzip
