// The self-update through the real lumivora binary: a loopback nginx (started
// by tools/update-server) serves the update information file and new packs on
// 127.0.0.1:8808, the address built into the demo launcher. The whole test
// program runs in a private network namespace (tests/e2e/in-private-network),
// so that port is free and nothing leaves the machine.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "tests/e2e/update_server.h"
#include "tests/process_support.h"
#include "tests/test_support.h"

namespace lumivora::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

class SelfUpdateTest : public ::testing::Test {
 protected:
  SelfUpdateTest() {
    for (const char* folder : {"install", "home/.config/Lumivora", "tmp", "www/lumivora"}) {
      fs::create_directories(dir / folder);
    }
    fs::copy_file(kBin + "/lumivora", dir / "install/lumivora");
    MakePack(kBin + "/lumivora-sample-main", Pack());
    oldPack_ = ReadFile(Pack());
    MakePack(kBin + "/lumivora-sample-main-1.1", dir / "www/lumivora/Lumivorapack-1.1");
    WriteSettings("0");
  }

  [[nodiscard]] std::string Pack() const { return dir / "install/Lumivorapack"; }
  [[nodiscard]] std::string Settings() const { return dir / "home/.config/Lumivora/Lumivora.ini"; }
  void WriteSettings(const std::string& silent) {
    WriteFile(Settings(), "[Setup]\nVersion=1.0\nSilentUpdate=" + silent + "\n");
  }
  void Offer(const std::string& name, const std::string& version, const std::string& file) {
    WriteFile(dir / ("www/lumivora/" + name), "[Setup]\r\nVersion=" + version +
                                                  "\r\nURL=http://127.0.0.1:8808/lumivora/" + file +
                                                  "\r\nClientSideName=" + file + "\r\n");
  }
  [[nodiscard]] std::map<std::string, std::string> Env() const {
    return {{"HOME", dir / "home"},  {"XDG_CONFIG_HOME", dir / "home/.config"},
            {"XDG_RUNTIME_DIR", ""}, {"TMPDIR", dir / "tmp"},
            {"DISPLAY", ""},         {"WAYLAND_DISPLAY", ""}};
  }
  ChildProcess Start(bool terminal = false) {
    return ChildProcess({dir / "install/lumivora", "first argument"},
                        lumivora::testing::Environment(Env()), terminal);
  }
  [[nodiscard]] bool OldPackKept() const { return ReadFile(Pack()) == oldPack_; }
  [[nodiscard]] std::string SettingsVersion() const {
    const std::string text = ReadFile(Settings());
    const size_t start = text.find("Version=") + 8;
    return text.substr(start, text.find('\n', start) - start);
  }
  [[nodiscard]] std::vector<std::string> Downloads() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir / "tmp")) {
      if (entry.path().filename().string().rfind("Lumivorapack", 0) == 0) {
        names.push_back(entry.path().filename());
      }
    }
    return names;
  }

  TempDir dir;
  std::string oldPack_;
};

const std::string kUpdateIni = "GET /lumivora/update.ini";
const std::string kUpdate2Ini = "GET /lumivora/update2.ini";
const std::string kNewPack = "GET /lumivora/Lumivorapack-1.1";

