#include "webupdate/patch_update.h"

#include <algorithm>
#include <chrono>

#include "platform/file.h"
#include "webupdate/info_file.h"
#include "webupdate/offer.h"
#include "webupdate/web_update.h"

namespace lumivora::webupdate {
namespace {

std::string FolderOf(const std::string& path) {
  const size_t separator = path.find_last_of("/\\");
  return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

}  // namespace

std::optional<PatchOffer> PatchFrom(const ReleaseStatement& release, const std::string& installed) {
  const auto found = std::find_if(
      release.patches.begin(), release.patches.end(),
      [&installed](const PatchOffer& patch) { return patch.fromVersion == installed; });
  return found == release.patches.end() ? std::nullopt : std::optional<PatchOffer>(*found);
}

ReleaseStatement PatchStatement(const ReleaseStatement& release, const PatchOffer& patch) {
  ReleaseStatement statement = release;
  statement.size = patch.size;
  statement.sha256 = patch.sha256;
  return statement;
}

std::string TWebUpdate::PatchFileName(const PatchOffer& patch, std::string& packFile) {
  packFile = DefaultClientFileName();
  if (OnGetClientFileName) {
    OnGetClientFileName(*this, packFile);
  }
  if (SafeFileNamePart(packFile).empty()) {
    return {};
  }
  const std::string name = SafeFileNamePart(patch.address);
  return name.empty() || FolderOf(packFile) + name == packFile ? packFile + ".patch"
                                                               : FolderOf(packFile) + name;
}

bool TWebUpdate::FetchPatch(const PatchOffer& patch, const std::string& patchFile,
                            PartialStore* kept) {
  AddressedDownload attempt;
  attempt.fileName = patchFile;
  attempt.trusted = true;
  attempt.release = PatchStatement(*release_, patch);
  if (kept != nullptr) {
    attempt.resume = kept->Point();
    attempt.record = [kept](const ResumePoint& point) { kept->Record(point); };
  }
  attempt.before = [this, &patch, &patchFile](size_t /*attempt*/, bool /*last*/) {
    const std::optional<int64_t> have = platform::FileSize(patchFile);
    platform::Log(log_, "delta: patch from version " + patch.fromVersion + ", " +
                            platform::WithoutCredentials(patch.address) +
                            (have && *have > 0 ? ", going on from byte " + std::to_string(*have)
                                               : std::string()));
    moreAddresses_ = true;  // a refused patch is the full pack's business, not the user's
    DoBeforeDownload(patchFile);
  };
  attempt.after = [this, &patchFile](size_t /*attempt*/, bool /*last*/) {
    moreAddresses_ = false;
    DoAfterDownload(patchFile);
  };
  attempt.pause = [this](std::chrono::milliseconds wait) { return Pause(wait); };
  const DownloadResult got =
      DownloadFromAddresses([this](const TransferRequest& request) { return Transfer(request); },
                            {patch.address}, attempt);
  const platform::Result problem = webupdate::DownloadProblem(true, attempt.release, got);
  if (!got.transfer.Succeeded() || !problem.Ok()) {
    platform::Log(log_, "delta: the patch did not arrive: " +
                            (got.transfer.Succeeded() ? problem.Reason() : got.transfer.reason));
    return false;
  }
  return true;
}

bool TWebUpdate::DownloadPatched() {
  patched_ = false;
  succeeded_ = false;
  const std::optional<PatchOffer> patch =
      patchBuilder_ && release_ ? PatchFrom(*release_, actualVersion_) : std::nullopt;
  if (!patch) {
    if (release_ && !release_->patches.empty()) {
      platform::Log(log_, "delta: no patch from version " + actualVersion_);
    }
    return false;
  }
  std::string packFile;
  std::string patchFile = PatchFileName(*patch, packFile);
  if (patchFile.empty()) {
    return false;
  }
  // The patch is kept across starts as a pack download is: a start ended
  // during its download goes on from there.
  partial_.reset();
  const std::unique_ptr<PartialStore> kept =
      partialFolder_.empty() ? nullptr
                             : PartialStore::Open(partialFolder_, PatchStatement(*release_, *patch),
                                                  SafeFileNamePart(patchFile));
  if (kept) {
    patchFile = kept->FilePath();
  }
  const auto discard = [&kept, &patchFile] {
    if (kept) {
      kept->Discard();
    } else {
      platform::DeleteFile(patchFile);
    }
  };
  // Held to the end of the delta update; released before a whole pack's download.
  const std::shared_ptr<void> prepared = patchPreparer_ ? patchPreparer_(packFile) : nullptr;
  if (!FetchPatch(*patch, patchFile, kept.get())) {
    if (!kept || !cancelled_) {
      discard();  // a cancelled download stays for the next start
    }
    return cancelled_;  // a cancelled download ends the check: no full pack either
  }
  const PatchedPack request{patchFile,
                            newVersion_,
                            release_->programSize,
                            release_->programSha256,
                            packFile,
                            [this](uint64_t made, uint64_t total) {
                              // The bar runs again over the program being made.
                              totalSize_ = static_cast<int64_t>(total);
                              downloadedSize_ = made;
                              DoDownload();
                              ui_.ProcessMessages();
                              return !cancelled_;
                            }};
  const auto start = std::chrono::steady_clock::now();
  const platform::Result built = patchBuilder_(request);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  discard();
  if (!built.Ok()) {
    platform::Log(log_, "delta: no pack made from the patch: " + built.Reason());
    platform::DeleteFile(packFile);
    return cancelled_;
  }
  const std::optional<int64_t> size = platform::FileSize(packFile);
  platform::Log(log_, "delta: version " + newVersion_ + " made from version " + actualVersion_ +
                          " and a patch of " + std::to_string(patch->size) + " bytes in " +
                          std::to_string(took.count()) + " ms");
  clientFileName_ = packFile;
  downloadedSize_ = size ? static_cast<uint64_t>(*size) : 0;
  patched_ = true;
  succeeded_ = true;
  return true;
}

}  // namespace lumivora::webupdate
