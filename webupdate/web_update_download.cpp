// TWebUpdate's download of the offered file: the local file it goes to (the
// kept partial of a signed release, or the file OnGetClientFileName names),
// the download over the offered addresses with its events, the pause before
// a retry, and the kept partial's end.
#include <algorithm>
#include <thread>

#include "platform/file.h"
#include "platform/text.h"
#include "webupdate/web_update.h"

namespace lumivora::webupdate {
namespace {

// The log's note of the bytes a download goes on from.
std::string ResumedFrom(std::optional<int64_t> have) {
  return have && *have > 0 ? ", going on from byte " + std::to_string(*have) : std::string();
}

}  // namespace

bool TWebUpdate::ChooseClientFile() {
  partial_.reset();
  if (!partialFolder_.empty() && release_) {
    partial_ = PartialStore::Open(partialFolder_, *release_, SafeFileNamePart(clientSideName_));
  }
  if (partial_) {
    clientFileName_ = partial_->FilePath();
    return true;
  }
  clientFileName_ = DefaultClientFileName();
  if (OnGetClientFileName) {
    OnGetClientFileName(*this, clientFileName_);
  }
  // The name comes from the server: without a usable file name there is
  // nothing safe to write to.
  if (SafeFileNamePart(clientFileName_).empty()) {
    DoDownloadError();
    return false;
  }
  if (platform::FileExists(clientFileName_)) {
    bool overwrite = options_.Contains(uoOverwrite);
    if (OnClientFileExists) {
      OnClientFileExists(*this, clientFileName_, overwrite);
    }
    if (!overwrite) {
      DoDownloadError();
      return false;
    }
  }
  return true;
}

void TWebUpdate::DownloadUpdate() {
  succeeded_ = false;
  if (!ChooseClientFile()) {
    return;
  }
  AddressedDownload attempts;
  attempts.fileName = clientFileName_;
  attempts.trusted = trust_.Enabled();
  attempts.release = release_;
  const std::vector<std::string> addresses = DownloadAddresses(downloadUrl_, mirrors_);
  attempts.before = [this, &addresses](size_t attempt, bool last) {
    platform::Log(log_, "download: address " + std::to_string(attempt + 1) + " of " +
                            std::to_string(addresses.size()) + ", " +
                            platform::WithoutCredentials(addresses.at(attempt)) +
                            ResumedFrom(platform::FileSize(clientFileName_)));
    moreAddresses_ = !last;
    if (attempt > 0) {
      // Each address is a download of its own: its counts start afresh.
      totalSize_ = 0;
      downloadedSize_ = 0;
      bytesRead_ = 0;
    }
    DoBeforeDownload(clientFileName_);
  };
  attempts.after = [this](size_t /*attempt*/, bool /*last*/) {
    platform::Log(log_,
                  "download: " + std::to_string(downloadedSize_) + " bytes, " +
                      (lastTransfer_.Succeeded() ? "complete" : "failed: " + lastTransfer_.reason));
    moreAddresses_ = false;
    DoAfterDownload(clientFileName_);
  };
  if (partial_) {
    attempts.resume = partial_->Point();
    attempts.record = [this](const ResumePoint& point) { partial_->Record(point); };
  }
  attempts.pause = [this](std::chrono::milliseconds wait) { return Pause(wait); };
  moreAddresses_ = false;
  download_ = DownloadFromAddresses(
      [this](const TransferRequest& request) { return Transfer(request); }, addresses, attempts);
  moreAddresses_ = false;
  // A kept partial that was already whole took no transfer.
  succeeded_ = download_.transfer.Succeeded();
  if (download_.digest) {
    downloadedSize_ = download_.digest->first;
  }
  if (const platform::Result problem = DownloadProblem(); succeeded_ && !problem.Ok()) {
    platform::Log(log_, "download refused: " + problem.Reason());
  }
}

void TWebUpdate::DiscardPartial() {
  if (partial_) {
    partial_->Discard();
  }
}

bool TWebUpdate::Pause(std::chrono::milliseconds wait) {
  if (retryPause_) {
    return retryPause_(wait) && !cancelled_;
  }
  constexpr std::chrono::milliseconds kSlice{50};
  const auto until = std::chrono::steady_clock::now() + wait;
  while (!cancelled_) {
    ui_.ProcessMessages();
    const auto now = std::chrono::steady_clock::now();
    if (now >= until || cancelled_) {
      break;
    }
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(until - now, kSlice));
  }
  return !cancelled_;
}

std::string TWebUpdate::DefaultClientFileName() {
  const std::string name = SafeFileNamePart(clientSideName_);
  if (name.empty()) {
    return {};
  }
  const char separator = platform::PathSeparator();
  std::string folder;
  if (!targetFolder_.empty() && platform::DirectoryExists(targetFolder_)) {
    folder = targetFolder_;
  } else {
    folder = system_.TempFolder();
    if (folder.empty()) {
      return {};
    }
  }
  if (folder.back() != separator) {
    folder += separator;
  }
  return folder + name;
}

}  // namespace lumivora::webupdate
