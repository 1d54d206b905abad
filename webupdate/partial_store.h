// The partial download of a signed release, kept across starts in the
// per-user data folder (a temporary folder may be emptied by a reboot): the
// bytes received so far, and beside them a small record that ties them to
// the release's signed size and SHA-256 and keeps the validator (ETag or
// Last-Modified) the server gave them, so that the next start asks for the
// rest only while the file is unchanged.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/file.h"
#include "webupdate/release_signature.h"

namespace lumivora::webupdate {

// Where a download goes on from: the bytes of the file so far and the
// validator of the response they came with.
struct ResumePoint {
  uint64_t have = 0;
  std::string validator;
};

// The folder "<data folder>/<product>-download", for the user only, holding
// at most one partial file, its record and the lock of the start that uses
// them.
class PartialStore {
 public:
  PartialStore(const PartialStore&) = delete;
  PartialStore& operator=(const PartialStore&) = delete;
  ~PartialStore();

  // Opens the store of DATAFOLDER for RELEASE downloaded under NAME: what it
  // holds is kept when it is a partial of that release (same signed size and
  // SHA-256, same name, no larger than the size) and deleted otherwise. Null
  // when another start holds the store, when NAME is one of the store's own
  // files, or when the folder cannot be made.
  static std::unique_ptr<PartialStore> Open(const std::string& dataFolder,
                                            const ReleaseStatement& release,
                                            const std::string& name);

  [[nodiscard]] const std::string& FilePath() const { return filePath_; }
  // The partial's size on disk and its recorded validator.
  [[nodiscard]] ResumePoint Point() const;
  // Records POINT's validator for the release: a new file, flushed, renamed
  // over the record (a start killed meanwhile leaves the old record whole).
  void Record(const ResumePoint& point) const;
  // Deletes the partial and its record.
  void Discard() const;

 private:
  PartialStore(std::string folder, const ReleaseStatement& release, const std::string& name,
               std::unique_ptr<platform::FileLock> lock);

  std::string folder_;
  std::string filePath_;
  std::string recordPath_;
  ReleaseStatement release_;
  std::string name_;
  std::string validator_;
  std::unique_ptr<platform::FileLock> lock_;
};

// The store's folder in DATAFOLDER.
std::string PartialFolder(const std::string& dataFolder);
// Whether DATAFOLDER holds a partial download with its record: the start
// checks for the update however the schedule stands.
bool PartialDownloadPresent(const std::string& dataFolder);
// Empties the store of DATAFOLDER unless a running start holds it: the offer
// it was kept for is no longer wanted (not newer than the installed version,
// or declined).
void ClearPartialStore(const std::string& dataFolder);
// Removes what killed starts left in the store (a half-written record, a
// file its record does not name) unless a running start holds it; the
// partial its record names stays. Call it under the launchers' lock.
void SweepPartialStore(const std::string& dataFolder);

}  // namespace lumivora::webupdate
