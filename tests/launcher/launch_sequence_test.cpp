#include "launcher/launch_sequence.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>

#include "cipher/config_cipher.h"
#include "launcher/entry.h"
#include "platform/exception.h"
#include "platform/file.h"
#include "platform/recording/ui_recording.h"
#include "tests/support/fakes.h"
#include "tests/support/files.h"
#include "tests/support/zip.h"
#include "webupdate/partial_store.h"

namespace lumivora::launcher {
namespace {

using lumivora::testing::FakeSystem;
using lumivora::testing::ReadFile;
using lumivora::testing::TempDir;
using lumivora::testing::WriteFile;

constexpr uint8_t kPasswordTable[] = {'p', 'a', 's', 's', 'w', 'o', 'r',
                                      'd', '1', '2', '3', '4', '5'};

struct ScriptedExtractor final : PackExtractor {
  bool result = true;
  int calls = 0;
  std::string packPath, destFolder, password, entryName;
  std::string box;  // a message the extraction shows
  bool UnCompress(const std::string& pack, const std::string& dest, const std::string& pwd,
                  const std::string& entry, platform::UserInterface& ui) override {
    ++calls;
    if (!box.empty()) {
      ui.ShowMessage({.caption = "UnCompress", .text = box});
    }
    packPath = pack;
    destFolder = dest;
    password = pwd;
    entryName = entry;
    if (result) {
      WriteFile(dest + entry, "program");
    }
    return result;
  }
};

struct ScriptedUpdater final : UpdateDialog {
  std::string answer;
  std::function<void()> action;
  int calls = 0;
  std::vector<std::string> received;
  bool silent = false;
  uint64_t acceptedSerial = 0;  // a certificate serial the "check" accepts
  std::string freshDay;         // the day of a fresh statement it saw
  bool installs = false;        // puts "new pack" in place as the real dialog does
  std::string badRelease;
  webupdate::InfoValidator askedOn;    // the information file's validator it was given
  webupdate::InfoValidator validator;  // the one it leaves
  UpdateOutcome Execute(const UpdateRequest& request) override {
    askedOn = request.infoValidator;
    ++calls;
    received = {request.currentVersion, request.packPath,         request.infoURL1,
                request.infoURL2,       request.upgradeURLFormat, request.dataFolder};
    silent = request.silent;
    badRelease = request.badRelease;
    if (action) {
      action();
    }
    if (installs) {
      platform::CopyFile(request.packPath, request.guard.previousPack, false);
      WriteFile(request.packPath, "new pack");
      request.guard.recordVersion(answer);
    }
    return {answer, std::max(request.signingSerial, acceptedSerial), freshDay, validator};
  }
};

class LaunchSequenceTest : public ::testing::Test {
 protected:
  LaunchSequenceTest() {
    system.appData = dir / "appdata";
    ::mkdir(system.appData.c_str(), 0755);
    ::mkdir((dir / "tmp").c_str(), 0700);
    ::mkdir((dir / "app").c_str(), 0755);
    system.temp = dir / "tmp/";
    system.executable = dir / "app/lumivora";
    environment.config.InfoURL1 = cipher::EncipherConfigText("http://one/info.ini");
    environment.config.InfoURL2 = cipher::EncipherConfigText("http://two/info.ini");
    environment.config.UpgradeURLFormat = cipher::EncipherConfigText("http://up/?v=%s");
    environment.config.PackPasswordTable = kPasswordTable;
    environment.config.PackPasswordLastIndex = 12;
  }

  std::string SettingsFile() const { return dir / "appdata/Lumivora/Lumivora.ini"; }
  void WriteSettingsFile(const std::string& content) {
    ::mkdir((dir / "appdata/Lumivora").c_str(), 0755);
    WriteFile(SettingsFile(), content);
  }
  // A partial download of a release kept in the data folder under NAME.
  void KeepPartial(const std::string& name, const std::string& bytes) const {
    const auto store = webupdate::PartialStore::Open(dir / "appdata/Lumivora", {.size = 100}, name);
    ASSERT_NE(store, nullptr);
    WriteFile(store->FilePath(), bytes);
    store->Record({bytes.size(), "\"tag\""});
  }
  LaunchState Run() {
    TfrmSplash splash(ui);
    LaunchState state = RunLaunchSequence(environment, &splash);
    status = splash.Status();
    position = splash.ProgressPosition();
    return state;
  }

