// The self-update through the Windows launcher under Wine: WinINet fetches the
// update information file and the new pack from a server of the test's own on
// 127.0.0.1:8808, the address built into the demo launcher. The program runs
// in a network namespace of its own (tests/e2e/in-private-network, with a Wine
// server started inside it), so that port is free and nothing leaves the
// machine. The packs are made at build time by Info-ZIP zip.
#include "tests/win32/loopback_server.h"
#include "tests/win32/win32_support.h"
// After the server's <winsock2.h>, which must come first, and before the
// platform headers: <windows.h> defines CopyFile and CreateDirectory as macros.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/file.h"
#include "tests/e2e/signed_offer.h"
#include "tests/support/files.h"
#include "tests/win32/screenshot.h"

namespace lumivora::testing {
namespace {

using namespace std::chrono_literals;

const std::string kBinDir = LUMIVORA_BIN_DIR;
const std::string kPackDir = LUMIVORA_TEST_PACKS;

const std::string kInfoPath = "/lumivora/update.ini";
const std::string kPackPath = "/lumivora/Lumivorapack-1.1";

std::string Settings(bool silent) {
  return std::string("[Setup]\r\nVersion=1.0\r\nAutoUpdate=1\r\nNextUpdate=0\r\nSilentUpdate=") +
         (silent ? "1" : "0") + "\r\n";
}

// The information file offering the 1.1 pack with the lines of its release
// statement SIGNATURE.
std::string Offer(const std::string& signature) {
  return Ok("[Setup]\r\nVersion=1.1\r\nURL=http://127.0.0.1:8808" + kPackPath +
            "\r\nClientSideName=Lumivorapack-1.1\r\n" + signature);
}

// The update dialog of process PID: its form with the group box.
HWND UpdateDialog(DWORD pid) {
  for (HWND form : TopLevelWindows(pid, "LumivoraForm")) {
    if (FindChild(form, "LumivoraGroup", " Program Update: ") != nullptr) {
      return form;
    }
  }
  return nullptr;
}

class Win32SelfUpdate : public ::testing::Test {
 protected:
  Win32SelfUpdate()
      : install_(dir_.Path() + "\\Program Files"),
        report_(dir_.Path() + "\\report.txt"),
        oldPack_(ReadFile(kPackDir + "/Lumivorapack")),
        newPack_(ReadFile(kPackDir + "/Lumivorapack-1.1")) {
    for (const std::string& name : LeftoverDownloads()) {
      ::DeleteFileA((std::filesystem::temp_directory_path() / name).string().c_str());
    }
    platform::CreateDirectory(install_);
    platform::CopyFile(kBinDir + "/lumivora.exe", install_ + "\\lumivora.exe", false);
    WriteFile(Pack(), oldPack_);
    ::SetEnvironmentVariableA("LUMIVORA_SAMPLE_REPORT", report_.c_str());
  }
  ~Win32SelfUpdate() override {
    for (HWND window : TopLevelWindows(0, "LumivoraMainWindow")) {
      CloseMainProgram(window, 30s);
    }
    ::SetEnvironmentVariableA("LUMIVORA_SAMPLE_REPORT", nullptr);
  }

  void SetUp() override {
    ASSERT_FALSE(oldPack_.empty()) << "no test pack in " << kPackDir;
    ASSERT_FALSE(newPack_.empty()) << "no test pack in " << kPackDir;
    ASSERT_TRUE(LauncherTrustsDemoRoot());
  }

  [[nodiscard]] std::string Pack() const { return install_ + "\\Lumivorapack"; }

  [[nodiscard]] std::map<std::string, std::string> Responses() const {
    return {{kInfoPath, Offer(SignatureLines(newPack_, "1.1"))}, {kPackPath, Ok(newPack_)}};
  }

  [[nodiscard]] ChildProcess StartLauncher() const {
    return ChildProcess('"' + install_ + "\\lumivora.exe\" first");
  }

