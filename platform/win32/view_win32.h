// The windows of the Win32 desktop interface (ui_win32.cpp, which types them
// by their controls): a top-level form or a group box as a container window
// that paints its own bevels, lines and icon, with STATIC labels, a comctl32
// progress bar and BUTTONs in it, laid out in pixels at 96 dots per inch with
// "MS Sans Serif" at height -11 on the button-face background.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/ui.h"
#include "platform/win32/windows_api.h"

namespace lumivora::platform::win32 {

// The resource identifier of a resource number, as MAKEINTRESOURCE gives it.
inline const char* ResourceId(uintptr_t number) {
  return reinterpret_cast<const char*>(number);  // NOLINT(performance-no-int-to-ptr)
}

inline HINSTANCE ModuleInstance() {
  return ::GetModuleHandleA(nullptr);
}

inline RECT Box(int left, int top, int width, int height) {
  return RECT{left, top, left + width, top + height};
}

// The cursor that every window of the interface shows.
HCURSOR& CurrentCursor();

struct FontDeleter {
  void operator()(HFONT font) const {
    if (font != nullptr) {
      ::DeleteObject(font);
    }
  }
};
using FontHandle = std::unique_ptr<std::remove_pointer_t<HFONT>, FontDeleter>;

// The interface's font, normal or bold.
FontHandle MakeFont(bool bold);

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
  class Win32Form* form = nullptr;
};

// A top-level window of the interface (the splash window, the update
// dialog): a caption without title-bar buttons, centred on the screen. The
// typed view VIEW over it keeps its controls and fires its OnCancel.
class Win32Form final {
 public:
  // CLIENTWIDTH x CLIENTHEIGHT is the outer size when OUTERSIZE is set.
  Win32Form(View& view, int clientWidth, int clientHeight, bool dialogFrame, bool outerSize);
  Win32Form(const Win32Form&) = delete;
  Win32Form& operator=(const Win32Form&) = delete;
  ~Win32Form();

  // The text of CONTROL (the window itself: its caption); a label that sizes
  // itself is sized to it.
  void SetText(HWND control, const std::string& text);
  void SetProgressMax(int64_t maximum);
  void SetProgressPosition(int64_t position);
  void Show();
  void BringToFront();

  [[nodiscard]] HWND Window() const { return window_; }

  // Controls, in creation order; a later one lies above an earlier one.
  HWND AddLabel(HWND parent, RECT rect, const std::string& text, bool autoSize, bool bold);
  HWND AddProgressBar(HWND parent, RECT rect);
  HWND AddButton(HWND parent, RECT rect, const std::string& text, int id);
  HWND AddGroup(RECT rect, const std::string& caption);
  static void AddGraphic(HWND container, Graphic::Kind kind, RECT rect);

  void Cancel();

 private:
  HWND AddControl(const char* className, HWND parent, RECT rect, const std::string& text,
                  DWORD style, int id = 0);
  // A label that sizes itself to its text.
  static void FitToText(HWND label);
  void SendToProgress(UINT message, WPARAM wParam, LPARAM lParam) const;

  View& view_;
  HWND window_ = nullptr;
  HWND progress_ = nullptr;
  FontHandle font_;
  FontHandle boldFont_;
  Container container_;
  std::vector<std::unique_ptr<Container>> groups_;
  int controlCount_ = 0;  // numbers the controls from 100
  std::set<HWND> autoSize_;
  int64_t progressMax_ = 100;
  int64_t progressPosition_ = 0;
  int shift_ = 0;
};

// Every live form, for the message processing.
std::vector<Win32Form*>& LiveForms();

}  // namespace lumivora::platform::win32
