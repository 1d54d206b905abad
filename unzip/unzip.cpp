// The extracting half of TUnZip: properties, selection by patterns, the
// output folder and path of each entry, existing files, the password check
// against the encryption header (APPNOTE 6.1.6), the decoders by method
// (APPNOTE 4.4.5), attributes and time of the output file and the CRC check.
#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/file.h"
#include "platform/ui.h"
#include "unzip/extraction.h"

namespace lumivora::unzip {

namespace {

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string LowerText(std::string text) {
  for (char& c : text) {
    c = LowerAscii(c);
  }
  return text;
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  if (prefix.size() > text.size()) {
    return false;
  }
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (LowerAscii(text[i]) != LowerAscii(prefix[i])) {
      return false;
    }
  }
  return true;
}

bool IsSeparator(char c) {
  return c == '/' || c == '\\' || c == platform::PathSeparator();
}

// One element of a selection pattern.
struct PatternToken {
  enum class Kind { kLiteral, kAny, kStar, kClass } kind = Kind::kLiteral;
  char literal = 0;
  bool negated = false;
  std::vector<std::pair<char, char>> ranges;

  [[nodiscard]] bool Matches(char c) const {
    switch (kind) {
      case Kind::kLiteral:
        return c == literal;
      case Kind::kAny:
        return true;
      case Kind::kStar:
        return false;
      case Kind::kClass: {
        bool inside = false;
        for (const auto& [low, high] : ranges) {
          if (static_cast<unsigned char>(c) >= static_cast<unsigned char>(low) &&
              static_cast<unsigned char>(c) <= static_cast<unsigned char>(high)) {
            inside = true;
            break;
          }
        }
        return inside != negated;
      }
    }
    return false;
  }
};

std::optional<std::vector<PatternToken>> ParsePattern(const std::string& pattern) {
  std::vector<PatternToken> tokens;
  for (size_t i = 0; i < pattern.size(); ++i) {
    PatternToken token;
    const char c = pattern[i];
    if (c == '*') {
      token.kind = PatternToken::Kind::kStar;
    } else if (c == '?') {
      token.kind = PatternToken::Kind::kAny;
    } else if (c == '<') {
      token.kind = PatternToken::Kind::kClass;
      size_t j = i + 1;
      if (j < pattern.size() && (pattern[j] == '!' || pattern[j] == '^')) {
        token.negated = true;
        ++j;
      }
      bool closed = false;
      while (j < pattern.size()) {
        if (pattern[j] == '>') {
          closed = true;
          break;
        }
        const char low = pattern[j];
        if (j + 2 < pattern.size() && pattern[j + 1] == '-' && pattern[j + 2] != '>') {
          token.ranges.emplace_back(low, pattern[j + 2]);
          j += 3;
        } else {
          token.ranges.emplace_back(low, low);
          ++j;
        }
      }
      if (!closed) {
        return std::nullopt;
      }
      i = j;
    } else {
      token.literal = c;
    }
    tokens.push_back(std::move(token));
  }
  return tokens;
}

}  // namespace

bool MatchPattern(const std::string& pattern, const std::string& text) {
  if (pattern == "*") {
    return true;
  }
  const std::optional<std::vector<PatternToken>> parsed = ParsePattern(pattern);
  if (!parsed.has_value()) {
    return false;
  }
  const std::vector<PatternToken>& tokens = *parsed;
  // Greedy matching with one backtrack point per star: O(pattern x text).
  size_t t = 0;
  size_t p = 0;
  std::optional<size_t> starToken;
  size_t starText = 0;
  while (t < text.size()) {
    if (p < tokens.size() && tokens[p].kind == PatternToken::Kind::kStar) {
      starToken = p++;
      starText = t;
    } else if (p < tokens.size() && tokens[p].Matches(text[t])) {
      ++p;
      ++t;
    } else if (starToken.has_value()) {
      p = *starToken + 1;
      t = ++starText;
    } else {
      return false;
    }
  }
  while (p < tokens.size() && tokens[p].kind == PatternToken::Kind::kStar) {
    ++p;
  }
  return p == tokens.size();
}

