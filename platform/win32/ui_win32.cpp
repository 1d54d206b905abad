// User interface on Windows: MessageBoxA for messages, and the splash window
// and the update dialog as native windows laid out as their form tables say
// (view_win32.h holds the windows and their controls), each showing its
// controls' texts through a switch over its window's controls. Texts keep
// their line breaks (CR, CR LF): Windows breaks lines at them. Pending
// messages are processed with PeekMessageA; Escape and the Cancel button of
// a window reach its OnCancel from there.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui.h"
#include "platform/win32/view_win32.h"
#include "platform/win32/windows_api.h"

namespace lumivora::platform {
namespace {

using win32::Box;
using win32::CurrentCursor;
using win32::FontHandle;
using win32::Graphic;
using win32::LiveForms;
using win32::MakeFont;
using win32::ModuleInstance;
using win32::ResourceId;
using win32::Win32Form;

// A window of the interface over its form; CONTROL is its window's
// enumeration of controls, whose texts the window's own class shows.
template <typename Control>
class Win32Window : public WindowView<Control> {
 public:
  Win32Window(int width, int height, bool dialogFrame, bool outerSize)
      : form_(*this, width, height, dialogFrame, outerSize) {}

  void SetProgressMax(int64_t maximum) override { form_.SetProgressMax(maximum); }
  void SetProgressPosition(int64_t position) override { form_.SetProgressPosition(position); }
  void Show() override { form_.Show(); }
  void BringToFront() override { form_.BringToFront(); }

 protected:
  Win32Form form_;
};

// The splash window: outer size 344 x 131.
class Win32Splash final : public Win32Window<SplashControl> {
 public:
  Win32Splash() : Win32Window(344, 131, false, true) {
    HWND form = form_.Window();
    prompt_ = form_.AddLabel(form, Box(80, 8, 92, 13), "Please, wait now ...", true, false);
    status_ = form_.AddLabel(form, Box(80, 32, 13, 13), "...", true, true);
    Win32Form::AddGraphic(form, Graphic::Kind::kRaisedBevel, Box(12, 12, 41, 36));
    Win32Form::AddGraphic(form, Graphic::Kind::kIcon, Box(16, 15, 39, 39));
    form_.AddProgressBar(form, Box(8, 64, 313, 25));
  }

  void SetText(SplashControl control, const std::string& text) override {
    form_.SetText(Control(control), text);
  }

 private:
  [[nodiscard]] HWND Control(SplashControl control) const {
    switch (control) {
      case SplashControl::kCaption:
        return form_.Window();
      case SplashControl::kPrompt:
        return prompt_;
      case SplashControl::kStatus:
        return status_;
    }
    return form_.Window();
  }

  HWND prompt_ = nullptr;
  HWND status_ = nullptr;
};

// The update dialog: client area 352 x 158, dialog border.
class Win32Updater final : public Win32Window<UpdaterControl> {
 public:
  Win32Updater() : Win32Window(352, 158, true, false) {
    HWND form = form_.Window();
    ::SetWindowTextA(form, "Web Update");
    group_ = form_.AddGroup(Box(9, 8, 336, 113), "Program Update:");
    yourVersionLabel_ = form_.AddLabel(group_, Box(58, 24, 62, 13), "Your version:", true, false);
    webVersionLabel_ =
        form_.AddLabel(group_, Box(58, 40, 91, 13), "Version at the web:", true, false);
    yourVersion_ = form_.AddLabel(group_, Box(152, 24, 177, 13), " ", false, false);
    webVersion_ = form_.AddLabel(group_, Box(152, 40, 177, 13), " ", false, false);
    Win32Form::AddGraphic(group_, Graphic::Kind::kTopLine, Box(8, 64, 321, 9));
    // Between the line and the progress bar, inside the group box.
    file_ = form_.AddLabel(group_, Box(8, 66, 0, 13), "", true, false);
    Win32Form::AddGraphic(group_, Graphic::Kind::kIcon, Box(14, 20, 32, 32));
    form_.AddProgressBar(group_, Box(8, 80, 321, 16));
    cancel_ = form_.AddButton(form, Box(139, 128, 75, 25), "&Cancel", IDCANCEL);
  }

  void SetText(UpdaterControl control, const std::string& text) override {
    form_.SetText(Control(control), text);
  }

 private:
  [[nodiscard]] HWND Control(UpdaterControl control) const {
    switch (control) {
      case UpdaterControl::kCaption:
        return form_.Window();
      case UpdaterControl::kGroup:
        return group_;
      case UpdaterControl::kYourVersionLabel:
        return yourVersionLabel_;
      case UpdaterControl::kYourVersion:
        return yourVersion_;
      case UpdaterControl::kWebVersionLabel:
        return webVersionLabel_;
      case UpdaterControl::kWebVersion:
        return webVersion_;
      case UpdaterControl::kFile:
        return file_;
      case UpdaterControl::kCancelButton:
        return cancel_;
    }
    return form_.Window();
  }

