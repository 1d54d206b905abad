#include "webupdate/frm_updater.h"

#include <unistd.h>

#include <cctype>

#include "platform/exception.h"
#include "platform/file.h"
#include "webupdate/info_file.h"

namespace lumivora::webupdate {
namespace {

std::string FileNamePart(const std::string& path) {
  const size_t separator = path.find_last_of("/\\");
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

}  // namespace

std::string ApplicationTitle(const std::string& executablePath) {
  std::string title = FileNamePart(executablePath);
  title = title.substr(0, title.find('.'));
  for (size_t i = 1; i < title.size(); ++i) {
    title[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(title[i])));
  }
  return title;
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
  // OnNoUpdateFound, OnGetClientFileName, OnClientFileExists and
  // OnAfterDownload have handlers that do nothing.
  view_->OnCancel = [this] { btn_UpdateClick(); };
  FormCreate();
}

TfrmUpdater::~TfrmUpdater() {
  view_->OnCancel = nullptr;
}

void TfrmUpdater::FormCreate() {
  // The icon is the executable's own; the backend draws it.
  view_->SetText("lbl_YourVersion", " ");
  view_->SetText("lbl_WebVersion", " ");
  view_->SetText("lbl_File", "");
  view_->SetText("btn_Update", "&Cancel");
  view_->SetProgressMax(100);
  view_->SetProgressPosition(0);
  LoadCaptions();
}

void TfrmUpdater::LoadCaptions() {
  view_->SetText("frmUpdater", updater_strings::kCaption);
  view_->SetText("grpUpdate", updater_strings::kGroupCaption);
  view_->SetText("lblYourVer", updater_strings::kYourVersion);
  view_->SetText("lblWebVer", updater_strings::kVersionAtTheWeb);
}

void TfrmUpdater::btn_UpdateClick() {
  webUpdate_->Cancel();
}

void TfrmUpdater::WebUpdateBeforeGetInfo(TWebUpdate& /*sender*/) {
  GettingInfo = true;
}

void TfrmUpdater::WebUpdateAfterGetInfo(TWebUpdate& sender) {
  view_->SetText("lbl_YourVersion", sender.ActualVersion());
  view_->SetText("lbl_WebVersion", sender.NewVersion());
  GettingInfo = false;
}

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
    question.text = FormatText(updater_strings::kUpdateQuestion, {actualVersion, newVersion});
    question.icon = platform::MessageIcon::kWarning;
    question.buttons = platform::MessageButtons::kYesNo;
    question.defaultButton = platform::MessageAnswer::kYes;
    canUpdate = environment_.ui.ShowMessage(question) == platform::MessageAnswer::kYes;
  }
  if (canUpdate) {
    view_->Show();
    view_->BringToFront();
  }
  UpdateAccepted = canUpdate;
}

void TfrmUpdater::WebUpdateBeforeDownload(TWebUpdate& /*sender*/, const std::string& fileName) {
  view_->SetText("lbl_File", "Downloading file " + FileNamePart(fileName));
}

void TfrmUpdater::WebUpdateDownloadError(TWebUpdate& sender) {
  // An offer that is not validly signed says why; transfer failures stay
  // silent.
  if (!sender.RefusalReason().empty()) {
    ShowError("The update was refused: " + sender.RefusalReason());
  }
}

void TfrmUpdater::ShowError(const std::string& text) {
  platform::MessageBoxRequest box;
  box.caption = ApplicationTitle(environment_.system.ExecutablePath());
  box.text = text;
  box.icon = platform::MessageIcon::kError;
  environment_.ui.ShowMessage(box);
}

bool TfrmUpdater::ReplacePack(const std::string& source, const std::string& packPath) {
  const std::string refused = "Can not copy: " + source + "\r" + " to: " + packPath;
  // Size and SHA-256 first: only the signed release goes any further.
  const std::string mismatch = webUpdate_->DownloadProblem();
  if (!mismatch.empty()) {
    ShowError(refused + "\r" + mismatch);
    return false;
  }
  // A download goes in place only when the launcher can start it.
  const std::string problem =
      environment_.checkPack ? environment_.checkPack(source) : std::string("no pack check");
  if (!problem.empty()) {
    ShowError(refused + "\r" + problem);
    return false;
  }
  // A read-only pack refuses the copy, as it does on Windows.
  const auto attributes = platform::GetFileAttributes(packPath);
  if (attributes && (*attributes & platform::kAttrReadOnly) != 0) {
    ShowError(refused);
    return false;
  }
  // Copy beside the pack, then rename over it in one step: the pack is
  // always either the old one or the new one, never half written.
  const std::string partial = packPath + ".part" + std::to_string(::getpid());
  if (!platform::CopyFile(source, partial, false) || !platform::ReplaceFile(partial, packPath)) {
    platform::DeleteFile(partial);
    ShowError(refused);
    return false;
  }
  return true;
}

void TfrmUpdater::Execute(UpdaterEnvironment& environment, const std::string& currentVersion,
                          const std::string& packPath, const std::string& infoURL1,
                          const std::string& infoURL2, const std::string& upgradeURLFormat,
                          bool silent, std::string& result) {
  result.clear();
  TfrmUpdater dialog(environment);
  dialog.View().Show();
  environment.ui.ProcessMessages();
  TWebUpdate& update = dialog.WebUpdate();
  update.SetActualVersion(currentVersion);
  update.SetUpgradeURL(FormatText(upgradeURLFormat, {currentVersion}));
  dialog.Silent = silent;
  update.SetReleaseTrust(environment.trust);
  bool downloaded = update.CheckForUpdate(infoURL1);
  // An offer refused for its signature counts as a download that did not
  // arrive: the second address is asked.
  if (!downloaded && (dialog.UpdateAccepted || !update.RefusalReason().empty())) {
    downloaded = update.CheckForUpdate(infoURL2);
  }
  environment.trust.recordedSerial = update.Trust().recordedSerial;
  if (!downloaded) {
    return;
  }
  const std::string source = update.ClientFileName();
  const bool replaced = dialog.ReplacePack(source, packPath);
  if (!platform::DeleteFile(source)) {
    dialog.ShowError("Can not delete: " + source);
  }
  if (replaced) {
    result = update.NewVersion();
  }
}

}  // namespace lumivora::webupdate
