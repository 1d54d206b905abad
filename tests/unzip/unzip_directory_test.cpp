// Directory reader: end record search, central directory, local-header scan,
// date/time sanitising, comments, sort orders, re-reading, numbered-file sets.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/file.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/zip.h"
#include "unzip/unzip.h"
#include "unzip/zip_archive.h"

namespace lumivora::unzip {
namespace {

namespace test = ::lumivora::testing;

using test::BuildZip;
using test::Bytes;
using test::TempDir;
using test::ToBytes;
using test::ZipEntrySpec;
using test::ZipLayout;

std::vector<std::string> Names(TUnZip& unzip) {
  std::vector<std::string> names;
  for (int i = 0; i < unzip.Count(); ++i) {
    names.push_back(unzip.Entry(i).Directory() + unzip.Entry(i).FileName());
  }
  return names;
}

TEST(UnzipDirectory, SanitisesDosDateTimeFieldByField) {
  struct Row {
    uint32_t in;
    uint32_t out;
  };
  const auto dos = [](uint32_t year, uint32_t month, uint32_t day, uint32_t hour, uint32_t minute,
                      uint32_t seconds2) {
    return (year << 25U) | (month << 21U) | (day << 16U) | (hour << 11U) | (minute << 5U) |
           seconds2;
  };
  const Row rows[] = {
      {dos(45, 4, 12, 13, 25, 13), dos(45, 4, 12, 13, 25, 13)},    // valid: kept
      {dos(45, 4, 12, 24, 25, 13), dos(45, 4, 12, 24, 25, 13)},    // hour 24 is accepted
      {dos(45, 4, 12, 13, 25, 30), dos(45, 4, 12, 13, 25, 29)},    // seconds/2 30 -> 29
      {dos(45, 4, 12, 13, 60, 13), dos(45, 4, 12, 13, 59, 13)},    // minute 60 -> 59
      {dos(45, 4, 12, 31, 25, 13), dos(45, 4, 12, 24, 25, 13)},    // hour > 24 -> 24
      {dos(45, 4, 0, 13, 25, 13), dos(45, 4, 1, 13, 25, 13)},      // day 0 -> 1
      {dos(45, 0, 12, 13, 25, 13), dos(45, 1, 12, 13, 25, 13)},    // month 0 -> 1
      {dos(45, 15, 12, 13, 25, 13), dos(45, 12, 12, 13, 25, 13)},  // month 15 -> 12
      {dos(125, 4, 12, 13, 25, 13), dos(119, 4, 12, 13, 25, 13)},  // year -> 119
      {0, dos(0, 1, 1, 0, 0, 0)},                                  // all zero
  };
  for (const Row& row : rows) {
    EXPECT_EQ(SanitizeDosDateTime(row.in), row.out) << std::hex << row.in;
  }
}

// One row per malformed or unusual archive and what reading its directory does.
TEST(UnzipDirectory, MalformedArchivesTable) {
  struct Row {
    const char* name;
    std::function<Bytes()> make;
    TIncompleteZipMode mode;
    const char* errorClass;  // nullptr: reads
    const char* message;
    int count;
  };
  const auto twoEntries = [] {
    ZipLayout layout;
    layout.entries.push_back({.name = "a.txt", .data = ToBytes("alpha")});
    layout.entries.push_back({.name = "dir/b.txt", .data = ToBytes("bravo bravo bravo")});
    return layout;
  };
  // The two entries with one field of the layout bent by CHANGE.
  const auto bent = [&](const std::function<void(ZipLayout&)>& change) {
    return [=] {
      ZipLayout layout = twoEntries();
      change(layout);
      return BuildZip(layout);
    };
  };
  const Row rows[] = {
      {"empty file", [] { return Bytes(); }, TIncompleteZipMode::izAssumeMulti, "EIncompleteZip",
       "Incomplete Zip File", 0},
      {"21 bytes", [] { return Bytes(21, 'P'); }, TIncompleteZipMode::izAssumeMulti,
       "EIncompleteZip", "Incomplete Zip File", 0},
      {"text, assume bad", [] { return ToBytes("just some text, not an archive"); },
       TIncompleteZipMode::izAssumeBad, "EBadZipFile", "Not a valid zip file!", 0},
      {"no end record, local headers scanned",
       [&] {
         Bytes zip = BuildZip(twoEntries());
         zip.resize(zip.size() - 22);
         return zip;
       },
       TIncompleteZipMode::izAssumeBad, nullptr, nullptr, 2},
      {"misplaced central directory: local scan merges it",
       bent([](ZipLayout& l) { l.centralOffsetOverride = 3; }), TIncompleteZipMode::izAssumeMulti,
       nullptr, nullptr, 2},
      {"misplaced central directory, no local header",
       [] {
         Bytes zip(40, 'x');
         test::Put32(zip, {0x06054b50});
         test::Put16(zip, {0, 0, 1, 1});
         test::Put32(zip, {0, 7});
         test::Put16(zip, {0});
         return zip;
       },
       TIncompleteZipMode::izAssumeMulti, "EBadZipFile", "Not a valid zip file!", 0},
      {"second central header broken", bent([](ZipLayout& l) { l.totalEntriesOverride = 3; }),
       TIncompleteZipMode::izAssumeMulti, "EBadZipFile", "Not a valid zip file!", 0},
      {"65535 entries claimed in a small file",
       bent([](ZipLayout& l) { l.totalEntriesOverride = 65535; }),
       TIncompleteZipMode::izAssumeMulti, "EBadZipFile", "Not a valid zip file!", 0},
      {"two entries at one offset", bent([](ZipLayout& l) { l.entries[1].offsetOverride = 0; }),
       TIncompleteZipMode::izAssumeMulti, "EListError", "Duplicate Object index", 0},
      {"comment holding a stray end signature",
       bent([](ZipLayout& l) { l.comment = "before PK\x05\x06 after, and more text here"; }),
       TIncompleteZipMode::izAssumeMulti, nullptr, nullptr, 2},
      {"empty archive", [] { return BuildZip(ZipLayout{}); }, TIncompleteZipMode::izAssumeMulti,
       nullptr, nullptr, 0},
      {"comment of 65,507 bytes", bent([](ZipLayout& l) { l.comment = std::string(65507, 'c'); }),
       TIncompleteZipMode::izAssumeMulti, nullptr, nullptr, 2},
      {"comment of 65,535 bytes, the longest",
       bent([](ZipLayout& l) { l.comment = std::string(65535, 'c'); }),
       TIncompleteZipMode::izAssumeMulti, nullptr, nullptr, 2},
      // 70,000 tiny local headers: the scan stops at the 65,535 entries a
      // directory can hold, so its memory stays a small multiple of the file.
      {"70,000 tiny local headers, scanned",
       [] {
         Bytes zip;
         for (int i = 0; i < 70000; ++i) {
           test::Put32(zip, {0x04034b50});
           zip.resize(zip.size() + 22, 0);
           test::Put16(zip, {1, 0});  // name and extra lengths
           zip.push_back('n');
         }
         return zip;
       },
       TIncompleteZipMode::izAssumeBad, nullptr, nullptr, 65535},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    test::WriteBytes(dir / "a.zip", row.make());
    TUnZip unzip;
    unzip.SetIncompleteZipMode(row.mode);
    unzip.SetZipName(dir / "a.zip");
    if (row.errorClass == nullptr) {
      EXPECT_NO_THROW(unzip.ReadZip());
      EXPECT_EQ(unzip.Count(), row.count);
      continue;
    }
    try {
      unzip.ReadZip();
      ADD_FAILURE() << "no error";
    } catch (const Exception& error) {
      EXPECT_STREQ(error.ClassName(), row.errorClass);
      EXPECT_EQ(error.Message(), row.message);
    }
    EXPECT_EQ(unzip.Count(), 0);
  }
}

TEST(UnzipDirectory, IncompleteZipEventChangesTheMode) {
  TempDir dir;
  Bytes zip = BuildZip({.entries = {{.name = "a.txt", .data = ToBytes("alpha")}}});
  zip.resize(zip.size() - 22);  // no end record
  test::WriteBytes(dir / "a.zip", zip);
  TUnZip unzip;
  int calls = 0;
  unzip.OnInCompleteZip = [&](TUnZip& sender, TIncompleteZipMode& mode) {
    EXPECT_EQ(&sender, &unzip);
    EXPECT_EQ(mode, TIncompleteZipMode::izAssumeMulti);
    mode = TIncompleteZipMode::izAssumeBad;
    ++calls;
  };
  unzip.SetZipName(dir / "a.zip");
  unzip.ReadZip();
  EXPECT_EQ(calls, 1);
  ASSERT_EQ(unzip.Count(), 1);
  EXPECT_TRUE(unzip.FromLocalScan());
  EXPECT_EQ(unzip.Entry(0).FileName(), "a.txt");
}

TEST(UnzipDirectory, MisplacedDirectoryKeepsCentralNamesAndComments) {
  const test::ArchiveFile archive(
      {.entries = {{.name = "a.txt", .data = ToBytes("alpha"), .comment = "first"},
                   {.name = "b.txt", .data = ToBytes("bravo")}},
       .centralOffsetOverride = 1});
  TUnZip unzip;
  unzip.SetZipName(archive.path);
  unzip.ReadZip();
  EXPECT_TRUE(unzip.FromLocalScan());
  ASSERT_EQ(unzip.Count(), 2);
  EXPECT_EQ(unzip.FileComment(0), "first");
  EXPECT_EQ(unzip.Entry(0).externalAttributes, 0x20U);  // from the central record
}

TEST(UnzipDirectory, CommentsAndSeparators) {
  const test::ArchiveFile archive(
      {.entries = {{.name = "top.txt", .data = ToBytes("1"), .comment = "file comment"},
                   {.name = "Sub/Dir/inner.txt", .data = ToBytes("2")}},
       .comment = "archive comment"});
  TUnZip unzip;
  unzip.SetZipName(archive.path);
  unzip.ReadZip();
  ASSERT_EQ(unzip.Count(), 2);
  const std::string sep(1, platform::PathSeparator());
  EXPECT_EQ(unzip.Entry(1).Directory(), "Sub" + sep + "Dir" + sep);
  EXPECT_EQ(unzip.Entry(1).FileName(), "inner.txt");
  EXPECT_EQ(unzip.Entry(1).NameLength(), 17);
  EXPECT_EQ(unzip.FileComment(0), "file comment");
  EXPECT_EQ(unzip.FileComment(1), "");
  EXPECT_EQ(unzip.ZipComment(), "archive comment");
  try {
    unzip.FileComment(2);
    ADD_FAILURE();
  } catch (const EListError& error) {
    EXPECT_EQ(error.Message(), "Index 2 is out of range");
  }
}

TEST(UnzipDirectory, CommentHoldingACompleteEndRecordMakesTheInnerOneWin) {
  TempDir dir;
  ZipLayout layout{.entries = {{.name = "a.txt", .data = ToBytes("alpha")}}};
  const Bytes plain = BuildZip(layout);
  // The comment carries a copy of the end record (with no comment of its own).
  const Bytes inner(plain.end() - 22, plain.end());
  layout.comment = std::string(inner.begin(), inner.end());
  test::WriteBytes(dir / "a.zip", BuildZip(layout));
  TUnZip unzip;
  unzip.SetZipName(dir / "a.zip");
  unzip.ReadZip();
  EXPECT_EQ(unzip.Count(), 1);
  EXPECT_EQ(unzip.EndCentral().commentLength, 0);
}

TEST(UnzipDirectory, InfoZipArchiveWithCommentContainingEndSignature) {
  TempDir dir;
  test::WriteFile(dir / "in/one.txt", "one");
  test::WriteFile(dir / "in/two.txt", "two two");
  ASSERT_EQ(
      test::Shell("cd " + dir.Path() + "/in && printf 'note PK\\005\\006 inside\\n' | zip -q -z " +
                  dir.Path() + "/c.zip one.txt two.txt")
          .exitCode,
      0);
  TUnZip unzip;
  unzip.SetZipName(dir / "c.zip");
  unzip.ReadZip();
  ASSERT_EQ(unzip.Count(), 2);
  EXPECT_EQ(unzip.ZipComment(), std::string("note PK\x05\x06 inside"));
}

TEST(UnzipDirectory, PhysicalOrderUnderByNone) {
  TempDir dir;
  ZipLayout layout;
  for (const char* name : {"c.txt", "a.txt", "b.txt"}) {
    layout.entries.push_back({.name = name, .data = ToBytes(name)});
  }
  layout.reverseCentral = true;
  test::WriteBytes(dir / "a.zip", BuildZip(layout));
  TUnZip unzip;
  unzip.SetZipName(dir / "a.zip");
  unzip.ReadZip();
  EXPECT_EQ(Names(unzip), (std::vector<std::string>{"c.txt", "a.txt", "b.txt"}));
}

TEST(UnzipDirectory, SortOrdersTable) {
  TempDir dir;
  ZipLayout layout;
  const auto entry = [](const char* name, size_t size, uint32_t date, int repeat) {
    ZipEntrySpec e{.name = name};
    std::string text;
    for (size_t i = 0; text.size() < size; ++i) {
      text += repeat > 0 ? std::string(static_cast<size_t>(repeat), 'z')
                         : std::to_string(i * 7919U % 1000U);
    }
    text.resize(size);
    e.data = ToBytes(text);
    e.dosDateTime = date;
    return e;
  };
  // name, size, date (newest last but one), compressibility
  layout.entries.push_back(entry("b/Zed.txt", 300, 0x5A8C0000, 0));
  layout.entries.push_back(entry("a/alpha.txt", 1000, 0x5A8D0000, 50));
  layout.entries.push_back(entry("A/Alpha.txt", 10, 0x5A8B0000, 0));
  layout.entries.push_back(entry("mid.txt", 300, 0x5A8D0000, 0));
  test::WriteBytes(dir / "a.zip", BuildZip(layout));
  struct Row {
    TZipSortMode mode;
    std::vector<std::string> order;
  };
  const Row rows[] = {
      {TZipSortMode::ByNone, {"b/Zed.txt", "a/alpha.txt", "A/Alpha.txt", "mid.txt"}},
      // Equal keys: a later record goes before the earlier one.
      {TZipSortMode::ByName, {"A/Alpha.txt", "a/alpha.txt", "b/Zed.txt", "mid.txt"}},
      {TZipSortMode::ByFileName, {"A/Alpha.txt", "a/alpha.txt", "mid.txt", "b/Zed.txt"}},
      {TZipSortMode::ByDirectoryName, {"mid.txt", "A/Alpha.txt", "a/alpha.txt", "b/Zed.txt"}},
      // Never equal: equal dates and sizes keep the physical order.
      {TZipSortMode::ByDate, {"a/alpha.txt", "mid.txt", "b/Zed.txt", "A/Alpha.txt"}},
      {TZipSortMode::ByUnCompressedSize, {"a/alpha.txt", "b/Zed.txt", "mid.txt", "A/Alpha.txt"}},
  };
  TUnZip unzip;
  unzip.SetZipName(dir / "a.zip");
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.mode));
    unzip.SetSortMode(row.mode);
    unzip.ReadZip();
    std::vector<std::string> expected;
    for (std::string name : row.order) {
      for (char& c : name) {
        if (c == '/') {
          c = platform::PathSeparator();
        }
      }
      expected.push_back(name);
    }
    EXPECT_EQ(Names(unzip), expected);
  }
  // Compressed size and rate follow the stored sizes.
  unzip.SetSortMode(TZipSortMode::ByCompressedSize);
  for (int i = 1; i < unzip.Count(); ++i) {
    EXPECT_GE(unzip.Entry(i - 1).compressedSize, unzip.Entry(i).compressedSize);
  }
  unzip.SetSortMode(TZipSortMode::ByRate);
  const auto rate = [](const TZipHeaderInfo& info) {
    return info.uncompressedSize == 0 ? 0.0
                                      : static_cast<double>(info.compressedSize) /
                                            static_cast<double>(info.uncompressedSize);
  };
  for (int i = 1; i < unzip.Count(); ++i) {
    EXPECT_GE(std::min(1.0, rate(unzip.Entry(i - 1))) + 0.01, std::min(1.0, rate(unzip.Entry(i))));
  }
}

