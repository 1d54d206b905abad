// TWebUpdate: the non-visual update component. One CheckForUpdate fetches
// the update information file, decides whether the offered version is a free
// update, asks its owner through OnUpdateAvailable, chooses the local file
// name and downloads the new file with progress, reporting every step through
// its events. Putting the downloaded file to use is the owner's work.
//
// Everything runs on the caller's thread; the transfer processes pending
// user-interface messages after every block so that a Cancel button works.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/diagnostic_log.h"
#include "platform/http.h"
#include "platform/system.h"
#include "platform/ui.h"
#include "webupdate/info_file.h"
#include "webupdate/offer.h"
#include "webupdate/partial_store.h"
#include "webupdate/patch_update.h"
#include "webupdate/release_signature.h"
#include "webupdate/transfer.h"

namespace lumivora::webupdate {

enum TUpdateOption : uint8_t {
  uoRunUpdate = 0,  // stored with the owner's layout; no operation consults it
  uoTerminate = 1,  // stored with the owner's layout; no operation consults it
  uoOverwrite = 2,  // an existing local file may be replaced by the download
};

// A set of TUpdateOption held in one byte.
class TUpdateOptions {
 public:
  constexpr TUpdateOptions() = default;
  constexpr TUpdateOptions(std::initializer_list<TUpdateOption> options) {
    for (const TUpdateOption option : options) {
      bits_ = static_cast<uint8_t>(bits_ | Bit(option));
    }
  }
  [[nodiscard]] constexpr bool Contains(TUpdateOption option) const {
    return (bits_ & Bit(option)) != 0;
  }
  [[nodiscard]] constexpr uint8_t Bits() const { return bits_; }
  constexpr bool operator==(const TUpdateOptions&) const = default;

 private:
  static constexpr uint8_t Bit(TUpdateOption option) {
    return static_cast<uint8_t>(1U << static_cast<unsigned>(option));
  }
  uint8_t bits_ = 0;
};

class TWebUpdate;

using TNotifyEvent = std::function<void(TWebUpdate& sender)>;
using TDownloadEvent = std::function<void(TWebUpdate& sender, int32_t total, int32_t downloaded)>;
using TGetClientFileNameEvent = std::function<void(TWebUpdate& sender, std::string& fileName)>;
using TDownloadFileEvent = std::function<void(TWebUpdate& sender, const std::string& fileName)>;
using TClientFileExistsEvent =
    std::function<void(TWebUpdate& sender, std::string& fileName, bool& overwrite)>;
using TUpdateAvailableEvent =
    std::function<void(TWebUpdate& sender, const std::string& actualVersion,
                       const std::string& newVersion, bool& canUpdate)>;

class TWebUpdate {
 public:
  // The component works through the owner's user interface (message boxes,
  // processing of pending messages), the system services (temporary folder,
  // shell open) and the HTTP transport; all three outlive it.
  TWebUpdate(platform::UserInterface& ui, platform::SystemServices& system,
             platform::HttpTransport& transport);
  TWebUpdate(const TWebUpdate&) = delete;
  TWebUpdate& operator=(const TWebUpdate&) = delete;
  virtual ~TWebUpdate();

  // One update check against the information file at INFOURL. True when a
  // newer file was downloaded completely to ClientFileName(). A check started
  // while another runs returns false at once and fires nothing.
  bool CheckForUpdate(const std::string& infoUrl);
  // Stop request for the running transfer, noticed at its next check point.
  void Cancel() { cancelled_ = true; }