  // The outcome of a run: the launcher ended with 0, the main program
  // VERSION started from the pack (and is closed), the pack holds PACK, and
  // the settings record VERSION. Returns the main program's report.
  std::string ExpectOutcome(ChildProcess& launcher, const SettingsFile& settings,
                            const std::string& version, const std::string& pack) const {
    EXPECT_EQ(launcher.Wait(60s), 0);
    HWND window = WaitForWindow(0, "LumivoraMainWindow");
    std::string report = ReadFile(report_);
    EXPECT_TRUE(CloseMainProgram(window, 30s));
    EXPECT_NE(report.find("Lumivoramain " + version + " started"), std::string::npos) << report;
    EXPECT_TRUE(ReadFile(Pack()) == pack);
    EXPECT_EQ(settings.Value("Version"), version);
    return report;
  }

  // Files named "Lumivorapack..." left in the temporary folder.
  static std::vector<std::string> LeftoverDownloads() {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::filesystem::temp_directory_path(), ignored)) {
      if (entry.path().filename().string().rfind("Lumivorapack", 0) == 0) {
        names.push_back(entry.path().filename().string());
      }
    }
    return names;
  }

  const TempDir dir_;
  const std::string install_;
  const std::string report_;
  const std::string oldPack_;
  const std::string newPack_;
};

TEST_F(Win32SelfUpdate, SilentFreeUpdateReplacesThePackAndStartsTheNewProgram) {
  const SettingsFile settings(Settings(true));
  LoopbackServer server(Responses(), 8808);
  ASSERT_EQ(server.Port(), 8808);
  ChildProcess launcher = StartLauncher();
  ASSERT_TRUE(launcher.Started());
  const std::string report = ExpectOutcome(launcher, settings, "1.1", newPack_);
  EXPECT_NE(report.find("argument 2: first"), std::string::npos) << report;
  // CommaText quotes an element with a blank.
  EXPECT_NE(report.find("hand-off record: [Start],\"Starter=" + install_ + "\\lumivora.exe\","),
            std::string::npos)
      << report;
  EXPECT_EQ(server.RequestLines(),
            (std::vector<std::string>{"GET " + kInfoPath, "GET " + kPackPath}));
  for (const std::string& head : server.Requests()) {
    EXPECT_NE(head.find(" HTTP/1.0\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nUser-Agent: TWebUpdate\r\n"), std::string::npos) << head;
  }
  EXPECT_TRUE(LeftoverDownloads().empty());
}

// The information file asked on the kept ETag: WinINet sends the condition
// and hands its 304 back (no cached body in its place): no download.
TEST_F(Win32SelfUpdate, UnchangedInformationFileIsAnswered304) {
  const SettingsFile settings(Settings(true) + "InfoAddress=http://127.0.0.1:8808" + kInfoPath +
                              "\r\nInfoETag=\"\"w1\"\"\r\nInfoVersion=1.0\r\n");
  std::map<std::string, std::string> responses = Responses();
  responses[kInfoPath] = "HTTP/1.0 304 Not Modified\r\nETag: \"w1\"\r\n\r\n";
  LoopbackServer server(responses, 8808);
  ASSERT_EQ(server.Port(), 8808);
  ChildProcess launcher = StartLauncher();
  ASSERT_TRUE(launcher.Started());
  ExpectOutcome(launcher, settings, "1.0", oldPack_);
  EXPECT_EQ(server.RequestLines(), std::vector<std::string>{"GET " + kInfoPath});
  EXPECT_NE(server.Requests()[0].find("\r\nIf-None-Match: \"w1\"\r\n"), std::string::npos);
  EXPECT_EQ(settings.Value("InfoETag"), "\"w1\"");
}

