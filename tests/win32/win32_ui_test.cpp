// The Win32 user interface: the splash window and the update dialog as real
// windows (places and sizes of their tables), Cancel through the message
// processing, message boxes with their captions, icons, buttons and default
// buttons, and the launcher's resources.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>

#include "platform/ui.h"
#include "tests/win32/win32_support.h"

namespace lumivora::platform {
namespace {

using namespace lumivora::testing;
using namespace std::chrono_literals;

class Win32Splash : public WindowTest {};
class Win32Updater : public WindowTest {};
class Win32MessageBox : public WindowTest {};

// The one top-level window of this process of class "LumivoraForm".
HWND OurForm() {
  const auto windows = TopLevelWindows(::GetCurrentProcessId(), "LumivoraForm");
  return windows.size() == 1 ? windows.front() : nullptr;
}

void ExpectPlace(HWND control, int left, int top, int width, int height) {
  ASSERT_NE(control, nullptr);
  RECT rect{};
  ::GetWindowRect(control, &rect);
  ::MapWindowPoints(HWND_DESKTOP, ::GetParent(control), reinterpret_cast<POINT*>(&rect), 2);
  EXPECT_EQ(rect.left, left) << WindowText(control);
  EXPECT_EQ(rect.top, top) << WindowText(control);
  if (width >= 0) {
    EXPECT_EQ(rect.right - rect.left, width) << WindowText(control);
    EXPECT_EQ(rect.bottom - rect.top, height) << WindowText(control);
  }
}

TEST_F(Win32Splash, LayoutCaptionAndProgress) {
  const auto ui = CreateDesktopInterface();
  auto splash = ui->CreateSplash();
  splash->SetText(SplashControl::kCaption, "Lumivora");
  splash->SetText(SplashControl::kPrompt, "Please, wait now ...");
  splash->SetText(SplashControl::kStatus, "Ready !");
  splash->Show();
  ui->ProcessMessages();
  HWND form = OurForm();
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(WindowText(form), "Lumivora");
  RECT outer{};
  ::GetWindowRect(form, &outer);
  EXPECT_EQ(outer.right - outer.left, 344);
  EXPECT_EQ(outer.bottom - outer.top, 131);
  const auto style = static_cast<DWORD>(::GetWindowLongPtrA(form, GWL_STYLE));
  EXPECT_NE(style & WS_CAPTION, 0U);
  EXPECT_EQ(style & (WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0U);
  // Centred on the screen.
  EXPECT_LE(std::abs((outer.left + outer.right) / 2 - ::GetSystemMetrics(SM_CXSCREEN) / 2), 1);

  // Labels sized to their text: with MS Sans Serif (installed in the test
  // prefix) exactly the table's sizes.
  ExpectPlace(FindChild(form, "Static", "Please, wait now ..."), 80, 8, 92, 13);
  HWND status = FindChild(form, "Static", "Ready !");
  ExpectPlace(status, 80, 32, -1, -1);
  HWND progress = FindChild(form, "msctls_progress32", "");
  ExpectPlace(progress, 8, 64, 313, 25);

  // The status line is bold, the prompt is not.
  LOGFONTA font{};
  ::GetObjectA(reinterpret_cast<HFONT>(::SendMessageA(status, WM_GETFONT, 0, 0)), sizeof(font),
               &font);
  EXPECT_GE(font.lfWeight, FW_BOLD);
  EXPECT_EQ(font.lfHeight, -11);

  splash->SetProgressMax(3);
  splash->SetProgressPosition(2);
  EXPECT_EQ(::SendMessageA(progress, PBM_GETRANGE, FALSE, 0), 3);
  EXPECT_EQ(::SendMessageA(progress, PBM_GETPOS, 0, 0), 2);
  splash.reset();
  EXPECT_EQ(OurForm(), nullptr);
}

TEST_F(Win32Updater, LayoutProgressInBytesAndCancel) {
  const auto ui = CreateDesktopInterface();
  auto updater = ui->CreateUpdater();
  int cancels = 0;
  updater->OnCancel = [&] { ++cancels; };
  // Every control as the dialog sets it, each in its own place below.
  updater->SetText(UpdaterControl::kCaption, "Lumivora");
  updater->SetText(UpdaterControl::kGroup, " Program Update: ");
  updater->SetText(UpdaterControl::kYourVersionLabel, "Your version:");
  updater->SetText(UpdaterControl::kWebVersionLabel, "Version at the web:");
  updater->SetText(UpdaterControl::kYourVersion, "1.2");
  updater->SetText(UpdaterControl::kWebVersion, "1.3");
  updater->SetText(UpdaterControl::kFile, "Downloading file Lumivorapack");
  updater->SetText(UpdaterControl::kCancelButton, "&Cancel");
  updater->Show();
  ui->ProcessMessages();
  HWND form = OurForm();
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(WindowText(form), "Lumivora");
  RECT client{};
  ::GetClientRect(form, &client);
  EXPECT_EQ(client.right, 352);
  EXPECT_EQ(client.bottom, 158);
  const auto style = static_cast<DWORD>(::GetWindowLongPtrA(form, GWL_STYLE));
  EXPECT_EQ(style & WS_SYSMENU, 0U);
  EXPECT_NE(::GetWindowLongPtrA(form, GWL_EXSTYLE) & WS_EX_DLGMODALFRAME, 0);

  HWND group = FindChild(form, "LumivoraGroup", " Program Update: ");
  ExpectPlace(group, 9, 8, 336, 113);
  ExpectPlace(FindChild(group, "Static", "Your version:"), 58, 24, 62, 13);
  ExpectPlace(FindChild(group, "Static", "Version at the web:"), 58, 40, 91, 13);
  ExpectPlace(FindChild(group, "Static", "1.2"), 152, 24, 177, 13);
  ExpectPlace(FindChild(group, "Static", "1.3"), 152, 40, 177, 13);
  ExpectPlace(FindChild(group, "Static", "Downloading file Lumivorapack"), 8, 66, -1, -1);
  HWND button = FindChild(form, "Button", "&Cancel");
  ExpectPlace(button, 139, 128, 75, 25);

  // Byte counts beyond 16 and 31 bits.
  HWND progress = FindChild(group, "msctls_progress32", "");
  ExpectPlace(progress, 8, 80, 321, 16);
  updater->SetProgressMax(100000);
  updater->SetProgressPosition(65536);
  EXPECT_EQ(::SendMessageA(progress, PBM_GETRANGE, FALSE, 0), 100000);
  EXPECT_EQ(::SendMessageA(progress, PBM_GETPOS, 0, 0), 65536);
  updater->SetProgressMax(int64_t{6} << 30);
  updater->SetProgressPosition(int64_t{3} << 30);
  const auto range = ::SendMessageA(progress, PBM_GETRANGE, FALSE, 0);
  EXPECT_EQ(::SendMessageA(progress, PBM_GETPOS, 0, 0) * 2, range);

  // A click waiting in the queue, then Escape: each cancels once, from the
  // message processing.
  ::PostMessageA(button, BM_CLICK, 0, 0);
  EXPECT_EQ(cancels, 0);
  ui->ProcessMessages();
  EXPECT_EQ(cancels, 1);
  ::SetFocus(button);
  ::PostMessageA(button, WM_KEYDOWN, VK_ESCAPE, 0);
  ui->ProcessMessages();
  EXPECT_EQ(cancels, 2);
}

// Answers the next message box of this process from another thread: reads
// its caption, text, buttons and default button, then presses ANSWER.
struct SeenBox {
  bool found = false;
  std::string caption;
  std::string text;
  bool hasYes = false;
  bool hasNo = false;
  int defaultId = 0;
  bool hasIcon = false;
};

std::thread AnswerNextBox(SeenBox& seen, int answer) {
  return std::thread([&seen, answer] {
    HWND box = WaitForBox(::GetCurrentProcessId());
    if (box == nullptr) {
      return;
    }
    seen.caption = WindowText(box);
    seen.text = MessageBoxText(box);
    seen.hasYes = ::GetDlgItem(box, IDYES) != nullptr;
    seen.hasNo = ::GetDlgItem(box, IDNO) != nullptr;
    for (const int id : {IDOK, IDCANCEL, IDYES, IDNO}) {
      HWND button = ::GetDlgItem(box, id);
      if (button != nullptr &&
          (::GetWindowLongPtrA(button, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
        seen.defaultId = id;
      }
    }
    for (HWND child : ChildWindows(box)) {
      if (ClassName(child) == "Static" &&
          (::GetWindowLongPtrA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
          ::IsWindowVisible(child) != 0) {
        seen.hasIcon = true;
      }
    }
    seen.found = true;
    ::PostMessageA(box, WM_COMMAND, static_cast<WPARAM>(answer), 0);
  });
}

TEST_F(Win32MessageBox, CaptionsButtonsDefaultsAndAnswers) {
  struct Row {
    const char* caption;
    std::string text;
    MessageIcon icon;
    MessageButtons buttons;
    MessageAnswer defaultButton;
    MessageAnswer press;  // the button pressed, and the answer it gives
  };
  const std::string question = "Version 1.3 is available.\r\nDo you want to update now ?";
  const std::map<MessageAnswer, int> ids = {{MessageAnswer::kOk, IDOK},
                                            {MessageAnswer::kCancel, IDCANCEL},
                                            {MessageAnswer::kYes, IDYES},
                                            {MessageAnswer::kNo, IDNO}};
  const Row rows[] = {
      {"Lumivora", "Error in file processing : \rC:\\x\\Lumivorapack", MessageIcon::kError,
       MessageButtons::kOk, MessageAnswer::kOk, MessageAnswer::kOk},
      {"Warning", question, MessageIcon::kWarning, MessageButtons::kYesNo, MessageAnswer::kYes,
       MessageAnswer::kNo},
      {"Warning", question, MessageIcon::kWarning, MessageButtons::kYesNo, MessageAnswer::kYes,
       MessageAnswer::kYes},
      {"Confirm", "Go?", MessageIcon::kQuestion, MessageButtons::kYesNo, MessageAnswer::kNo,
       MessageAnswer::kNo},
      {"ERROR", "Can not start this program ", MessageIcon::kError, MessageButtons::kOkCancel,
       MessageAnswer::kCancel, MessageAnswer::kCancel},
  };
  const auto ui = CreateDesktopInterface();
  for (const Row& row : rows) {
    const MessageBoxRequest request{row.caption, row.text,          row.icon,
                                    row.buttons, row.defaultButton, false};
    SeenBox seen;
    std::thread answerer = AnswerNextBox(seen, ids.at(row.press));
    const MessageAnswer answer = ui->ShowMessage(request);
    answerer.join();
    ASSERT_TRUE(seen.found) << row.text;
    EXPECT_EQ(answer, row.press) << row.text;
    EXPECT_EQ(seen.caption, row.caption);
    EXPECT_EQ(seen.text, row.text);
    EXPECT_EQ(seen.hasYes, row.buttons == MessageButtons::kYesNo);
    EXPECT_EQ(seen.hasNo, row.buttons == MessageButtons::kYesNo);
    EXPECT_EQ(seen.defaultId, ids.at(row.defaultButton)) << row.text;
    EXPECT_TRUE(seen.hasIcon);
  }
}

TEST(Win32Resources, LauncherCarriesItsIconAndStringTable) {
  const std::string launcher = std::string(LUMIVORA_BIN_DIR) + "/lumivora.exe";
  HMODULE module = ::LoadLibraryExA(launcher.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr) << launcher;
  EXPECT_NE(::FindResourceA(module, "MAINICON", reinterpret_cast<LPCSTR>(14)),
            nullptr);  // RT_GROUP_ICON
  struct Row {
    UINT number;
    const char* text;
  };
  const Row rows[] = {
      {65342, "Lumivora"},
      {65314, " Program Update: "},
      {65315, "Your version:"},
      {65316, "Version at the web:"},
      {65317,
       "You are using version %s, but version %s is available to download.\r\nDo you want to "
       "update your application now ?"},
  };
  for (const Row& row : rows) {
    char text[512] = {};
    const int length = ::LoadStringA(module, row.number, text, sizeof(text));
    EXPECT_EQ(std::string(text, static_cast<size_t>(std::max(length, 0))), row.text) << row.number;
  }
  ::FreeLibrary(module);
}

}  // namespace
}  // namespace lumivora::platform