// ---- TUnZip ------------------------------------------------------------------

TUnZip::TUnZip(platform::UserInterface* ui) : ui_(ui) {
  OnGetNextDisk = [](TUnZip& sender, int nextDisk, std::string& fName) {
    sender.DefaultGetNextDisk(nextDisk, fName);
  };
}

TUnZip::~TUnZip() = default;

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

int TUnZip::UnZip() {
  OpenZip();
  ExtractionRun run(*this);
  const int count = run.Run();
  CloseZip();
  return count;
}

// ---- ExtractionRun ----------------------------------------------------------------

ExtractionRun::ExtractionRun(TUnZip& owner)
    : owner_(owner),
      workArea_(kWorkAreaSize),
      input_(kIoBufferAllocation),
      output_(kIoBufferAllocation),
      state_(*this, input_, output_, workArea_, owner.doProcessMessages_) {}

int ExtractionRun::Run() {
  if (!owner_.testOnly_ && !owner_.destDir_.empty() &&
      !platform::DirectoryExists(owner_.destDir_)) {
    platform::ForceDirectories(owner_.destDir_);
  }
  // A multi-disk set is read in physical order whatever the sort mode.
  struct ViewRestore {
    TUnZip& owner;
    TZipSortMode mode;
    bool active;
    ~ViewRestore() {
      if (active) {
        owner.sortMode_ = mode;
        owner.ApplySortMode();
      }
    }
  } restore{owner_, owner_.sortMode_,
            owner_.endCentral_.thisDisk != 0 && owner_.sortMode_ != TZipSortMode::ByNone};
  if (restore.active) {
    owner_.sortMode_ = TZipSortMode::ByNone;
    owner_.ApplySortMode();
  }

  selectedTotal_ = 0;
  runningTotal_ = 0;
  const int entries = owner_.Count();
  int count = entries;
  std::vector<int> selected;
  for (int i = 0; i < entries; ++i) {
    TZipHeaderInfo& info = const_cast<TZipHeaderInfo&>(owner_.Entry(i));  // NOLINT
    bool isSelected = owner_.doAll_;
    if (info.FileName().empty() && !owner_.recreateDirs_) {
      isSelected = false;
    } else {
      const std::string text = LowerText(info.Directory() + info.FileName());
      for (const std::string& line : owner_.filesList_) {
        const size_t cut = line.find_last_of(std::string("\\/:") + platform::PathSeparator());
        const std::string pattern =
            LowerText(cut == std::string::npos ? line : line.substr(cut + 1));
        if (MatchPattern(pattern, text)) {
          isSelected = true;
          break;
        }
      }
    }
    info.selected = isSelected;
    if (isSelected) {
      selectedTotal_ += info.uncompressedSize;
      selected.push_back(i);
    } else {
      --count;
    }
  }

  bool stopNow = false;
  if (owner_.OnStartUnZipInfo) {
    owner_.OnStartUnZipInfo(owner_, count, selectedTotal_, stopNow);
  }
  if (count > 0 && !stopNow) {
    const auto runIndex = [&](int index) {
      while (ExtractEntry(index, count) == Outcome::kRetry) {
      }
    };
    if (owner_.doAll_) {
      for (int i = 0; i < entries; ++i) {
        runIndex(i);
      }
    } else {
      for (const int i : selected) {
        runIndex(i);
      }
    }
  }
  return count;
}

void ExtractionRun::Skip(TSkipReason reason, int index, int& count) {
  if (owner_.OnSkippingFile) {
    owner_.OnSkippingFile(owner_, reason, work_.Directory() + work_.FileName(), index);
  }
  --count;
}