TEST_F(SelfUpdateTest, SilentFreeUpdateReplacesThePackAndStartsTheNewProgram) {
  WriteSettings("1");
  Offer("update.ini", "1.1", "Lumivorapack-1.1");
  const UpdateServer server(dir / "www", "0");
  ChildProcess launcher = Start();
  const ProcessResult result = launcher.Wait(seconds(60));
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(result.out.find("Lumivoramain 1.1 started"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("argument 2: first argument"), std::string::npos) << result.out;
  EXPECT_EQ(ReadFile(Pack()), ReadFile(dir / "www/lumivora/Lumivorapack-1.1"));
  EXPECT_EQ(SettingsVersion(), "1.1");
  EXPECT_TRUE(Downloads().empty());
  EXPECT_EQ(server.Requests(), (std::vector<std::string>{kUpdateIni, kNewPack}));
  EXPECT_NE(result.err.find("Downloading file Lumivorapack-1.1"), std::string::npos);
}

TEST_F(SelfUpdateTest, AnswersAtTheTerminal) {
  struct Row {
    const char* answer;
    bool updated;
  };
  for (const Row& row : {Row{"y\n", true}, Row{"n\n", false}}) {
    SCOPED_TRACE(row.answer);
    WriteFile(Pack(), oldPack_);
    WriteSettings("0");
    Offer("update.ini", "1.1", "Lumivorapack-1.1");
    const UpdateServer server(dir / "www", "0");
    ChildProcess launcher = Start(true);
    ASSERT_TRUE(launcher.WaitForError("Do you want to update your application now ?", seconds(30)));
    launcher.Type(row.answer);
    const ProcessResult result = launcher.Wait(seconds(60));
    EXPECT_NE(result.err.find("Warning (warning)\nYou are using version 1.0, but version 1.1 is "
                              "available to download.\nDo you want to update your application "
                              "now ?"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(SettingsVersion(), row.updated ? "1.1" : "1.0");
    EXPECT_EQ(OldPackKept(), !row.updated);
    EXPECT_NE(
        result.out.find(row.updated ? "Lumivoramain 1.1 started" : "Lumivoramain 1.0 started"),
        std::string::npos);
    // No is not retried with the second address.
    EXPECT_EQ(server.Requests().size(), row.updated ? 2U : 1U);
  }
}

TEST_F(SelfUpdateTest, NoTerminalAnswersNo) {
  Offer("update.ini", "1.1", "Lumivorapack-1.1");
  Offer("update2.ini", "1.1", "Lumivorapack-1.1");
  const UpdateServer server(dir / "www", "0");
  const ProcessResult result = Start().Wait(seconds(60));
  EXPECT_NE(result.err.find("(no terminal: answered No)"), std::string::npos) << result.err;
  EXPECT_TRUE(OldPackKept());
  EXPECT_EQ(SettingsVersion(), "1.0");
  EXPECT_EQ(server.Requests(), std::vector<std::string>{kUpdateIni});
}

TEST_F(SelfUpdateTest, PaidUpgradeIsAskedInSilentModeAndChangesNothing) {
  WriteSettings("1");
  Offer("update.ini", "2.0", "Lumivorapack-1.1");
  const UpdateServer server(dir / "www", "0");
  const ProcessResult result = Start().Wait(seconds(60));
  EXPECT_NE(result.err.find("Upgrade (question)\nYou are using version 1.0, but version 2.0 is "
                            "available \nfor paid upgrade as the major version changed.\nDo you "
                            "want to upgrade your application now ?"),
            std::string::npos)
      << result.err;
  EXPECT_TRUE(OldPackKept());
  EXPECT_EQ(SettingsVersion(), "1.0");
  EXPECT_NE(result.out.find("Lumivoramain 1.0 started"), std::string::npos);
  EXPECT_EQ(server.Requests(), std::vector<std::string>{kUpdateIni});
}

TEST_F(SelfUpdateTest, UnreachableFirstInformationIsNotRetried) {
  WriteSettings("1");
  Offer("update2.ini", "1.1", "Lumivorapack-1.1");
  const UpdateServer server(dir / "www", "0");
  const ProcessResult result = Start().Wait(seconds(60));
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_TRUE(OldPackKept());
  EXPECT_EQ(server.Requests(), std::vector<std::string>{kUpdateIni});
  EXPECT_NE(ReadFile(Settings()).find("NextUpdate="), std::string::npos);
  EXPECT_NE(result.out.find("Lumivoramain 1.0 started"), std::string::npos);
}

TEST_F(SelfUpdateTest, BrokenFirstDownloadIsFollowedByTheSecondCheck) {
  WriteSettings("1");
  Offer("update.ini", "1.1", "missing-pack");
  Offer("update2.ini", "1.1", "Lumivorapack-1.1");
  const UpdateServer server(dir / "www", "0");
  const ProcessResult result = Start().Wait(seconds(60));
  EXPECT_EQ(server.Requests(), (std::vector<std::string>{kUpdateIni, "GET /lumivora/missing-pack",
                                                         kUpdate2Ini, kNewPack}));
  EXPECT_EQ(SettingsVersion(), "1.1");
  EXPECT_NE(result.out.find("Lumivoramain 1.1 started"), std::string::npos);
}

TEST_F(SelfUpdateTest, CtrlCDuringTheDownloadCancelsIt) {
  WriteSettings("1");
  Offer("update.ini", "1.1", "Lumivorapack-1.1");
  const UpdateServer server(dir / "www", "20000");  // bytes per second
  ChildProcess launcher = Start();
  ASSERT_TRUE(launcher.WaitForError("Downloading file", seconds(30)));
  launcher.Signal(SIGINT);
  const ProcessResult result = launcher.Wait(seconds(60));
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_TRUE(OldPackKept());
  EXPECT_EQ(SettingsVersion(), "1.0");
  // The accepted update is tried once more at the second address.
  EXPECT_EQ(server.Requests(), (std::vector<std::string>{kUpdateIni, kNewPack, kUpdate2Ini}));
  EXPECT_NE(result.out.find("Lumivoramain 1.0 started"), std::string::npos);
}

TEST_F(SelfUpdateTest, RefusedReplacementsKeepTheOldPack) {
  struct Row {
    const char* name;
    bool readOnly;
    bool garbage;
    const char* reason;
  };
  const Row rows[] = {
      {"read-only pack", true, false, ""},
      {"download that is not a pack", false, true, "\nThe download is not a valid pack: "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    WriteFile(Pack(), oldPack_);
    ::chmod(Pack().c_str(), row.readOnly ? 0444 : 0644);
    WriteSettings("1");
    Offer("update.ini", "1.1", row.garbage ? "garbage" : "Lumivorapack-1.1");
    WriteFile(dir / "www/lumivora/garbage", std::string(5000, 'g'));
    const UpdateServer server(dir / "www", "0");
    const ProcessResult result = Start().Wait(seconds(60));
    const std::string download = dir / ("tmp/lumivora-" + std::to_string(::getuid()) + "/" +
                                        (row.garbage ? "garbage" : "Lumivorapack-1.1"));
    EXPECT_NE(result.err.find("lumivora (error)\nCan not copy: " + download + "\n to: " + Pack() +
                              row.reason),
              std::string::npos)
        << result.err;
    EXPECT_TRUE(OldPackKept());
    EXPECT_FALSE(fs::exists(download));
    EXPECT_EQ(SettingsVersion(), "1.0");
    EXPECT_NE(result.out.find("Lumivoramain 1.0 started"), std::string::npos);
    ::chmod(Pack().c_str(), 0644);
  }
}

TEST_F(SelfUpdateTest, KilledLauncherNeverLeavesABrokenPack) {
  WriteSettings("1");
  Offer("update.ini", "1.1", "Lumivorapack-1.1");
  const std::string newPack = ReadFile(dir / "www/lumivora/Lumivorapack-1.1");
  // Killed during the download, and killed as soon as the download is
  // complete (while the pack is checked, copied and renamed).
  for (const char* moment : {"Downloading file", " of "}) {
    SCOPED_TRACE(moment);
    WriteFile(Pack(), oldPack_);
    const UpdateServer server(dir / "www", std::string(moment)[0] == ' ' ? "0" : "50000");
    ChildProcess launcher = Start();
    ASSERT_TRUE(launcher.WaitForError(moment, seconds(30)));
    launcher.Signal(SIGKILL);
    launcher.Wait(seconds(20));
    const std::string pack = ReadFile(Pack());
    EXPECT_TRUE(pack == oldPack_ || pack == newPack);
    EXPECT_TRUE(PackIsWhole(Pack()));
  }
}

TEST_F(SelfUpdateTest, OfflineRunTouchesNeitherNetworkNorSettings) {
  Offer("update.ini", "1.1", "Lumivorapack-1.1");
  const std::string settingsBefore = ReadFile(Settings());
  const UpdateServer server(dir / "www", "0");
  // A namespace inside this one with nothing but a loopback interface.
  ChildProcess launcher({"/usr/bin/unshare", "-n", dir / "install/lumivora"},
                        lumivora::testing::Environment(Env()));
  const ProcessResult result = launcher.Wait(seconds(60));
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_TRUE(server.Requests().empty());
  EXPECT_EQ(ReadFile(Settings()), settingsBefore);
  EXPECT_TRUE(OldPackKept());
  EXPECT_NE(result.out.find("Lumivoramain 1.0 started"), std::string::npos);
}

}  // namespace
}  // namespace lumivora::testing
