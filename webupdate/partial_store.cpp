#include "webupdate/partial_store.h"

#include <array>
#include <set>

#include "platform/exception.h"
#include "platform/product.h"
#include "webupdate/info_file.h"

namespace lumivora::webupdate {
namespace {

constexpr char kSection[] = "Partial";

std::string InFolder(const std::string& folder, const std::string& name) {
  return folder + platform::PathSeparator() + name;
}

std::string LockName() {
  return platform::ProductName() + ".lock";
}

std::string RecordName() {
  return platform::ProductName() + ".resume";
}

std::string ReadText(const std::string& path) {
  std::string text;
  try {
    platform::File file = platform::File::Open(path, platform::File::Mode::kRead);
    std::array<char, 4096> buffer{};
    for (size_t n = file.Read(buffer.data(), buffer.size()); n != 0;
         n = file.Read(buffer.data(), buffer.size())) {
      text.append(buffer.data(), n);
      if (text.size() > buffer.size() * 4) {
        return {};  // not a record of ours
      }
    }
  } catch (const Exception&) {
    return {};
  }
  return text;
}

std::string Value(const std::string& record, const char* name) {
  return ReadIniValue(record, {kSection, name});
}

// The record's lines for RELEASE under NAME with VALIDATOR.
std::string RecordText(const ReleaseStatement& release, const std::string& name,
                       const std::string& validator) {
  return std::string("[") + kSection + "]\r\nSize=" + std::to_string(release.size) +
         "\r\nSHA256=" + HexText(release.sha256) + "\r\nName=" + name +
         "\r\nValidator=" + validator + "\r\n";
}

// Every file of FOLDER but the names in KEEP.
void DeleteAllBut(const std::string& folder, const std::set<std::string>& keep) {
  for (const std::string& name : platform::ListFolder(folder, "")) {
    const std::string path = InFolder(folder, name);
    if (keep.count(name) == 0 && !platform::DirectoryExists(path)) {
      platform::DeleteFile(path);
    }
  }
}

}  // namespace

std::string PartialFolder(const std::string& dataFolder) {
  return InFolder(dataFolder, platform::ProductName() + "-download");
}

PartialStore::PartialStore(std::string folder, const ReleaseStatement& release,
                           const std::string& name, std::unique_ptr<platform::FileLock> lock)
    : folder_(std::move(folder)),
      filePath_(InFolder(folder_, name)),
      recordPath_(InFolder(folder_, RecordName())),
      release_(release),
      name_(name),
      lock_(std::move(lock)) {}

PartialStore::~PartialStore() = default;

std::unique_ptr<PartialStore> PartialStore::Open(const std::string& dataFolder,
                                                 const ReleaseStatement& release,
                                                 const std::string& name) {
  const std::string folder = PartialFolder(dataFolder);
  if (dataFolder.empty() || name.empty() || name == LockName() ||
      name.rfind(RecordName(), 0) == 0) {
    return nullptr;
  }
  if (!platform::DirectoryExists(folder) && !platform::CreateDirectory(folder)) {
    return nullptr;
  }
  platform::SetFileUnixMode(folder, 0700);  // the user's own, like the data folder
  std::unique_ptr<platform::FileLock> lock =
      platform::FileLock::TryAcquire(InFolder(folder, LockName()));
  if (lock == nullptr || platform::IsSymbolicLink(folder)) {
    return nullptr;
  }
  std::unique_ptr<PartialStore> store(new PartialStore(folder, release, name, std::move(lock)));
  const std::string record = ReadText(store->recordPath_);
  const std::optional<int64_t> size = platform::FileSize(store->filePath_);
  const bool same =
      Value(record, "Size") == std::to_string(release.size) &&
      Value(record, "SHA256") == HexText(release.sha256) && Value(record, "Name") == name && size &&
      static_cast<uint64_t>(*size) <= release.size && !platform::IsSymbolicLink(store->filePath_);
  if (same) {
    store->validator_ = Value(record, "Validator");
  }
  // A partial of another release (or of none) is worth nothing.
  DeleteAllBut(folder, same ? std::set<std::string>{LockName(), RecordName(), name}
                            : std::set<std::string>{LockName()});
  return store;
}

ResumePoint PartialStore::Point() const {
  const std::optional<int64_t> size = platform::FileSize(filePath_);
  return {size ? static_cast<uint64_t>(*size) : 0, size ? validator_ : std::string()};
}

void PartialStore::Record(const ResumePoint& point) const {
  const std::string text = RecordText(release_, name_, point.validator);
  platform::PartialFile written;
  try {
    platform::File file = platform::File::CreateUnique(recordPath_ + ".new-");
    written.path = file.Path();
    file.Write(text.data(), text.size());
    if (!file.Flush()) {
      return;
    }
    file.Close();
  } catch (const Exception&) {
    return;  // without a record the partial is not resumed by a later start
  }
  if (platform::ReplaceFile(written.path, recordPath_)) {
    written.path.clear();
    platform::FlushFolder(folder_);
  }
}

void PartialStore::Discard() const {
  platform::DeleteFile(recordPath_);
  platform::DeleteFile(filePath_);
}

bool PartialDownloadPresent(const std::string& dataFolder) {
  const std::string folder = PartialFolder(dataFolder);
  const std::string record = ReadText(InFolder(folder, RecordName()));
  const std::string name = SafeFileNamePart(Value(record, "Name"));
  return !name.empty() && platform::FileExists(InFolder(folder, name));
}

namespace {

// Deletes the files of DATAFOLDER's store, but the partial its record names
// when KEEPNAMED, unless a running start holds it.
void EmptyStore(const std::string& dataFolder, bool keepNamed) {
  const std::string folder = PartialFolder(dataFolder);
  if (!platform::DirectoryExists(folder) || platform::IsSymbolicLink(folder)) {
    return;
  }
  const std::unique_ptr<platform::FileLock> lock =
      platform::FileLock::TryAcquire(InFolder(folder, LockName()));
  if (lock == nullptr) {
    return;  // a running start downloads into it
  }
  const std::string record = ReadText(InFolder(folder, RecordName()));
  const std::string name = keepNamed ? SafeFileNamePart(Value(record, "Name")) : std::string();
  DeleteAllBut(folder, name.empty() ? std::set<std::string>{LockName()}
                                    : std::set<std::string>{LockName(), RecordName(), name});
}

}  // namespace

void ClearPartialStore(const std::string& dataFolder) {
  EmptyStore(dataFolder, false);
}

void SweepPartialStore(const std::string& dataFolder) {
  EmptyStore(dataFolder, true);
}

}  // namespace lumivora::webupdate
