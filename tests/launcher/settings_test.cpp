#include "launcher/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/exception.h"
#include "tests/support/files.h"

namespace lumivora::launcher {
namespace {

using lumivora::testing::ReadFile;
using lumivora::testing::TempDir;
using lumivora::testing::WriteFile;

TEST(StrToIntDef, ProfileIntegerRules) {
  struct Row {
    const char* text;
    int32_t expected;
  };
  const Row rows[] = {
      {"16", 16},
      {"  16", 16},
      {"+16", 16},
      {"-16", -16},
      {"0x10", 16},
      {"0X10", 16},
      {"$10", 16},
      {"-$10", -16},
      {"$ff", 255},
      {"$FFFFFFFF", -1},
      {"2147483647", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"2147483648", 77},
      {"$100000000", 77},
      {"abc", 77},
      {"", 77},
      {"-", 77},
      {"0x", 77},
      {"$", 77},
      {"12abc", 77},
      {"1 2", 77},
      {"16 ", 77},
      {"0x1G", 77},
      {"--1", 77},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(StrToIntDef(row.text, 77), row.expected) << '"' << row.text << '"';
  }
}

TEST(ReadSettings, DefaultsAndConversions) {
  struct Row {
    const char* content;  // nullptr: no file
    const char* version;
    int32_t autoUpdate;
    int32_t nextUpdate;
    bool silent;
  };
  const Row rows[] = {
      {nullptr, "1.0", 2, 0, false},
      {"", "1.0", 2, 0, false},
      {"[Other]\nVersion=9\n", "1.0", 2, 0, false},
      {"[Setup]\nVersion=1.2\nAutoUpdate=1\nNextUpdate=45000\nSilentUpdate=1\n", "1.2", 1, 45000,
       true},
      {"[setup]\nversion=1.5\n", "1.5", 2, 0, false},
      {"[Setup]\nVersion=\n", "", 2, 0, false},
      {"[Setup]\nNextUpdate=0x10\n", "1.0", 2, 16, false},
      {"[Setup]\nNextUpdate=abc\n", "1.0", 2, 0, false},
      {"[Setup]\nSilentUpdate=2\n", "1.0", 2, 0, true},
      {"[Setup]\nSilentUpdate=yes\n", "1.0", 2, 0, false},
      {"[Setup]\nAutoUpdate=-1\n", "1.0", -1, 0, false},
      {"[Setup]\r\nAutoUpdate = $5 \r\n", "1.0", 5, 0, false},
  };
  for (const Row& row : rows) {
    const TempDir dir;
    const std::string file = dir / "Lumivora.ini";
    if (row.content != nullptr) {
      WriteFile(file, row.content);
    }
    const LauncherSettings settings = ReadSettings(file);
    const std::string label = row.content == nullptr ? "(no file)" : row.content;
    EXPECT_EQ(settings.Version, row.version) << label;
    EXPECT_EQ(settings.AutoUpdate, row.autoUpdate) << label;
    EXPECT_EQ(settings.NextUpdate, row.nextUpdate) << label;
    EXPECT_EQ(settings.SilentUpdate, row.silent) << label;
  }
}

TEST(ReadSettings, LongValueIsCutAt2047Characters) {
  const TempDir dir;
  const std::string file = dir / "Lumivora.ini";
  WriteFile(file, "[Setup]\nVersion=" + std::string(3000, '7') + "\n");
  EXPECT_EQ(ReadSettings(file).Version, std::string(2047, '7'));
}

TEST(UpdateDue, Schedule) {
  constexpr int32_t kToday = 46000;
  struct Row {
    int32_t autoUpdate;
    int32_t nextUpdate;
    bool due;
    int32_t nextAfter;
  };
  const Row rows[] = {
      {-1, 0, false, 0},
      {0, 0, false, 0},
      {0, kToday - 5, false, kToday - 5},
      {1, kToday, true, kToday + 7},
      {1, 0, true, kToday + 7},
      {2, 0, true, kToday + 30},
      {2, kToday - 1, true, kToday + 30},
      {5, kToday, true, kToday + 30},
      {2, kToday + 1, false, kToday + 1},
      {1, kToday + 1, false, kToday + 1},
  };
  for (const Row& row : rows) {
    LauncherSettings settings;
    settings.AutoUpdate = row.autoUpdate;
    settings.NextUpdate = row.nextUpdate;
    const bool due = UpdateDue(settings, kToday);
    EXPECT_EQ(due, row.due) << row.autoUpdate << "/" << row.nextUpdate;
    if (due) {
      ScheduleNextUpdate(settings, kToday);
    }
    EXPECT_EQ(settings.NextUpdate, row.nextAfter) << row.autoUpdate << "/" << row.nextUpdate;
  }
}

TEST(WriteSettings, ChangesOnlyItsKeysAndCreatesTheFile) {
  const TempDir dir;
  const std::string file = dir / "Lumivora.ini";
  LauncherSettings settings;
  settings.NextUpdate = 46030;
  WriteSettings(file, settings, "");
  EXPECT_EQ(ReadFile(file), "[Setup]\nNextUpdate=46030\n");

  WriteFile(file,
            "; user comment\n[Other]\nNextUpdate=1\n\n[Setup]\nVersion=1.2\nAutoUpdate=1\n"
            "SilentUpdate=1\n\n[Tail]\nx=y\n");
  WriteSettings(file, settings, "1.3");
  EXPECT_EQ(ReadFile(file),
            "; user comment\n[Other]\nNextUpdate=1\n\n[Setup]\nVersion=1.3\nAutoUpdate=1\n"
            "SilentUpdate=1\nNextUpdate=46030\n\n[Tail]\nx=y\n");
  const LauncherSettings back = ReadSettings(file);
  EXPECT_EQ(back.Version, "1.3");
  EXPECT_EQ(back.NextUpdate, 46030);
  EXPECT_EQ(back.AutoUpdate, 1);
  EXPECT_TRUE(back.SilentUpdate);
}

TEST(WriteSettings, RefusedWriteRaisesAndKeepsTheFile) {
  const TempDir dir;
  LauncherSettings settings;
  // A read-only settings file.
  const std::string file = dir / "Lumivora.ini";
  WriteFile(file, "[Setup]\nNextUpdate=5\n");
  ::chmod(file.c_str(), 0444);
  try {
    WriteSettings(file, settings, "2.0");
    FAIL() << "no error raised";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Message(), "Unable to write to " + file);
  }
  EXPECT_EQ(ReadFile(file), "[Setup]\nNextUpdate=5\n");
  // A settings path that cannot be a file.
  const std::string folder = dir / "folder.ini";
  ::mkdir(folder.c_str(), 0755);
  EXPECT_THROW(WriteSettings(folder, settings, ""), Exception);
}

}  // namespace
}  // namespace lumivora::launcher
