// Archives written by other programs (shared test data): every entry listed
// in MANIFEST.tsv checks against its CRC-32 where its method has a decoder,
// and the malformed archives of other projects' suites end as the table says.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/recording/ui_recording.h"
#include "tests/support/files.h"
#include "tests/support/legacy_manifest.h"
#include "tests/support/process.h"
#include "tests/support/zip.h"
#include "unzip/legacy_decoders.h"
#include "unzip/unzip.h"

namespace lumivora::unzip {
namespace {

namespace test = ::lumivora::testing;

bool HaveTestData() {
  return std::filesystem::exists(test::kLegacyData + "MANIFEST.tsv");
}

TEST(UnzipRealWorld, ManifestEntriesCheckAgainstTheirCrc) {
  if (!HaveTestData()) {
    GTEST_SKIP() << "no shared test data";
  }
  std::map<std::string, std::vector<test::ManifestRow>> archives;
  for (test::ManifestRow& row : test::LoadManifest()) {
    const bool isZip = row.file.ends_with(".zip") || row.file.ends_with(".ZIP");
    if (isZip && row.status == "OK" && test::MethodNumber(row.method) != 0xFFFF) {
      archives[row.file].push_back(std::move(row));
    }
  }
  ASSERT_GT(archives.size(), 20U);
  size_t checked = 0;
  for (const auto& [file, rows] : archives) {
    SCOPED_TRACE(file);
    platform::RecordingInterface ui;
    TUnZip unzip(&ui);
    unzip.SetZipName(test::kLegacyData + file);
    unzip.SetPassword(rows[0].password);
    unzip.SetTestOnly(true);
    unzip.SetDoAll(true);
    std::map<std::string, std::string> outcome;
    const auto name = [&](int index) {
      std::string text = unzip.Entry(index).Directory() + unzip.Entry(index).FileName();
      for (char& c : text) {
        c = c == platform::PathSeparator() ? '/' : c;
      }
      return text;
    };
    unzip.OnEndUnZip = [&](TUnZip&, int index, const std::string&) { outcome[name(index)] = "ok"; };
    unzip.OnBadCRC = [&](TUnZip&, uint32_t, uint32_t, int index) { outcome[name(index)] = "bad"; };
    unzip.OnSkippingFile = [&](TUnZip&, TSkipReason, const std::string&, int index) {
      outcome[name(index)] = "skipped";
    };
    unzip.UnZip();
    for (const test::ManifestRow& row : rows) {
      const uint16_t method = test::MethodNumber(row.method);
      const bool decodable = method == 0 || method == 8 || FindLegacyDecoder(method) != nullptr;
      // Directories, and names that the test data gives in UTF-8 while the
      // archive holds code-page bytes, are not compared.
      const bool ascii = std::all_of(row.entry.begin(), row.entry.end(),
                                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
      if (row.entry.ends_with("/") || !ascii) {
        continue;
      }
      EXPECT_EQ(outcome[row.entry], decodable ? "ok" : "bad") << row.entry;
      checked += decodable ? 1 : 0;
    }
  }
  EXPECT_GT(checked, 50U);
}

// One row per malformed archive from another project's suite.
TEST(UnzipRealWorld, MalformedArchivesTable) {
  if (!HaveTestData()) {
    GTEST_SKIP() << "no shared test data";
  }
  struct Row {
    const char* file;
    const char* events;  // in order, ", " between them; "end N": extracted
    const char* password = "";
    const char* error = "";  // "Class|message", or "" when UnZip returns
  };
  const Row rows[] = {
      {"commons-compress/malformed/invalid-zip.zip", "", "", "EIncompleteZip|Incomplete Zip File"},
      {"libarchive/malformed/test_read_format_zip_malformed1.zip", "", "",
       "EIncompleteZip|Incomplete Zip File"},
      // The first entry holds more than it declares: cut by the size guard,
      // then refused by its CRC; the second still extracts.
      {"libarchive/malformed/test_read_format_zip_size_exceeds_declared_deflate.zip",
       "bad 0, end 1"},
      {"libarchive/malformed/test_read_format_zip_size_exceeds_declared_stored.zip",
       "bad 0, end 1"},
      // Sizes that run into the central directory: refused as invalid.
      {"libarchive/malformed/test_read_format_zip_uncompressed_size_off_by_4gib.zip",
       "skip 0 invalid"},
      // Zip64-only values in the classic record and the headers: no Zip64
      // here, so the 0xFFFFFFFF sizes run past the central directory.
      {"libarchive/malformed/test_read_format_zip_with_invalid_traditional_eocd.zip",
       "skip 0 invalid"},
      {"libzip/malformed/incons-central-compression-method.zip", "bad 0"},
      {"libzip/malformed/incons-central-compsize-larger-toolarge.zip", "skip 0 invalid"},
      {"libzip/malformed/incons-central-crc.zip", "bad 0"},
      {"libzip/malformed/incons-central-magic-bad.zip", "end 0"},
      {"libzip/malformed/incons-local-crc.zip", "end 0"},
      {"libzip/malformed/incons-stored-size.zip", "bad 0"},
      {"sharpcompress/malformed/shrink_oom_crafted.zip", "", "",
       "EIncompleteZip|Incomplete Zip File"},
      {"zip-rs/malformed/invalid_cde_number_of_files_allocation_greater_offset.zip", "", "",
       "EBadZipFile|Not a valid zip file!"},
      {"zip-rs/malformed/invalid_cde_number_of_files_allocation_smaller_offset.zip", ""},
      {"zip-rs/malformed/invalid_offset2.zip", ""},
      // Encrypted archives: right and wrong passwords, unsupported encryption.
      {"libzip/encrypt.zip", "end 0, end 1", "foo"},
      {"libzip/encrypt.zip", "skip 0 password, end 1", "notfoo"},
      {"libzip/encrypt-1234.zip", "end 0", "1234"},
      {"libzip/empty-pkware.zip", "end 0", "1"},
      {"libzip/encrypt-pkware-noentropy.zip", "end 0, end 1", "no-entropy"},
      {"libarchive/test_read_format_zip_traditional_encryption_data.zip", "end 0, end 1",
       "12345678"},
      {"libarchive/test_read_format_zip_traditional_encryption_data.zip",
       "skip 0 password, skip 1 password", "invalid_pass"},
      {"sharpcompress/zipcrypto.zip", "end 0, end 1, end 2, end 3, end 4, end 5, end 6, end 7",
       "test"},
      {"sharpcompress/Zip.deflate.pkware.zip", "end 1", "12345678"},  // 0: folder
      {"zip-rs/zipcrypto_test.zip", "skip 0 password", "wrong password"},
      {"libarchive/test_read_format_zip_encryption_partially.zip", "end 0, skip 1 password"},
      // AES (method 99): not a method of this component.
      {"sharpcompress/Zip.none.encrypted.zip", "skip 0 method, skip 1 method", "test"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.file) + " / " + row.password);
    test::TempDir out;
    platform::RecordingInterface ui;
    TUnZip unzip(&ui);
    unzip.SetZipName(test::kLegacyData + row.file);
    unzip.SetDestDir(out.Path());
    unzip.SetPassword(row.password);
    unzip.SetDoAll(true);
    std::string events;
    int ends = 0;
    const auto add = [&](const std::string& event) {
      events += (events.empty() ? "" : ", ") + event;
      ends += event.rfind("end", 0) == 0 ? 1 : 0;
    };
    unzip.OnEndUnZip = [&](TUnZip&, int index, const std::string&) {
      add("end " + std::to_string(index));
    };
    unzip.OnBadCRC = [&](TUnZip&, uint32_t, uint32_t, int index) {
      add("bad " + std::to_string(index));
    };
    unzip.OnSkippingFile = [&](TUnZip&, TSkipReason reason, const std::string&, int index) {
      const char* why[] = {"password", "kept", "unsafe", "method", "invalid", "long", "archive"};
      add("skip " + std::to_string(index) + " " + why[static_cast<int>(reason)]);
    };
    try {
      const int count = unzip.UnZip();
      EXPECT_EQ(count, ends);
      EXPECT_STREQ("", row.error);
    } catch (const Exception& error) {
      EXPECT_EQ(std::string(error.ClassName()) + "|" + error.Message(), row.error);
    }
    EXPECT_EQ(events, row.events);
    // Whatever failed left nothing behind.
    int files = 0;
    for (const auto& item : std::filesystem::recursive_directory_iterator(out.Path())) {
      files += item.is_regular_file() ? 1 : 0;
    }
    EXPECT_EQ(files, ends);
  }
}

}  // namespace
}  // namespace lumivora::unzip
