// User interface on Windows: MessageBoxA for messages, and the splash window
// and the update dialog as native windows laid out as their form tables say
// (pixels at 96 dots per inch, "MS Sans Serif" at height -11, button-face
// background): STATIC labels, a comctl32 progress bar, a BUTTON, and the
// bevels and the icon painted by their parent as graphic controls are.
// Pending messages are processed with PeekMessageA; Escape and the Cancel
// button of a window reach its OnCancel from there.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui.h"
#include "platform/win32/windows_api.h"

namespace lumivora::platform {
namespace {

constexpr char kFormClass[] = "LumivoraForm";
constexpr char kGroupClass[] = "LumivoraGroup";
constexpr char kFontName[] = "MS Sans Serif";
constexpr int kFontHeight = -11;

// The resource identifier of a resource number, as MAKEINTRESOURCE gives it.
const char* ResourceId(uintptr_t number) {
  return reinterpret_cast<const char*>(number);  // NOLINT(performance-no-int-to-ptr)
}

HINSTANCE ModuleInstance() {
  return ::GetModuleHandleA(nullptr);
}

// The cursor that every window of the interface shows.
HCURSOR& CurrentCursor() {
  static HCURSOR cursor = nullptr;
  return cursor;
}

struct FontDeleter {
  void operator()(HFONT font) const {
    if (font != nullptr) {
      ::DeleteObject(font);
    }
  }
};
using FontHandle = std::unique_ptr<std::remove_pointer_t<HFONT>, FontDeleter>;

FontHandle MakeFont(bool bold) {
  return FontHandle(::CreateFontA(kFontHeight, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE,
                                  FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                  DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, kFontName));
}

// The application's icon: the executable's icon resource "MAINICON".
HICON ApplicationIcon() {
  HICON icon = ::LoadIconA(ModuleInstance(), "MAINICON");
  return icon != nullptr ? icon : ::LoadIconA(nullptr, ResourceId(32512));  // IDI_APPLICATION
}

// Something a container paints itself (the toolkit's graphic controls).
struct Graphic {
  enum class Kind { kRaisedBevel, kTopLine, kIcon } kind;
  RECT rect;
};

// What a container window (the form, a group box) keeps: its graphics and,
// for a group box, its caption and frame.
struct Container {
  std::vector<Graphic> graphics;
  bool groupFrame = false;
  HFONT font = nullptr;
  HICON icon = nullptr;
  class Win32View* view = nullptr;
};

void PaintContainer(HWND window, const Container& container) {
  PAINTSTRUCT paint{};
  HDC dc = ::BeginPaint(window, &paint);
  if (container.groupFrame) {
    // The group box: an etched frame whose top runs through the middle of
    // the caption's line, the caption over it on the background colour.
    RECT client{};
    ::GetClientRect(window, &client);
    HGDIOBJ oldFont = ::SelectObject(dc, container.font);
    std::vector<char> caption(static_cast<size_t>(::GetWindowTextLengthA(window)) + 1, '\0');
    const int length = ::GetWindowTextA(window, caption.data(), static_cast<int>(caption.size()));
    SIZE extent{};
    ::GetTextExtentPoint32A(dc, caption.data(), length, &extent);
    RECT frame = client;
    frame.top += extent.cy / 2;
    ::DrawEdge(dc, &frame, EDGE_ETCHED, BF_RECT);
    if (length > 0) {
      RECT text{8, 0, 8 + extent.cx, extent.cy};
      ::SetBkColor(dc, ::GetSysColor(COLOR_BTNFACE));
      ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
      ::ExtTextOutA(dc, text.left, text.top, ETO_OPAQUE, &text, caption.data(),
                    static_cast<UINT>(length), nullptr);
    }
    ::SelectObject(dc, oldFont);
  }
  for (const Graphic& graphic : container.graphics) {
    RECT rect = graphic.rect;
    switch (graphic.kind) {
      case Graphic::Kind::kRaisedBevel:
        ::DrawEdge(dc, &rect, BDR_RAISEDINNER, BF_RECT);
        break;
      case Graphic::Kind::kTopLine:
        ::DrawEdge(dc, &rect, BDR_SUNKENOUTER, BF_TOP);
        break;
      case Graphic::Kind::kIcon:
        if (container.icon != nullptr) {
          ::DrawIconEx(dc, rect.left, rect.top, container.icon, rect.right - rect.left,
                       rect.bottom - rect.top, 0, nullptr, DI_NORMAL);
        }
        break;
    }
  }
  ::EndPaint(window, &paint);
}

class Win32View final : public View {
 public:
  Win32View(std::string name, int clientWidth, int clientHeight, bool dialogFrame, bool outerSize);
  Win32View(const Win32View&) = delete;
  Win32View& operator=(const Win32View&) = delete;
  ~Win32View() override;

