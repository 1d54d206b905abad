// One UnZip run of TUnZip: the destination folder, the selected entries in
// the order of the sorted view, and each entry's steps: seek to its data
// (past the local header), the output folder and path, the password check
// against the encryption header (APPNOTE 6.1.6), an existing output file, the
// output file, the decode step, attributes and time, and the CRC check.
#include <array>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/file.h"
#include "platform/ui.h"
#include "unzip/extraction.h"
#include "unzip/zip_archive.h"
#include "unzip/zip_format.h"

namespace lumivora::unzip {

namespace {

// The attribute bits of MS-DOS: read-only, hidden, system and archive.
constexpr uint32_t kDosAttributeMask = platform::kAttrReadOnly | platform::kAttrHidden |
                                       platform::kAttrSystem | platform::kAttrArchive;

}  // namespace

ExtractionRun::ExtractionRun(TUnZip& owner, ZipArchive& archive, platform::UserInterface* ui)
    : owner_(owner), archive_(archive), ui_(ui) {}

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
    owner_.OnSkippingFile(owner_, reason, work_.Directory() + work_.FileName(), index);
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
  work_ = archive_.Entry(index);
  dataLength_ = work_.compressedSize;
  const bool isFile = !work_.FileName().empty();
  if (isFile && !SeekToData()) {
    Skip(TSkipReason::srBadEntry, index);
    return Outcome::kDone;
  }
  std::string folder;
  std::optional<TSkipReason> refused = OutputFolder(folder);
  if (work_.FileName() == "." || work_.FileName() == "..") {
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
  std::string outPath = folder + work_.FileName();
  if (!CanDecode(work_.compressionMethod)) {
    ShowMessage("Zip Error", "Unknown Compression Method");
    Skip(TSkipReason::srUnsupportedMethod, index);
    return Outcome::kDone;
  }
  if (!CheckPassword(index) || !ResolveOverwrite(index, outPath)) {
    return Outcome::kDone;
  }
  OpenOutput(outPath);
  crc_ = 0xFFFFFFFF;
  written_ = 0;
  reported_ = 0;
  owner_.entryHead_.clear();
  if (owner_.OnStartUnZip) {
    bool skip = false;
    owner_.OnStartUnZip(owner_, index, outPath, skip);
    if (skip) {
      outFile_.reset();
      return Outcome::kDone;
    }
  }
  Decode(outPath);
  return Finish(index, outPath);
}

// Seek to data: past the local header, its name and its extra field. The
// header must be one (its signature), its sizes must agree with the
// directory's (those of its ZIP64 extra field where it holds the ZIP64
// marker), and the data must end before the next entry's header or the
// central directory: entries that share data (a zip bomb) are refused.
bool ExtractionRun::SeekToData() {
  if (archive_.IsMultiDisk() && work_.diskNumberStart != archive_.CurrentDisk()) {
    archive_.OpenDisk(work_.diskNumberStart + 1);
  }
  TLFNFileStream& stream = archive_.Stream();
  stream.Seek(work_.localHeaderOffset);
  std::array<uint8_t, zip::kLocalHeaderSize> bytes{};
  const size_t got = stream.Read(bytes.data(), bytes.size());
  const std::optional<zip::LocalHeader> local =
      zip::LocalHeader::Parse(std::span<const uint8_t>(bytes.data(), got));
  if (!local.has_value()) {
    return false;
  }
  std::vector<uint8_t> extra;
  if (local->HasZip64Marker()) {
    stream.Seek(work_.localHeaderOffset + static_cast<int64_t>(bytes.size()) + local->nameLength);
    extra.resize(local->extraLength);
    extra.resize(stream.Read(extra.data(), extra.size()));
  }
  if (!LocalSizesAgree(local->flags, local->Sizes(extra))) {
    return false;
  }
  const int64_t dataStart = work_.localHeaderOffset + local->TotalSize();
  if (dataStart + work_.compressedSize > archive_.DataLimit(work_)) {
    return false;
  }
  stream.Seek(dataStart);
  return true;
}

// A local header written before its sizes were known (flag bit 3) may hold
// zeros in their place, also in its ZIP64 extra field.
bool ExtractionRun::LocalSizesAgree(uint16_t localFlags, const zip::EntrySizes& local) const {
  const bool descriptor = (localFlags & zip::kFlagDataDescriptor) != 0;
  const auto agree = [descriptor](uint64_t inLocal, uint32_t inCentral) {
    return inLocal == inCentral || (descriptor && inLocal == 0);
  };
  return agree(local.compressed, work_.compressedSize) &&
         agree(local.uncompressed, work_.uncompressedSize);
}

// Check password: the last byte of the decrypted encryption header against
// the high byte of the time (data descriptor) or of the CRC-32.
bool ExtractionRun::CheckPassword(int index) {
  if (!work_.Encrypted()) {
    return true;
  }
  const uint8_t check = (work_.flags & zip::kFlagDataDescriptor) != 0
                            ? static_cast<uint8_t>((work_.dateTime >> 8U) & 0xFFU)
                            : static_cast<uint8_t>(work_.crc32 >> 24U);
  TLFNFileStream& stream = archive_.Stream();
  const int64_t headerPosition = stream.Position();
  for (;;) {
    std::array<uint8_t, zip::kEncryptionHeaderSize> header{};
    stream.Read(header.data(), header.size());
    dataLength_ = work_.compressedSize - zip::kEncryptionHeaderSize;
    cipher_.InitCipherKeys(owner_.Password());
    cipher_.DecryptBuffer(header.data(), header.size());
    if (header.back() == check) {
      return true;
    }
    std::string newPassword = owner_.Password();
    if (owner_.OnBadPassword) {
      owner_.OnBadPassword(owner_, index, newPassword);
    }
    if (!owner_.OnBadPassword || newPassword == owner_.Password()) {
      Skip(TSkipReason::srBadPassword, index);
      return false;
    }
    owner_.SetPassword(newPassword);
    stream.Seek(headerPosition);
  }
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
      request.text = "Replace existing file " + work_.FileName() + "?";
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

// Open output. A read-only file is never replaced, as on Windows (also for
// root). A link at the output path is replaced, never followed.
void ExtractionRun::OpenOutput(const std::string& outPath) {
  if (owner_.TestOnly()) {
    return;
  }
  const std::optional<uint32_t> attributes = platform::GetFileAttributes(outPath);
  if (!platform::IsSymbolicLink(outPath) && attributes.has_value() &&
      (*attributes & platform::kAttrReadOnly) != 0) {
    throw EFCreateError("Cannot create file " + outPath);
  }
  outFile_.emplace(platform::File::Open(outPath, platform::File::Mode::kReplace));
}

// Decode: the entry's data range, decrypted, through the decoder of its
// method into the output. Output past the declared size ends the decoding
// and leaves the verdict to the CRC; any other error ends the run, and the
// partial output is removed so that no truncated file is left behind.
void ExtractionRun::Decode(const std::string& outPath) {
  EntryCoding coding;
  coding.method = work_.compressionMethod;
  coding.flags = work_.flags;
  coding.uncompressedSize = work_.uncompressedSize;
  EntryInput input(archive_, dataLength_);
  try {
    const DecodeResult result = DecodeEntry(coding, input, work_.Encrypted() ? &cipher_ : nullptr,
                                            *this, buffers_, owner_.DoProcessMessages());
    if (result == DecodeResult::kUnknownMethod) {
      ShowMessage("Zip Error", "Unknown Compression Method");
    }
  } catch (const EBiggerThanUncompressed&) {
    // The entry completes; the CRC comparison decides.
  } catch (...) {
    if (outFile_.has_value()) {
      outFile_.reset();
      platform::DeleteFile(outPath);
    }
    throw;
  }
}

// Attributes and time, set on the open output. An entry made on a Unix host
// carries its mode in the high half of the external attributes: only its
// permission bits are kept (never setuid, setgid or sticky; the umask
// applies), and a link, device or fifo becomes a plain file. Elsewhere the
// DOS attributes.
void ExtractionRun::SetTimeAndAttributes() {
  if (owner_.RetainAttributes()) {
    const uint32_t unixMode = work_.externalAttributes >> zip::kUnixModeShift;
    if ((work_.versionMadeBy >> zip::kHostShift) == zip::kHostUnix && unixMode != 0) {
      const uint32_t type = unixMode & zip::kUnixTypeMask;
      const bool plain = type == 0 || type == zip::kUnixRegularFile;
      outFile_->SetPermissions(plain ? unixMode & zip::kUnixPermissionMask
                                     : zip::kUnixPlainFileMode);
    } else {
      outFile_->SetAttributes(work_.externalAttributes & kDosAttributeMask);
    }
  }
  outFile_->SetDosDateTime(work_.dateTime);
}

void ExtractionRun::RemoveOutput(const std::string& outPath) const {
  if (!owner_.TestOnly()) {
    platform::SetFileAttributes(outPath, 0);  // a read-only result can still go
    platform::DeleteFile(outPath);
  }
}

// Finish: close the output, give it its attributes and time, and compare
// the CRC-32; a mismatch removes the output and, for an encrypted entry,
// may ask for another password and a retry.
ExtractionRun::Outcome ExtractionRun::Finish(int index, const std::string& outPath) {
  if (outFile_.has_value()) {
    SetTimeAndAttributes();
    outFile_.reset();
  }
  const uint32_t computed = ~crc_;
  if (computed == work_.crc32 && written_ == work_.uncompressedSize) {
    if (owner_.OnEndUnZip) {
      owner_.OnEndUnZip(owner_, index, outPath);
    }
    return Outcome::kDone;
  }
  if (computed == work_.crc32) {
    // The right CRC over fewer bytes than declared (an empty output has CRC 0).
    RemoveOutput(outPath);
    Skip(TSkipReason::srBadEntry, index);
    return Outcome::kDone;
  }
  bool retry = false;
  if (work_.Encrypted()) {
    std::string newPassword = owner_.Password();
    if (owner_.OnBadPassword) {
      owner_.OnBadPassword(owner_, index, newPassword);
      if (newPassword != owner_.Password()) {
        owner_.SetPassword(newPassword);
        retry = true;
      }
    }
    if (!retry && owner_.OnSkippingFile) {
      owner_.OnSkippingFile(owner_, TSkipReason::srBadPassword,
                            work_.Directory() + work_.FileName(), index);
    }
  } else if (owner_.OnBadCRC) {
    owner_.OnBadCRC(owner_, computed, work_.crc32, index);
  }
  RemoveOutput(outPath);
  if (retry) {
    return Outcome::kRetry;
  }
  --count_;
  return Outcome::kDone;
}

void ExtractionRun::ProcessMessages() {
  if (ui_ != nullptr) {
    ui_->ProcessMessages();
  }
}

void ExtractionRun::ReportOutOfMemory() {
  ShowMessage("Error", "*** inflate out of memory ***");
}

}  // namespace lumivora::unzip
