// Internal to TUnZip: one UnZip run. Selection picks the entries by the
// owner's FilesList; ExtractionRun takes each selected entry through named
// steps (seek to its data, check the password, resolve an existing output,
// open the output, decode, finish: attributes, time and the CRC check) and
// counts the entries that came out whole.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/file.h"
#include "unzip/entry_decoder.h"
#include "unzip/pkware_cipher.h"
#include "unzip/unzip.h"
#include "unzip/zip_format.h"

namespace lumivora::platform {
class UserInterface;
}

namespace lumivora::unzip {

class ZipArchive;

// Matches TEXT against a selection pattern: "*" any sequence, "?" one
// character, "<...>" a class of characters and ranges ("!" or "^" first
// negates; an unclosed class matches nothing); the whole text must match.
bool MatchPattern(const std::string& pattern, const std::string& text);

// The entries of one run: their positions in the sorted view, and the total
// of their uncompressed sizes. Marks every entry's `selected`.
struct Selection {
  std::vector<int> indices;
  int64_t totalBytes = 0;
};
Selection SelectEntries(const TUnZip& owner, ZipArchive& archive);

class ExtractionRun final : public EntrySink {
 public:
  ExtractionRun(TUnZip& owner, ZipArchive& archive, platform::UserInterface* ui);
  // Selection and the per-entry extractions; returns the count.
  int Run();

  // EntrySink
  void AcceptBlock(size_t size) override;
  void StoreBlock(std::span<const uint8_t> block) override;
  void StoreBlocks(std::span<const std::span<const uint8_t>> blocks, size_t& stored) override;
  void ReportBlock(size_t size) override;
  [[nodiscard]] bool StoreOffThread() const override { return outFile_.has_value(); }
  void ProcessMessages() override;
  void ReportOutOfMemory() override;

 private:
  enum class Outcome { kDone, kRetry };
  void CreateDestDir() const;
  Outcome ExtractEntry(int index);
  // The steps of one entry, in order. A step that returns false has ended
  // the entry (skipped, and reported when the owner listens).
  bool SeekToData();
  [[nodiscard]] bool LocalSizesAgree(uint16_t localFlags, const zip::EntrySizes& local) const;
  std::optional<TSkipReason> OutputFolder(std::string& folder) const;
  std::optional<TSkipReason> CreateFolders(std::string& folder,
                                           const std::vector<std::string>& parts) const;
  bool CheckPassword(int index);
  bool ResolveOverwrite(int index, std::string& outPath);
  void OpenOutput(const std::string& outPath);
  void Decode(const std::string& outPath);
  Outcome Finish(int index, const std::string& outPath);
  void SetTimeAndAttributes();
  // Appends the start of BLOCK to the owner's EntryHead, up to KeptHead.
  void KeepHead(std::span<const uint8_t> block);
  void RemoveOutput(const std::string& outPath) const;
  void Skip(TSkipReason reason, int index);
  void ShowMessage(const std::string& caption, const std::string& text) const;

  TUnZip& owner_;
  ZipArchive& archive_;
  platform::UserInterface* ui_;
  DecodeBuffers buffers_;
  int count_ = 0;
  TZipHeaderInfo work_;        // working copy of the entry
  int64_t dataLength_ = 0;     // compressed bytes after any encryption header
  TraditionalCipher cipher_;   // keys as the password check left them
  uint32_t crc_ = 0xFFFFFFFF;  // CRC-32 register of the entry's output
  std::optional<platform::File> outFile_;
  uint64_t written_ = 0;   // bytes accepted for this entry
  uint64_t reported_ = 0;  // bytes stored and reported for this entry
  int64_t selectedTotal_ = 0;
  int64_t runningTotal_ = 0;
};

}  // namespace lumivora::unzip