  // Set by the owner before a check.
  void SetActualVersion(std::string value) { actualVersion_ = std::move(value); }
  void SetUpgradeURL(std::string value) { upgradeUrl_ = std::move(value); }
  void SetOptions(TUpdateOptions value) { options_ = value; }
  void SetUserName(std::string value) { userName_ = std::move(value); }
  void SetPassword(std::string value) { password_ = std::move(value); }
  void SetTargetFolder(std::string value) { targetFolder_ = std::move(value); }
  // When the check's own transfers (the information file, the download) are
  // given up; DefaultTransferLimits unless set.
  void SetTransferLimits(TransferLimitsRule value) { limitsRule_ = value; }
  // The time all fetches of information files may take together
  // (redirections and further checks included), however slowly each one
  // arrives; each fetch uses up what it took. No limit unless set.
  void SetInfoBudget(std::optional<std::chrono::milliseconds> value) { infoBudget_ = value; }
  // The release recorded as bad (empty: none): an offer of it is no update.
  void SetBadRelease(std::string value) { badRelease_ = std::move(value); }
  // The per-user data folder where a download of a signed release is kept
  // when it does not complete, so that a later check goes on from it
  // (PartialStore): the download then goes to that kept file, without
  // OnGetClientFileName. Empty: downloads start afresh.
  void SetPartialFolder(std::string value) { partialFolder_ = std::move(value); }
  // The wait before a cut download is retried at the same address; false
  // when it was cancelled. Unless set, the component waits processing
  // pending messages, and a Cancel ends the wait.
  void SetRetryPause(std::function<bool(std::chrono::milliseconds wait)> value) {
    retryPause_ = std::move(value);
  }
  // How the owner makes the new pack from the installed one and a patch of
  // the offer from ActualVersion (patch_update.h); with it, such a patch is
  // downloaded instead of the pack, and any failure of that way falls back to
  // the pack's download. None unless set.
  void SetPatchBuilder(PatchBuilder value) { patchBuilder_ = std::move(value); }
  void SetPatchPreparer(PatchPreparer value) { patchPreparer_ = std::move(value); }
  // Deletes the kept download of the last check and its record (after it
  // was installed, or refused).
  void DiscardPartial();
  // The validators of an earlier information file that offered nothing to
  // install: a check asks its first address on them (a 304 answer is no
  // update, with nothing downloaded), unless it is another address, the
  // installed version changed, a kept partial download exists, or the
  // statement's expiry is within a day or passed (InfoCondition).
  void SetInfoValidator(InfoValidator value) { condition_ = std::move(value); }
  // What the last check leaves for the next: its file's validators when its
  // statement verified and its version was not newer or the bad release (or
  // the same as before after a 304); else none, so that an offer declined,
  // refused or not installed is fetched in full next time.
  [[nodiscard]] const InfoValidator& KeptValidator() const { return kept_; }
  // Whether the last check's information file was not modified (304).
  [[nodiscard]] bool NotModified() const { return notModified_; }
  // Where the check's steps are logged (the statement's verdict, the version
  // decision, each download attempt); none unless set.
  void SetLog(platform::LogSink value) { log_ = std::move(value); }

  [[nodiscard]] const std::string& ActualVersion() const { return actualVersion_; }
  [[nodiscard]] const std::string& UpgradeURL() const { return upgradeUrl_; }
  [[nodiscard]] TUpdateOptions Options() const { return options_; }
  [[nodiscard]] const std::string& UserName() const { return userName_; }
  [[nodiscard]] const std::string& Password() const { return password_; }
  [[nodiscard]] const std::string& TargetFolder() const { return targetFolder_; }

  // Signed releases: the keys and product a check trusts. Without root keys
  // an offer is taken unsigned; with them, an offer that is not validly
  // signed ends the check with OnDownloadError and Refusal(). The
  // recorded serial rises when a certificate with a higher one is accepted.
  void SetReleaseTrust(ReleaseTrust value) { trust_ = std::move(value); }
  [[nodiscard]] const ReleaseTrust& Trust() const { return trust_; }
  // A failure when the last check refused the offer, with the reason.
  [[nodiscard]] const platform::Result& Refusal() const { return refusal_; }
  // Whether the downloaded file is the signed release (size and SHA-256
  // computed while it was written), and why not; success when nothing is
  // trusted.
  [[nodiscard]] platform::Result DownloadProblem() const;

  // Results of the last check and transfer.
  [[nodiscard]] bool Busy() const { return busy_; }
  [[nodiscard]] bool Cancelled() const { return cancelled_; }
  [[nodiscard]] const std::string& ClientFileName() const { return clientFileName_; }
  // The information file last fetched, read as its lines.
  [[nodiscard]] const TextLines& InfoText() const { return infoText_; }
  [[nodiscard]] const std::string& NewVersion() const { return newVersion_; }
  [[nodiscard]] const std::string& DownloadURL() const { return downloadUrl_; }
  // Further addresses of the same file ("URL2" to "URL9"), tried in order
  // when the download from DownloadURL fails or is not the signed release.
  [[nodiscard]] const std::vector<std::string>& Mirrors() const { return mirrors_; }
  [[nodiscard]] const std::string& ClientSideName() const { return clientSideName_; }
  [[nodiscard]] const std::string& RedirectionURL() const { return redirectionUrl_; }
  [[nodiscard]] bool Succeeded() const { return succeeded_; }
  // Byte counts of the last transfer (OnDownload passes them clamped to
  // int32_t).
  [[nodiscard]] int64_t TotalSize() const { return totalSize_; }
  [[nodiscard]] uint32_t BytesRead() const { return bytesRead_; }
  [[nodiscard]] uint64_t DownloadedSize() const { return downloadedSize_; }
  [[nodiscard]] const TransferResult& LastTransfer() const { return lastTransfer_; }

  // Steps of the check, public so that an owner (and its tests) can run them
  // one at a time.
  // Fetches and reads the information file, following "RedirectionURL".
  void GetInfo(const std::string& infoUrl);
  // Reads the four "Setup" values from InfoText().
  void ParseInfo();
  // True when NewVersion is a free update over ActualVersion and not the bad
  // release; may ask the paid-upgrade question or fire OnNoUpdateFound.
  bool CompareVersions();
  // Downloads DownloadURL, or else each of Mirrors in turn, to the chosen
  // local file. Each attempt fires OnBeforeDownload, its OnDownload events
  // (and OnDownloadError when its transfer fails) and OnAfterDownload; the
  // file of an attempt left for the next address is deleted after its
  // OnAfterDownload.
  void DownloadUpdate();
  // One GET with the component's UserName and Password (RunTransfer), its
  // blocks reported through OnDownload. The outcome is also left in
  // Succeeded(), LastTransfer() and the byte counts; every kFailed outcome
  // has fired OnDownloadError once.
  TransferResult HttpGet(const TransferRequest& request);