bool ExtractionRun::OutputFolder(std::string& folder) const {
  const char separator = platform::PathSeparator();
  const std::string& destDir = owner_.destDir_;
  folder = destDir.empty() ? std::string() : destDir + separator;
  if (!owner_.recreateDirs_ || work_.Directory().empty()) {
    return true;  // the stored directory is ignored
  }
  std::string path = work_.Directory();
  if (!owner_.rootDir_.empty() && StartsWithNoCase(path, owner_.rootDir_)) {
    path.erase(0, owner_.rootDir_.size());
  }
  // An absolute stored path (leading separator or drive letter) lands under
  // DestDir; ".." may climb only inside what the entry itself descended.
  if (path.size() >= 2 && path[1] == ':') {
    path.erase(0, 2);
  }
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) {
      ++end;
    }
    std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (parts.empty()) {
        return false;
      }
      parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(std::move(part));
    }
    start = end + 1;
  }
  for (const std::string& part : parts) {
    folder += part;
    folder += separator;
  }
  if (!owner_.testOnly_ && !folder.empty() && !platform::DirectoryExists(folder)) {
    platform::ForceDirectories(folder);
  }
  return true;
}

ExtractionRun::Outcome ExtractionRun::ExtractEntry(int index, int& count) {
  work_ = owner_.Entry(index);
  compressedLeft_ = work_.compressedSize;
  const bool isFile = !work_.FileName().empty();

  if (isFile) {
    if (owner_.endCentral_.thisDisk != 0 && work_.diskNumberStart != owner_.currentDisk_) {
      owner_.OpenDisk(work_.diskNumberStart + 1);
    }
    owner_.zipStream_.Seek(work_.localHeaderOffset);
    std::array<uint8_t, 30> local{};
    const size_t got = owner_.zipStream_.Read(local.data(), local.size());
    const auto nameLength = static_cast<int64_t>(local[26] | (local[27] << 8U));
    const auto extraLength = static_cast<int64_t>(local[28] | (local[29] << 8U));
    owner_.zipStream_.Seek(work_.localHeaderOffset + static_cast<int64_t>(got) + nameLength +
                           extraLength);
  }

  std::string folder;
  if (!OutputFolder(folder) || work_.FileName() == "." || work_.FileName() == "..") {
    if (isFile) {
      Skip(TSkipReason::srUnsafePath, index, count);
    }
    return Outcome::kDone;
  }
  if (!isFile) {
    if (owner_.recreateDirs_ && owner_.OnStartUnZip) {
      bool skip = false;
      owner_.OnStartUnZip(owner_, index, folder, skip);
    }
    return Outcome::kDone;
  }
  std::string outPath = folder + work_.FileName();

  if (work_.Encrypted()) {
    const uint8_t check = (work_.flags & 8U) != 0
                              ? static_cast<uint8_t>((work_.dateTime >> 8U) & 0xFFU)
                              : static_cast<uint8_t>(work_.crc32 >> 24U);
    const int64_t headerPosition = owner_.zipStream_.Position();
    for (;;) {
      if (ReadEncryptionHeader(owner_.password_) == check) {
        break;
      }
      std::string newPassword = owner_.password_;
      if (owner_.OnBadPassword) {
        owner_.OnBadPassword(owner_, index, newPassword);
      }
      if (!owner_.OnBadPassword || newPassword == owner_.password_) {
        Skip(TSkipReason::srBadPassword, index, count);
        return Outcome::kDone;
      }
      owner_.password_ = newPassword;
      owner_.zipStream_.Seek(headerPosition);
      compressedLeft_ += 12;
    }
  }

  if (!owner_.testOnly_ && owner_.overwriteMode_ != TUZOverwriteMode::Always &&
      platform::FileExists(outPath)) {
    bool overwrite = false;
    if (owner_.overwriteMode_ == TUZOverwriteMode::Prompt) {
      if (owner_.OnPromptForOverwrite) {
        owner_.OnPromptForOverwrite(owner_, overwrite, index, outPath);
      } else if (owner_.ui_ != nullptr) {
        platform::MessageBoxRequest request;
        request.caption = "File Exists Alert";
        request.text = "Replace existing file " + work_.FileName() + "?";
        request.buttons = platform::MessageButtons::kYesNo;
        request.icon = platform::MessageIcon::kQuestion;
        request.defaultButton = platform::MessageAnswer::kYes;
        overwrite = owner_.ui_->ShowMessage(request) == platform::MessageAnswer::kYes;
      }
    }
    if (!overwrite) {
      Skip(TSkipReason::srNoOverwrite, index, count);
      return Outcome::kDone;
    }
  }

  if (!owner_.testOnly_) {
    // A read-only file is never replaced, as on Windows (also for root).
    const std::optional<uint32_t> attributes = platform::GetFileAttributes(outPath);
    if (attributes.has_value() && (*attributes & platform::kAttrReadOnly) != 0) {
      throw EFCreateError("Cannot create file " + outPath);
    }
    outFile_.emplace(platform::File::Open(outPath, platform::File::Mode::kCreate));
  }

  DecoderState::Entry entry;
  entry.compressedSize = compressedLeft_;
  entry.uncompressedSize = work_.uncompressedSize;
  entry.flags = work_.flags;
  entry.method = work_.compressionMethod;
  state_.Reset(entry);
  crc_ = 0xFFFFFFFF;
  written_ = 0;
  if (owner_.OnStartUnZip) {
    bool skip = false;
    owner_.OnStartUnZip(owner_, index, outPath, skip);
    if (skip) {
      outFile_.reset();
      return Outcome::kDone;
    }
  }

  try {
    Decode();
  } catch (const EBiggerThanUncompressed&) {
    // The entry completes; the CRC comparison decides.
  } catch (...) {
    // The run ends. The partial output is removed so that no truncated file
    // is left behind under the entry's name.
    if (outFile_.has_value()) {
      outFile_.reset();
      platform::DeleteFile(outPath);
    }
    throw;
  }

  if (outFile_.has_value()) {
    outFile_.reset();
    if (owner_.retainAttributes_) {
      // An entry made on a Unix host (APPNOTE 4.4.2: host 3) carries its
      // permission bits in the high half; elsewhere the DOS attributes.
      const uint32_t unixMode = work_.externalAttributes >> 16U;
      if ((work_.versionMadeBy >> 8U) == 3U && unixMode != 0) {
        platform::SetFileUnixMode(outPath, unixMode);
      } else {
        platform::SetFileAttributes(outPath, work_.externalAttributes);
      }
    }
    platform::SetFileDosDateTime(outPath, work_.dateTime);
  }

  const uint32_t computed = ~crc_;
  if (computed == work_.crc32) {
    if (owner_.OnEndUnZip) {
      owner_.OnEndUnZip(owner_, index, outPath);
    }
    return Outcome::kDone;
  }
  bool retry = false;
  if (work_.Encrypted()) {
    std::string newPassword = owner_.password_;
    if (owner_.OnBadPassword) {
      owner_.OnBadPassword(owner_, index, newPassword);
      if (newPassword != owner_.password_) {
        owner_.password_ = newPassword;
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
  if (!owner_.testOnly_) {
    platform::SetFileAttributes(outPath, 0);  // a read-only result can still go
    platform::DeleteFile(outPath);
  }
  if (retry) {
    return Outcome::kRetry;
  }
  --count;
  return Outcome::kDone;
}

void ExtractionRun::Decode() {
  const uint16_t method = work_.compressionMethod;
  if (method == 0) {
    CopyStored();
  } else if (method == 8) {
    InflateDeflated();
  } else if (const LegacyDecoder decoder = FindLegacyDecoder(method); decoder != nullptr) {
    decoder(state_);
  } else if (owner_.ui_ != nullptr) {
    platform::MessageBoxRequest request;
    request.caption = "Zip Error";
    request.text = "Unknown Compression Method";
    request.buttons = platform::MessageButtons::kOk;
    owner_.ui_->ShowMessage(request);
  }
}

}  // namespace lumivora::unzip
