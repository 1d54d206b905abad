// The core of one entry's extraction, beneath TUnZip and the pack
// operations: the result of extracting or testing an entry (EntryResult),
// and EntryExtractor, which takes an entry through its steps (its data in
// the archive, the password check, the output, the decoding, the verdict)
// without events; TUnZip's run puts its events between the steps.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/file.h"
#include "unzip/entry_decoder.h"
#include "unzip/pkware_cipher.h"
#include "unzip/unzip.h"
#include "unzip/zip_format.h"

namespace lumivora::unzip {

class ZipArchive;

// What happened to an entry. The first two are success.
enum class EntryStatus {
  kExtracted,          // written whole to its output file, CRC and size right
  kTested,             // decoded whole, CRC and size right, nothing written
  kNotFound,           // no file entry stored under the name (or not exactly one, when asked)
  kBadEntry,           // local header missing or disagreeing, or data overlapping another entry's
  kUnsafePath,         // the output path is refused (too long, ".", "..", the archive itself)
  kUnsupportedMethod,  // no decoder for the entry's method
  kWrongPassword,      // the encryption header fails the password check
  kNotEncrypted,       // encryption was required and the entry is plain
  kShortData,          // the right CRC-32 over fewer bytes than declared
  kDamagedData,        // the decoder stopped early (`fault` says why), with another CRC-32
  kCrcMismatch,        // decoded to the end with another CRC-32
  kArchiveError,       // the archive or its directory cannot be read: `error`
  kReadError,          // the entry's data cannot be read: `error`
  kWriteError,         // the output cannot be created or written: `error`
};

// The result of extracting or testing one entry.
struct EntryResult {
  EntryStatus status = EntryStatus::kNotFound;
  TZipHeaderInfo entry;  // the entry's directory record (when one was found)
  int matches = 0;       // file entries stored under the name asked for
  DecodeFault fault = DecodeFault::kNone;
  uint32_t computedCrc = 0;   // of the decoded bytes
  uint64_t written = 0;       // decoded bytes
  std::vector<uint8_t> head;  // the first decoded bytes, as many as asked for
  std::string message;        // the error's message (kArchiveError, kReadError, kWriteError)
  std::exception_ptr error;   // the error as raised, for a surface that raises it

  [[nodiscard]] bool Whole() const {
    return status == EntryStatus::kExtracted || status == EntryStatus::kTested;
  }
};

// Reports of the blocks decoded, on the caller's thread (TUnZip's progress
// events and message processing).
class EntryProgress {
 public:
  EntryProgress() = default;
  EntryProgress(const EntryProgress&) = delete;
  EntryProgress& operator=(const EntryProgress&) = delete;
  virtual ~EntryProgress() = default;
  virtual void BlockStored(size_t size) = 0;
  virtual void ProcessMessages() = 0;
};

// One entry at a time, through the steps in order: Begin, CheckPassword
// (encrypted entries; again with another password after a failure),
// OpenOutput (skipped when testing), Decode, Finish. Errors of the archive
// and the output leave Decode and OpenOutput as raised.
class EntryExtractor final : public EntrySink {
 public:
  // PROGRESS may be null; KEPTHEAD first decoded bytes are kept per entry.
  EntryExtractor(ZipArchive& archive, EntryProgress* progress, bool processMessages,
                 size_t keptHead);

  // Takes ENTRY (a copy of a directory record) and forgets the last one.
  void Take(const TZipHeaderInfo& entry);
  // Moves the archive to the entry's data; false (kBadEntry) when the local
  // header is missing or disagrees with the directory, or the data overlaps
  // the next entry's.
  bool SeekToData();
  bool Begin(const TZipHeaderInfo& entry) {
    Take(entry);
    return SeekToData();
  }
  // Whether PASSWORD passes the check byte of the encryption header (true
  // for a plain entry); the keys then stand ready for the data.
  bool CheckPassword(const std::string& password);
  // Creates the output file at PATH (a read-only file there: EFCreateError).
  void OpenOutput(const std::string& path);
  // Decodes the entry into the output. On an error the output is removed
  // and the error raised.
  void Decode();
  // Closes the output (with the entry's attributes when RETAINATTRIBUTES,
  // and its time) and gives the verdict; an output that is not whole is
  // removed. The result holds the facts.
  EntryStatus Finish(bool retainAttributes);
  // Ends the entry before its decoding with STATUS.
  void Refuse(EntryStatus status) { result_.status = status; }
  // Closes the output as it is (an entry skipped before decoding).
  void CloseOutput() { outFile_.reset(); }
  [[nodiscard]] const EntryResult& Result() const { return result_; }
  [[nodiscard]] const std::vector<uint8_t>& Head() const { return result_.head; }

  // EntrySink
  void AcceptBlock(size_t size) override;
  void StoreBlock(std::span<const uint8_t> block) override;
  void StoreBlocks(std::span<const std::span<const uint8_t>> blocks, size_t& stored) override;
  void ReportBlock(size_t size) override;
  [[nodiscard]] bool StoreOffThread() const override { return outFile_.has_value(); }
  void ProcessMessages() override;

 private:
  [[nodiscard]] bool LocalSizesAgree(const zip::LocalHeader& local,
                                     const zip::EntrySizes& sizes) const;
  [[nodiscard]] const TZipHeaderInfo& Entry() const { return result_.entry; }
  void SetTimeAndAttributes(bool retainAttributes);
  void KeepHead(std::span<const uint8_t> block);
  void RemoveOutput() const;

  ZipArchive& archive_;
  EntryProgress* progress_;
  bool processMessages_;
  size_t keptHead_;
  DecodeBuffers buffers_;
  EntryResult result_;
  int64_t dataStart_ = 0;      // archive position of the entry's data
  int64_t dataLength_ = 0;     // compressed bytes after any encryption header
  TraditionalCipher cipher_;   // keys as the password check left them
  uint32_t crc_ = 0xFFFFFFFF;  // CRC-32 register of the entry's output
  std::optional<platform::File> outFile_;
  std::string outPath_;
};

}  // namespace lumivora::unzip