  // The local path for the new file: TargetFolder when it names an existing
  // folder, else the temporary folder, followed by the file-name part of
  // ClientSideName. Empty when there is no folder or no usable name.
  virtual std::string DefaultClientFileName();
  // The parts of an address, by the rules every transfer uses (SplitUrl).
  virtual UrlParts ParseURL(const std::string& url);

  TDownloadEvent OnDownload;
  TNotifyEvent OnDownloadError;
  TNotifyEvent OnNoUpdateFound;
  TNotifyEvent OnBeforeGetInfo;
  TNotifyEvent OnAfterGetInfo;
  TNotifyEvent OnCannotExecute;  // never fired
  TDownloadFileEvent OnBeforeDownload;
  TDownloadFileEvent OnAfterDownload;
  TClientFileExistsEvent OnClientFileExists;
  TGetClientFileNameEvent OnGetClientFileName;
  TUpdateAvailableEvent OnUpdateAvailable;

 protected:
  virtual void DoDownload();
  virtual void DoDownloadError();
  virtual void DoBeforeDownload(const std::string& fileName);
  virtual void DoAfterDownload(const std::string& fileName);
  virtual void DoNoUpdateFound();
  virtual void DoAfterGetInfo();
  virtual void DoBeforeGetInfo();
  virtual void DoCannotExecute();

 private:
  // One transfer with the component's credentials, limits and events; its
  // outcome is also taken into the properties (the body of an information
  // file stays in the returned outcome).
  TransferOutcome Transfer(const TransferRequest& request);
  // Takes the byte counts of a transfer's outcome so far into the
  // component's properties.
  void TakeCounts(const TransferOutcome& outcome);
  void AskPaidUpgrade();
  // Chooses ClientFileName (the kept partial of the signed release, or the
  // owner's choice); false after OnDownloadError when there is none.
  bool ChooseClientFile();
  // One retry pause: the owner's, or a wait that processes messages.
  bool Pause(std::chrono::milliseconds wait);
  // The delta update (patch_update.cpp): true when the check ends with it,
  // the new pack made at ClientFileName (Succeeded) or the user's cancel;
  // false when the pack is to be downloaded.
  bool DownloadPatched();
  // Downloads PATCH to PATCHFILE, going on from KEPT's partial when given.
  bool FetchPatch(const PatchOffer& patch, const std::string& patchFile, PartialStore* kept);
  // The patch's local path (empty: none); PACKFILE the new pack's.
  std::string PatchFileName(const PatchOffer& patch, std::string& packFile);
  // Checks the signed statement of the information just read; false (with
  // Refusal) when the offer may not be taken.
  bool AcceptOffer();
  // The end of a check whose information file was not modified.
  bool NothingNew();

  platform::UserInterface& ui_;
  platform::SystemServices& system_;
  platform::HttpTransport& transport_;

  std::string upgradeUrl_;
  std::string actualVersion_;
  std::string badRelease_;
  TUpdateOptions options_{uoRunUpdate, uoTerminate};
  bool busy_ = false;
  std::string clientFileName_;
  std::string userName_;
  std::string password_;
  TextLines infoText_;
  bool cancelled_ = false;
  std::string newVersion_;
  std::string downloadUrl_;
  std::vector<std::string> mirrors_;
  // While an attempt with further addresses after it runs: a refusal of its
  // size is the next address's business, not the user's.
  bool moreAddresses_ = false;
  std::string clientSideName_;
  std::string redirectionUrl_;
  bool succeeded_ = false;
  int64_t totalSize_ = 0;
  uint32_t bytesRead_ = 0;
  uint64_t downloadedSize_ = 0;
  std::string targetFolder_;
  TransferLimitsRule limitsRule_ = DefaultTransferLimits;
  std::optional<std::chrono::milliseconds> infoBudget_;
  TransferResult lastTransfer_;
  ReleaseTrust trust_;
  platform::Result refusal_;
  std::optional<ReleaseStatement> release_;  // the verified offer
  DownloadResult download_;                  // the last download
  std::string partialFolder_;
  std::function<bool(std::chrono::milliseconds)> retryPause_;
  std::unique_ptr<PartialStore> partial_;  // held from the download to the installation
  platform::LogSink log_;
  PatchBuilder patchBuilder_;
  PatchPreparer patchPreparer_;
  // The last check's pack was made from a patch: its program was checked
  // against the signed size and SHA-256 instead of the pack's.
  bool patched_ = false;
  InfoValidator condition_;  // asked on
  InfoValidator fetched_;    // of the file this check read at its first address
  InfoValidator kept_;       // for the next check
  bool notModified_ = false;
  VersionDecision decision_ = VersionDecision::kNotNewer;
};

}  // namespace lumivora::webupdate