  TempDir dir;
  FakeSystem system;
  platform::RecordingInterface ui;
  ScriptedExtractor extractor;
  ScriptedUpdater updater;
  LaunchEnvironment environment{system, ui, extractor, updater, {}, {}};
  std::string status;
  int64_t position = 0;
};

TEST_F(LaunchSequenceTest, OfflineStartLeavesSettingsUntouchedAndStarts) {
  WriteSettingsFile("[Setup]\nNextUpdate=0\n");
  const LaunchState state = Run();
  EXPECT_EQ(ReadFile(SettingsFile()), "[Setup]\nNextUpdate=0\n");
  EXPECT_EQ(updater.calls, 0);
  EXPECT_EQ(extractor.calls, 1);
  EXPECT_EQ(extractor.packPath, dir / "app/Lumivorapack");
  EXPECT_EQ(extractor.destFolder, dir / "tmp/");
  EXPECT_EQ(extractor.password, "password12345");
  EXPECT_EQ(extractor.entryName, "Lumivoramain");
  ASSERT_EQ(system.started.size(), 1U);
  EXPECT_EQ(system.started[0].program, dir / "tmp/Lumivoramain");
  EXPECT_EQ(state.TargetPath, dir / "tmp/Lumivoramain");
  EXPECT_EQ(status, "Ready !");
  EXPECT_EQ(position, 3);
  EXPECT_TRUE(ui.messages.empty());
}

TEST_F(LaunchSequenceTest, HandOffRecordAndCommandLine) {
  environment.arguments = {"my file.doc", "ignored"};
  Run();
  ASSERT_EQ(system.started.size(), 1U);
  const platform::CommandLine& started = system.started[0];
  ASSERT_EQ(started.arguments.size(), 2U);
  const std::string record = cipher::DecipherConfigText(started.arguments[0]);
  const std::string expected = "[Start],Starter=" + system.executable + ",";
  EXPECT_EQ(record.substr(0, record.find('\0')), expected);
  EXPECT_EQ(started.arguments[1], "my file.doc");
  EXPECT_EQ(started.text, started.program + " " + started.arguments[0] + " my file.doc");

  system.started.clear();
  environment.arguments.clear();
  Run();
  ASSERT_EQ(system.started.size(), 1U);
  EXPECT_EQ(system.started[0].arguments.size(), 1U);
  EXPECT_EQ(system.started[0].text.back(), ' ');
}

TEST_F(LaunchSequenceTest, OnlineScheduleAndSettingsWrite) {
  struct Row {
    const char* settings;
    const char* updaterAnswer;
    int updaterCalls;
    uint64_t acceptedSerial;
    const char* expectedFile;
    const char* packComment = nullptr;  // a real pack with this archive comment
    const char* installed = "1.0";      // the version the check starts from
    const char* freshDay = "";          // of a fresh statement the check saw
    bool partial = false;               // a download a cut start kept in the data folder
    const char* etag = "";              // of the validator the check leaves (at "http://u")
  };
  // Today is 46000 in the fake system.
  const Row rows[] = {
      // No settings file: due at once, NextUpdate today + 30.
      {nullptr, "", 1, 0, "[Setup]\nNextUpdate=46030\n"},
      // Not due: written back unchanged, no dialog.
      {"[Setup]\nNextUpdate=46001\n", "", 0, 0, "[Setup]\nNextUpdate=46001\n"},
      // Never checks, but still writes.
      {"[Setup]\nAutoUpdate=0\nNextUpdate=12\n", "", 0, 0,
       "[Setup]\nAutoUpdate=0\nNextUpdate=12\n"},
      // Weekly, due today.
      {"[Setup]\nAutoUpdate=1\nNextUpdate=46000\n", "", 1, 0,
       "[Setup]\nAutoUpdate=1\nNextUpdate=46007\n"},
      // An update was installed: the version is recorded.
      {"[Setup]\nVersion=1.2\n", "1.3", 1, 0, "[Setup]\nVersion=1.3\nNextUpdate=46030\n"},
      // A signing certificate of a higher serial was accepted: recorded.
      {"[Setup]\nSigningSerial=3\n", "", 1, 5, "[Setup]\nSigningSerial=5\nNextUpdate=46030\n"},
      // A lower or equal one: the recorded serial stays (and is not rewritten).
      {"[Setup]\nSigningSerial=3\n", "", 1, 2, "[Setup]\nSigningSerial=3\nNextUpdate=46030\n"},
      // A recorded serial that is not a number counts as 0.
      {"[Setup]\nSigningSerial=x\n", "", 1, 1, "[Setup]\nSigningSerial=1\nNextUpdate=46030\n"},
      // The pack names a higher version than the settings (a new account, a
      // newer kit copied over): recorded, and the floor of the check.
      {"[Setup]\n", "", 1, 0, "[Setup]\nVersion=1.2\nNextUpdate=46030\n", "Version=1.2", "1.2"},
      {"[Setup]\nVersion=1.1.9\n", "", 1, 0, "[Setup]\nVersion=1.2\nNextUpdate=46030\n",
       "Version=1.2", "1.2"},
      // A lower one, or a comment that is no version, changes nothing.
      {"[Setup]\nVersion=1.3\n", "", 1, 0, "[Setup]\nVersion=1.3\nNextUpdate=46030\n",
       "Version=1.2", "1.3"},
      {"[Setup]\n", "", 1, 0, "[Setup]\nNextUpdate=46030\n", "Version=1.2 beta"},
      {"[Setup]\n", "", 1, 0, "[Setup]\nNextUpdate=46030\n", "made by zip"},
      // No update, but a fresh statement of the version in place: its day.
      {"[Setup]\n", "", 1, 0, "[Setup]\nNextUpdate=46030\nLastFreshOffer=2027-01-15\n", nullptr,
       "1.0", "2027-01-15"},
      // Not due, but a kept partial download: checked now.
      {"[Setup]\nNextUpdate=46001\n", "", 1, 0, "[Setup]\nNextUpdate=46030\n", nullptr, "1.0", "",
       true},
      // The information file's validator: given to the check, a new one kept.
      {"[Setup]\nInfoAddress=http://u\nInfoETag=\"\"1\"\"\n", "", 1, 0,
       "[Setup]\nInfoAddress=http://u\nInfoETag=\"\"2\"\"\nNextUpdate=46030\nInfoLastModified=\n"
       "InfoVersion=1.0\nInfoExpires=\n",
       nullptr, "1.0", "", false, "\"2\""},
  };
  for (const Row& row : rows) {
    ::mkdir((dir / "appdata/Lumivora").c_str(), 0755);
    if (row.settings != nullptr) {
      WriteFile(SettingsFile(), row.settings);
    } else {
      ::unlink(SettingsFile().c_str());
    }
    system.online = true;
    updater.calls = 0;
    updater.answer = row.updaterAnswer;
    updater.acceptedSerial = row.acceptedSerial;
    updater.freshDay = row.freshDay;
    updater.validator = *row.etag != 0
                            ? webupdate::InfoValidator{"http://u", row.etag, "", "1.0", 0}
                            : webupdate::InfoValidator{};
    ::unlink((dir / "app/Lumivorapack").c_str());
    if (row.packComment != nullptr) {
      lumivora::testing::WriteBytes(dir / "app/Lumivorapack",
                                    lumivora::testing::BuildZip({.comment = row.packComment}));
    }
    std::string settingsSeenByUpdate;
    updater.action = [&] { settingsSeenByUpdate = ReadFile(SettingsFile()); };
    if (row.partial) {
      KeepPartial("Lumivorapack-1.1", "half");
    }
    Run();
    const std::string file = ReadFile(SettingsFile());
    EXPECT_EQ(updater.calls, row.updaterCalls) << (row.settings ? row.settings : "(none)");
    EXPECT_EQ(file, row.expectedFile);
    if (updater.calls != 0) {
      // The schedule is recorded before the check a server can hold up.
      EXPECT_NE(settingsSeenByUpdate.find("NextUpdate=46"), std::string::npos);
    }
    if (row.packComment != nullptr) {
      EXPECT_EQ(updater.received[0], row.installed) << row.packComment;
    }
    EXPECT_EQ(updater.askedOn.etag, *row.etag != 0 ? "\"1\"" : "");
  }
}

// The first start of a newly installed release is watched until the main
// program takes the guard or ends: a failure puts the previous pack back,
// records the release as bad, says so in one box and starts the restored
// release the ordinary way; a start that is not the first is never watched.
TEST_F(LaunchSequenceTest, FirstStartOfANewReleaseIsWatched) {
  using std::chrono::milliseconds;
  struct Row {
    const char* name;
    std::function<void(FakeSystem&)> program;  // how the watched start goes
    bool watched = true;
    bool rolledBack = true;
    const char* settings = "[Setup]\nVersion=1.1\nPreviousVersion=1.0\nFirstStart=1.1\n";
    milliseconds window = std::chrono::seconds(10);
    bool installedNow = false;  // the update of this very run installs 1.1
  };
  const auto ends = [](int code, int signal) {
    return [=](FakeSystem& fake) { fake.watchedEnd = platform::ProcessEnd{code, signal}; };
  };
  const Row rows[] = {
      {"exits with status 1", ends(1, 0)},
      {"killed by a signal", ends(0, 11)},
      {"cannot be started", [](FakeSystem& fake) { fake.watchedStartResult = 2; }},
      {"installed by this start, exits with status 1", ends(1, 0), true, true,
       "[Setup]\nVersion=1.0\n", milliseconds(10000), true},
      {"takes the guard", [](FakeSystem& fake) { fake.guardTakenAfterLooks = 3; }, true, false},
      {"ends with success", ends(0, 0), true, false},
      {"runs through the window without the guard", nullptr, true, false,
       "[Setup]\nVersion=1.1\nPreviousVersion=1.0\nFirstStart=1.1\n", milliseconds(30)},
      {"exits with status 1, no previous release recorded", ends(1, 0), true, false,
       "[Setup]\nVersion=1.1\nFirstStart=1.1\n"},
      {"not the first start", ends(1, 0), false, false, "[Setup]\nVersion=1.1\n"},
      {"installed by this start, window of 0", ends(1, 0), false, false, "[Setup]\nVersion=1.0\n",
       milliseconds(0), true},
  };
  const std::string pack = dir / "app/Lumivorapack";
  const std::string previous = pack + ".previous";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    WriteSettingsFile(row.settings);
    WriteFile(pack, row.installedNow ? "old pack" : "new pack");
    WriteFile(previous, "old pack");
    if (row.installedNow) {
      ::unlink(previous.c_str());  // the install keeps it
    }
    system.watched.clear();
    system.started.clear();
    system.watchedEnd.reset();
    system.watchedStartResult = platform::kStarted;
    system.guardTakenAfterLooks = -1;
    system.guardLooks = 0;
    system.waitedOnWatched = {};
    system.online = row.installedNow;
    updater.installs = row.installedNow;
    updater.answer = "1.1";
    if (row.program) {
      row.program(system);
    }
    environment.config.FirstStartWatch = row.window;
    ui.messages.clear();
    extractor.calls = 0;
    const auto begin = std::chrono::steady_clock::now();
    Run();
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(system.watched.size(), row.watched ? 1U : 0U);
    const LauncherSettings after = ReadSettings(SettingsFile());
    EXPECT_EQ(after.FirstStart, "");
    EXPECT_EQ(ReadFile(pack), row.rolledBack ? "old pack" : "new pack");
    EXPECT_EQ(std::filesystem::exists(previous), !row.rolledBack);
    EXPECT_EQ(after.Version, row.rolledBack ? "1.0" : "1.1");
    EXPECT_EQ(after.BadRelease, row.rolledBack ? "1.1" : "");
    // The restored release is extracted again and started unwatched.
    EXPECT_EQ(extractor.calls, row.rolledBack ? 2 : 1);
    EXPECT_EQ(system.started.size(), row.watched && !row.rolledBack ? 0U : 1U);
    if (row.rolledBack) {
      ASSERT_EQ(ui.messages.size(), 1U);
      EXPECT_EQ(ui.messages[0].caption, "Lumivora");
      EXPECT_EQ(ui.messages[0].text,
                "Version 1.1 did not start properly, so version 1.0 has been restored.");
    } else {
      EXPECT_TRUE(ui.messages.empty());
    }
    // A healthy program is not waited on once it holds the guard.
    EXPECT_LE(system.waitedOnWatched, row.program ? milliseconds(7) : row.window);
    EXPECT_LT(took, std::chrono::seconds(5));
  }
  // The next due check is told the bad release.
  WriteSettingsFile("[Setup]\nVersion=1.0\nBadRelease=1.1\n");
  system.online = true;
  updater.installs = false;
  Run();
  EXPECT_EQ(updater.badRelease, "1.1");
}

TEST_F(LaunchSequenceTest, UpdaterReceivesDecipheredAddresses) {
  system.online = true;
  WriteSettingsFile("[Setup]\nVersion=1.2\nSilentUpdate=1\n");
  Run();
  ASSERT_EQ(updater.calls, 1);
  EXPECT_EQ(updater.received,
            (std::vector<std::string>{"1.2", dir / "app/Lumivorapack", "http://one/info.ini",
                                      "http://two/info.ini", "http://up/?v=%s",
                                      dir / "appdata/Lumivora"}));
  EXPECT_TRUE(updater.silent);
}

TEST_F(LaunchSequenceTest, MissingPackShowsFileProcessingError) {
  extractor.result = false;
  Run();
  ASSERT_EQ(ui.messages.size(), 1U);
  EXPECT_EQ(ui.messages[0].caption, "Lumivora");
  EXPECT_EQ(ui.messages[0].text, "Error in file processing : \r" + (dir / "app/Lumivorapack"));
  EXPECT_EQ(ui.messages[0].icon, platform::MessageIcon::kError);
  EXPECT_TRUE(system.started.empty());
  EXPECT_EQ(status, "Ready !");
  EXPECT_EQ(position, 3);
}

// Settings or a lock that cannot be written end the update before anything
// is downloaded, with a message; the installed program starts.
TEST_F(LaunchSequenceTest, UnwritableSharedFilesEndTheUpdateAndTheProgramStarts) {
  const std::string lock = dir / "appdata/Lumivora/Lumivora.lock";
  const std::string elsewhere = dir / "elsewhere";
  const std::vector<std::pair<std::function<void()>, std::string>> rows = {
      {[&] { ::mkdir(SettingsFile().c_str(), 0755); }, SettingsFile()},
      {[&] { ::mkdir(lock.c_str(), 0755); }, lock},
      {[&] { std::filesystem::create_symlink(elsewhere, lock); }, lock},
  };
  for (const auto& [make, named] : rows) {
    std::filesystem::remove_all(dir / "appdata/Lumivora");
    ::mkdir((dir / "appdata/Lumivora").c_str(), 0755);
    make();
    system.online = true;
    updater.calls = 0;
    ui.messages.clear();
    system.started.clear();
    Run();
    ASSERT_EQ(ui.messages.size(), 1U) << named;
    EXPECT_EQ(ui.messages[0].caption, "Lumivora");
    EXPECT_EQ(ui.messages[0].text, "Problem : \rUnable to write to " + named);
    EXPECT_EQ(updater.calls, 0);
    EXPECT_EQ(system.started.size(), 1U);
    EXPECT_FALSE(std::filesystem::exists(elsewhere));  // nothing through the link
    EXPECT_EQ(status, "Ready !");
    EXPECT_EQ(ui.cursor, platform::CursorKind::kDefault);
  }
}

// Another start that holds the lock: this one says so, gives up after its
// wait (no update this time, the settings untouched) and still starts the
// program; a box of the extraction waits until the lock is released.
TEST_F(LaunchSequenceTest, HeldLockIsWaitedForWithinABoundAndNoBoxShowsWhileHeld) {
  WriteSettingsFile("[Setup]\nNextUpdate=0\n");
  system.online = true;
  environment.lockWait = std::chrono::milliseconds(0);
  const std::string lockFile = dir / "appdata/Lumivora/Lumivora.lock";
  {
    const auto other = platform::FileLock::Acquire(lockFile);
    ASSERT_NE(other, nullptr);
    Run();
  }
  EXPECT_EQ(updater.calls, 0);
  EXPECT_EQ(ReadFile(SettingsFile()), "[Setup]\nNextUpdate=0\n");
  EXPECT_EQ(ui.EventsStartingWith("frmSplash.lblStatus=Waiting").size(), 2U);  // both steps
  EXPECT_EQ(system.started.size(), 1U);

  extractor.box = "damaged";
  bool lockFreeAtTheBox = false;
  ui.onMessage = [&](const platform::MessageBoxRequest&) {
    lockFreeAtTheBox = platform::FileLock::TryAcquire(lockFile) != nullptr;
  };
  Run();
  ASSERT_EQ(ui.messages.size(), 1U);
  EXPECT_EQ(ui.messages[0].text, "damaged");
  EXPECT_TRUE(lockFreeAtTheBox);
}

// What killed starts left (a pack copy, download folders no start holds) is
// removed; a download folder a running start holds is not.
TEST_F(LaunchSequenceTest, LeftoversOfKilledStartsAreSwept) {
  system.online = true;
  WriteFile(dir / "app/Lumivorapack.new-a1B2c3", "half a pack");
  WriteFile(dir / "app/Lumivorapack.keep", "not ours");
  for (const char* folder : {"tmp/Lumivora-update-dead01", "tmp/Lumivora-update-live01"}) {
    ::mkdir((dir / folder).c_str(), 0700);
    WriteFile(dir / folder + std::string("/Lumivorapack-1.1"), "partial download");
  }
  const auto live = platform::FileLock::Acquire(dir / "tmp/Lumivora-update-live01/Lumivora.lock");
  // In the data folder: the partial its record names stays; a half-written
  // record and a file no record names go.
  const std::string store = dir / "appdata/Lumivora/Lumivora-download/";
  ::mkdir((dir / "appdata/Lumivora").c_str(), 0700);
  KeepPartial("Lumivorapack-1.1", "half");
  WriteFile(store + "Lumivora.resume.new-Xy12", "[Partial]");
  WriteFile(store + "Lumivorapack-1.0", "older");
  Run();
  EXPECT_TRUE(std::filesystem::exists(store + "Lumivorapack-1.1"));
  EXPECT_TRUE(std::filesystem::exists(store + "Lumivora.resume"));
  EXPECT_FALSE(std::filesystem::exists(store + "Lumivora.resume.new-Xy12"));
  EXPECT_FALSE(std::filesystem::exists(store + "Lumivorapack-1.0"));
  EXPECT_FALSE(std::filesystem::exists(dir / "app/Lumivorapack.new-a1B2c3"));
  EXPECT_TRUE(std::filesystem::exists(dir / "app/Lumivorapack.keep"));
  EXPECT_FALSE(std::filesystem::exists(dir / "tmp/Lumivora-update-dead01"));
  EXPECT_TRUE(std::filesystem::exists(dir / "tmp/Lumivora-update-live01/Lumivorapack-1.1"));
}

// A launcher that cannot tell its own path never reads a pack relative to the
// current folder.
TEST_F(LaunchSequenceTest, UnknownOwnPathReadsNoPack) {
  for (const char* executable : {"", "lumivora", "app/lumivora"}) {
    SCOPED_TRACE(executable);
    system.executable = executable;
    ui.messages.clear();
    Run();
    ASSERT_EQ(ui.messages.size(), 1U);
    EXPECT_EQ(ui.messages[0].text, "Problem : \rCannot find the launcher's own folder.");
    EXPECT_EQ(extractor.calls, 0);
    EXPECT_TRUE(system.started.empty());
    EXPECT_EQ(status, "...");
  }
}

// A start that raises is reported once, in StartProgram's own box.
TEST_F(LaunchSequenceTest, StartFailureRaisedShowsOneBox) {
  system.startThrows = true;
  Run();
  ASSERT_EQ(ui.messages.size(), 1U);
  EXPECT_EQ(ui.messages[0].caption, "ERROR");
  EXPECT_EQ(ui.messages[0].text, "Can not start this program ");
  EXPECT_EQ(status, "...");
}

TEST_F(LaunchSequenceTest, OtherPlatformsRenameToExe) {
  system.platformId = 1;
  Run();
  ASSERT_EQ(system.started.size(), 1U);
  EXPECT_EQ(system.started[0].program, dir / "tmp/Lumivoramain.exe");
  EXPECT_TRUE(lumivora::testing::ReadFile(dir / "tmp/Lumivoramain.exe") == "program");
}

TEST_F(LaunchSequenceTest, OldTemporaryCopyIsDeletedFirst) {
  WriteFile(dir / "tmp/Lumivoramain", "old");
  WriteFile(dir / "tmp/Lumivoramain.old", "left by a start that ended early");
  extractor.result = false;
  Run();
  EXPECT_FALSE(std::filesystem::exists(dir / "tmp/Lumivoramain"));
  EXPECT_TRUE(std::filesystem::is_empty(dir / "tmp"));  // nothing set aside is left
}

TEST_F(LaunchSequenceTest, ProgressCursorAndMessageProcessingOrder) {
  Run();
  std::vector<std::string> seen;
  for (const std::string& event : ui.events) {
    if (event.rfind("frmSplash.position", 0) == 0 || event.rfind("frmSplash.max", 0) == 0 ||
        event.rfind("cursor", 0) == 0 || event == "process" ||
        event.rfind("frmSplash.lblStatus", 0) == 0) {
      seen.push_back(event);
    }
  }
  EXPECT_EQ(seen,
            (std::vector<std::string>{"frmSplash.lblStatus=...", "frmSplash.max=3",
                                      "frmSplash.position=1", "cursor appstarting", "process",
                                      "frmSplash.position=2", "frmSplash.position=3", "process",
                                      "frmSplash.lblStatus=Ready !", "cursor default"}));
}

TEST_F(LaunchSequenceTest, RunsWithoutSplashWindow) {
  const LaunchState state = RunLaunchSequence(environment, nullptr);
  EXPECT_TRUE(state.Extracted);
  EXPECT_EQ(system.started.size(), 1U);
}

TEST(Entry, GuardPresentRestoresOnceAndTouchesNothing) {
  for (const bool windowExists : {true, false}) {
    const TempDir dir;
    FakeSystem system;
    system.guardExists = true;
    system.windowExists = windowExists;
    system.appData = dir.Path();
    platform::RecordingInterface ui;
    ScriptedExtractor extractor;
    ScriptedUpdater updater;
    LaunchEnvironment environment{system, ui, extractor, updater, {}, {}};
    EXPECT_EQ(RunEntry(environment, "lumivora"), 0);
    EXPECT_EQ(system.restoreRequests, windowExists ? 1 : 0);
    EXPECT_TRUE(ui.events.empty());
    EXPECT_FALSE(std::filesystem::exists(dir / "Lumivora"));
    EXPECT_EQ(system.onlineQueries, 0);
  }
}

TEST(Entry, DataFolderFailureEndsWithUncaughtErrorReport) {
  const TempDir dir;
  FakeSystem system;
  system.appData = dir / "missing";
  platform::RecordingInterface ui;
  ScriptedExtractor extractor;
  ScriptedUpdater updater;
  LaunchEnvironment environment{system, ui, extractor, updater, {}, {}};
  EXPECT_EQ(RunEntry(environment, "lumivora"), 1);
  ASSERT_EQ(ui.messages.size(), 1U);
  EXPECT_EQ(ui.messages[0].caption, "Application Error");
  const std::string& text = ui.messages[0].text;
  EXPECT_EQ(text.rfind("Exception Exception in module lumivora at ", 0), 0U) << text;
  EXPECT_NE(text.find(".\nCannot create folder - " + (dir / "missing/Lumivora") + "."),
            std::string::npos)
      << text;
  // The splash window was freed before the report.
  const auto destroyed = std::find(ui.events.begin(), ui.events.end(), "destroy frmSplash");
  const auto report = std::find_if(ui.events.begin(), ui.events.end(), [](const std::string& e) {
    return e.rfind("message Application Error", 0) == 0;
  });
  EXPECT_LT(destroyed, report);
  EXPECT_EQ(extractor.calls, 0);
}

}  // namespace
}  // namespace lumivora::launcher
