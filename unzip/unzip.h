// TUnZip: the ZIP extraction component. It reads an archive's directory
// (end of central directory record, central directory, or a scan of the local
// headers when the directory is missing or misplaced; PKWARE APPNOTE 4.3),
// offers it in a chosen order, and extracts the selected entries with
// traditional PKWARE decryption, the stored and deflate methods (and the
// legacy methods when they are built in), CRC-32 verification and the
// entry's attributes and time on the output file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/exception.h"
#include "unzip/zip_format.h"

namespace lumivora::platform {
class UserInterface;
}

namespace lumivora::unzip {

LUMIVORA_DECLARE_EXCEPTION(EBadZipFile, Exception);
LUMIVORA_DECLARE_EXCEPTION(EIncompleteZip, Exception);
LUMIVORA_DECLARE_EXCEPTION(EUserCanceled, Exception);
LUMIVORA_DECLARE_EXCEPTION(EFatalUnzipError, Exception);
LUMIVORA_DECLARE_EXCEPTION(EBiggerThanUncompressed, Exception);
LUMIVORA_DECLARE_EXCEPTION(EListError, Exception);

enum class TZipSortMode {
  ByName = 0,
  ByFileName = 1,
  ByDirectoryName = 2,
  ByDate = 3,
  ByCompressedSize = 4,
  ByUnCompressedSize = 5,
  ByRate = 6,
  ByNone = 7,
};

enum class TUZOverwriteMode { Prompt = 0, Always = 1, Never = 2 };
enum class TIncompleteZipMode { izAssumeMulti = 0, izAssumeBad = 1 };
// Why an entry is skipped (it then does not count):
// srBadPassword    the password check failed, or the CRC of an encrypted entry;
// srNoOverwrite    the output file exists and is kept;
// srUnsafePath     the stored directory would lead outside the destination
//                  folder, or its folders pass through a link;
// srUnsupportedMethod  no decoder for the entry's compression method;
// srBadEntry       the entry's local header is missing or disagrees with the
//                  directory, its data overlaps another entry's, or it
//                  decoded to a size other than the one declared;
// srPathTooLong    the output path is longer than the platform takes;
// srArchiveItself  the output path is the archive being read.
enum class TSkipReason {
  srBadPassword = 0,
  srNoOverwrite = 1,
  srUnsafePath = 2,
  srUnsupportedMethod = 3,
  srBadEntry = 4,
  srPathTooLong = 5,
  srArchiveItself = 6,
};
enum class TMultiMode { mmNone, mmRemovable, mmNumbered };

// The end of central directory record (its fields: zip::EndRecord, APPNOTE
// 4.3.16) with the archive comment: the text, absent until read, and where
// it lies. Reset gives the signature back and zeroes the rest.
struct TEndCentral : zip::EndRecord {
  std::optional<std::string> comment;
  int64_t commentPosition = 0;
  bool commentModified = false;

  void Reset() { *this = TEndCentral{}; }
};

// One entry of the directory: the fields of its central header
// (zip::CentralHeader, APPNOTE 4.3.12), its stored name split into directory
// and file name, and what the component keeps beside them. The name length
// follows the name (NameLength).
class TZipHeaderInfo : public zip::CentralHeader {
 public:
  TZipHeaderInfo() : zip::CentralHeader(kNewEntry) {}

  int64_t centralRecordOffset = 0;
  std::optional<std::string> fileComment;
  bool selected = false;

  [[nodiscard]] const std::string& FileName() const { return fileName_; }
  [[nodiscard]] const std::string& Directory() const { return directory_; }
  [[nodiscard]] uint16_t NameLength() const { return nameLength; }
  [[nodiscard]] bool Encrypted() const;
  void SetFileName(std::string name);
  // A non-empty directory gets a trailing path separator.
  void SetDirectory(std::string directory);
  // Splits a stored name (already mapped to the platform separator).
  void SetStoredName(const std::string& name);

 private:
  // The header fields of an entry not read from an archive: version 2.0,
  // deflated, no CRC yet, the archive attribute.
  static constexpr zip::CentralHeader kNewEntry = [] {
    zip::CentralHeader header;
    header.versionMadeBy = 20;
    header.versionNeeded = 20;
    header.compressionMethod = zip::kMethodDeflated;
    header.crc32 = 0xFFFFFFFF;
    header.internalAttributes = 1;
    header.externalAttributes = 32;
    return header;
  }();
  using zip::EntryFields::nameLength;
  void UpdateNameLength();
  std::string fileName_;
  std::string directory_;
};

class ArchiveOwner;
class ZipArchive;

class TUnZip {
 public:
  static constexpr int kThisVersion = 217;

  // UI is used for message boxes, the cursor and message processing; it may
  // be null (no boxes shown: an overwrite prompt then answers No).
  explicit TUnZip(platform::UserInterface* ui = nullptr);
  TUnZip(const TUnZip&) = delete;
  TUnZip& operator=(const TUnZip&) = delete;
  ~TUnZip();