  void SetText(const std::string& control, const std::string& text) override {
    HWND target = control == name_ ? window_ : Control(control);
    if (target == nullptr) {
      return;
    }
    ::SetWindowTextA(target, text.c_str());
    if (autoSize_.count(control) != 0) {
      FitToText(target);
    }
    if (target != window_) {
      ::InvalidateRect(::GetParent(target), nullptr, TRUE);
    }
  }

  void SetProgressMax(int64_t maximum) override {
    progressMax_ = std::max<int64_t>(maximum, 0);
    // The bar counts in 32-bit steps: byte counts beyond that are scaled.
    shift_ = 0;
    while ((progressMax_ >> shift_) > INT_MAX) {
      ++shift_;
    }
    SendToProgress(PBM_SETRANGE32, 0, static_cast<LPARAM>(progressMax_ >> shift_));
    SetProgressPosition(progressPosition_);
  }

  void SetProgressPosition(int64_t position) override {
    progressPosition_ = std::clamp<int64_t>(position, 0, progressMax_);
    SendToProgress(PBM_SETPOS, static_cast<WPARAM>(progressPosition_ >> shift_), 0);
  }

  void Show() override {
    ::ShowWindow(window_, SW_SHOWNORMAL);
    ::UpdateWindow(window_);
  }

  void BringToFront() override {
    ::SetWindowPos(window_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
    ::SetForegroundWindow(window_);
  }

  [[nodiscard]] HWND Window() const { return window_; }

  // Controls, in creation order; a later one lies above an earlier one.
  HWND AddLabel(const std::string& name, HWND parent, RECT rect, const std::string& text,
                bool autoSize, bool bold) {
    HWND label = AddControl(name, "STATIC", parent, rect, text, SS_LEFT | SS_NOPREFIX);
    if (bold) {
      boldFont_ = MakeFont(true);
      ::SendMessageA(label, WM_SETFONT, reinterpret_cast<WPARAM>(boldFont_.get()), FALSE);
    }
    if (autoSize) {
      autoSize_.insert({name, true});
      FitToText(label);
    }
    return label;
  }

  HWND AddProgressBar(const std::string& name, HWND parent, RECT rect) {
    progress_ = AddControl(name, PROGRESS_CLASSA, parent, rect, "", 0);
    SetProgressMax(100);
    SetProgressPosition(0);
    return progress_;
  }

  HWND AddButton(const std::string& name, HWND parent, RECT rect, const std::string& text, int id) {
    HWND button = AddControl(name, "BUTTON", parent, rect, text, BS_PUSHBUTTON | WS_TABSTOP, id);
    return button;
  }

  HWND AddGroup(const std::string& name, RECT rect, const std::string& caption) {
    auto group = std::make_unique<Container>();
    group->groupFrame = true;
    group->font = font_.get();
    group->icon = container_.icon;
    group->view = this;
    HWND window =
        ::CreateWindowExA(WS_EX_CONTROLPARENT, kGroupClass, caption.c_str(), WS_CHILD | WS_VISIBLE,
                          rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
                          window_, nullptr, ModuleInstance(), group.get());
    controls_[name] = window;
    groups_.push_back(std::move(group));
    return window;
  }

  static void AddGraphic(HWND container, Graphic::Kind kind, RECT rect) {
    auto* data = reinterpret_cast<Container*>(::GetWindowLongPtrA(container, GWLP_USERDATA));
    if (data != nullptr) {
      data->graphics.push_back({kind, rect});
    }
  }

  void Cancel() {
    if (OnCancel) {
      OnCancel();
    }
  }

 private:
  HWND Control(const std::string& name) const {
    const auto found = controls_.find(name);
    return found == controls_.end() ? nullptr : found->second;
  }

  HWND AddControl(const std::string& name, const char* className, HWND parent, RECT rect,
                  const std::string& text, DWORD style, int id = 0) {
    const int controlId = id != 0 ? id : 100 + static_cast<int>(controls_.size());
    HWND control = ::CreateWindowExA(
        0, className, text.c_str(), WS_CHILD | WS_VISIBLE | style, rect.left, rect.top,
        rect.right - rect.left, rect.bottom - rect.top, parent,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(controlId)), ModuleInstance(), nullptr);
    ::SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
    controls_[name] = control;
    return control;
  }

