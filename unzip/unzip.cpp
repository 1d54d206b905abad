// TUnZip: the properties an owner sets, the operations, and their
// hand-over to the parts that do the work: ZipArchive (the archive and its
// directory) and ExtractionRun (one UnZip run).
#include "unzip/unzip.h"

#include <string>

#include "platform/file.h"
#include "unzip/extraction_run.h"
#include "unzip/zip_archive.h"

namespace lumivora::unzip {

namespace {

bool IsSeparator(char c) {
  return c == '/' || c == '\\' || c == platform::PathSeparator();
}

// The archive's questions answered by the component's properties and events.
class ComponentHooks final : public ArchiveOwner {
 public:
  explicit ComponentHooks(TUnZip& owner) : owner_(owner) {}
  TIncompleteZipMode IncompleteMode() override {
    TIncompleteZipMode mode = owner_.IncompleteZipMode();
    if (owner_.OnInCompleteZip) {
      owner_.OnInCompleteZip(owner_, mode);
    }
    return mode;
  }
  [[nodiscard]] bool KeepOpen() const override { return owner_.KeepZipOpen(); }
  [[nodiscard]] bool ProcessMessages() const override { return owner_.DoProcessMessages(); }
  [[nodiscard]] TZipSortMode SortMode() const override { return owner_.SortMode(); }
  [[nodiscard]] bool NamesDisks() const override { return static_cast<bool>(owner_.OnGetNextDisk); }
  void NameDisk(int disk, std::string& name) override {
    if (owner_.OnGetNextDisk) {
      owner_.OnGetNextDisk(owner_, disk, name);
    }
  }

 private:
  TUnZip& owner_;
};

}  // namespace

TUnZip::TUnZip(platform::UserInterface* ui)
    : ui_(ui),
      hooks_(std::make_unique<ComponentHooks>(*this)),
      archive_(std::make_unique<ZipArchive>(*hooks_, ui)) {
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
  NumberedDiskName(nextDisk, fName);
}

}  // namespace lumivora::unzip