  // ---- properties --------------------------------------------------------
  [[nodiscard]] int ThisVersion() const { return kThisVersion; }
  void SetThisVersion(int /*ignored*/) {}
  [[nodiscard]] const std::string& ZipName() const;
  void SetZipName(const std::string& name);
  [[nodiscard]] const std::string& DestDir() const { return destDir_; }
  void SetDestDir(const std::string& dir);
  [[nodiscard]] const std::string& RootDir() const { return rootDir_; }
  void SetRootDir(const std::string& dir);
  [[nodiscard]] TZipSortMode SortMode() const { return sortMode_; }
  void SetSortMode(TZipSortMode mode);
  [[nodiscard]] bool RecreateDirs() const { return recreateDirs_; }
  void SetRecreateDirs(bool value) { recreateDirs_ = value; }
  [[nodiscard]] TUZOverwriteMode OverwriteMode() const { return overwriteMode_; }
  void SetOverwriteMode(TUZOverwriteMode mode) { overwriteMode_ = mode; }
  [[nodiscard]] const std::vector<std::string>& FilesList() const { return filesList_; }
  std::vector<std::string>& FilesList() { return filesList_; }
  void SetFilesList(const std::vector<std::string>& lines) { filesList_ = lines; }
  [[nodiscard]] bool DoAll() const { return doAll_; }
  void SetDoAll(bool value) { doAll_ = value; }
  [[nodiscard]] TIncompleteZipMode IncompleteZipMode() const { return incompleteZipMode_; }
  void SetIncompleteZipMode(TIncompleteZipMode mode) { incompleteZipMode_ = mode; }
  [[nodiscard]] bool KeepZipOpen() const { return keepZipOpen_; }
  void SetKeepZipOpen(bool value) { keepZipOpen_ = value; }
  [[nodiscard]] bool DoProcessMessages() const { return doProcessMessages_; }
  void SetDoProcessMessages(bool value) { doProcessMessages_ = value; }
  [[nodiscard]] bool RetainAttributes() const { return retainAttributes_; }
  void SetRetainAttributes(bool value) { retainAttributes_ = value; }
  [[nodiscard]] const std::string& Password() const { return password_; }
  void SetPassword(const std::string& password) { password_ = password; }
  // Decode and check entries without writing any output file.
  [[nodiscard]] bool TestOnly() const { return testOnly_; }
  void SetTestOnly(bool value) { testOnly_ = value; }

  // ---- events (Sender first; reference parameters are changeable) -------
  std::function<void(TUnZip& sender, int numFiles, int64_t totalBytes, bool& stopNow)>
      OnStartUnZipInfo;
  std::function<void(TUnZip& sender, int percent)> OnFilePercentDone;
  std::function<void(TUnZip& sender, int percent)> OnTotalPercentDone;
  std::function<void(TUnZip& sender, int fileIndex, const std::string& fName, bool& skip)>
      OnStartUnZip;
  std::function<void(TUnZip& sender, int fileIndex, const std::string& fName)> OnEndUnZip;
  std::function<void(TUnZip& sender, bool& overWriteIt, int fileIndex, std::string& fName)>
      OnPromptForOverwrite;
  std::function<void(TUnZip& sender, TSkipReason reason, const std::string& fName, int fileIndex)>
      OnSkippingFile;
  std::function<void(TUnZip& sender, int fileIndex, std::string& newPassword)> OnBadPassword;
  std::function<void(TUnZip& sender, uint32_t calcCrc, uint32_t storedCrc, int fileIndex)> OnBadCRC;
  std::function<void(TUnZip& sender, TIncompleteZipMode& mode)> OnInCompleteZip;
  // Starts out as the component's own disk prompt (DefaultGetNextDisk).
  std::function<void(TUnZip& sender, int nextDisk, std::string& fName)> OnGetNextDisk;

  // ---- operations ----------------------------------------------------------
  // Extracts the selected entries; returns how many came out whole.
  int UnZip();
  // Reads the directory (when not loaded or stale) and closes the archive
  // unless KeepZipOpen.
  void ReadZip();
  void ClearZip();
  [[nodiscard]] int Count() const;
  // Record INDEX of the sorted view (the order of SortMode).
  [[nodiscard]] const TZipHeaderInfo& Entry(int index) const;
  std::string FileComment(int index);
  std::string ZipComment();
  [[nodiscard]] const TEndCentral& EndCentral() const;
  [[nodiscard]] int NumberOfDisks() const;
  [[nodiscard]] TMultiMode MultiMode() const;
  // True when the directory came from the local-header scan.
  [[nodiscard]] bool FromLocalScan() const;

  // The disk prompt used when no other handler is set: for a numbered-file
  // set, the name's extension becomes "." + the disk number in three digits.
  void DefaultGetNextDisk(int nextDisk, std::string& fName);

 private:
  platform::UserInterface* ui_;
  std::string destDir_;
  std::string rootDir_;
  TZipSortMode sortMode_ = TZipSortMode::ByNone;
  bool recreateDirs_ = false;
  TUZOverwriteMode overwriteMode_ = TUZOverwriteMode::Prompt;
  std::vector<std::string> filesList_;
  bool doAll_ = false;
  TIncompleteZipMode incompleteZipMode_ = TIncompleteZipMode::izAssumeMulti;
  bool keepZipOpen_ = false;
  bool doProcessMessages_ = true;
  bool retainAttributes_ = true;
  bool testOnly_ = false;
  friend class ExtractionRun;
  std::string password_;
  std::unique_ptr<ArchiveOwner> hooks_;  // the archive's view of the properties and events
  std::unique_ptr<ZipArchive> archive_;  // the archive file and its directory
};

}  // namespace lumivora::unzip