  // A label that sizes itself to its text.
  static void FitToText(HWND label) {
    std::vector<char> text(static_cast<size_t>(::GetWindowTextLengthA(label)) + 1, '\0');
    const int length = ::GetWindowTextA(label, text.data(), static_cast<int>(text.size()));
    HDC dc = ::GetDC(label);
    auto font = reinterpret_cast<HFONT>(::SendMessageA(label, WM_GETFONT, 0, 0));
    HGDIOBJ old = ::SelectObject(dc, font);
    RECT rect{0, 0, 0, 0};
    ::DrawTextA(dc, text.data(), length, &rect, DT_CALCRECT | DT_NOPREFIX | DT_SINGLELINE);
    ::SelectObject(dc, old);
    ::ReleaseDC(label, dc);
    ::SetWindowPos(label, nullptr, 0, 0, std::max<LONG>(rect.right, 1),
                   std::max<LONG>(rect.bottom, 13), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }

  void SendToProgress(UINT message, WPARAM wParam, LPARAM lParam) const {
    if (progress_ != nullptr) {
      ::SendMessageA(progress_, message, wParam, lParam);
    }
  }

  std::string name_;
  HWND window_ = nullptr;
  HWND progress_ = nullptr;
  FontHandle font_;
  FontHandle boldFont_;
  Container container_;
  std::vector<std::unique_ptr<Container>> groups_;
  std::map<std::string, HWND> controls_;
  std::map<std::string, bool> autoSize_;
  int64_t progressMax_ = 100;
  int64_t progressPosition_ = 0;
  int shift_ = 0;
};

// Every live view's top-level window, for the message processing.
std::vector<Win32View*>& LiveViews() {
  static std::vector<Win32View*> views;
  return views;
}

LRESULT CALLBACK ContainerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
    ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* container = reinterpret_cast<Container*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
  switch (message) {
    case WM_PAINT:
      if (container != nullptr) {
        PaintContainer(window, *container);
        return 0;
      }
      break;
    case WM_SETCURSOR:
      if (LOWORD(lParam) == HTCLIENT && CurrentCursor() != nullptr) {
        ::SetCursor(CurrentCursor());
        return TRUE;
      }
      break;
    case WM_COMMAND:
      // The Cancel button (or Escape, which the dialog manager turns into
      // IDCANCEL) cancels the running work.
      if (LOWORD(wParam) == IDCANCEL && container != nullptr && container->view != nullptr) {
        container->view->Cancel();
        return 0;
      }
      break;
    case WM_CLOSE:
      return 0;  // no close button; the window ends only with its owner
    default:
      break;
  }
  return ::DefWindowProcA(window, message, wParam, lParam);
}

void RegisterClasses() {
  static bool registered = false;
  if (registered) {
    return;
  }
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof(controls);
  controls.dwICC = ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
  ::InitCommonControlsEx(&controls);
  for (const char* name : {kFormClass, kGroupClass}) {
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = ContainerProc;
    windowClass.hInstance = ModuleInstance();
    windowClass.hIcon = ApplicationIcon();
    windowClass.hCursor = ::LoadCursorA(nullptr, ResourceId(32512));  // IDC_ARROW
    windowClass.hbrBackground = ::GetSysColorBrush(COLOR_BTNFACE);
    windowClass.lpszClassName = name;
    ::RegisterClassExA(&windowClass);
  }
  registered = true;
}

Win32View::Win32View(std::string name, int width, int height, bool dialogFrame, bool outerSize)
    : name_(std::move(name)), font_(MakeFont(false)) {
  RegisterClasses();
  container_.font = font_.get();
  container_.icon = ApplicationIcon();
  container_.view = this;
  // A caption and no title-bar buttons (no system menu).
  const DWORD style = WS_POPUP | WS_CAPTION | WS_CLIPSIBLINGS;
  const DWORD exStyle = WS_EX_CONTROLPARENT | (dialogFrame ? WS_EX_DLGMODALFRAME : 0);
  RECT outer{0, 0, width, height};
  if (!outerSize) {
    ::AdjustWindowRectEx(&outer, style, FALSE, exStyle);
  }
  const int outerWidth = outer.right - outer.left;
  const int outerHeight = outer.bottom - outer.top;
  // Centred on the screen.
  const int left = (::GetSystemMetrics(SM_CXSCREEN) - outerWidth) / 2;
  const int top = (::GetSystemMetrics(SM_CYSCREEN) - outerHeight) / 2;
  window_ = ::CreateWindowExA(exStyle, kFormClass, "", style, left, top, outerWidth, outerHeight,
                              nullptr, nullptr, ModuleInstance(), &container_);
  LiveViews().push_back(this);
}

Win32View::~Win32View() {
  auto& views = LiveViews();
  views.erase(std::remove(views.begin(), views.end(), this), views.end());
  if (window_ != nullptr) {
    ::DestroyWindow(window_);
  }
}

RECT Box(int left, int top, int width, int height) {
  return RECT{left, top, left + width, top + height};
}

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
