// The GTK backend in this process, on a private X server: the update dialog's
// Cancel button and Escape reach OnCancel only through ProcessMessages, byte
// counts beyond 32 bits drive the bar, and message boxes answer with their
// default and Escape buttons.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <stdlib.h>

#include <map>
#include <sstream>

#include "platform/ui.h"
#include "tests/gtk/x_session.h"

namespace lumivora::testing {
namespace {

using platform::MessageAnswer;
using platform::MessageButtons;
using platform::SplashControl;
using platform::UpdaterControl;
using std::chrono::seconds;

// One X server per test program run: GTK binds to the first display it opens
// (each test runs in a process of its own under ctest).
class GtkInterfaceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    session = std::make_unique<XSession>(false);
    for (const auto& [name, value] : session->Environment({})) {
      ::setenv(name.c_str(), value.c_str(), 1);
    }
    ui = platform::CreateDesktopInterface();
  }
  static void TearDownTestSuite() {
    ui.reset();
    session.reset();
  }

  // Handles events until CONDITION holds (bounded).
  static bool ProcessUntil(const std::function<bool()>& condition) {
    return PollUntil(
        [&] {
          ui->ProcessMessages();
          return condition();
        },
        seconds(20));
  }

  static inline std::unique_ptr<XSession> session;
  static inline std::unique_ptr<platform::UserInterface> ui;
};

