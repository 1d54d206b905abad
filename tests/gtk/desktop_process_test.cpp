// The real lumivora binary on a private X server: its windows are found by
// title with xdotool, answered with key presses, and their control texts read
// from the property the GTK backend publishes.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/gtk/x_session.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

namespace lumivora::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

class DesktopProcessTest : public ::testing::Test {
 protected:
  explicit DesktopProcessTest(bool withWindowManager = false) : session(withWindowManager) {
    for (const char* folder : {"install", "home", "home/.config", "tmp"}) {
      fs::create_directories(dir / folder);
    }
    InstallLauncher(LUMIVORA_BIN_DIR, dir / "install");
  }

  [[nodiscard]] std::string Launcher() const { return dir / "install/lumivora"; }
  [[nodiscard]] std::string Pack() const { return dir / "install/Lumivorapack"; }
  [[nodiscard]] std::map<std::string, std::string> Environment() const {
    return session.Environment({{"HOME", dir / "home"},
                                {"XDG_CONFIG_HOME", dir / "home/.config"},
                                {"XDG_RUNTIME_DIR", ""},
                                {"TMPDIR", dir / "tmp"}});
  }

  TempDir dir;
  XSession session;
};

// Under a window manager, whose frames the screenshots show.
class MissingPackBoxTest : public DesktopProcessTest,
                           public ::testing::WithParamInterface<const char*> {
 protected:
  MissingPackBoxTest() : DesktopProcessTest(true) {}
};

// The splash window shows its texts while the box about the missing pack is
// open; any of the box's keys ends the launcher, which reports nothing on the
// console (the desktop backend was chosen).
TEST_P(MissingPackBoxTest, SplashAndMissingPackBoxAppearAndTheKeyEndsTheLauncher) {
  ChildProcess launcher({Launcher()}, lumivora::testing::Environment(Environment()));
  const auto splash = session.WaitForWindow("Lumivora", "frmSplash", "Lumivora");
  ASSERT_TRUE(splash.has_value());
  const auto box = session.WaitForWindow("Lumivora", "caption", "Lumivora");
  ASSERT_TRUE(box.has_value());

  auto texts = session.Texts(*splash);
  EXPECT_EQ(texts["lblPrompt"], "Please, wait now ...");
  EXPECT_EQ(texts["lblStatus"], "...");  // "Ready !" comes after the box
  EXPECT_EQ(texts["prgSteps"], "3/3");
  EXPECT_GE(session.Size(*splash).first, 344);
  EXPECT_GE(session.Size(*splash).second, 131);
  EXPECT_TRUE(PollUntil([&] { return session.LayoutProblems(*splash).empty(); }, seconds(20)))
      << session.LayoutProblems(*splash);

  texts = session.Texts(*box);
  EXPECT_EQ(texts["text"], "Error in file processing : \n" + Pack());  // CR as line break
  EXPECT_EQ(texts["icon"], "error");
  EXPECT_EQ(texts["buttons"], "OK");
  EXPECT_EQ(texts["default"], "OK");
  if (std::string(GetParam()) == "Return") {
    EXPECT_TRUE(session.Screenshot("missing-pack.png", {*splash, *box}));
    // The box lies over the splash window: moved aside for its picture.
    ASSERT_EQ(session.Xdotool({"windowmove", "--sync", std::to_string(*box), "0", "0"}).exitCode,
              0);
    EXPECT_TRUE(session.Screenshot("splash.png", {*splash}));
  }

  ASSERT_TRUE(session.PressKeys(*box, {GetParam()}));
  const ProcessResult result = launcher.Wait(seconds(30));
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.err.find("Error in file processing"), std::string::npos) << result.err;
}

INSTANTIATE_TEST_SUITE_P(Keys, MissingPackBoxTest, ::testing::Values("Return", "Escape", "space"));

TEST_F(DesktopProcessTest, DisplayThatCannotBeOpenedFallsBackToTheConsole) {
  auto environment = Environment();
  environment["DISPLAY"] = ":65533";  // no server listens there
  const ProcessResult result = RunProcess({Launcher()}, environment);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(result.err.find("Error in file processing : \n" + Pack()), std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("Ready !"), std::string::npos) << result.err;
}

struct RestoreCase {
  const char* name;
  bool windowManager;
  const char* hide;  // the xdotool command that takes the window off the screen
};

void PrintTo(const RestoreCase& row, std::ostream* out) {
  *out << row.name;
}

class RestoreTest : public DesktopProcessTest, public ::testing::WithParamInterface<RestoreCase> {
 protected:
  RestoreTest() : DesktopProcessTest(GetParam().windowManager) {}
};

// The running main program's window comes back when the launcher is started a
// second time; the launcher itself shows nothing and ends.
TEST_P(RestoreTest, SecondStartBringsTheMainWindowBack) {
  ChildProcess mainProgram({std::string(LUMIVORA_BIN_DIR) + "/lumivora-sample-main", "x", "--hold"},
                           lumivora::testing::Environment(Environment()));
  ASSERT_TRUE(mainProgram.WaitForOutput("holding the guard", seconds(30)));
  const std::vector<Window> windows = session.WaitForTitle("Lumivora");
  ASSERT_EQ(windows.size(), 1U);
  const Window window = windows.front();

  if (GetParam().windowManager) {
    // Minimising works once the window manager has taken the window in.
    ASSERT_TRUE(PollUntil([&] { return session.WmState(window) >= 0; }, seconds(10)));
  }
  ASSERT_EQ(session.Xdotool({GetParam().hide, "--sync", std::to_string(window)}).exitCode, 0);
  if (GetParam().windowManager) {
    ASSERT_TRUE(PollUntil([&] { return session.WmState(window) == IconicState; }, seconds(10)));
  }
  ASSERT_FALSE(session.IsShownNormally(window));

  const ProcessResult result = RunProcess({Launcher(), "argument"}, Environment());
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_FALSE(fs::exists(dir / "home/.config/Lumivora"));  // no launch sequence ran
  EXPECT_TRUE(PollUntil([&] { return session.IsShownNormally(window); }, seconds(10)));
  if (GetParam().windowManager) {
    EXPECT_TRUE(PollUntil([&] { return session.ActiveWindow() == window; }, seconds(10)));
  }

  mainProgram.CloseInput();
  EXPECT_EQ(mainProgram.Wait(seconds(30)).exitCode, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Desktops, RestoreTest,
    ::testing::Values(RestoreCase{"MinimisedUnderWindowManager", true, "windowminimize"},
                      RestoreCase{"UnmappedWithoutWindowManager", false, "windowunmap"}),
    [](const ::testing::TestParamInfo<RestoreCase>& param) { return param.param.name; });

}  // namespace
}  // namespace lumivora::testing
