// TfrmUpdater: the update dialog. It carries a TWebUpdate, shows the
// installed and the offered version, a progress bar over the download's byte
// count and a Cancel button, asks the update question, and puts a downloaded
// pack in place of the old one. Execute is the one entry of the web update
// subsystem.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/file.h"
#include "platform/http.h"
#include "platform/product.h"
#include "platform/system.h"
#include "platform/ui.h"
#include "webupdate/pack_install.h"
#include "webupdate/web_update.h"

namespace lumivora::webupdate {

// The dialog's texts from the program's string table.
namespace updater_strings {
inline std::string Caption() {  // 65342: the product's name
  return platform::ProductName();
}
inline constexpr char kGroupCaption[] = " Program Update: ";       // 65314
inline constexpr char kYourVersion[] = "Your version:";            // 65315
inline constexpr char kVersionAtTheWeb[] = "Version at the web:";  // 65316
inline constexpr char kUpdateQuestion[] =                          // 65317
    "You are using version %s, but version %s is available to download.\r\n"
    "Do you want to update your application now ?";
}  // namespace updater_strings

// What the dialog works with; all of it outlives the dialog.
struct UpdaterEnvironment {
  platform::UserInterface& ui;
  platform::SystemServices& system;
  platform::HttpTransport& transport;
  PackCheck checkPack;
  // The keys and product a download must be signed for (none: unsigned
  // downloads are taken). Execute leaves the highest certificate serial
  // accepted in its recordedSerial, and the time of a fresh statement seen in
  // its freshOfferSeen.
  ReleaseTrust trust{};
  // The lock file that launchers take before they change the pack or the
  // settings (empty: none).
  std::string lockFile;
  VersionRecord recordVersion;
  // When the check's transfers are given up.
  TransferLimitsRule transferLimits = DefaultTransferLimits;
  // Where the replaced pack is kept as the previous generation (empty: not
  // kept), and the release recorded as bad, which the check skips.
  std::string previousPack;
  std::string badRelease;
  // The per-user data folder, where a download of a signed release that did
  // not complete is kept for the next check (empty: none is kept).
  std::string dataFolder{};
  // The wait before a cut download is retried (none: the component's own).
  std::function<bool(std::chrono::milliseconds wait)> retryPause{};
  // Where the check's steps and the replacement are logged (none: nowhere).
  platform::LogSink log{};
  // Makes the new pack from the installed one and a patch (patch_update.h):
  // the launcher's, which links the applier and the pack writer. None: the
  // pack is always downloaded whole.
  PatchBuilder buildPatched{};
  PatchPreparer preparePatched{};  // its work beside the patch's download (none: no such work)
  // The information file's validators the check may ask on; Execute leaves
  // the ones the next check may ask on (TWebUpdate::KeptValidator).
  InfoValidator infoValidator{};
};

class TfrmUpdater {
 public:
  // Creates the dialog visible (runs FormCreate).
  explicit TfrmUpdater(UpdaterEnvironment& environment);
  TfrmUpdater(const TfrmUpdater&) = delete;
  TfrmUpdater& operator=(const TfrmUpdater&) = delete;
  ~TfrmUpdater();

  // Shows the dialog, runs one check against INFOURL1 and, when an accepted
  // update did not arrive, one more against INFOURL2; puts a downloaded pack
  // in place of PACKPATH and returns its version in RESULT (else the empty
  // text).
  static void Execute(UpdaterEnvironment& environment, const std::string& currentVersion,
                      const std::string& packPath, const std::string& infoURL1,
                      const std::string& infoURL2, const std::string& upgradeURLFormat, bool silent,
                      std::string& result);

  void FormCreate();
  void LoadCaptions();
  void btn_UpdateClick();
  void WebUpdateBeforeGetInfo(TWebUpdate& sender);
  void WebUpdateAfterGetInfo(TWebUpdate& sender);
  void WebUpdateDownload(TWebUpdate& sender, int32_t total, int32_t downloaded);
  void WebUpdateUpdateAvailable(TWebUpdate& sender, const std::string& actualVersion,
                                const std::string& newVersion, bool& canUpdate);
  void WebUpdateBeforeDownload(TWebUpdate& sender, const std::string& fileName);
  void WebUpdateDownloadError(TWebUpdate& sender);
  void WebUpdateGetClientFileName(TWebUpdate& sender, std::string& fileName);

  bool Silent = false;
  bool GettingInfo = false;
  bool UpdateAccepted = false;

  [[nodiscard]] TWebUpdate& WebUpdate() { return *webUpdate_; }
  [[nodiscard]] platform::UpdaterView& View() { return *view_; }

 private:
  // Puts the download SOURCE in place of PACKPATH and records VERSION, under
  // the lock; false (after its message box) when the pack was left as it was.
  bool ReplacePack(const std::string& source, const std::string& packPath,
                   const std::string& version);
  // Removes the file of a download that did not complete.
  void DiscardDownload();
  void ShowError(const std::string& text);

  UpdaterEnvironment& environment_;
  // The folder of this run's downloads, made on the first download and
  // removed with the dialog.
  std::string runFolder_;
  std::unique_ptr<platform::FileLock> runLock_;
  std::unique_ptr<platform::UpdaterView> view_;
  std::unique_ptr<TWebUpdate> webUpdate_;
};

// The application title: the file name of EXECUTABLEPATH without folder and
// without anything from its first "." on, every letter after the first in
// lower case.
std::string ApplicationTitle(const std::string& executablePath);

// Where the dialog downloads: a new folder in the temporary folder named
// "<product>-update-" and characters of its own, holding the lock file
// DownloadFolderLock(folder) while the dialog lives, so that a later start's
// sweep of what killed starts left passes it by.
std::string DownloadFolderPrefix();
std::string DownloadFolderLock(const std::string& folder);

}  // namespace lumivora::webupdate
