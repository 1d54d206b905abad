// The real lumivora binary started as a process in a private HOME and TMPDIR.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/files.h"
#include "tests/support/process.h"

namespace lumivora::testing {
namespace {

namespace fs = std::filesystem;

class LauncherProcessTest : public ::testing::Test {
 protected:
  LauncherProcessTest() {
    for (const char* folder : {"install", "home", "tmp"}) {
      fs::create_directories(dir / folder);
    }
    InstallLauncher(LUMIVORA_BIN_DIR, dir / "install");
  }

  [[nodiscard]] std::string Launcher() const { return dir / "install/lumivora"; }
  // A fresh account: a HOME without .config.
  [[nodiscard]] std::map<std::string, std::string> Environment() const {
    return {{"HOME", dir / "home"},  {"XDG_CONFIG_HOME", ""}, {"XDG_RUNTIME_DIR", ""},
            {"TMPDIR", dir / "tmp"}, {"DISPLAY", ""},         {"WAYLAND_DISPLAY", ""}};
  }
  [[nodiscard]] std::string SettingsFolder() const { return dir / "home/.config/Lumivora"; }

  TempDir dir;
};

// What another local user may have left at $TMPDIR/lumivora-<uid> before the
// launcher's first start (nothing, a link, a folder open to others): the
// launcher refuses it and carries on in a private folder of its own, up to
// the pack (missing here), never stopping for good.
TEST_F(LauncherProcessTest, MissingPackIsReportedAndTheLauncherEnds) {
  const std::string fixed = dir / ("tmp/lumivora-" + std::to_string(::getuid()));
  for (const std::string planted : {"", "link", "open"}) {
    SCOPED_TRACE(planted);
    for (const char* folder : {"home", "tmp", "elsewhere"}) {
      fs::remove_all(dir / folder);
      fs::create_directories(dir / folder);
    }
    if (planted == "link") {
      fs::create_directory_symlink(dir / "elsewhere", fixed);
    } else if (planted == "open") {
      fs::create_directory(fixed);
      fs::permissions(fixed, fs::perms::all);
    }
    const ProcessResult result = RunProcess({Launcher()}, Environment());
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.err.find("Error in file processing : \n" + (dir / "install/Lumivorapack")),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("Ready !"), std::string::npos) << result.err;
    EXPECT_TRUE(fs::is_directory(SettingsFolder()));
    EXPECT_EQ(fs::status(dir / "home/.config").permissions(), fs::perms::owner_all);
    EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));
    if (!planted.empty()) {
      int privateFolders = 0;
      for (const auto& entry : fs::directory_iterator(dir / "tmp")) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("lumivora-" + std::to_string(::getuid()) + "-", 0) == 0 &&
            !entry.is_symlink() && entry.status().permissions() == fs::perms::owner_all) {
          ++privateFolders;
        }
      }
      EXPECT_EQ(privateFolders, 1);
    }
  }
}

TEST_F(LauncherProcessTest, RunningMainProgramMakesTheLauncherStandAside) {
  ChildProcess holder({std::string(LUMIVORA_BIN_DIR) + "/lumivora-sample-main", "x", "--hold"},
                      lumivora::testing::Environment(Environment()));
  ASSERT_TRUE(holder.WaitForOutput("holding the guard", std::chrono::seconds(20)));
  const ProcessResult result = RunProcess({Launcher(), "argument"}, Environment());
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.err, "");  // no splash window, no message
  EXPECT_FALSE(fs::exists(SettingsFolder()));
  // Another product built with the toolkit shares none of its names: it goes
  // on to its own (missing) pack, with its own settings and temporary folder.
  fs::copy_file(std::string(LUMIVORA_BIN_DIR) + "/lumivora-other-product", dir / "other");
  const ProcessResult other = RunProcess({dir / "other"}, Environment());
  EXPECT_EQ(other.exitCode, 0);
  EXPECT_NE(other.err.find("Error in file processing"), std::string::npos) << other.err;
  EXPECT_TRUE(fs::is_directory(dir / "home/.config/Othervora"));
  EXPECT_TRUE(fs::is_directory(dir / ("tmp/othervora-" + std::to_string(::getuid()))));
  EXPECT_FALSE(fs::exists(SettingsFolder()));
  holder.CloseInput();
  EXPECT_EQ(holder.Wait(std::chrono::seconds(20)).exitCode, 0);
}

TEST_F(LauncherProcessTest, DataFolderThatCannotBeCreatedEndsWithTheUncaughtErrorReport) {
  WriteFile(dir / "home/not-a-folder", "");
  auto environment = Environment();
  environment["XDG_CONFIG_HOME"] = dir / "home/not-a-folder";
  const ProcessResult result = RunProcess({Launcher()}, environment);
  // (The report's other text is the entry's, tested with it.)
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find("Cannot create folder - " + (dir / "home/not-a-folder/Lumivora")),
            std::string::npos)
      << result.err;
}

}  // namespace
}  // namespace lumivora::testing