TEST(UnzipDirectory, ReadsAgainWhenTheArchiveTimeChanges) {
  TempDir dir;
  ZipLayout one;
  one.entries.push_back({.name = "a.txt", .data = ToBytes("alpha")});
  ZipLayout two = one;
  two.entries.push_back({.name = "b.txt", .data = ToBytes("bravo")});
  test::WriteBytes(dir / "a.zip", BuildZip(one));
  ASSERT_TRUE(platform::SetFileDosDateTime(dir / "a.zip", 0x5A8C6B2D));
  TUnZip unzip;
  unzip.SetZipName(dir / "a.zip");
  unzip.ReadZip();
  EXPECT_EQ(unzip.Count(), 1);
  test::WriteBytes(dir / "a.zip", BuildZip(two));
  ASSERT_TRUE(platform::SetFileDosDateTime(dir / "a.zip", 0x5A8C6B2D));
  unzip.ReadZip();
  EXPECT_EQ(unzip.Count(), 1);  // same time: the loaded directory stands
  ASSERT_TRUE(platform::SetFileDosDateTime(dir / "a.zip", 0x5A8C6C2D));
  unzip.ReadZip();
  EXPECT_EQ(unzip.Count(), 2);
}

TEST(UnzipDirectory, ZipNameChangeDiscardsAndClearForgets) {
  const test::ArchiveFile archive({.entries = {{.name = "a.txt", .data = ToBytes("alpha")}}});
  TUnZip unzip;
  unzip.SetZipName(archive.path);
  unzip.ReadZip();
  EXPECT_EQ(unzip.Count(), 1);
  unzip.SetZipName(archive.dir / "A.ZIP");  // same name but for case: nothing happens
  EXPECT_EQ(unzip.Count(), 1);
  unzip.SetZipName(archive.dir / "b.zip");
  EXPECT_EQ(unzip.Count(), 0);
  EXPECT_THROW(unzip.SetZipName("pick?"), EUserCanceled);
  unzip.ClearZip();
  EXPECT_EQ(unzip.ZipName(), "");
  EXPECT_EQ(unzip.ThisVersion(), 217);
}

}  // namespace
}  // namespace lumivora::unzip
