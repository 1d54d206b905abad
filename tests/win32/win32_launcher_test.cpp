// The Windows launcher as a process: a launch that extracts the main program
// from the pack and starts it with the hand-off record, the message box of a
// missing pack (read from the real window and answered), and a second start
// while the main program runs (exactly one restore request reaches its
// window, exit code 0).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "delta/apply_patch.h"
#include "platform/file.h"
#include "platform/system.h"
#include "tests/support/files.h"
#include "tests/win32/screenshot.h"
#include "tests/win32/win32_support.h"

namespace lumivora::platform {
namespace {

using namespace lumivora::testing;
using namespace std::chrono_literals;

class Win32Launcher : public WindowTest {};

const std::string kBinDir = LUMIVORA_BIN_DIR;
const std::string kPack = std::string(LUMIVORA_TEST_PACKS) + "/Lumivorapack";

// The launcher and a pack made by Info-ZIP zip in a folder whose name has a
// blank; no update check is due.
TEST_F(Win32Launcher, LaunchExtractsAndStartsTheMainProgram) {
  ASSERT_FALSE(ReadFile(kPack).empty()) << "no test pack (zip missing?): " << kPack;
  const TempDir dir;
  const std::string folder = dir.Path() + "\\Program Files";
  ASSERT_TRUE(CreateDirectory(folder));
  const std::string launcher = folder + "\\lumivora.exe";
  ASSERT_TRUE(CopyFile(kBinDir + "/lumivora.exe", launcher, false));
  ASSERT_TRUE(CopyFile(kPack, folder + "\\Lumivorapack", false));
  const SettingsFile settings("[Setup]\r\nAutoUpdate=0\r\n");
  const std::string report = dir.Path() + "\\report.txt";
  ::SetEnvironmentVariableA("LUMIVORA_SAMPLE_REPORT", report.c_str());

  ChildProcess process('"' + launcher + "\" \"first argument\"");
  ::SetEnvironmentVariableA("LUMIVORA_SAMPLE_REPORT", nullptr);
  ASSERT_TRUE(process.Started());
  EXPECT_EQ(process.Wait(30s), 0);
  HWND window = WaitForWindow(0, "LumivoraMainWindow");
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(WindowText(window), "Lumivora");
  const std::string text = ReadFile(report);
  EXPECT_TRUE(CloseMainProgram(window, 30s));

  // Extracted into the temporary folder and started from there with the
  // enciphered record and the launcher's first argument (the command line
  // is "<program> <record> <first argument>", so its blank splits it).
  EXPECT_NE(text.find("Lumivoramain 1.0 started"), std::string::npos) << text;
  EXPECT_NE(text.find("argument 2: first\r\nargument 3: argument\r\n"), std::string::npos) << text;
  // CommaText quotes an element with a blank.
  EXPECT_NE(text.find("hand-off record: [Start],\"Starter=" + launcher + "\","), std::string::npos)
      << text;
  EXPECT_TRUE(FileExists(CreateSystemServices()->TempFolder() + "Lumivoramain"));
}

// lumivora-tool.exe reads a pack through the extraction component: list,
// test with the right and a wrong password, extract; it writes one with pack
// (read back by list and test) and release (passed by verify, the launcher's
// pack check), whose --previous writes beside the pack the patch from the
// packed program to the new one (named in update.ini, turning the one into
// the other).
TEST(Win32Tool, PacksReleasesListsTestsAndExtracts) {
  ASSERT_FALSE(ReadFile(kPack).empty()) << "no test pack (zip missing?): " << kPack;
  const TempDir dir;
  const std::string password = LUMIVORA_PACK_PASSWORD;
  const std::string sample = kBinDir + "/lumivora-sample-main.exe";
  const std::string sample11 = kBinDir + "/lumivora-sample-main-1.1.exe";
  const std::string made = dir / "made pack";
  const std::string keys = std::string(LUMIVORA_SOURCE_DIR) + "/keys/demo-only/";
  const std::string rootKey = ReadFile(keys + "root.pub").substr(0, 44);  // Base64 of 32 bytes
  struct Row {
    std::string arguments;
    long exitCode;
    std::string output;
  };
  // Packs are encrypted afresh: a wrong password fails the header's check
  // byte, or (one pack in 256, APPNOTE 6.1.6) passes it and the entry fails.
  const Row rows[] = {
      {"list \"" + kPack + "\"", 0, "deflate"},
      {"test \"" + kPack + "\" -P \"" + password + "\"", 0, "no errors in 1 entries"},
      {"test \"" + kPack + "\" -P wrong", 1, "Lumivoramain: "},
      {"extract \"" + kPack + "\" -d \"" + dir.Path() + "\" -P \"" + password + "\"", 0, ""},
      {"pack \"" + sample + "\" -o \"" + made + "\" --version 1.0", 0, "no errors in 1 entries"},
      {"list \"" + made + "\"", 0, "Version=1.0"},
      {"test \"" + made + "\" -P wrong", 1, "Lumivoramain: "},
      {"release \"" + sample11 + "\" --version 1.1 --url http://h/p --key \"" + keys +
           "root.key\" --previous \"" + made + "\" -o \"" + dir.Path() + "\"",
       0, "p-from-1.0.patch: patch from version 1.0, "},
      {"verify \"" + (dir / "update.ini") + "\" \"" + (dir / "p") + "\" --root-keys " + rootKey, 0,
       "a pack that a windows launcher starts"},
      {"verify \"" + (dir / "update.ini") + "\" \"" + (dir / "p") + "\" --root-keys " + rootKey, 0,
       "patch from version 1.0: http://h/p-from-1.0.patch, size "},
  };
  int number = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.arguments);
    const std::string output = dir / ("output" + std::to_string(++number) + ".txt");
    ChildProcess tool('"' + kBinDir + "/lumivora-tool.exe\" " + row.arguments, output);
    ASSERT_TRUE(tool.Started());
    EXPECT_EQ(tool.Wait(30s), row.exitCode);
    const std::string text = ReadFile(output);
    EXPECT_NE(text.find(row.output), std::string::npos) << text;
  }
  EXPECT_TRUE(ReadFile(dir / "Lumivoramain") == ReadFile(kBinDir + "/lumivora-sample-main.exe"));
  std::vector<uint8_t> patched;
  EXPECT_EQ(delta::ApplyPatch(ReadBytes(sample), ReadBytes(dir / "p-from-1.0.patch"), patched),
            delta::PatchFault::kNone);
  EXPECT_TRUE(patched == ReadBytes(sample11));
}

