// Internal to TUnZip: one UnZip run, the façade over EntryExtractor. It
// selects the entries by the owner's FilesList and takes each selected one
// through the extractor's steps, with the owner's events between them (the
// output folder, the password check with OnBadPassword, an existing output,
// OnStartUnZip, the progress events, the verdict's events), and counts the
// entries that came out whole.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "unzip/entry_extractor.h"
#include "unzip/unzip.h"

namespace lumivora::platform {
class UserInterface;
}

namespace lumivora::unzip {

class ZipArchive;

class ExtractionRun final : public EntryProgress {
 public:
  ExtractionRun(TUnZip& owner, ZipArchive& archive, platform::UserInterface* ui);
  // Selection and the per-entry extractions; returns the count.
  int Run();

  // EntryProgress: the percent events of each block stored.
  void BlockStored(size_t size) override;
  void ProcessMessages() override;

 private:
  enum class Outcome { kDone, kRetry };
  void CreateDestDir() const;
  Outcome ExtractEntry(int index);
  [[nodiscard]] const TZipHeaderInfo& Work() const { return extractor_.Result().entry; }
  std::optional<TSkipReason> OutputFolder(std::string& folder) const;
  std::optional<TSkipReason> CreateFolders(std::string& folder,
                                           const std::vector<std::string>& parts) const;
  bool CheckPassword(int index);
  bool ResolveOverwrite(int index, std::string& outPath);
  void Decode();
  Outcome Finish(int index, const std::string& outPath);
  void Skip(TSkipReason reason, int index);
  void ShowMessage(const std::string& caption, const std::string& text) const;

  TUnZip& owner_;
  ZipArchive& archive_;
  platform::UserInterface* ui_;
  EntryExtractor extractor_;
  int count_ = 0;
  uint64_t reported_ = 0;  // bytes stored and reported for this entry
  int64_t selectedTotal_ = 0;
  int64_t runningTotal_ = 0;
};

}  // namespace lumivora::unzip
