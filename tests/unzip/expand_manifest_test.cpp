// Every shrunk, reduced and imploded entry and raw stream of the shared legacy
// test data (real PKZIP 0.80/1.10, hwzip, Info-ZIP and other programs' output)
// decodes to the bytes the manifest records: size, CRC-32 and SHA-256.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>

#include "tests/unzip/legacy_test_support.h"

namespace lumivora::unzip::testing {
namespace {

class LegacyManifest : public ::testing::TestWithParam<ManifestRow> {};

TEST_P(LegacyManifest, DecodesToRecordedBytes) {
  const ManifestRow& row = GetParam();
  const std::vector<uint8_t> data = CompressedBytes(row);
  ASSERT_EQ(data.size(), row.compressedSize);
  const DecodeResult result =
      Decode(MethodNumber(row.method), row.flags, row.uncompressedSize, data);
  EXPECT_FALSE(result.sizeGuardTripped);
  ASSERT_EQ(result.bytes.size(), row.uncompressedSize);
  EXPECT_EQ(::lumivora::testing::Crc(result.bytes), row.crc32);
  EXPECT_EQ(Sha256Hex(result.bytes), row.sha256);
}

std::string RowName(const ::testing::TestParamInfo<ManifestRow>& info) {
  std::string name = info.param.file + "_" + info.param.entry;
  for (char& c : name) {
    if (std::isalnum(static_cast<unsigned char>(c)) == 0) {
      c = '_';
    }
  }
  return std::to_string(info.index) + "_" + name.substr(0, 60);
}

INSTANTIATE_TEST_SUITE_P(Rows, LegacyManifest, ::testing::ValuesIn(LegacyRows()), RowName);

TEST(LegacyManifestCoverage, EveryMethodAndImplodeLayoutIsPresent) {
  const std::vector<ManifestRow> rows = LegacyRows();
  std::map<std::string, int> perMethod;
  std::map<uint16_t, int> implodeFlags;
  for (const ManifestRow& row : rows) {
    ++perMethod[row.method];
    if (row.method == "implode") {
      ++implodeFlags[row.flags];
    }
  }
  EXPECT_GE(rows.size(), 200u);
  for (const char* method : {"shrunk", "reduce1", "reduce2", "reduce3", "reduce4", "implode"}) {
    EXPECT_GE(perMethod[method], 5) << method;
  }
  EXPECT_GT(implodeFlags[0x0000], 0);
  EXPECT_GT(implodeFlags[0x0006], 0);
}

// The stream that reaches back before its first byte: the 1024 bytes after
// the 2048 text bytes are zeros copied from before the start.
TEST(LegacyRealStreams, ReduceMatchBeforeFirstByteYieldsZeros) {
  const auto data = ReadBytes(kLegacyData + "zip-rs/raw/reduce_zero_reduced.bin");
  const auto text = ReadBytes(kLegacyData + "zip-rs/raw/implode_hamlet_2048.out");
  const DecodeResult result = Decode(5, 0, 3072, data);
  ASSERT_EQ(result.bytes.size(), 3072u);
  EXPECT_TRUE(std::equal(text.begin(), text.end(), result.bytes.begin()));
  EXPECT_TRUE(std::all_of(result.bytes.begin() + 2048, result.bytes.end(),
                          [](uint8_t b) { return b == 0; }));
}

}  // namespace
}  // namespace lumivora::unzip::testing
