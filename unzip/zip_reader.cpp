// The core's one call: the archive with the defaults of a new TUnZip (an
// archive without an end record is incomplete, numbered disk names, physical
// order), the lookup by name, and each entry's steps without events.
#include "unzip/zip_reader.h"

#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/ui.h"
#include "unzip/entry_selection.h"
#include "unzip/zip_archive.h"

namespace lumivora::unzip {

namespace {

class DefaultOwner final : public ArchiveOwner, public EntryProgress {
 public:
  DefaultOwner(platform::UserInterface* ui, bool processMessages)
      : ui_(ui), processMessages_(processMessages) {}
  TIncompleteZipMode IncompleteMode() override { return TIncompleteZipMode::izAssumeMulti; }
  [[nodiscard]] bool KeepOpen() const override { return false; }
  [[nodiscard]] bool ProcessMessages() const override { return processMessages_; }
  [[nodiscard]] TZipSortMode SortMode() const override { return TZipSortMode::ByNone; }
  [[nodiscard]] bool NamesDisks() const override { return true; }
  void NameDisk(int disk, std::string& name) override { NumberedDiskName(disk, name); }
  void BlockStored(size_t /*size*/) override {}
  void ProcessMessages() override {
    if (ui_ != nullptr) {
      ui_->ProcessMessages();
    }
  }

 private:
  platform::UserInterface* ui_;
  bool processMessages_;
};

// The error being handled, as a result of KIND.
void TakeError(EntryResult& result, EntryStatus kind, const Exception& error) {
  result.status = kind;
  result.message = error.Message();
  result.error = std::current_exception();
}

// Whether the output path of ENTRY in FOLDER is one to refuse (a name the
// system cannot hold, or the archive itself).
bool UnsafeOutput(const TZipHeaderInfo& entry, const std::string& folder,
                  const ZipArchive& archive) {
  const std::string& archiveName = archive.Name();
  const std::string path = folder + entry.FileName();
  if (entry.FileName() == "." || entry.FileName() == ".." ||
      entry.FileName().size() > platform::MaxNameLength() ||
      path.size() > platform::MaxPathLength()) {
    return true;
  }
  return platform::FileExists(path) && !platform::IsSymbolicLink(path) &&
         platform::SameFile(path, archiveName);
}

// One entry's steps, in TUnZip's order; raises the archive's and the output's errors.
void ExtractOne(EntryExtractor& extractor, ZipArchive& archive, int index,
                const ExtractRequest& request, const std::string& folder) {
  const TZipHeaderInfo& entry = archive.Entry(index);
  if (!extractor.Begin(entry)) {
    return;  // kBadEntry
  }
  if (!request.destFolder.empty() && UnsafeOutput(entry, folder, archive)) {
    extractor.Refuse(EntryStatus::kUnsafePath);
  } else if (!CanDecode(entry.compressionMethod)) {
    extractor.Refuse(EntryStatus::kUnsupportedMethod);
  } else if (!extractor.CheckPassword(request.password)) {
    return;  // kWrongPassword
  } else if (request.requireEncryption && !entry.Encrypted()) {
    extractor.Refuse(EntryStatus::kNotEncrypted);
  } else {
    if (!request.destFolder.empty()) {
      extractor.OpenOutput(folder + entry.FileName());
    }
    extractor.Decode();
    extractor.Finish(request.retainAttributes);
  }
}

}  // namespace

EntryResult ExtractEntry(const EntryName& which, const ExtractRequest& request,
                         platform::UserInterface* ui) {
  DefaultOwner owner(ui, request.processMessages);
  ZipArchive archive(owner, ui);
  EntryResult result;
  std::vector<int> found;
  std::string folder;
  try {
    archive.SetName(which.archive);
    archive.Open();
    if (!request.destFolder.empty()) {
      if (!platform::DirectoryExists(request.destFolder)) {
        platform::ForceDirectories(request.destFolder);
      }
      folder = request.destFolder;
      if (folder.back() != platform::PathSeparator() && folder.back() != '/' &&
          folder.back() != '\\') {
        folder.push_back(platform::PathSeparator());
      }
    }
    found = LocateEntries(archive, which.name);
  } catch (const Exception& error) {
    TakeError(result, EntryStatus::kArchiveError, error);
    return result;
  }
  result.matches = static_cast<int>(found.size());
  if (found.empty() || (request.uniqueName && found.size() != 1)) {
    return result;
  }
  EntryExtractor extractor(archive, &owner, request.processMessages, request.keptHead);
  for (const int index : found) {
    try {
      ExtractOne(extractor, archive, index, request, folder);
      result = extractor.Result();
    } catch (const EFCreateError& error) {
      result = extractor.Result();
      TakeError(result, EntryStatus::kWriteError, error);
    } catch (const EWriteError& error) {
      result = extractor.Result();
      TakeError(result, EntryStatus::kWriteError, error);
    } catch (const Exception& error) {
      result = extractor.Result();
      TakeError(result, EntryStatus::kReadError, error);
    }
    result.matches = static_cast<int>(found.size());
    if (result.Whole() || result.error) {
      break;
    }
  }
  return result;
}

}  // namespace lumivora::unzip