// The launcher copied into a folder whose name has a blank, without a pack.
TEST_F(Win32Launcher, MissingPackShowsTheErrorBoxAndExitsZero) {
  const TempDir dir;
  const std::string folder = dir.Path() + "\\Program Files";
  ASSERT_TRUE(CreateDirectory(folder));
  const std::string launcher = folder + "\\lumivora.exe";
  ASSERT_TRUE(CopyFile(kBinDir + "/lumivora.exe", launcher, false));

  ChildProcess process('"' + launcher + "\" first second");
  ASSERT_TRUE(process.Started());
  HWND box = WaitForBox(process.Id());
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(WindowText(box), "Lumivora");
  EXPECT_EQ(MessageBoxText(box), "Error in file processing : \r" + folder + "\\Lumivorapack");
  EXPECT_NE(::GetDlgItem(box, IDOK), nullptr);
  EXPECT_EQ(::GetDlgItem(box, IDCANCEL), nullptr);

  // The splash window stands behind the box (its texts and steps are the
  // launch sequence's, its controls the splash window's own).
  const auto forms = TopLevelWindows(process.Id(), "LumivoraForm");
  ASSERT_EQ(forms.size(), 1U);
  EXPECT_EQ(WindowText(forms.front()), "Lumivora");

  // The box moved below the splash window, both painted: a screenshot of the
  // splash window as the launch shows it.
  RECT splash{};
  RECT place{};
  ::GetWindowRect(forms.front(), &splash);
  ::GetWindowRect(box, &place);
  ::SetWindowPos(box, nullptr, place.left, splash.bottom + 16, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  EXPECT_TRUE(WaitUntilPainted(forms.front(), 30s));
  EXPECT_TRUE(WaitUntilPainted(box, 30s));
  EXPECT_TRUE(SaveScreenshot(std::string(LUMIVORA_SCREENSHOT_DIR) + "/win32-splash.png"));

  ::PostMessageA(box, WM_COMMAND, IDOK, 0);
  EXPECT_EQ(process.Wait(30s), 0);
}

TEST_F(Win32Launcher, SecondStartRestoresTheRunningMainProgramOnce) {
  const TempDir dir;
  const std::string output = dir / "main.txt";
  ChildProcess mainProgram('"' + kBinDir + "/lumivora-sample-main.exe\" x --hold", output);
  ASSERT_TRUE(mainProgram.Started());
  // The main program's window, shown minimised.
  HWND window = WaitForWindow(mainProgram.Id(), "LumivoraMainWindow");
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return ::IsIconic(window) != 0; }, 30s));

  ChildProcess launcher('"' + kBinDir + "/lumivora.exe\"");
  ASSERT_TRUE(launcher.Started());
  EXPECT_EQ(launcher.Wait(30s), 0);
  EXPECT_TRUE(TopLevelWindows(launcher.Id(), "").empty());
  EXPECT_EQ(::IsIconic(window), 0);

  ::PostMessageA(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(mainProgram.Wait(30s), 0);
  const std::string report = ReadFile(output);
  EXPECT_NE(report.find("restore requests: 1"), std::string::npos) << report;
}

}  // namespace
}  // namespace lumivora::platform
