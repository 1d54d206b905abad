// The two windows of the interface as typed models: for each, the controls
// whose texts the program sets. The cores fill them (launcher/splash.cpp,
// webupdate/frm_updater.cpp); every backend shows a control through a switch
// over its window's enumeration, so that a control added here does not build
// until each backend shows it.
#pragma once

namespace lumivora::platform {

// The splash window: its caption, the prompt to wait and the bold status
// line. The icon and the progress bar carry no text.
enum class SplashControl { kCaption, kPrompt, kStatus };

// The update dialog: its caption, the group box's caption, the two version
// lines (a caption label and the version shown after it), the line that names
// the file being downloaded, and the button that cancels the running work.
enum class UpdaterControl {
  kCaption,
  kGroup,
  kYourVersionLabel,
  kYourVersion,
  kWebVersionLabel,
  kWebVersion,
  kFile,
  kCancelButton
};

// The name of a control in its window's form table; a window's caption goes
// by the window's own name. Used where controls are named to the outside: the
// events of the recording interface, the texts and the layout that the GTK
// windows publish for automation tools.
constexpr const char* ControlName(SplashControl control) {
  switch (control) {
    case SplashControl::kCaption:
      return "frmSplash";
    case SplashControl::kPrompt:
      return "lblPrompt";
    case SplashControl::kStatus:
      return "lblStatus";
  }
  return "";
}

constexpr const char* ControlName(UpdaterControl control) {
  switch (control) {
    case UpdaterControl::kCaption:
      return "frmUpdater";
    case UpdaterControl::kGroup:
      return "grpUpdate";
    case UpdaterControl::kYourVersionLabel:
      return "lblYourVer";
    case UpdaterControl::kYourVersion:
      return "lbl_YourVersion";
    case UpdaterControl::kWebVersionLabel:
      return "lblWebVer";
    case UpdaterControl::kWebVersion:
      return "lbl_WebVersion";
    case UpdaterControl::kFile:
      return "lbl_File";
    case UpdaterControl::kCancelButton:
      return "btn_Update";
  }
  return "";
}

}  // namespace lumivora::platform
