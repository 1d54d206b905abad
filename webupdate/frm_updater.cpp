#include "webupdate/frm_updater.h"

#include <chrono>

#include "platform/exception.h"
#include "platform/file.h"
#include "platform/text.h"
#include "webupdate/info_file.h"

namespace lumivora::webupdate {
namespace {

std::string FileNamePart(const std::string& path) {
  const size_t separator = path.find_last_of("/\\");
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

// The folder part of PATH with its separator.
std::string FolderPart(const std::string& path) {
  const size_t separator = path.find_last_of("/\\");
  return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

}  // namespace

std::string DownloadFolderPrefix() {
  return platform::ProductName() + "-update-";
}

std::string DownloadFolderLock(const std::string& folder) {
  const char separator = platform::PathSeparator();
  return (!folder.empty() && folder.back() == separator ? folder : folder + separator) +
         platform::ProductName() + ".lock";
}

std::string ApplicationTitle(const std::string& executablePath) {
  std::string title = FileNamePart(executablePath);
  title = title.substr(0, title.find('.'));
  // The first letter keeps its case; the rest is lowered by the system's
  // one letter-case rule, whatever the locale the desktop toolkit set.
  return title.empty() ? title : title.substr(0, 1) + platform::LowerAscii(title.substr(1));
}

TfrmUpdater::TfrmUpdater(UpdaterEnvironment& environment)
    : environment_(environment),
      view_(environment.ui.CreateUpdater()),
      webUpdate_(
          std::make_unique<TWebUpdate>(environment.ui, environment.system, environment.transport)) {
  // The stored layout of the component: overwrite only, no credentials, the
  // temporary folder, and the dialog's handlers.
  TWebUpdate& update = *webUpdate_;
  update.SetOptions({uoOverwrite});
  update.SetTransferLimits(environment.transferLimits);
  update.SetPartialFolder(environment.dataFolder);
  update.SetRetryPause(environment.retryPause);
  update.SetLog(environment.log);
  update.SetPatchBuilder(environment.buildPatched);
  update.SetPatchPreparer(environment.preparePatched);
  update.OnBeforeGetInfo = [this](TWebUpdate& sender) { WebUpdateBeforeGetInfo(sender); };
  update.OnAfterGetInfo = [this](TWebUpdate& sender) { WebUpdateAfterGetInfo(sender); };
  update.OnDownload = [this](TWebUpdate& sender, int32_t total, int32_t downloaded) {
    WebUpdateDownload(sender, total, downloaded);
  };
  update.OnUpdateAvailable = [this](TWebUpdate& sender, const std::string& actualVersion,
                                    const std::string& newVersion, bool& canUpdate) {
    WebUpdateUpdateAvailable(sender, actualVersion, newVersion, canUpdate);
  };
  update.OnBeforeDownload = [this](TWebUpdate& sender, const std::string& fileName) {
    WebUpdateBeforeDownload(sender, fileName);
  };
  update.OnDownloadError = [this](TWebUpdate& sender) { WebUpdateDownloadError(sender); };
  update.OnGetClientFileName = [this](TWebUpdate& sender, std::string& fileName) {
    WebUpdateGetClientFileName(sender, fileName);
  };
  // OnNoUpdateFound, OnClientFileExists and OnAfterDownload have handlers
  // that do nothing.
  view_->OnCancel = [this] { btn_UpdateClick(); };
  FormCreate();
}

TfrmUpdater::~TfrmUpdater() {
  view_->OnCancel = nullptr;
  if (!runFolder_.empty()) {
    DiscardDownload();
    runLock_.reset();
    platform::DeleteFile(DownloadFolderLock(runFolder_));
    platform::RemoveDirectory(runFolder_);
  }
}

void TfrmUpdater::DiscardDownload() {
  const std::string& file = webUpdate_->ClientFileName();
  if (!runFolder_.empty() && file.rfind(runFolder_, 0) == 0) {
    platform::DeleteFile(file);
  }
}

void TfrmUpdater::FormCreate() {
  // The icon is the executable's own; the backend draws it.
  view_->SetText(platform::UpdaterControl::kYourVersion, " ");
  view_->SetText(platform::UpdaterControl::kWebVersion, " ");
  view_->SetText(platform::UpdaterControl::kFile, "");
  view_->SetText(platform::UpdaterControl::kCancelButton, "&Cancel");
  view_->SetProgressMax(100);
  view_->SetProgressPosition(0);
  LoadCaptions();
}

void TfrmUpdater::LoadCaptions() {
  view_->SetText(platform::UpdaterControl::kCaption, updater_strings::Caption());
  view_->SetText(platform::UpdaterControl::kGroup, updater_strings::kGroupCaption);
  view_->SetText(platform::UpdaterControl::kYourVersionLabel, updater_strings::kYourVersion);
  view_->SetText(platform::UpdaterControl::kWebVersionLabel, updater_strings::kVersionAtTheWeb);
}

void TfrmUpdater::btn_UpdateClick() {
  webUpdate_->Cancel();
}

void TfrmUpdater::WebUpdateBeforeGetInfo(TWebUpdate& /*sender*/) {
  GettingInfo = true;
}

void TfrmUpdater::WebUpdateAfterGetInfo(TWebUpdate& sender) {
  view_->SetText(platform::UpdaterControl::kYourVersion,
                 platform::ShownText(sender.ActualVersion()));
  view_->SetText(platform::UpdaterControl::kWebVersion, platform::ShownText(sender.NewVersion()));
  GettingInfo = false;
}

// Same-type parameters kept: the download event as TWebUpdate fires it (total, downloaded).
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
void TfrmUpdater::WebUpdateDownload(TWebUpdate& /*sender*/, int32_t total, int32_t downloaded) {
  if (!GettingInfo) {
    view_->SetProgressMax(total);
    view_->SetProgressPosition(downloaded);
  }
}

void TfrmUpdater::WebUpdateUpdateAvailable(TWebUpdate& /*sender*/, const std::string& actualVersion,
                                           const std::string& newVersion, bool& canUpdate) {
  if (Silent) {
    canUpdate = true;
  } else {
    platform::MessageBoxRequest question;
    question.caption = "Warning";
    // The two "%s" take the installed and the offered version, in order.
    question.text =
        FormatText(updater_strings::kUpdateQuestion,
                   {platform::ShownText(actualVersion), platform::ShownText(newVersion)});
    question.icon = platform::MessageIcon::kWarning;
    question.buttons = platform::MessageButtons::kYesNo;
    question.defaultButton = platform::MessageAnswer::kYes;
    canUpdate = environment_.ui.ShowMessage(question) == platform::MessageAnswer::kYes;
  }
  platform::Log(environment_.log, canUpdate ? "question: the update is taken"
                                            : "question: the user declined the update");
  if (canUpdate) {
    view_->Show();
    view_->BringToFront();
  }
  UpdateAccepted = canUpdate;
}

void TfrmUpdater::WebUpdateBeforeDownload(TWebUpdate& /*sender*/, const std::string& fileName) {
  // Each address the file is downloaded from starts the bar afresh.
  view_->SetProgressPosition(0);
  // The name comes from the server and nothing has vouched for it yet.
  view_->SetText(platform::UpdaterControl::kFile,
                 "Downloading file " + platform::ShownText(FileNamePart(fileName)));
}

void TfrmUpdater::WebUpdateDownloadError(TWebUpdate& sender) {
  // An offer that is not validly signed says why; transfer failures stay
  // silent.
  if (!sender.Refusal().Ok()) {
    ShowError("The update was refused: " + sender.Refusal().Reason());
  }
}

void TfrmUpdater::WebUpdateGetClientFileName(TWebUpdate& /*sender*/, std::string& fileName) {
  // The download keeps the name the server gives it, inside a new folder of
  // this run's own: no other launcher opens, truncates or replaces it.
  if (fileName.empty()) {
    return;
  }
  if (runFolder_.empty()) {
    runFolder_ = platform::CreateUniqueFolder(FolderPart(fileName) + DownloadFolderPrefix());
    // Held while this dialog lives: a later start's sweep leaves the folder
    // alone.
    runLock_ = runFolder_.empty() ? nullptr
                                  : platform::FileLock::TryAcquire(DownloadFolderLock(runFolder_));
  }
  fileName = runFolder_.empty() ? std::string()
                                : runFolder_ + platform::PathSeparator() + FileNamePart(fileName);
}

void TfrmUpdater::ShowError(const std::string& text) {
  platform::MessageBoxRequest box;
  box.caption = ApplicationTitle(environment_.system.ExecutablePath());
  box.text = text;
  box.icon = platform::MessageIcon::kError;
  environment_.ui.ShowMessage(box);
}

bool TfrmUpdater::ReplacePack(const std::string& source, const std::string& packPath,
                              const std::string& version) {
  const std::string refused = "Can not copy: " + FolderPart(source) +
                              platform::ShownText(FileNamePart(source)) + "\r" + " to: " + packPath;
  // Size and SHA-256 first: only the signed release goes any further.
  if (const platform::Result signedRelease = webUpdate_->DownloadProblem(); !signedRelease.Ok()) {
    platform::Log(environment_.log, "replacement refused: " + signedRelease.Reason());
    ShowError(refused + "\r" + signedRelease.Reason());
    return false;
  }
  const platform::Result installed =
      InstallPack({source, webUpdate_->DownloadedSize(), packPath, version, environment_.lockFile,
                   environment_.previousPack, environment_.checkPack, environment_.recordVersion});
  platform::Log(environment_.log, installed.Ok() ? "replacement: the pack is version " + version
                                                 : "replacement failed: " + installed.Reason());
  if (!installed.Ok()) {
    ShowError(installed.Reason().empty() ? refused : refused + "\r" + installed.Reason());
    return false;
  }
  return true;
}

// NOLINTBEGIN(bugprone-easily-swappable-parameters): the dialog's entry stays as is.
void TfrmUpdater::Execute(UpdaterEnvironment& environment, const std::string& currentVersion,
                          const std::string& packPath, const std::string& infoURL1,
                          const std::string& infoURL2, const std::string& upgradeURLFormat,
                          bool silent, std::string& result) {
  // NOLINTEND(bugprone-easily-swappable-parameters)
  result.clear();
  TfrmUpdater dialog(environment);
  dialog.View().Show();
  environment.ui.ProcessMessages();
  TWebUpdate& update = dialog.WebUpdate();
  update.SetActualVersion(currentVersion);
  update.SetUpgradeURL(FormatText(upgradeURLFormat, {currentVersion}));
  dialog.Silent = silent;
  update.SetReleaseTrust(environment.trust);
  update.SetBadRelease(environment.badRelease);
  update.SetInfoValidator(environment.infoValidator);
  // One time limit for every information file of this check, however many
  // redirections and addresses it takes.
  const std::chrono::milliseconds budget =
      environment.transferLimits(TransferMode::kFetchToMemory).overall;
  if (budget.count() > 0) {
    update.SetInfoBudget(budget);
  }
  bool downloaded = update.CheckForUpdate(infoURL1);
  // An offer refused for its signature counts as a download that did not
  // arrive: the second address is asked.
  if (!downloaded && (dialog.UpdateAccepted || !update.Refusal().Ok())) {
    dialog.DiscardDownload();
    downloaded = update.CheckForUpdate(infoURL2);
  }
  environment.trust.recordedSerial = update.Trust().recordedSerial;
  environment.trust.freshOfferSeen = update.Trust().freshOfferSeen;
  environment.infoValidator = update.KeptValidator();
  if (!downloaded) {
    return;  // the dialog takes the download's folder with it
  }
  const std::string source = update.ClientFileName();
  const bool replaced = dialog.ReplacePack(source, packPath, update.NewVersion());
  if (!platform::DeleteFile(source)) {
    dialog.ShowError("Can not delete: " + source);
  }
  update.DiscardPartial();  // installed or refused: nothing to go on from
  if (replaced) {
    result = update.NewVersion();
  }
}

}  // namespace lumivora::webupdate
