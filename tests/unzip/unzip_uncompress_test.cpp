// UnCompress and the password builder: the launcher's single extraction, its
// silent false results and its one message box; and no allocation sized
// from a header field.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "platform/file.h"
#include "platform/recording/ui_recording.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/zip.h"
#include "unzip/uncompress.h"
#include "unzip/unzip.h"

// Largest single allocation while tracking is on.
namespace {
std::atomic<bool> gTracking{false};
std::atomic<size_t> gLargest{0};

void* Allocate(size_t size) {
  if (gTracking.load(std::memory_order_relaxed)) {
    size_t seen = gLargest.load(std::memory_order_relaxed);
    while (size > seen && !gLargest.compare_exchange_weak(seen, size)) {
    }
  }
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) {
    throw std::bad_alloc();
  }
  return block;
}
}  // namespace

void* operator new(size_t size) {
  return Allocate(size);
}
void* operator new[](size_t size) {
  return Allocate(size);
}
void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete[](void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, size_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, size_t) noexcept {
  std::free(block);
}

namespace lumivora::unzip {
namespace {

namespace test = ::lumivora::testing;

using test::BuildZip;
using test::Bytes;
using test::TempDir;
using test::ToBytes;
using test::ZipLayout;

TEST(UnzipPassword, BuildsFromTheTable) {
  const uint8_t table[] = {'m', 'o', 's', 's', '&', 'l', 'a', 'm', 'p', '2', '0', '2', '6'};
  EXPECT_EQ(BuildPassword(table, 12), "moss&lamp2026");
  EXPECT_EQ(BuildPassword(table, 3), "moss");
  EXPECT_EQ(BuildPassword(table, -1), "");
  const uint8_t withZero[] = {'a', 0, 0xE9};
  EXPECT_EQ(BuildPassword(withZero, 2), std::string("a\0\xE9", 3));
}

// One row per situation of the launch: the result, the file, the box.
TEST(UnzipUnCompress, EdgeCasesTable) {
  const Bytes program = test::SampleData(100000, 5);
  struct Row {
    const char* name;
    std::function<Bytes()> pack;  // nullptr: no pack at all
    const char* password;
    bool trailingSeparator;
    bool fileThere;  // a previous copy is in the folder
    bool result;
    const char* box;  // "" none
  };
  // A pack of the program as ENTRYNAME; its dates and attributes are the
  // writer's defaults (2025-04-12 13:25:26, archive).
  const auto pack = [&](const char* entryName, const char* password) {
    return [=] {
      return BuildZip({.entries = {{.name = entryName, .data = program, .password = password}}});
    };
  };
  const char* right = "moss&lamp2026";
  const auto good = pack("Lumivoramain", right);
  const Row rows[] = {
      {"right password", good, right, true, false, true, ""},
      {"without trailing separator", good, right, false, false, true, ""},
      {"previous copy replaced", good, right, true, true, true, ""},
      {"name in capitals", pack("LUMIVORAMAIN", right), right, true, false, true, ""},
      {"wrong password", good, "wrong", true, false, false, ""},
      {"inside a folder", pack("bin/Lumivoramain", right), right, true, false, false, ""},
      {"missing pack", nullptr, right, true, false, false, ""},
      {"not an archive", [] { return ToBytes("MZ this is no zip archive at all"); }, "x", true,
       false, false, "UnCompress|Problem in UnCompress : \rIncomplete Zip File"},
      {"truncated pack",
       [&] {
         Bytes zip = pack("Lumivoramain", "p")();
         zip.resize(zip.size() / 2);
         return zip;
       },
       "p", true, false, false, "UnCompress|Problem in UnCompress : \rIncomplete Zip File"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    TempDir temp;
    const std::string packPath = dir / "Lumivorapack";
    if (row.pack) {
      test::WriteBytes(packPath, row.pack());
    }
    const std::string target = temp / "Lumivoramain";
    if (row.fileThere) {
      test::WriteFile(target, "old copy");
    }
    platform::RecordingInterface ui;
    const std::string folder = temp.Path() + (row.trailingSeparator ? "/" : "");
    EXPECT_EQ(UnCompress(packPath, folder, row.password, "Lumivoramain", ui), row.result);
    if (row.result) {
      const std::string name =
          std::string(row.name) == "name in capitals" ? temp / "LUMIVORAMAIN" : target;
      EXPECT_EQ(test::ReadBytes(name), program);
      EXPECT_EQ(platform::FileAgeDos(name), 0x5A8C6B2DU);
    } else if (!row.fileThere) {
      EXPECT_FALSE(platform::FileExists(target));
    }
    std::string boxes;
    for (const auto& message : ui.messages) {
      boxes += message.caption + "|" + message.text;
      EXPECT_EQ(message.icon, platform::MessageIcon::kError);
    }
    EXPECT_EQ(boxes, row.box);
  }
}

TEST(UnzipUnCompress, OutputThatCannotBeCreatedShowsTheFileError) {
  TempDir dir;
  test::WriteBytes(dir / "Lumivorapack",
                   BuildZip({.entries = {{.name = "Lumivoramain", .data = ToBytes("main")}}}));
  // A folder in the way of the output file.
  std::filesystem::create_directories(dir / "out/Lumivoramain");
  platform::RecordingInterface ui2;
  EXPECT_FALSE(UnCompress(dir / "Lumivorapack", dir / "out/", "", "Lumivoramain", ui2));
  ASSERT_EQ(ui2.messages.size(), 1U);
  EXPECT_EQ(ui2.messages[0].text,
            "Problem in UnCompress : \rCannot create file " + (dir / "out/Lumivoramain"));
}

// Header fields claim huge sizes and counts; nothing is allocated by them.
TEST(UnzipAllocation, NoAllocationSizedFromHeaderFields) {
  TempDir dir;
  ZipLayout layout;
  layout.entries.push_back({.name = "a",
                            .data = ToBytes("alpha"),
                            .uncompressedOverride = 0xFFFFFFF0,
                            .compressedOverride = 0xFFFFFFF0});
  layout.entries.push_back(
      {.name = "b", .data = ToBytes("bravo"), .method = 0, .uncompressedOverride = 0x7FFFFFFF});
  layout.totalEntriesOverride = 0xFFFF;
  layout.comment = std::string(100, 'c');
  Bytes zip = BuildZip(layout);
  // The archive comment length claims 65535 bytes.
  zip[zip.size() - 100 - 2] = 0xFF;
  zip[zip.size() - 100 - 1] = 0xFF;
  test::WriteBytes(dir / "a.zip", zip);
  layout.totalEntriesOverride = -1;
  test::WriteBytes(dir / "b.zip", BuildZip(layout));
  gLargest = 0;
  gTracking = true;
  for (const char* name : {"a.zip", "b.zip"}) {
    TUnZip unzip;
    unzip.SetZipName(dir / name);
    unzip.SetDestDir(dir / "out");
    unzip.SetDoAll(true);
    try {
      unzip.UnZip();
      unzip.ZipComment();
    } catch (const Exception&) {
    }
  }
  gTracking = false;
  EXPECT_LT(gLargest.load(), 128U * 1024U);
}

}  // namespace
}  // namespace lumivora::unzip
