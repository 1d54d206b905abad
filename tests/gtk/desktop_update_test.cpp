// The self-update with real windows: the real lumivora binary on a private X
// server asks the update question in a GTK message box and shows the update
// dialog during the download. The program runs in a private network
// namespace (tests/e2e/in-private-network) with the loopback update server on
// the launcher's built-in address.
#include <gtest/gtest.h>

#include "tests/e2e/update_server.h"
#include "tests/gtk/x_session.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

namespace lumivora::testing {
namespace {

class DesktopUpdateTest : public ::testing::Test, public LauncherInstall {
 protected:
  DesktopUpdateTest() : session(true) {  // a window manager: the screenshots show frames
    Offer("update.ini", "1.1", "Lumivorapack-1.1");
  }

  std::unique_ptr<ChildProcess> Start() {
    // The launcher hands "--hold" on to the main program, which then ends
    // when its standard input (inherited, closed at once here) is at its end
    // instead of keeping its window open.
    auto launcher =
        std::make_unique<ChildProcess>(std::vector<std::string>{dir / "install/lumivora", "--hold"},
                                       lumivora::testing::Environment(session.Environment(Env())));
    launcher->CloseInput();
    return launcher;
  }

  XSession session;
};

// Return takes the question's default, Yes. (Which key gives which answer is
// tested on the message boxes themselves, in gtk_interface_test.cpp; the
// question's text is the update component's.)
TEST_F(DesktopUpdateTest, QuestionAnsweredWithReturnUpdates) {
  const UpdateServer server(dir / "www", "0");
  const auto launcher = Start();
  const auto question = session.WaitForWindow("Warning", "caption", "Warning");
  ASSERT_TRUE(question.has_value());
  auto texts = session.Texts(*question);
  EXPECT_EQ(texts["icon"], "warning");
  EXPECT_EQ(texts["default"], "Yes");
  const auto dialog = session.WaitForWindow("Lumivora", "lbl_WebVersion", "1.1");
  ASSERT_TRUE(dialog.has_value());
  EXPECT_TRUE(PollUntil([&] { return session.LayoutProblems(*dialog).empty(); }, seconds(20)))
      << session.LayoutProblems(*dialog);
  EXPECT_TRUE(session.Screenshot("update-question.png", {*dialog, *question}));
  ASSERT_TRUE(session.PressKeys(*question, {"Return"}));
  const ProcessResult result = launcher->Wait(seconds(60));
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(Version(), "1.1");
  EXPECT_FALSE(OldPackKept());
}

TEST_F(DesktopUpdateTest, EscapeInTheUpdateDialogCancelsTheDownload) {
  WriteSettings("1");
  const UpdateServer server(dir / "www", "20000");  // bytes per second
  const auto launcher = Start();
  const auto dialog =
      session.WaitForWindow("Lumivora", "lbl_File", "Downloading file Lumivorapack-1.1");
  ASSERT_TRUE(dialog.has_value());
  auto texts = session.Texts(*dialog);
  EXPECT_EQ(texts["lbl_YourVersion"], "1.0");
  EXPECT_EQ(texts["lbl_WebVersion"], "1.1");
  EXPECT_TRUE(PollUntil([&] { return session.LayoutProblems(*dialog).empty(); }, seconds(20)))
      << session.LayoutProblems(*dialog);
  EXPECT_TRUE(session.Screenshot("update-dialog.png", {*dialog}));
  ASSERT_TRUE(session.PressKeys(*dialog, {"Escape"}));
  const ProcessResult result = launcher->Wait(seconds(60));
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(ReadFile(Pack()), oldPack);
  EXPECT_EQ(Version(), "1.0");
  // The download stopped: the second address was asked next.
  const std::vector<std::string> requests = server.Requests();
  ASSERT_EQ(requests.size(), 3U);
  EXPECT_EQ(requests[2], "GET /lumivora/update2.ini");
}

}  // namespace
}  // namespace lumivora::testing