  HWND group_ = nullptr;
  HWND yourVersionLabel_ = nullptr;
  HWND yourVersion_ = nullptr;
  HWND webVersionLabel_ = nullptr;
  HWND webVersion_ = nullptr;
  HWND file_ = nullptr;
  HWND cancel_ = nullptr;
};

class Win32Interface final : public UserInterface {
 public:
  MessageAnswer ShowMessage(const MessageBoxRequest& request) override {
    UINT flags = request.systemModal ? MB_SYSTEMMODAL : MB_APPLMODAL;
    switch (request.icon) {
      case MessageIcon::kNone:
        break;
      case MessageIcon::kError:
        flags |= MB_ICONERROR;
        break;
      case MessageIcon::kWarning:
        flags |= MB_ICONWARNING;
        break;
      case MessageIcon::kInformation:
        flags |= MB_ICONINFORMATION;
        break;
      case MessageIcon::kQuestion:
        flags |= MB_ICONQUESTION;
        break;
    }
    std::vector<MessageAnswer> buttons;
    switch (request.buttons) {
      case MessageButtons::kOk:
        flags |= MB_OK;
        buttons = {MessageAnswer::kOk};
        break;
      case MessageButtons::kOkCancel:
        flags |= MB_OKCANCEL;
        buttons = {MessageAnswer::kOk, MessageAnswer::kCancel};
        break;
      case MessageButtons::kYesNo:
        flags |= MB_YESNO;
        buttons = {MessageAnswer::kYes, MessageAnswer::kNo};
        break;
      case MessageButtons::kYesNoCancel:
        flags |= MB_YESNOCANCEL;
        buttons = {MessageAnswer::kYes, MessageAnswer::kNo, MessageAnswer::kCancel};
        break;
    }
    const auto position = std::find(buttons.begin(), buttons.end(), request.defaultButton);
    static constexpr UINT kDefaultFlags[] = {MB_DEFBUTTON1, MB_DEFBUTTON2, MB_DEFBUTTON3};
    if (position != buttons.end()) {
      flags |= kDefaultFlags[position - buttons.begin()];  // NOLINT: at most three buttons
    }
    // No owner window: the launcher has no main window.
    switch (::MessageBoxA(nullptr, request.text.c_str(), request.caption.c_str(), flags)) {
      case IDOK:
        return MessageAnswer::kOk;
      case IDYES:
        return MessageAnswer::kYes;
      case IDNO:
        return MessageAnswer::kNo;
      case IDCANCEL:
        return MessageAnswer::kCancel;
      default:
        // The box could not be shown: the answer that changes nothing.
        return EscapeAnswer(request.buttons);
    }
  }

  std::unique_ptr<SplashView> CreateSplash() override { return std::make_unique<Win32Splash>(); }
  std::unique_ptr<UpdaterView> CreateUpdater() override { return std::make_unique<Win32Updater>(); }

  void SetCursor(CursorKind cursor) override {
    CurrentCursor() =
        ::LoadCursorA(nullptr, ResourceId(cursor == CursorKind::kAppStarting
                                              ? 32650
                                              : 32512));  // IDC_APPSTARTING, IDC_ARROW
    ::SetCursor(CurrentCursor());
  }

  void ProcessMessages() override {
    MSG message{};
    while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE) != 0) {
      if (message.message == WM_QUIT) {
        continue;  // no message loop of our own to end
      }
      HWND root = message.hwnd != nullptr ? ::GetAncestor(message.hwnd, GA_ROOT) : nullptr;
      const auto& forms = LiveForms();
      const bool ours =
          root != nullptr && std::any_of(forms.begin(), forms.end(),
                                         [&](Win32Form* f) { return f->Window() == root; });
      // The dialog manager turns Escape into IDCANCEL and moves the focus.
      if (ours && ::IsDialogMessageA(root, &message) != 0) {
        continue;
      }
      ::TranslateMessage(&message);
      ::DispatchMessageA(&message);
    }
  }
};

int& RestoreRequests() {
  static int count = 0;
  return count;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SYSCOMMAND && (wParam & 0xFFF0U) == SC_RESTORE) {
    ++RestoreRequests();
  } else if (message == WM_DESTROY) {
    ::PostQuitMessage(0);
    return 0;
  }
  return ::DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

std::unique_ptr<UserInterface> CreateDesktopInterface() {
  return std::make_unique<Win32Interface>();
}

// The window is shown minimised, so that a restore request is visible; it
// runs until the window is closed (standard input does not end it here) and
// then prints how many restore requests (WM_SYSCOMMAND/SC_RESTORE) arrived.
bool RunMainWindow(const char* title, const char* text, bool /*stopOnInputEnd*/) {
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = MainWindowProc;
  windowClass.hInstance = ModuleInstance();
  windowClass.hbrBackground = ::GetSysColorBrush(COLOR_BTNFACE);
  windowClass.lpszClassName = "LumivoraMainWindow";
  ::RegisterClassA(&windowClass);
  HWND window =
      ::CreateWindowExA(0, windowClass.lpszClassName, title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                        CW_USEDEFAULT, 420, 160, nullptr, nullptr, windowClass.hInstance, nullptr);
  if (window == nullptr) {
    return false;
  }
  const FontHandle font = MakeFont(false);
  HWND label = ::CreateWindowExA(0, "STATIC", text, WS_CHILD | WS_VISIBLE | SS_LEFT, 12, 12, 380,
                                 40, window, nullptr, windowClass.hInstance, nullptr);
  ::SendMessageA(label, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), FALSE);
  ::ShowWindow(window, SW_SHOWMINIMIZED);
  MSG message{};
  while (::GetMessageA(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageA(&message);
  }
  std::printf("restore requests: %d\n", RestoreRequests());
  std::fflush(stdout);
  return true;
}

}  // namespace lumivora::platform
