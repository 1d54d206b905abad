// One entry's steps beneath TUnZip: its data past the local header, the
// password check against the encryption header (APPNOTE 6.1.6), the output
// file, the decode step with the size guard, the CRC-32 register and the
// first bytes kept, the attributes and time, and the verdict.
#include "unzip/entry_extractor.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "unzip/zip_archive.h"
#include "unzip/zip_format.h"

namespace lumivora::unzip {

namespace {

// The attribute bits of MS-DOS: read-only, hidden, system and archive.
constexpr uint32_t kDosAttributeMask = platform::kAttrReadOnly | platform::kAttrHidden |
                                       platform::kAttrSystem | platform::kAttrArchive;

}  // namespace

EntryExtractor::EntryExtractor(ZipArchive& archive, EntryProgress* progress, bool processMessages,
                               size_t keptHead)
    : archive_(archive),
      progress_(progress),
      processMessages_(processMessages),
      keptHead_(keptHead) {}

void EntryExtractor::Take(const TZipHeaderInfo& entry) {
  result_ = EntryResult{};
  result_.entry = entry;
  dataLength_ = entry.compressedSize;
  crc_ = 0xFFFFFFFF;
  outFile_.reset();
  outPath_.clear();
}

// Past the local header, its name and its extra field. The header must be
// one (its signature), its sizes must agree with the directory's (those of
// its ZIP64 extra field where it holds the ZIP64 marker), and the data must
// end before the next entry's header or the central directory: entries that
// share data (a zip bomb) are refused.
bool EntryExtractor::SeekToData() {
  const TZipHeaderInfo& work = Entry();
  result_.status = EntryStatus::kBadEntry;  // until the data is found
  if (archive_.IsMultiDisk() && work.diskNumberStart != archive_.CurrentDisk()) {
    archive_.OpenDisk(work.diskNumberStart + 1);
  }
  TLFNFileStream& stream = archive_.Stream();
  stream.Seek(work.localHeaderOffset);
  std::array<uint8_t, zip::kLocalHeaderSize> bytes{};
  const size_t got = stream.Read(bytes.data(), bytes.size());
  const std::optional<zip::LocalHeader> local =
      zip::Parse<zip::LocalHeader>(std::span<const uint8_t>(bytes.data(), got));
  if (!local.has_value()) {
    return false;
  }
  std::vector<uint8_t> extra;
  if (local->HasZip64Marker()) {
    stream.Seek(work.localHeaderOffset + static_cast<int64_t>(bytes.size()) + local->nameLength);
    extra.resize(local->extraLength);
    extra.resize(stream.Read(extra.data(), extra.size()));
  }
  const zip::EntrySizes sizes = local->Sizes(extra);
  if (!LocalSizesAgree(*local, sizes)) {
    return false;
  }
  dataStart_ = work.localHeaderOffset + local->TotalSize();
  if (dataStart_ + work.compressedSize > archive_.DataLimit(work)) {
    return false;
  }
  stream.Seek(dataStart_);
  result_.status = EntryStatus::kNotFound;
  return true;
}

// A local header written before its sizes were known (flag bit 3) may hold
// zeros in their place, also in its ZIP64 extra field.
bool EntryExtractor::LocalSizesAgree(const zip::LocalHeader& local,
                                     const zip::EntrySizes& sizes) const {
  const bool descriptor = (local.flags & zip::kFlagDataDescriptor) != 0;
  const auto agree = [descriptor](uint64_t inLocal, uint32_t inCentral) {
    return inLocal == inCentral || (descriptor && inLocal == 0);
  };
  return agree(sizes.compressed, Entry().compressedSize) &&
         agree(sizes.uncompressed, Entry().uncompressedSize);
}

// The last byte of the decrypted encryption header against the high byte of
// the time (data descriptor) or of the CRC-32.
bool EntryExtractor::CheckPassword(const std::string& password) {
  const TZipHeaderInfo& work = Entry();
  if (!work.Encrypted()) {
    return true;
  }
  const uint8_t check = (work.flags & zip::kFlagDataDescriptor) != 0
                            ? static_cast<uint8_t>((work.dateTime >> 8U) & 0xFFU)
                            : static_cast<uint8_t>(work.crc32 >> 24U);
  TLFNFileStream& stream = archive_.Stream();
  stream.Seek(dataStart_);
  std::array<uint8_t, zip::kEncryptionHeaderSize> header{};
  stream.Read(header.data(), header.size());
  dataLength_ = work.compressedSize - zip::kEncryptionHeaderSize;
  cipher_.InitCipherKeys(password);
  cipher_.DecryptBuffer(header.data(), header.size());
  if (header.back() == check) {
    return true;
  }
  result_.status = EntryStatus::kWrongPassword;
  return false;
}

// A read-only file is never replaced, as on Windows (also for root). A link
// at the output path is replaced, never followed.
void EntryExtractor::OpenOutput(const std::string& path) {
  const std::optional<uint32_t> attributes = platform::GetFileAttributes(path);
  if (!platform::IsSymbolicLink(path) && attributes.has_value() &&
      (*attributes & platform::kAttrReadOnly) != 0) {
    throw EFCreateError("Cannot create file " + path);
  }
  outFile_.emplace(platform::File::Open(path, platform::File::Mode::kReplace));
  outPath_ = path;
}

void EntryExtractor::Decode() {
  const TZipHeaderInfo& work = Entry();
  EntryCoding coding;
  coding.method = work.compressionMethod;
  coding.flags = work.flags;
  coding.uncompressedSize = work.uncompressedSize;
  EntryInput input(archive_, dataLength_);
  try {
    result_.fault = DecodeEntry(coding, input, work.Encrypted() ? &cipher_ : nullptr, *this,
                                buffers_, processMessages_);
  } catch (...) {
    if (outFile_.has_value()) {
      outFile_.reset();
      platform::DeleteFile(outPath_);
    }
    throw;
  }
}

// An entry made on a Unix host carries its mode in the high half of the
// external attributes: only its permission bits are kept (never setuid,
// setgid or sticky; the umask applies), and a link, device or fifo becomes a
// plain file. Elsewhere the DOS attributes.
void EntryExtractor::SetTimeAndAttributes(bool retainAttributes) {
  const TZipHeaderInfo& work = Entry();
  if (retainAttributes) {
    const uint32_t unixMode = work.externalAttributes >> zip::kUnixModeShift;
    if ((work.versionMadeBy >> zip::kHostShift) == zip::kHostUnix && unixMode != 0) {
      const uint32_t type = unixMode & zip::kUnixTypeMask;
      const bool plain = type == 0 || type == zip::kUnixRegularFile;
      outFile_->SetPermissions(plain ? unixMode & zip::kUnixPermissionMask
                                     : zip::kUnixPlainFileMode);
    } else {
      outFile_->SetAttributes(work.externalAttributes & kDosAttributeMask);
    }
  }
  outFile_->SetDosDateTime(work.dateTime);
}

void EntryExtractor::RemoveOutput() const {
  if (!outPath_.empty()) {
    platform::SetFileAttributes(outPath_, 0);  // a read-only result can still go
    platform::DeleteFile(outPath_);
  }
}

// Whole: the right CRC-32 over the declared size. Otherwise the output goes,
// and the verdict names the first thing wrong: fewer bytes than declared
// under the right CRC, a decoder fault, a CRC-32 of other bytes.
EntryStatus EntryExtractor::Finish(bool retainAttributes) {
  if (outFile_.has_value()) {
    SetTimeAndAttributes(retainAttributes);
    outFile_.reset();
  }
  const TZipHeaderInfo& work = Entry();
  result_.computedCrc = ~crc_;
  const bool rightCrc = result_.computedCrc == work.crc32;
  if (rightCrc && result_.written == work.uncompressedSize) {
    result_.status = outPath_.empty() ? EntryStatus::kTested : EntryStatus::kExtracted;
    return result_.status;
  }
  RemoveOutput();
  if (rightCrc) {
    result_.status = EntryStatus::kShortData;
  } else {
    result_.status =
        result_.fault != DecodeFault::kNone ? EntryStatus::kDamagedData : EntryStatus::kCrcMismatch;
  }
  return result_.status;
}

// ---- the decoded blocks (EntrySink) -----------------------------------------

void EntryExtractor::AcceptBlock(size_t size) {
  if (result_.written + size > Entry().uncompressedSize) {
    throw EBiggerThanUncompressed("File is larger than uncompressed size!");
  }
  result_.written += size;
}

// On the thread that stores; the head is read only once decoding has ended.
void EntryExtractor::KeepHead(std::span<const uint8_t> block) {
  std::vector<uint8_t>& head = result_.head;
  if (head.size() < keptHead_) {
    const size_t count = std::min(keptHead_ - head.size(), block.size());
    head.insert(head.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(count));
  }
}

void EntryExtractor::StoreBlock(std::span<const uint8_t> block) {
  KeepHead(block);
  if (outFile_.has_value()) {
    outFile_->Write(block.data(), block.size());  // raises EWriteError on a short write
  }
  crc_ = UpdateCrc(crc_, block.data(), block.size());
}

// Blocks written with one gathered write where the system has it (16000
// bytes per write call cost the writer twice the time of larger ones).
void EntryExtractor::StoreBlocks(std::span<const std::span<const uint8_t>> blocks, size_t& stored) {
  stored = 0;
  if (outFile_.has_value()) {
    outFile_->WriteBlocks(blocks, stored);  // raises EWriteError on a short write
  }
  for (const std::span<const uint8_t> block : blocks) {
    KeepHead(block);
    crc_ = UpdateCrc(crc_, block.data(), block.size());
  }
  stored = blocks.size();
}

void EntryExtractor::ReportBlock(size_t size) {
  if (progress_ != nullptr) {
    progress_->BlockStored(size);
  }
}

void EntryExtractor::ProcessMessages() {
  if (progress_ != nullptr) {
    progress_->ProcessMessages();
  }
}

}  // namespace lumivora::unzip
