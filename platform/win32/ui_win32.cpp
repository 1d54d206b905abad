// User interface on Windows: MessageBoxA for messages, and the splash window
// and the update dialog as native windows laid out as their form tables say
// (view_win32.h holds the windows and their controls). Pending messages are
// processed with PeekMessageA; Escape and the Cancel button of a window reach
// its OnCancel from there.
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
using win32::LiveViews;
using win32::MakeFont;
using win32::ModuleInstance;
using win32::ResourceId;
using win32::Win32View;

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

  std::unique_ptr<View> CreateSplash() override {
    // Outer size 344 x 131.
    auto view = std::make_unique<Win32View>("frmSplash", 344, 131, false, true);
    HWND form = view->Window();
    view->AddLabel("lblPrompt", form, Box(80, 8, 92, 13), "Please, wait now ...", true, false);
    view->AddLabel("lblStatus", form, Box(80, 32, 13, 13), "...", true, true);
    Win32View::AddGraphic(form, Graphic::Kind::kRaisedBevel, Box(12, 12, 41, 36));
    Win32View::AddGraphic(form, Graphic::Kind::kIcon, Box(16, 15, 39, 39));
    view->AddProgressBar("prgSteps", form, Box(8, 64, 313, 25));
    return view;
  }

  std::unique_ptr<View> CreateUpdater() override {
    // Client area 352 x 158, dialog border.
    auto view = std::make_unique<Win32View>("frmUpdater", 352, 158, true, false);
    HWND form = view->Window();
    ::SetWindowTextA(form, "Web Update");
    HWND group = view->AddGroup("grpUpdate", Box(9, 8, 336, 113), "Program Update:");
    view->AddLabel("lblYourVer", group, Box(58, 24, 62, 13), "Your version:", true, false);
    view->AddLabel("lblWebVer", group, Box(58, 40, 91, 13), "Version at the web:", true, false);
    view->AddLabel("lbl_YourVersion", group, Box(152, 24, 177, 13), " ", false, false);
    view->AddLabel("lbl_WebVersion", group, Box(152, 40, 177, 13), " ", false, false);
    Win32View::AddGraphic(group, Graphic::Kind::kTopLine, Box(8, 64, 321, 9));
    // Between the line and the progress bar, inside the group box.
    view->AddLabel("lbl_File", group, Box(8, 66, 0, 13), "", true, false);
    Win32View::AddGraphic(group, Graphic::Kind::kIcon, Box(14, 20, 32, 32));
    view->AddProgressBar("ProgressBar", group, Box(8, 80, 321, 16));
    view->AddButton("btn_Update", form, Box(139, 128, 75, 25), "&Cancel", IDCANCEL);
    return view;
  }

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
      const auto& views = LiveViews();
      const bool ours =
          root != nullptr && std::any_of(views.begin(), views.end(),
                                         [&](Win32View* v) { return v->Window() == root; });
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
