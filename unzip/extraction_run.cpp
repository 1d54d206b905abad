// One UnZip run of TUnZip: the destination folder, the selected entries in
// the order of the sorted view, and each entry's steps through the
// EntryExtractor with the owner's events between them.
#include "unzip/extraction_run.h"

#include <cmath>
#include <optional>
#include <string>

#include "platform/file.h"
#include "platform/ui.h"
#include "unzip/entry_selection.h"
#include "unzip/zip_archive.h"

namespace lumivora::unzip {

namespace {

// Percent of PART in WHOLE rounded to the nearest integer, ties to even,
// capped at 100; 0 for an empty whole.
int Percent(double part, double whole) {
  if (whole <= 0) {
    return 0;
  }
  const double value = std::nearbyint(part * 100.0 / whole);
  return value >= 100.0 ? 100 : static_cast<int>(value);
}

}  // namespace

ExtractionRun::ExtractionRun(TUnZip& owner, ZipArchive& archive, platform::UserInterface* ui)
    : owner_(owner),
      archive_(archive),
      ui_(ui),
      extractor_(archive, this, owner.DoProcessMessages(), 0) {}

void ExtractionRun::CreateDestDir() const {
  const std::string& destDir = owner_.DestDir();
  if (!owner_.TestOnly() && !destDir.empty() && !platform::DirectoryExists(destDir)) {
    platform::ForceDirectories(destDir);
  }
}

int ExtractionRun::Run() {
  CreateDestDir();
  // A multi-disk set is read in physical order whatever the sort mode.
  struct ViewRestore {
    TUnZip& owner;
    TZipSortMode mode;
    bool active;
    ~ViewRestore() {
      if (active) {
        owner.SetSortMode(mode);
      }
    }
  } restore{owner_, owner_.SortMode(),
            archive_.IsMultiDisk() && owner_.SortMode() != TZipSortMode::ByNone};
  if (restore.active) {
    owner_.SetSortMode(TZipSortMode::ByNone);
  }
  const Selection selection = SelectEntries(owner_, archive_);
  selectedTotal_ = selection.totalBytes;
  runningTotal_ = 0;
  count_ = static_cast<int>(selection.indices.size());
  bool stopNow = false;
  if (owner_.OnStartUnZipInfo) {
    owner_.OnStartUnZipInfo(owner_, count_, selectedTotal_, stopNow);
  }
  if (count_ <= 0 || stopNow) {
    return count_;
  }
  const auto runIndex = [this](int index) {
    while (ExtractEntry(index) == Outcome::kRetry) {
    }
  };
  if (owner_.DoAll()) {
    const int entries = archive_.Count();
    for (int i = 0; i < entries; ++i) {
      runIndex(i);
    }
  } else {
    for (const int i : selection.indices) {
      runIndex(i);
    }
  }
  return count_;
}

void ExtractionRun::Skip(TSkipReason reason, int index) {
  if (owner_.OnSkippingFile) {
    owner_.OnSkippingFile(owner_, reason, Work().Directory() + Work().FileName(), index);
  }
  --count_;
}

void ExtractionRun::ShowMessage(const std::string& caption, const std::string& text) const {
  if (ui_ != nullptr) {
    platform::MessageBoxRequest request;
    request.caption = caption;
    request.text = text;
    request.buttons = platform::MessageButtons::kOk;
    ui_->ShowMessage(request);
  }
}

ExtractionRun::Outcome ExtractionRun::ExtractEntry(int index) {
  const TZipHeaderInfo& entry = archive_.Entry(index);
  const bool isFile = !entry.FileName().empty();
  extractor_.Take(entry);
  if (isFile && !extractor_.SeekToData()) {
    Skip(TSkipReason::srBadEntry, index);
    return Outcome::kDone;
  }
  std::string folder;
  std::optional<TSkipReason> refused = OutputFolder(folder);
  if (Work().FileName() == "." || Work().FileName() == "..") {
    refused = TSkipReason::srUnsafePath;
  }
  if (refused.has_value()) {
    if (isFile) {
      Skip(*refused, index);
    }
    return Outcome::kDone;
  }
  if (!isFile) {
    if (owner_.RecreateDirs() && owner_.OnStartUnZip) {
      bool skip = false;
      owner_.OnStartUnZip(owner_, index, folder, skip);
    }
    return Outcome::kDone;
  }
  std::string outPath = folder + Work().FileName();
  if (!CanDecode(Work().compressionMethod)) {
    ShowMessage("Zip Error", "Unknown Compression Method");
    Skip(TSkipReason::srUnsupportedMethod, index);
    return Outcome::kDone;
  }
  if (!CheckPassword(index) || !ResolveOverwrite(index, outPath)) {
    return Outcome::kDone;
  }
  if (!owner_.TestOnly()) {
    extractor_.OpenOutput(outPath);
  }
  reported_ = 0;
  if (owner_.OnStartUnZip) {
    bool skip = false;
    owner_.OnStartUnZip(owner_, index, outPath, skip);
    if (skip) {
      extractor_.CloseOutput();
      return Outcome::kDone;
    }
  }
  Decode();
  return Finish(index, outPath);
}

// Check password, again with each new password OnBadPassword offers.
bool ExtractionRun::CheckPassword(int index) {
  while (!extractor_.CheckPassword(owner_.Password())) {
    std::string newPassword = owner_.Password();
    if (owner_.OnBadPassword) {
      owner_.OnBadPassword(owner_, index, newPassword);
    }
    if (!owner_.OnBadPassword || newPassword == owner_.Password()) {
      Skip(TSkipReason::srBadPassword, index);
      return false;
    }
    owner_.SetPassword(newPassword);
  }
  return true;
}

// Resolve overwrite: an existing output file is replaced with Always, kept
// with Never, and asked about with Prompt (which may change the path).
bool ExtractionRun::ResolveOverwrite(int index, std::string& outPath) {
  if (owner_.TestOnly() || !platform::FileExists(outPath)) {
    return true;
  }
  bool overwrite = owner_.OverwriteMode() == TUZOverwriteMode::Always;
  if (owner_.OverwriteMode() == TUZOverwriteMode::Prompt) {
    if (owner_.OnPromptForOverwrite) {
      owner_.OnPromptForOverwrite(owner_, overwrite, index, outPath);
    } else if (ui_ != nullptr) {
      platform::MessageBoxRequest request;
      request.caption = "File Exists Alert";
      request.text = "Replace existing file " + Work().FileName() + "?";
      request.buttons = platform::MessageButtons::kYesNo;
      request.icon = platform::MessageIcon::kQuestion;
      request.defaultButton = platform::MessageAnswer::kYes;
      overwrite = ui_->ShowMessage(request) == platform::MessageAnswer::kYes;
    }
  }
  if (!overwrite) {
    Skip(TSkipReason::srNoOverwrite, index);
    return false;
  }
  // The archive being read is never an output (a link to it is replaced).
  if (!platform::IsSymbolicLink(outPath) && platform::SameFile(outPath, archive_.Name())) {
    Skip(TSkipReason::srArchiveItself, index);
    return false;
  }
  return true;
}

// Decode; the fault stays in the extractor's result (the verdict below
// follows the CRC, as the surface describes). Errors end the run.
void ExtractionRun::Decode() {
  extractor_.Decode();
  if (extractor_.Result().fault == DecodeFault::kOutOfMemory) {
    ShowMessage("Error", "*** inflate out of memory ***");
  }
}

// Finish: the extractor's verdict as events. Damaged data and a CRC
// mismatch fail an encrypted entry as a wrong password (OnBadPassword may
// offer another and a retry), a plain one with OnBadCRC; the result keeps
// the real cause.
ExtractionRun::Outcome ExtractionRun::Finish(int index, const std::string& outPath) {
  const EntryStatus status = extractor_.Finish(owner_.RetainAttributes());
  if (status == EntryStatus::kExtracted || status == EntryStatus::kTested) {
    if (owner_.OnEndUnZip) {
      owner_.OnEndUnZip(owner_, index, outPath);
    }
    return Outcome::kDone;
  }
  if (status == EntryStatus::kShortData) {
    Skip(TSkipReason::srBadEntry, index);
    return Outcome::kDone;
  }
  if (Work().Encrypted()) {
    std::string newPassword = owner_.Password();
    if (owner_.OnBadPassword) {
      owner_.OnBadPassword(owner_, index, newPassword);
      if (newPassword != owner_.Password()) {
        owner_.SetPassword(newPassword);
        return Outcome::kRetry;
      }
    }
    Skip(TSkipReason::srBadPassword, index);
    return Outcome::kDone;
  }
  if (owner_.OnBadCRC) {
    owner_.OnBadCRC(owner_, extractor_.Result().computedCrc, Work().crc32, index);
  }
  --count_;
  return Outcome::kDone;
}

void ExtractionRun::BlockStored(size_t size) {
  reported_ += size;
  if (owner_.OnFilePercentDone) {
    owner_.OnFilePercentDone(owner_, Percent(static_cast<double>(reported_),
                                             static_cast<double>(Work().uncompressedSize)));
  }
  if (owner_.OnTotalPercentDone) {
    runningTotal_ += static_cast<int64_t>(size);
    owner_.OnTotalPercentDone(
        owner_, Percent(static_cast<double>(runningTotal_), static_cast<double>(selectedTotal_)));
  }
}

void ExtractionRun::ProcessMessages() {
  if (ui_ != nullptr) {
    ui_->ProcessMessages();
  }
}

}  // namespace lumivora::unzip