// A delta update: the offer carries a patch from the installed 1.0; only the
// information file and the patch are fetched, and the launcher writes the
// 1.1 pack itself (libzip, encrypted afresh) and starts it.
TEST_F(Win32SelfUpdate, PatchFromTheInstalledVersionReplacesThePackDownload) {
  const SettingsFile settings(Settings(true));
  const std::string patchPath = "/lumivora/Lumivorapack-1.1-from-1.0.patch";
  const std::string patch = ReadFile(kPackDir + "/Lumivorapack-1.1-from-1.0.patch");
  const std::string program = ReadFile(LUMIVORA_NEW_PROGRAM);
  ASSERT_FALSE(patch.empty());
  const auto digest = [](const std::string& bytes) {
    webupdate::Sha256Stream hash;
    hash.Update({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
    return hash.Finish();
  };
  webupdate::ReleaseStatement release{LUMIVORA_PRODUCT_IDENTITY, "1.1", newPack_.size(),
                                      digest(newPack_)};
  release.patches = {{"http://127.0.0.1:8808" + patchPath, "1.0", patch.size(), digest(patch)}};
  release.programSize = program.size();
  release.programSha256 = digest(program);
  std::map<std::string, std::string> responses = Responses();
  responses[kInfoPath] = Offer(webupdate::SignedReleaseLines(release, DemoRootKey(), ""));
  responses[patchPath] = Ok(patch);
  LoopbackServer server(responses, 8808);
  ASSERT_EQ(server.Port(), 8808);
  ChildProcess launcher = StartLauncher();
  ASSERT_TRUE(launcher.Started());
  EXPECT_EQ(launcher.Wait(60s), 0);
  HWND window = WaitForWindow(0, "LumivoraMainWindow");
  const std::string report = ReadFile(report_);
  EXPECT_TRUE(CloseMainProgram(window, 30s));
  EXPECT_NE(report.find("Lumivoramain 1.1 started"), std::string::npos) << report;
  EXPECT_EQ(settings.Value("Version"), "1.1");
  EXPECT_EQ(ReadFile(Pack() + ".previous"), oldPack_);
  EXPECT_EQ(server.RequestLines(),
            (std::vector<std::string>{"GET " + kInfoPath, "GET " + patchPath}));
  EXPECT_TRUE(LeftoverDownloads().empty());
}

// A release whose main program fails at once (the sample 1.1 told to) is
// rolled back on the same start: one box names both versions, the old pack
// and version are back and the old program starts.
TEST_F(Win32SelfUpdate, FailingReleaseIsRolledBack) {
  const SettingsFile settings(Settings(true));
  LoopbackServer server(Responses(), 8808);
  ASSERT_EQ(server.Port(), 8808);
  ::SetEnvironmentVariableA("LUMIVORA_SAMPLE_FAIL", "1.1");
  ChildProcess launcher = StartLauncher();
  ::SetEnvironmentVariableA("LUMIVORA_SAMPLE_FAIL", nullptr);
  ASSERT_TRUE(launcher.Started());
  HWND box = WaitForBox(launcher.Id());
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(MessageBoxText(box),
            "Version 1.1 did not start properly, so version 1.0 has been restored.");
  ::PostMessageA(box, WM_COMMAND, IDOK, 0);
  ExpectOutcome(launcher, settings, "1.0", oldPack_);
  EXPECT_EQ(settings.Value("BadRelease"), "1.1");
  EXPECT_FALSE(platform::FileExists(Pack() + ".previous"));
}

// The asked update, window by window, with a screenshot of each.
TEST_F(Win32SelfUpdate, AskedUpdateInTheNativeWindows) {
  const SettingsFile settings(Settings(false));
  LoopbackServer server(Responses(), 8808);
  ASSERT_EQ(server.Port(), 8808);
  const size_t packHead = Ok(newPack_).size() - newPack_.size();
  server.Hold(kInfoPath, 0);
  server.Hold(kPackPath, packHead + newPack_.size() / 2);
  ChildProcess launcher = StartLauncher();
  ASSERT_TRUE(launcher.Started());

  // The update dialog while the information file is on its way (it covers
  // the splash window, both being centred on the screen).
  ASSERT_TRUE(
      WaitUntil([&] { return UpdateDialog(launcher.Id()) != nullptr && server.Holding(); }, 30s));
  EXPECT_EQ(WindowText(UpdateDialog(launcher.Id())), "Lumivora");
  server.Release(kInfoPath);

  // The update question (its text and buttons are the update component's).
  HWND box = WaitForBox(launcher.Id());
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(WindowText(box), "Warning");
  EXPECT_TRUE(WaitUntilPainted(box, 30s));
  EXPECT_TRUE(SaveScreenshot(std::string(LUMIVORA_SCREENSHOT_DIR) + "/win32-update-question.png"));
  ::PostMessageA(box, WM_COMMAND, IDYES, 0);

  // The update dialog with the download standing at its half. The launcher
  // waits for data there and processes no messages (so it stops answering
  // queries): what it painted after its last block stays on the screen.
  HWND dialog = nullptr;
  LRESULT position = -1;
  LRESULT range = -1;
  ASSERT_TRUE(WaitUntil(
      [&] {
        dialog = UpdateDialog(launcher.Id());
        HWND progress = dialog != nullptr ? FindChild(dialog, "msctls_progress32", "") : nullptr;
        if (progress == nullptr || !server.Holding()) {
          return false;
        }
        const LRESULT answer = QueryWindow(progress, PBM_GETPOS, 0, 0);
        if (answer >= 0) {
          position = answer;
          // (The launcher may stop answering between the two queries.)
          const LRESULT answered = QueryWindow(progress, PBM_GETRANGE, FALSE, 0);
          range = answered >= 0 ? answered : range;
          return false;
        }
        return position > 0;
      },
      60s));
  EXPECT_LE(position, static_cast<LRESULT>(newPack_.size() / 2));
  EXPECT_EQ(range, static_cast<LRESULT>(newPack_.size()));
  EXPECT_NE(FindChild(dialog, "Static", "1.0"), nullptr);
  EXPECT_NE(FindChild(dialog, "Static", "1.1"), nullptr);
  EXPECT_NE(FindChild(dialog, "Static", "Downloading file Lumivorapack-1.1"), nullptr);
  EXPECT_TRUE(SaveScreenshot(std::string(LUMIVORA_SCREENSHOT_DIR) + "/win32-update-dialog.png"));
  server.Release(kPackPath);
  ExpectOutcome(launcher, settings, "1.1", newPack_);
}

// Updates that do not happen: the old pack stays, the old program starts,
// the settings keep version 1.0. (A partial download stays in the temporary
// folder, as the transfer leaves every file it wrote.) Forged releases are
// refused: an unsigned offer before anything is asked or downloaded, a pack
// changed after signing once its SHA-256 is known.
TEST_F(Win32SelfUpdate, RefusedCancelledOrBrokenUpdatesKeepTheOldPack) {
  enum class Act { kCancel, kNone };  // cancel the download
  struct Row {
    const char* name;
    bool silent;
    Act act;
    std::string packResponse;
    std::string signature;
    std::vector<std::string> requests;
    std::string message = {};  // of the error box that the run shows (answered OK)
  };
  const std::string cutShort =
      "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(newPack_.size()) + "\r\n\r\n" +
      newPack_.substr(0, newPack_.size() / 3);
  const std::string info = "GET " + kInfoPath;
  const std::string pack = "GET " + kPackPath;
  const std::string info2 = "GET /lumivora/update2.ini";
  const std::vector<std::string> retried = {info, pack, info2};
  // A cut body is asked again with a range after pauses of 1, 2 and 4 s.
  const std::vector<std::string> cutFourTimes = {info, pack, pack, pack, pack, info2};
  const std::vector<std::string> refusedUnseen = {info, info2};
  const std::vector<std::string> checked = {info, pack};
  const std::string ok = Ok(newPack_);
  const std::string signature = SignatureLines(newPack_, "1.1");
  std::string forged = newPack_;
  forged[forged.size() / 2] = static_cast<char>(forged[forged.size() / 2] ^ 1);
  const Row rows[] = {
      // An accepted update that fails is tried once more at the second address
      // (which has nothing here).
      {"Cancel during the download", true, Act::kCancel, ok, signature, retried},
      {"download cut short", true, Act::kNone, cutShort, signature, cutFourTimes},
      // Not signed: refused unseen, and asked at the second address.
      {"unsigned offer", false, Act::kNone, ok, "", refusedUnseen,
       "The update was refused: The update is not signed."},
      {"pack changed after signing", true, Act::kNone, Ok(forged), signature, checked,
       "The download's SHA-256 is not the one of the signed release."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    WriteFile(Pack(), oldPack_);
    const SettingsFile settings(Settings(row.silent));
    LoopbackServer server({{kInfoPath, Offer(row.signature)}, {kPackPath, row.packResponse}}, 8808);
    ASSERT_EQ(server.Port(), 8808);
    if (row.act == Act::kCancel) {
      server.Hold(kPackPath, 4096);
    }
    ChildProcess launcher = StartLauncher();
    ASSERT_TRUE(launcher.Started());
    if (row.act == Act::kCancel) {
      // The click waits in the queue until the next block arrives.
      HWND cancel = nullptr;
      ASSERT_TRUE(WaitUntil(
          [&] {
            HWND dialog = UpdateDialog(launcher.Id());
            cancel = dialog != nullptr ? FindChild(dialog, "Button", "&Cancel") : nullptr;
            return cancel != nullptr && server.Holding();
          },
          30s));
      ::PostMessageA(cancel, BM_CLICK, 0, 0);
      server.Release(kPackPath);
    }
    if (!row.message.empty()) {
      HWND box = WaitForBox(launcher.Id());
      ASSERT_NE(box, nullptr);
      EXPECT_NE(MessageBoxText(box).find(row.message), std::string::npos) << MessageBoxText(box);
      ::PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
    ExpectOutcome(launcher, settings, "1.0", oldPack_);
    EXPECT_EQ(server.RequestLines(), row.requests);
  }
}

// A cut download goes on with a range (WinINet sends Range and If-Range on
// the ETag, and reads the 206's Content-Range): only the rest is sent again.
TEST_F(Win32SelfUpdate, CutDownloadGoesOnWithARange) {
  const std::string store = platform::CreateSystemServices()->AppDataFolder() +
                            "\\Lumivora\\Lumivora-download\\Lumivorapack-1.1";
  ::DeleteFileA(store.c_str());  // left by an earlier test's cut download
  const SettingsFile settings(Settings(true));
  const size_t cut = newPack_.size() / 3;
  const std::string head = "HTTP/1.0 200 OK\r\nETag: \"w1\"\r\nContent-Length: ";
  std::map<std::string, std::string> responses = Responses();
  responses[kPackPath] =
      head + std::to_string(newPack_.size()) + "\r\n\r\n" + newPack_.substr(0, cut);
  responses[kPackPath + " bytes=" + std::to_string(cut) + "-"] =
      "HTTP/1.0 206 Partial Content\r\nETag: \"w1\"\r\nContent-Range: bytes " +
      std::to_string(cut) + "-" + std::to_string(newPack_.size() - 1) + "/" +
      std::to_string(newPack_.size()) +
      "\r\nContent-Length: " + std::to_string(newPack_.size() - cut) + "\r\n\r\n" +
      newPack_.substr(cut);
  LoopbackServer server(responses, 8808);
  ASSERT_EQ(server.Port(), 8808);
  ChildProcess launcher = StartLauncher();
  ASSERT_TRUE(launcher.Started());
  ExpectOutcome(launcher, settings, "1.1", newPack_);
  EXPECT_EQ(server.RequestLines(),
            (std::vector<std::string>{"GET " + kInfoPath, "GET " + kPackPath, "GET " + kPackPath}));
  const std::string again = server.Requests().back();
  EXPECT_NE(again.find("\r\nRange: bytes=" + std::to_string(cut) + "-\r\n"), std::string::npos)
      << again;
  EXPECT_NE(again.find("\r\nIf-Range: \"w1\"\r\n"), std::string::npos) << again;
  EXPECT_FALSE(std::filesystem::exists(store));
}

}  // namespace
}  // namespace lumivora::testing