TEST_F(GtkInterfaceTest, CancelReachesTheWorkOnlyThroughProcessMessages) {
  const std::unique_ptr<platform::UpdaterView> dialog = ui->CreateUpdater();
  int cancels = 0;
  dialog->OnCancel = [&] { ++cancels; };
  dialog->SetText(UpdaterControl::kCaption, "Lumivora");
  dialog->SetText(UpdaterControl::kFile, "Downloading file Lumivorapack.new");
  dialog->SetProgressMax(10'000'000'000);  // beyond 32 bits
  dialog->SetProgressPosition(2'500'000'000);
  dialog->Show();
  const auto window = session->WaitForWindow("Lumivora", "frmUpdater", "Lumivora");
  ASSERT_TRUE(window.has_value());
  auto texts = session->Texts(*window);
  EXPECT_EQ(texts["ProgressBar"], "2500000000/10000000000");
  EXPECT_EQ(texts["lbl_File"], "Downloading file Lumivorapack.new");
  EXPECT_EQ(texts["btn_Update"], "&Cancel");
  ASSERT_TRUE(ProcessUntil([&] { return session->LayoutProblems(*window).empty(); }))
      << session->LayoutProblems(*window);
  EXPECT_GE(session->Size(*window).first, 352);
  EXPECT_GE(session->Size(*window).second, 158);

  // Escape presses the button; the press waits for the next ProcessMessages.
  ASSERT_TRUE(ProcessUntil([&] { return session->IsShownNormally(*window); }));
  ASSERT_TRUE(session->PressKeys(*window, {"Escape"}, "windowfocus"));
  EXPECT_EQ(cancels, 0);
  ASSERT_TRUE(ProcessUntil([&] { return cancels == 1; }));

  // A click on the middle of the button.
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  std::istringstream(session->Entries(*window, "_LUMIVORA_LAYOUT")["btn_Update"]) >> x >> y >>
      width >> height;
  ASSERT_EQ(
      session
          ->Xdotool({"mousemove", "--window", std::to_string(*window),
                     std::to_string(x + width / 2), std::to_string(y + height / 2), "click", "1"})
          .exitCode,
      0);
  ASSERT_TRUE(ProcessUntil([&] { return cancels == 2; }));
  ui->ProcessMessages();
  EXPECT_EQ(cancels, 2);  // fired once per press
}

TEST_F(GtkInterfaceTest, SplashTakesNoInputAndShowsItsProgress) {
  const std::unique_ptr<platform::SplashView> splash = ui->CreateSplash();
  int cancels = 0;
  splash->OnCancel = [&] { ++cancels; };
  splash->SetText(SplashControl::kCaption, "Lumivora");
  splash->SetText(SplashControl::kStatus, "Ready !");
  splash->SetProgressMax(3);
  splash->SetProgressPosition(5);  // shown full, not beyond
  splash->Show();
  const auto window = session->WaitForWindow("Lumivora", "lblStatus", "Ready !");
  ASSERT_TRUE(window.has_value());
  EXPECT_EQ(session->Texts(*window)["prgSteps"], "5/3");
  ASSERT_TRUE(ProcessUntil([&] { return session->IsShownNormally(*window); }));
  ASSERT_TRUE(session->PressKeys(*window, {"Escape", "Return", "alt+F4"}, "windowfocus"));
  ui->ProcessMessages();
  EXPECT_TRUE(session->IsShownNormally(*window));
  EXPECT_EQ(cancels, 0);
}

// Whatever the desktop's font, no text of the windows overlaps another or is
// cut, and nothing reaches outside its window.
TEST_F(GtkInterfaceTest, TextsFitAtTheDesktopFont) {
  for (const char* font : {"DejaVu Sans 8", "DejaVu Sans 11", "DejaVu Serif Bold 16"}) {
    SCOPED_TRACE(font);
    g_object_set(gtk_settings_get_default(), "gtk-font-name", font, nullptr);
    const std::unique_ptr<platform::UpdaterView> dialog = ui->CreateUpdater();
    const std::unique_ptr<platform::SplashView> splash = ui->CreateSplash();
    for (const auto& [control, text] : std::map<UpdaterControl, std::string>{
             {UpdaterControl::kCaption, font},
             {UpdaterControl::kGroup, " Program Update: "},
             {UpdaterControl::kYourVersionLabel, "Your version:"},
             {UpdaterControl::kWebVersionLabel, "Version at the web:"},
             {UpdaterControl::kYourVersion, "1.0"},
             {UpdaterControl::kWebVersion, "12.345.6789"},
             {UpdaterControl::kFile, "Downloading file Lumivorapack-12.345.6789"},
             {UpdaterControl::kCancelButton, "&Cancel"}}) {
      dialog->SetText(control, text);
    }
    splash->SetText(SplashControl::kCaption, font);
    splash->SetText(SplashControl::kPrompt, "Please, wait now ...");
    splash->SetText(SplashControl::kStatus, "Ready !");
    dialog->Show();
    splash->Show();
    for (const char* key : {"frmUpdater", "frmSplash"}) {
      const auto window = session->WaitForWindow(font, key, font);
      ASSERT_TRUE(window.has_value()) << key;
      EXPECT_TRUE(ProcessUntil([&] { return session->LayoutProblems(*window).empty(); }))
          << key << ": " << session->LayoutProblems(*window);
    }
  }
}

struct AnswerCase {
  const char* name;
  MessageButtons buttons;
  MessageAnswer defaultButton;
  const char* key;
  MessageAnswer expected;
};

void PrintTo(const AnswerCase& row, std::ostream* out) {
  *out << row.name;
}

class MessageBoxTest : public GtkInterfaceTest, public ::testing::WithParamInterface<AnswerCase> {};

// The key is pressed by xdotool started before the box: it waits for the box
// to be on the screen, focuses it, then presses the key on the keyboard.
TEST_P(MessageBoxTest, KeyGivesTheAnswer) {
  const AnswerCase& row = GetParam();
  ChildProcess presser({"/bin/sh", "-c",
                        "xdotool search --sync --onlyvisible --name '^Warning$' windowfocus "
                        "--sync %1 && xdotool key " +
                            std::string(row.key)},
                       lumivora::testing::Environment({}));
  platform::MessageBoxRequest request;
  request.caption = "Warning";
  request.text = "Version 1.1 is available.\r\nDo you want to update your application now ?";
  request.icon = platform::MessageIcon::kWarning;
  request.buttons = row.buttons;
  request.defaultButton = row.defaultButton;
  EXPECT_EQ(ui->ShowMessage(request), row.expected);
  EXPECT_EQ(presser.Wait(seconds(30)).exitCode, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, MessageBoxTest,
    ::testing::Values(AnswerCase{"YesDefaultReturn", MessageButtons::kYesNo, MessageAnswer::kYes,
                                 "Return", MessageAnswer::kYes},
                      AnswerCase{"YesNoEscape", MessageButtons::kYesNo, MessageAnswer::kYes,
                                 "Escape", MessageAnswer::kNo},
                      AnswerCase{"NoDefaultReturn", MessageButtons::kYesNo, MessageAnswer::kNo,
                                 "Return", MessageAnswer::kNo},
                      AnswerCase{"NoByAccessKey", MessageButtons::kYesNo, MessageAnswer::kYes,
                                 "alt+n", MessageAnswer::kNo},
                      AnswerCase{"OkCancelReturn", MessageButtons::kOkCancel, MessageAnswer::kOk,
                                 "Return", MessageAnswer::kOk},
                      AnswerCase{"OkCancelEscape", MessageButtons::kOkCancel, MessageAnswer::kOk,
                                 "Escape", MessageAnswer::kCancel},
                      AnswerCase{"OkEscape", MessageButtons::kOk, MessageAnswer::kOk, "Escape",
                                 MessageAnswer::kOk},
                      AnswerCase{"DefaultNotOnTheBox", MessageButtons::kOk, MessageAnswer::kYes,
                                 "Return", MessageAnswer::kOk}),
    [](const ::testing::TestParamInfo<AnswerCase>& param) { return param.param.name; });

}  // namespace
}  // namespace lumivora::testing
