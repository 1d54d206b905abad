// The windows of the Win32 desktop interface: container windows that paint
// their own graphics, the controls in them, and the form over a top-level
// window that the interface's windows are built from.
#include "platform/win32/view_win32.h"

#include <algorithm>
#include <climits>
#include <utility>

namespace lumivora::platform::win32 {
namespace {

constexpr char kFormClass[] = "LumivoraForm";
constexpr char kGroupClass[] = "LumivoraGroup";
constexpr char kFontName[] = "MS Sans Serif";
constexpr int kFontHeight = -11;

// The application's icon: the executable's icon resource "MAINICON".
HICON ApplicationIcon() {
  HICON icon = ::LoadIconA(ModuleInstance(), "MAINICON");
  return icon != nullptr ? icon : ::LoadIconA(nullptr, ResourceId(32512));  // IDI_APPLICATION
}

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
      if (LOWORD(wParam) == IDCANCEL && container != nullptr && container->form != nullptr) {
        container->form->Cancel();
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

}  // namespace

// The cursor that every window of the interface shows.
HCURSOR& CurrentCursor() {
  static HCURSOR cursor = nullptr;
  return cursor;
}

FontHandle MakeFont(bool bold) {
  return FontHandle(::CreateFontA(kFontHeight, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE,
                                  FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                  DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, kFontName));
}

// Every live form, for the message processing.
std::vector<Win32Form*>& LiveForms() {
  static std::vector<Win32Form*> forms;
  return forms;
}

Win32Form::Win32Form(View& view, int width, int height, bool dialogFrame, bool outerSize)
    : view_(view), font_(MakeFont(false)) {
  RegisterClasses();
  container_.font = font_.get();
  container_.icon = ApplicationIcon();
  container_.form = this;
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
  LiveForms().push_back(this);
}

Win32Form::~Win32Form() {
  auto& forms = LiveForms();
  forms.erase(std::remove(forms.begin(), forms.end(), this), forms.end());
  if (window_ != nullptr) {
    ::DestroyWindow(window_);
  }
}

void Win32Form::SetText(HWND control, const std::string& text) {
  ::SetWindowTextA(control, text.c_str());
  if (autoSize_.count(control) != 0) {
    FitToText(control);
  }
  if (control != window_) {
    ::InvalidateRect(::GetParent(control), nullptr, TRUE);
  }
}

void Win32Form::SetProgressMax(int64_t maximum) {
  progressMax_ = std::max<int64_t>(maximum, 0);
  // The bar counts in 32-bit steps: byte counts beyond that are scaled.
  shift_ = 0;
  while ((progressMax_ >> shift_) > INT_MAX) {
    ++shift_;
  }
  SendToProgress(PBM_SETRANGE32, 0, static_cast<LPARAM>(progressMax_ >> shift_));
  SetProgressPosition(progressPosition_);
}

void Win32Form::SetProgressPosition(int64_t position) {
  progressPosition_ = std::clamp<int64_t>(position, 0, progressMax_);
  SendToProgress(PBM_SETPOS, static_cast<WPARAM>(progressPosition_ >> shift_), 0);
}

void Win32Form::Show() {
  ::ShowWindow(window_, SW_SHOWNORMAL);
  ::UpdateWindow(window_);
}

void Win32Form::BringToFront() {
  ::SetWindowPos(window_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
  ::SetForegroundWindow(window_);
}

HWND Win32Form::AddLabel(HWND parent, RECT rect, const std::string& text, bool autoSize,
                         bool bold) {
  HWND label = AddControl("STATIC", parent, rect, text, SS_LEFT | SS_NOPREFIX);
  if (bold) {
    boldFont_ = MakeFont(true);
    ::SendMessageA(label, WM_SETFONT, reinterpret_cast<WPARAM>(boldFont_.get()), FALSE);
  }
  if (autoSize) {
    autoSize_.insert(label);
    FitToText(label);
  }
  return label;
}

HWND Win32Form::AddProgressBar(HWND parent, RECT rect) {
  progress_ = AddControl(PROGRESS_CLASSA, parent, rect, "", 0);
  SetProgressMax(100);
  SetProgressPosition(0);
  return progress_;
}

HWND Win32Form::AddButton(HWND parent, RECT rect, const std::string& text, int id) {
  return AddControl("BUTTON", parent, rect, text, BS_PUSHBUTTON | WS_TABSTOP, id);
}

HWND Win32Form::AddGroup(RECT rect, const std::string& caption) {
  auto group = std::make_unique<Container>();
  group->groupFrame = true;
  group->font = font_.get();
  group->icon = container_.icon;
  group->form = this;
  HWND window =
      ::CreateWindowExA(WS_EX_CONTROLPARENT, kGroupClass, caption.c_str(), WS_CHILD | WS_VISIBLE,
                        rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
                        window_, nullptr, ModuleInstance(), group.get());
  ++controlCount_;
  groups_.push_back(std::move(group));
  return window;
}

void Win32Form::AddGraphic(HWND container, Graphic::Kind kind, RECT rect) {
  auto* data = reinterpret_cast<Container*>(::GetWindowLongPtrA(container, GWLP_USERDATA));
  if (data != nullptr) {
    data->graphics.push_back({kind, rect});
  }
}

void Win32Form::Cancel() {
  if (view_.OnCancel) {
    view_.OnCancel();
  }
}

HWND Win32Form::AddControl(const char* className, HWND parent, RECT rect, const std::string& text,
                           DWORD style, int id) {
  const int controlId = id != 0 ? id : 100 + controlCount_;
  HWND control = ::CreateWindowExA(
      0, className, text.c_str(), WS_CHILD | WS_VISIBLE | style, rect.left, rect.top,
      rect.right - rect.left, rect.bottom - rect.top, parent,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(controlId)), ModuleInstance(), nullptr);
  ::SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
  ++controlCount_;
  return control;
}

void Win32Form::FitToText(HWND label) {
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

void Win32Form::SendToProgress(UINT message, WPARAM wParam, LPARAM lParam) const {
  if (progress_ != nullptr) {
    ::SendMessageA(progress_, message, wParam, lParam);
  }
}

}  // namespace lumivora::platform::win32
