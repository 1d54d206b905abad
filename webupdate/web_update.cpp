#include "webupdate/web_update.h"

#include <algorithm>
#include <limits>
#include <span>

#include "platform/file.h"
#include "platform/text.h"
#include "webupdate/check_log.h"

namespace lumivora::webupdate {
namespace {

constexpr const char* kPaidUpgradeText =
    "You are using version %s, but version %s is available \r\n"
    "for paid upgrade as the major version changed.\r\n"
    "Do you want to upgrade your application now ?";
constexpr const char* kCannotStartText = "Can not start \"%s\" !";

// A byte count as OnDownload passes it: 32-bit, a larger count shows as the
// largest one instead of wrapping.
int32_t EventCount(uint64_t count) {
  constexpr uint64_t kLargest = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(std::min(count, kLargest));
}

// Clears the busy flag on every way out of a check.
class BusyScope {
 public:
  explicit BusyScope(bool& busy) : busy_(busy) { busy_ = true; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;
  ~BusyScope() { busy_ = false; }

 private:
  bool& busy_;
};

}  // namespace

TWebUpdate::TWebUpdate(platform::UserInterface& ui, platform::SystemServices& system,
                       platform::HttpTransport& transport)
    : ui_(ui), system_(system), transport_(transport) {}

TWebUpdate::~TWebUpdate() {
  Cancel();
}

bool TWebUpdate::CheckForUpdate(const std::string& infoUrl) {
  if (busy_) {
    return false;
  }
  const BusyScope busy(busy_);
  redirectionUrl_.clear();
  refusal_ = {};
  release_.reset();
  patched_ = false;
  kept_ = {};
  DoBeforeGetInfo();
  GetInfo(infoUrl);
  if (notModified_) {
    return NothingNew();
  }
  // An offer that is not validly signed is never shown: no version is read.
  if (succeeded_ && !newVersion_.empty() && !AcceptOffer()) {
    newVersion_.clear();
  }
  DoAfterGetInfo();
  if (newVersion_.empty()) {
    DoDownloadError();
    succeeded_ = false;
  }
  if (!succeeded_) {
    return false;
  }
  bool canUpdate = CompareVersions();
  if (canUpdate && OnUpdateAvailable) {
    const std::string actual = actualVersion_;
    const std::string offered = newVersion_;
    OnUpdateAvailable(*this, actual, offered, canUpdate);
  }
  if (!canUpdate) {
    const bool settled =
        decision_ == VersionDecision::kNotNewer || decision_ == VersionDecision::kBadRelease;
    if (settled && !fetched_.Empty()) {
      kept_ = fetched_;
      kept_.installed = actualVersion_;
      kept_.expires = release_ && release_->expires ? *release_->expires : 0;
    }
    // A download kept for an offer that is not taken is worth nothing.
    if (!partialFolder_.empty()) {
      ClearPartialStore(partialFolder_);
    }
    return false;
  }
  if (!DownloadPatched()) {
    DownloadUpdate();
  }
  return succeeded_;
}

void TWebUpdate::GetInfo(const std::string& infoUrl) {
  newVersion_.clear();
  downloadUrl_.clear();
  mirrors_.clear();
  const std::string start = redirectionUrl_.empty() ? infoUrl : redirectionUrl_;
  // A kept partial is the download of an offer to be seen again.
  const InfoValidator condition =
      InfoCondition(condition_, start, actualVersion_, trust_,
                    !partialFolder_.empty() && PartialDownloadPresent(partialFolder_));
  if (!condition.Empty()) {
    platform::Log(log_, "information: asked on the validator of the last check (ETag " +
                            condition.etag + ", Last-Modified " + condition.lastModified + ")");
  }
  InfoFetch found = FetchInfo(
      [this](const TransferRequest& request) {
        newVersion_.clear();
        downloadUrl_.clear();
        return Transfer(request);
      },
      start, condition);
  notModified_ = found.notModified;
  fetched_ = found.validator;
  // The properties hold the last file read; a version only when the chain
  // ended at it. A chain that does not end (a file naming itself, a cycle)
  // gives no information, so the check fails with OnDownloadError.
  succeeded_ = found.transfer.Succeeded();
  platform::Log(log_, InfoLine(found));
  if (found.info) {
    infoText_ = TextLines(std::move(found.text));
    redirectionUrl_ = found.info->redirectionUrl;
    clientSideName_ = found.info->clientSideName;
    if (found.Complete()) {
      newVersion_ = found.info->version;
      downloadUrl_ = found.info->url;
      mirrors_ = found.info->mirrors;
    }
  }
}

bool TWebUpdate::NothingNew() {
  // The same file as the last verified one: what that check decided holds.
  // Its statement counts as fresh only while its kept expiry is ahead.
  kept_ = condition_;
  if (condition_.expires > trust_.now) {
    trust_.freshOfferSeen = trust_.now;
  }
  DoAfterGetInfo();
  DoNoUpdateFound();
  return false;
}

void TWebUpdate::ParseInfo() {
  UpdateInfo info = ReadUpdateInfo(infoText_.Text());
  redirectionUrl_ = std::move(info.redirectionUrl);
  newVersion_ = std::move(info.version);
  downloadUrl_ = std::move(info.url);
  clientSideName_ = std::move(info.clientSideName);
  mirrors_ = std::move(info.mirrors);
}

bool TWebUpdate::AcceptOffer() {
  const OfferVerdict verdict = VerifyOffer(trust_, infoText_.Text(), newVersion_);
  platform::Log(log_, VerdictLine(verdict, infoText_.Text()));
  if (!verdict.result.Ok()) {
    refusal_ = verdict.result;
    return false;
  }
  release_ = verdict.release;
  if (verdict.serial && *verdict.serial > trust_.recordedSerial) {
    trust_.recordedSerial = *verdict.serial;
  }
  if (verdict.release && verdict.release->expires) {
    trust_.freshOfferSeen = trust_.now;  // an unexpired statement: the vendor is still there
  }
  return true;
}

platform::Result TWebUpdate::DownloadProblem() const {
  // A pack made from a patch: the patch and the program it made were checked
  // against their signed sizes and SHA-256 digests.
  return patched_ ? platform::Result()
                  : webupdate::DownloadProblem(trust_.Enabled(), release_, download_);
}

bool TWebUpdate::CompareVersions() {
  const VersionDecision decision = DecideVersion(actualVersion_, newVersion_, badRelease_);
  decision_ = decision;
  platform::Log(log_, DecisionLine(actualVersion_, newVersion_, decision));
  switch (decision) {
    case VersionDecision::kFreeUpdate:
      return true;
    case VersionDecision::kPaidUpgrade:
      AskPaidUpgrade();
      return false;
    case VersionDecision::kNotNewer:
    case VersionDecision::kBadRelease:
      DoNoUpdateFound();
      return false;
  }
  return false;
}

void TWebUpdate::AskPaidUpgrade() {
  platform::MessageBoxRequest question;
  question.caption = "Upgrade";
  question.text = FormatText(
      kPaidUpgradeText, {platform::ShownText(actualVersion_), platform::ShownText(newVersion_)});
  question.icon = platform::MessageIcon::kQuestion;
  question.buttons = platform::MessageButtons::kOkCancel;
  question.defaultButton = platform::MessageAnswer::kOk;
  if (ui_.ShowMessage(question) != platform::MessageAnswer::kOk) {
    return;
  }
  if (system_.ShellOpen(upgradeUrl_)) {
    return;
  }
  platform::MessageBoxRequest error;
  error.caption = "ERROR";
  error.text = FormatText(kCannotStartText, {upgradeUrl_});
  error.icon = platform::MessageIcon::kError;
  error.buttons = platform::MessageButtons::kOk;
  error.defaultButton = platform::MessageAnswer::kOk;
  error.systemModal = true;
  ui_.ShowMessage(error);
}

TransferResult TWebUpdate::HttpGet(const TransferRequest& request) {
  TransferOutcome outcome = Transfer(request);
  if (outcome.result.Succeeded() && request.mode == TransferMode::kFetchToMemory) {
    infoText_ = TextLines(std::move(outcome.text));
  }
  return outcome.result;
}

TransferOutcome TWebUpdate::Transfer(const TransferRequest& request) {
  cancelled_ = false;
  const TransferContext context{transport_,
                                userName_,
                                password_,
                                limitsRule_,
                                &infoBudget_,
                                &cancelled_,
                                [this](const TransferOutcome& sofar) {
                                  TakeCounts(sofar);
                                  DoDownload();
                                  ui_.ProcessMessages();
                                }};
  TransferOutcome outcome;
  try {
    outcome = RunTransfer(context, request);
    TakeCounts(outcome);
    if (!outcome.refusal.Ok() && !moreAddresses_) {
      refusal_ = outcome.refusal;
    }
    lastTransfer_ = outcome.result;
    succeeded_ = lastTransfer_.Succeeded();
    if (lastTransfer_.status == TransferStatus::kFailed) {
      DoDownloadError();
    }
  } catch (const std::exception& error) {
    // An error out of an event handler ends the transfer and goes no further.
    lastTransfer_ = {TransferStatus::kAbandoned, error.what()};
  } catch (...) {
    lastTransfer_ = {TransferStatus::kAbandoned, "unknown error"};
  }
  if (!lastTransfer_.Succeeded()) {
    succeeded_ = false;
    outcome.result = lastTransfer_;
    outcome.text.clear();
  }
  return outcome;
}

void TWebUpdate::TakeCounts(const TransferOutcome& outcome) {
  // A resumed download counts the bytes it already had.
  if (outcome.announced) {
    totalSize_ = static_cast<int64_t>(outcome.offset + *outcome.announced);
  }
  if (outcome.bodyRead) {
    downloadedSize_ = outcome.offset + outcome.received;
    bytesRead_ = outcome.lastRead;
  }
}

UrlParts TWebUpdate::ParseURL(const std::string& url) {
  return SplitUrl(url);
}

void TWebUpdate::DoDownload() {
  if (OnDownload) {
    OnDownload(*this, EventCount(static_cast<uint64_t>(totalSize_)), EventCount(downloadedSize_));
  }
}

void TWebUpdate::DoDownloadError() {
  if (OnDownloadError) {
    OnDownloadError(*this);
  }
}

void TWebUpdate::DoBeforeDownload(const std::string& fileName) {
  if (OnBeforeDownload) {
    OnBeforeDownload(*this, fileName);
  }
}

void TWebUpdate::DoAfterDownload(const std::string& fileName) {
  if (OnAfterDownload) {
    OnAfterDownload(*this, fileName);
  }
}

void TWebUpdate::DoNoUpdateFound() {
  if (OnNoUpdateFound) {
    OnNoUpdateFound(*this);
  }
}

void TWebUpdate::DoAfterGetInfo() {
  if (OnAfterGetInfo) {
    OnAfterGetInfo(*this);
  }
}

void TWebUpdate::DoBeforeGetInfo() {
  if (OnBeforeGetInfo) {
    OnBeforeGetInfo(*this);
  }
}

void TWebUpdate::DoCannotExecute() {
  if (OnCannotExecute) {
    OnCannotExecute(*this);
  }
}

}  // namespace lumivora::webupdate
