// The legacy decoders inside TUnZip: real archives extract byte-exactly,
// encrypted legacy entries decrypt like any other, and damaged legacy entries
// end in a clean CRC failure instead of a crash or a huge output.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "tests/unzip/legacy_test_support.h"
#include "unzip/unzip.h"

namespace lumivora::unzip::testing {
namespace {

namespace fs = std::filesystem;

struct Extraction {
  int extracted = 0;
  int badCrc = 0;
  int badPassword = 0;
  std::multiset<std::string> sha256;  // of every file written
};

Extraction ExtractAll(const std::string& archive, const std::string& password = "",
                      TIncompleteZipMode mode = TIncompleteZipMode::izAssumeMulti) {
  TempDir out;
  Extraction result;
  TUnZip unzip;
  unzip.SetIncompleteZipMode(mode);
  unzip.SetZipName(archive);
  unzip.SetDestDir(out.Path());
  unzip.SetRecreateDirs(true);
  unzip.SetPassword(password);
  unzip.SetOverwriteMode(TUZOverwriteMode::Always);
  unzip.SetDoAll(true);
  unzip.OnBadCRC = [&](TUnZip&, uint32_t, uint32_t, int) { ++result.badCrc; };
  unzip.OnSkippingFile = [&](TUnZip&, TSkipReason reason, const std::string&, int) {
    result.badPassword += reason == TSkipReason::srBadPassword ? 1 : 0;
  };
  result.extracted = unzip.UnZip();
  for (const auto& item : fs::recursive_directory_iterator(out.Path())) {
    if (item.is_regular_file()) {
      result.sha256.insert(Sha256Hex(ReadBytes(item.path().string())));
    }
  }
  return result;
}

// Manifest rows per archive that holds at least one legacy entry.
std::map<std::string, std::vector<ManifestRow>> LegacyArchives() {
  std::set<std::string> legacy;
  for (const ManifestRow& row : LegacyRows()) {
    if (!row.IsRawStream()) {
      legacy.insert(row.file);
    }
  }
  std::map<std::string, std::vector<ManifestRow>> result;
  for (ManifestRow& row : LoadManifest()) {
    if (legacy.count(row.file) != 0 && row.status == "OK") {
      result[row.file].push_back(std::move(row));
    }
  }
  return result;
}

void ExpectAllRows(const Extraction& got, const std::vector<ManifestRow>& rows) {
  EXPECT_EQ(got.extracted, static_cast<int>(rows.size()));
  EXPECT_EQ(got.badCrc, 0);
  for (const ManifestRow& row : rows) {
    EXPECT_EQ(got.sha256.count(row.sha256),
              std::count_if(rows.begin(), rows.end(),
                            [&](const auto& r) { return r.sha256 == row.sha256; }))
        << row.entry;
  }
}

TEST(LegacyThroughComponent, EveryManifestArchiveExtractsByteExactly) {
  const auto archives = LegacyArchives();
  ASSERT_GE(archives.size(), 20u);
  for (const auto& [file, rows] : archives) {
    SCOPED_TRACE(file);
    ExpectAllRows(ExtractAll(kLegacyData + file), rows);
  }
}

// No public archive holds an encrypted legacy entry: WrapEncrypted makes them
// (its output is proven by Info-ZIP in expand_encoder_test.cpp).
TEST(LegacyThroughComponent, EncryptedLegacyEntriesDecryptLikeAnyOther) {
  const auto archives = LegacyArchives();
  TempDir dir;
  for (const char* file :
       {"pkzip-dos/PKZ80B1.ZIP", "pkzip-dos/PKZ80B2.ZIP", "pkzip-dos/PKZ80B3.ZIP",
        "pkzip-dos/PKZ80B4.ZIP", "pkzip-dos/PKZ110ES.ZIP", "pkzip-dos/PKZ110EI.ZIP",
        "defacto2/HWIMPODE.ZIP"}) {
    SCOPED_TRACE(file);
    const std::string wrapped = dir / "wrapped.zip";
    WrapEncrypted(kLegacyData + file, wrapped, "Lumi p@ss");
    const auto& rows = archives.at(file);
    ExpectAllRows(ExtractAll(wrapped, "Lumi p@ss"), rows);
    const Extraction wrong = ExtractAll(wrapped, "lumi p@ss");
    EXPECT_EQ(wrong.extracted, 0);
    EXPECT_GE(wrong.badPassword + wrong.badCrc, static_cast<int>(rows.size()));
  }
}

// Damaged copies of real legacy entries: each ends as a failed CRC (or a
// skipped entry), never as a crash, a hang or a huge file.
TEST(LegacyThroughComponent, DamagedLegacyEntriesFailCleanly) {
  struct Row {
    const char* name;
    const char* archive;
    const char* entry;
    void (*damage)(ZipEntrySpec&);
    // The data itself is whole but the entry claims more: the decoder stops
    // at the data's end with the right CRC, yet fewer bytes than declared
    // came out, so the entry is refused and leaves no file.
    bool shortOfDeclared = false;
  };
  const Row rows[] = {
      {"shrunk data with a flipped byte", "pkzip-dos/PKZ110ES.ZIP", "TEST.PCX",
       [](ZipEntrySpec& e) { e.rawData[e.rawData.size() / 2] ^= 0x5A; }},
      {"shrunk data cut in half", "pkzip-dos/PKZ110ES.ZIP", "TEST.JPG",
       [](ZipEntrySpec& e) { e.rawData.resize(e.rawData.size() / 2); }},
      {"reduced entry one byte smaller than it decodes", "pkzip-dos/PKZ80B3.ZIP", "TEST.PCX",
       [](ZipEntrySpec& e) { e.size = *e.size - 1; }},
      {"reduced entry claiming 4 GiB", "pkzip-dos/PKZ80B2.ZIP", "TEST.GIF",
       [](ZipEntrySpec& e) { e.size = 0xFFFFFFF0u; }, true},
      {"imploded entry with a broken tree description", "pkzip-dos/PKZ110EI.ZIP", "TEST.PNG",
       [](ZipEntrySpec& e) { e.rawData[0] = 0xFF; }},
      {"imploded entry claiming 4 GiB", "defacto2/IMPLODE.ZIP", "TEST.GIF",
       [](ZipEntrySpec& e) { e.size = 0xFFFFFFF0u; }, true},
      {"imploded data read as reduced", "pkzip-dos/PKZ110EI.ZIP", "TEST.GIF",
       [](ZipEntrySpec& e) { e.method = 5; }},
      {"shrink code size raised past 13 bits", "pkzip-dos/PKZ110ES.ZIP", "TEST.ANS",
       [](ZipEntrySpec& e) {
         BitStream s;
         s.Put('A', 9);
         for (unsigned width = 9; width < 14; ++width) {
           s.Put(256, width).Put(1, width);
         }
         s.Put('B', 14);
         e.rawData = s.Bytes();
       }},
  };
  TempDir dir;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<ZipEntrySpec> entries;
    std::string error;
    ASSERT_TRUE(ParseZip(ReadBytes(kLegacyData + row.archive), entries, error));
    std::vector<ZipEntrySpec> damaged;
    for (auto& e : entries) {
      if (e.name == row.entry) {
        row.damage(e);
        damaged.push_back(e);
      }
    }
    ASSERT_EQ(damaged.size(), 1u);
    WriteBytes(dir / "damaged.zip", BuildZip({.entries = damaged}));
    const Extraction got = ExtractAll(dir / "damaged.zip");
    EXPECT_EQ(got.extracted, 0);
    EXPECT_EQ(got.badCrc, row.shortOfDeclared ? 0 : 1);
    EXPECT_TRUE(got.sha256.empty());
  }
}

// SharpCompress's crafted archive: a shrunk local header claiming 2 GiB of
// data in a 122-byte file, with no central directory. Without an end record
// it is refused as incomplete; found by the local-header scan, its claimed
// size runs past the end of the file and nothing is written.
TEST(LegacyThroughComponent, CraftedShrinkSizeIsNotTrusted) {
  const std::string archive = kLegacyData + "sharpcompress/malformed/shrink_oom_crafted.zip";
  ASSERT_TRUE(fs::is_regular_file(archive)) << archive;
  const struct {
    TIncompleteZipMode mode;
    std::string error;
  } rows[] = {
      {TIncompleteZipMode::izAssumeMulti, "EIncompleteZip|Incomplete Zip File"},
      {TIncompleteZipMode::izAssumeBad, "EFatalUnzipError|Premature end of file reached"},
  };
  for (const auto& row : rows) {
    std::string error = "none";
    try {
      ExtractAll(archive, "", row.mode);
    } catch (const Exception& e) {
      error = std::string(e.ClassName()) + "|" + e.Message();
    }
    EXPECT_EQ(error, row.error);
  }
}

}  // namespace
}  // namespace lumivora::unzip::testing
