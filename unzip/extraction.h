// One UnZip run of TUnZip: the work buffers, the entry being extracted,
// its output file, the CRC-32 register, the cipher keys and the decoders of
// the stored and deflate methods. Internal to the component.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/file.h"
#include "unzip/legacy_decoders.h"
#include "unzip/pkware_cipher.h"
#include "unzip/unzip.h"

namespace lumivora::unzip {

// Matches TEXT against a selection pattern: "*" any sequence, "?" one
// character, "<...>" a class of characters and ranges ("!" or "^" first
// negates; an unclosed class matches nothing); the whole text must match.
bool MatchPattern(const std::string& pattern, const std::string& text);

class ExtractionRun final : public DecoderIo {
 public:
  explicit ExtractionRun(TUnZip& owner);
  // Selection and the per-entry extractions; returns the count.
  int Run();

  // DecoderIo
  size_t ReadChunk(std::span<uint8_t> buffer) override;
  void ProcessMessages() override;
  void WriteBlock(std::span<const uint8_t> block) override;
  void ReportOutOfMemory() override;

  // Reads and decrypts the 12-byte encryption header; returns its last byte.
  uint8_t ReadEncryptionHeader(const std::string& password);
  void CopyStored();
  void InflateDeflated();

 private:
  enum class Outcome { kDone, kRetry };
  Outcome ExtractEntry(int index, int& count);
  // The output folder of the working copy (with a trailing separator, or
  // empty for the current folder); false when the stored directory would
  // lead outside DestDir.
  bool OutputFolder(std::string& folder) const;
  void Skip(TSkipReason reason, int index, int& count);
  void Decode();

  TUnZip& owner_;
  std::vector<uint8_t> workArea_;
  std::vector<uint8_t> input_;
  std::vector<uint8_t> output_;
  DecoderState state_;
  TZipHeaderInfo work_;         // working copy of the entry
  int64_t compressedLeft_ = 0;  // bytes not yet read by ReadChunk
  TraditionalCipher cipher_;
  uint32_t crc_ = 0xFFFFFFFF;
  std::optional<platform::File> outFile_;
  uint64_t written_ = 0;  // bytes written for this entry
  int64_t selectedTotal_ = 0;
  int64_t runningTotal_ = 0;
};

}  // namespace lumivora::unzip
