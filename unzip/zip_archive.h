// Internal to TUnZip: the archive file and its directory. ZipArchive opens
// the archive (a TLFNFileStream, lfn_file_stream.h), finds its end record,
// reads the central directory (or scans the local headers when it is missing
// or misplaced) into a TSortedZip (sorted_zip.h), keeps the sorted view and
// walks the disks of a numbered set.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/text.h"
#include "unzip/lfn_file_stream.h"
#include "unzip/sorted_zip.h"
#include "unzip/unzip.h"

namespace lumivora::platform {
class UserInterface;
}

namespace lumivora::unzip {

// Sanitises an MS-DOS date/time: invalid fields are replaced field by field.
uint32_t SanitizeDosDateTime(uint32_t dosDateTime);
// ASCII letters lowered; other bytes as they are.
using platform::LowerAscii;
// A stored name with '/' and '\\' mapped to the platform separator.
std::string MapStoredName(std::string name);

// What an archive asks of whoever opened it: TUnZip answers with its
// properties and events, the core (zip_reader.h) with the defaults.
class ArchiveOwner {
 public:
  ArchiveOwner() = default;
  ArchiveOwner(const ArchiveOwner&) = delete;
  ArchiveOwner& operator=(const ArchiveOwner&) = delete;
  virtual ~ArchiveOwner() = default;
  // What to assume of an archive without an end record (OnInCompleteZip).
  virtual TIncompleteZipMode IncompleteMode() = 0;
  [[nodiscard]] virtual bool KeepOpen() const = 0;
  [[nodiscard]] virtual bool ProcessMessages() const = 0;
  [[nodiscard]] virtual TZipSortMode SortMode() const = 0;
  // Whether a handler names the disks of a set (OnGetNextDisk).
  [[nodiscard]] virtual bool NamesDisks() const = 0;
  // The file name of disk DISK (1-based); NAME starts as the archive's.
  virtual void NameDisk(int disk, std::string& name) = 0;
};

// For a numbered-file set: NAME's extension becomes "." + DISK in three digits.
void NumberedDiskName(int disk, std::string& name);

// The archive named by Name() and its directory, with the owner's answers.
class ZipArchive {
 public:
  ZipArchive(ArchiveOwner& owner, platform::UserInterface* ui) : owner_(owner), ui_(ui) {}

  [[nodiscard]] const std::string& Name() const { return name_; }
  // A different name (letter case ignored) discards the directory.
  void SetName(const std::string& name);
  // Opens the file when closed; reads the directory when none is loaded or
  // the archive's time changed since it was read.
  void Open();
  // Closes the file unless the owner keeps it open.
  void Close();
  // Closes the file and forgets the directory and the name.
  void Clear();
  // Rebuilds the sorted view in MODE (no-op while no directory is loaded).
  void ApplySortMode(TZipSortMode mode);

  [[nodiscard]] int Count() const { return files_ ? files_->Count() : 0; }
  // Record INDEX of the sorted view.
  [[nodiscard]] TZipHeaderInfo& Entry(int index) const;
  [[nodiscard]] const TEndCentral& EndCentral() const { return endCentral_; }
  [[nodiscard]] int NumberOfDisks() const { return numberOfDisks_; }
  [[nodiscard]] int CurrentDisk() const { return currentDisk_; }
  [[nodiscard]] TMultiMode MultiMode() const { return multiMode_; }
  [[nodiscard]] bool FromLocalScan() const { return fromLocalScan_; }
  [[nodiscard]] bool IsMultiDisk() const { return endCentral_.thisDisk != 0; }
  [[nodiscard]] bool HasNextDiskHandler() const { return owner_.NamesDisks(); }
  TLFNFileStream& Stream() { return stream_; }
  // Where the data of RECORD (an entry of this directory) must end at the
  // latest: the next local header on its disk, or the central directory.
  [[nodiscard]] int64_t DataLimit(const TZipHeaderInfo& record) const;

  // Closes the current file and opens disk DISK (1-based) of the set, asking
  // OnGetNextDisk for its name; raises EUserCanceled when the name is empty.
  void OpenDisk(int disk);
  std::string FileComment(int index);
  std::string ZipComment();

 private:
  void ReadDirectory();
  void LocateCentralDirectory();
  void ReadCentralDirectory();
  bool FindEndCentral();
  bool ReadCentralHeader(TZipHeaderInfo& record);
  bool ScanWithBusyCursor();
  bool LocalHeaderScan();
  bool FindFirstLocalHeader();
  void ReadLocalHeaders();
  void ProcessMessages();
  void ShowBusyCursor(bool busy);
  std::string ReadCommentAt(int64_t position, uint16_t length, bool archiveComment);

  ArchiveOwner& owner_;
  platform::UserInterface* ui_;
  std::string name_;
  TLFNFileStream stream_;
  std::unique_ptr<TSortedZip> files_;   // main directory, owns the records
  std::unique_ptr<TSortedZip> sorted_;  // sorted view (null: the main directory)
  TEndCentral endCentral_;
  std::optional<uint32_t> zipTime_;
  int currentDisk_ = 0;
  int numberOfDisks_ = 1;
  TMultiMode multiMode_ = TMultiMode::mmNone;
  bool fromLocalScan_ = false;
};

}  // namespace lumivora::unzip
