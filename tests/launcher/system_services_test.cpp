#include "launcher/system_services.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/exception.h"
#include "platform/recording/ui_recording.h"
#include "tests/support/fakes.h"
#include "tests/support/files.h"

namespace lumivora::launcher {
namespace {

using lumivora::testing::FakeSystem;
using lumivora::testing::TempDir;

TEST(HandOffRecord, CommaTextQuoting) {
  struct Row {
    const char* launcherPath;
    const char* record;
  };
  const Row rows[] = {
      {"/opt/app/lumivora", "[Start],Starter=/opt/app/lumivora,"},
      {"/opt/my app/lumivora", "[Start],\"Starter=/opt/my app/lumivora\","},
      {"/opt/a,b/lumivora", "[Start],\"Starter=/opt/a,b/lumivora\","},
      {"/opt/say \"hi\"/l", "[Start],\"Starter=/opt/say \"\"hi\"\"/l\","},
      {"/opt/tab\there", "[Start],\"Starter=/opt/tab\there\","},
      {"C:\\Program Files\\Lumivora\\lumivora.exe",
       "[Start],\"Starter=C:\\Program Files\\Lumivora\\lumivora.exe\","},
      {"/opt/caf\xe9/l", "[Start],Starter=/opt/caf\xe9/l,"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(BuildHandOffRecord(row.launcherPath), row.record) << row.launcherPath;
  }
}

TEST(HandOffRecord, ScanStopsAtZeroByte) {
  EXPECT_EQ(CommaText({std::string("a\0 b", 4), "c"}), std::string("a\0 b,c", 6));
  EXPECT_EQ(CommaText({"", ""}), ",");
}

TEST(CommandLine, FirstArgumentAndBlanks) {
  struct Row {
    const char* first;
    const char* text;
    size_t argumentCount;
  };
  const Row rows[] = {
      {"", "/t/Lumivoramain REC ", 1},
      {"file.doc", "/t/Lumivoramain REC file.doc", 2},
      {"my file.doc", "/t/Lumivoramain REC my file.doc", 2},
  };
  for (const Row& row : rows) {
    const platform::CommandLine commandLine = BuildCommandLine("/t/Lumivoramain", "REC", row.first);
    EXPECT_EQ(commandLine.text, row.text);
    EXPECT_EQ(commandLine.program, "/t/Lumivoramain");
    ASSERT_EQ(commandLine.arguments.size(), row.argumentCount);
    EXPECT_EQ(commandLine.arguments[0], "REC");
    if (row.argumentCount == 2) {
      EXPECT_EQ(commandLine.arguments[1], row.first);  // one argument, blanks kept
    }
  }
}

TEST(StartProgram, FailureMessages) {
  struct Row {
    unsigned result;
    bool throws;
    bool shortMessage;
    const char* text;  // nullptr: no box
  };
  const Row rows[] = {
      {33, false, true, nullptr},
      {2, false, true, "Can not start this program "},
      {2, false, false, "Can not start : /x/Lumivoramain REC arg"},
      {31, false, true, "Can not start this program "},
      {0, true, true, "Can not start this program "},
      {0, true, false, "Can not start : /x/Lumivoramain REC arg"},
  };
  for (const Row& row : rows) {
    FakeSystem system;
    system.startResult = row.result;
    system.startThrows = row.throws;
    platform::RecordingInterface ui;
    const auto commandLine = BuildCommandLine("/x/Lumivoramain", "REC", "arg");
    if (row.throws) {
      EXPECT_THROW(StartProgram(system, ui, commandLine, row.shortMessage), Exception);
    } else {
      EXPECT_EQ(StartProgram(system, ui, commandLine, row.shortMessage), row.text == nullptr);
    }
    if (row.text == nullptr) {
      EXPECT_TRUE(ui.messages.empty());
    } else {
      ASSERT_EQ(ui.messages.size(), 1U);
      EXPECT_EQ(ui.messages[0].caption, "ERROR");
      EXPECT_EQ(ui.messages[0].text, row.text);
      EXPECT_EQ(ui.messages[0].icon, platform::MessageIcon::kError);
    }
  }
}

TEST(DataFolder, ExistsCreatedOrRefused) {
  const TempDir dir;
  FakeSystem system;
  system.appData = dir.Path();
  // Created when missing, returned without trailing separator.
  EXPECT_EQ(GetDataFolder(system), dir / "Lumivora");
  struct stat st {};
  ASSERT_EQ(::stat((dir / "Lumivora").c_str(), &st), 0);
  // Present: returned as it is.
  EXPECT_EQ(GetDataFolder(system), dir / "Lumivora");
  // Its parent is never created.
  system.appData = dir / "missing";
  try {
    GetDataFolder(system);
    FAIL() << "no error";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(), "Cannot create folder - " + (dir / "missing/Lumivora"));
  }
}

TEST(DataFolder, NoApplicationDataFolderUsesTheRootForm) {
  FakeSystem system;
  system.appData = "";
  EXPECT_EQ(GetShellFolder(system, kCsidlAppData), "");
  EXPECT_EQ(GetShellFolder(system, 5), "");
  EXPECT_EQ(DataFolderPath(system), "/Lumivora");
}

}  // namespace
}  // namespace lumivora::launcher
