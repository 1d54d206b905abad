// User-interface layer: message boxes, the splash window, the update dialog,
// the screen cursor and the processing of pending messages. Each window is
// typed by the enumeration of its controls (dialogs.h), so that every backend
// (console, recording, native toolkits) shows the same controls and a control
// unknown to one does not build. Everything runs on one thread; a Cancel
// button reaches running work only through ProcessMessages.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/dialogs.h"

namespace lumivora::platform {

enum class MessageIcon { kNone, kError, kWarning, kInformation, kQuestion };
enum class MessageButtons { kOk, kOkCancel, kYesNo, kYesNoCancel };
enum class MessageAnswer { kOk, kCancel, kYes, kNo };

struct MessageBoxRequest {
  std::string caption;
  std::string text;
  MessageIcon icon = MessageIcon::kNone;
  MessageButtons buttons = MessageButtons::kOk;
  // The button that Return presses; Escape answers Cancel or No.
  MessageAnswer defaultButton = MessageAnswer::kOk;
  bool systemModal = false;
};

// The answer of a box that the user leaves with Escape or by closing it (or
// that cannot be shown): Cancel, No when the box has no Cancel, OK when OK is
// its only button. Every backend answers so.
MessageAnswer EscapeAnswer(MessageButtons buttons);

// The icon's name where a box is described in text: "error", "warning",
// "information", "question", or "none".
const char* IconName(MessageIcon icon);

enum class CursorKind { kDefault, kAppStarting };

// A small window of labels, a progress bar and at most one button: what
// every window has, whatever its controls.
class View {
 public:
  View() = default;
  View(const View&) = delete;
  View& operator=(const View&) = delete;
  virtual ~View() = default;

  virtual void SetProgressMax(int64_t maximum) = 0;
  virtual void SetProgressPosition(int64_t position) = 0;
  virtual void Show() = 0;
  virtual void BringToFront() = 0;

  // Fired from ProcessMessages when the user presses the window's Cancel
  // button (or Escape, or Ctrl-C on a terminal).
  std::function<void()> OnCancel;
};

// A window whose texts are set by its controls, CONTROL being the
// enumeration of that window's controls (SplashControl, UpdaterControl).
template <typename Control>
class WindowView : public View {
 public:
  // Sets the text of CONTROL (kCaption: the window's own caption). Line
  // breaks are written as on Windows (CR or CR LF); a backend whose toolkit
  // breaks lines otherwise converts them with LfLineBreaks (text.h).
  virtual void SetText(Control control, const std::string& text) = 0;
};

using SplashView = WindowView<SplashControl>;
using UpdaterView = WindowView<UpdaterControl>;

class UserInterface {
 public:
  UserInterface() = default;
  UserInterface(const UserInterface&) = delete;
  UserInterface& operator=(const UserInterface&) = delete;
  virtual ~UserInterface() = default;

  virtual MessageAnswer ShowMessage(const MessageBoxRequest& request) = 0;
  // The splash window (hidden until Show) and the update dialog.
  virtual std::unique_ptr<SplashView> CreateSplash() = 0;
  virtual std::unique_ptr<UpdaterView> CreateUpdater() = 0;
  virtual void SetCursor(CursorKind cursor) = 0;
  // Handles every pending user-interface event without waiting for new ones.
  virtual void ProcessMessages() = 0;
};

// Console backend: messages and progress on standard error, questions on the
// terminal when there is one (No otherwise), Ctrl-C as Cancel.
std::unique_ptr<UserInterface> CreateConsoleInterface();

// The interface of a desktop program: real windows (Win32 on Windows; GTK
// on Linux) when a
// display is available (DISPLAY or WAYLAND_DISPLAY set) and the toolkit
// starts on it, the console backend otherwise. Built into
// lumivora_desktop_ui.
std::unique_ptr<UserInterface> CreateDesktopInterface();

// A main program's window (the sample main program uses it): shows a window
// titled TITLE with TEXT and runs the toolkit's main loop until the window is
// closed or, when STOP_ON_INPUT_END is set, standard input ends. False, with
// nothing shown, when no display is available. Built into lumivora_desktop_ui.
bool RunMainWindow(const char* title, const char* text, bool stopOnInputEnd);

}  // namespace lumivora::platform
