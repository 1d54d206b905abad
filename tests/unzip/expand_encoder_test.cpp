// The test-only implode encoder (tests/unzip/legacy_tools) and encryption
// wrapper (WrapEncrypted) cover what no public archive does: implode with an 8 KiB
// dictionary and two trees (flags 2), with a 4 KiB dictionary and three trees
// (flags 4), matches before the first byte, and encrypted legacy entries.
// Info-ZIP unzip proves every archive they write before our decoder is
// checked against it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "tests/support/process.h"
#include "tests/unzip/legacy_test_support.h"
#include "tests/unzip/legacy_tools/implode_encoder.h"

namespace lumivora::unzip::testing {
namespace {

namespace fs = std::filesystem;

using ::lumivora::testing::ShellResult;

ShellResult RunShell(const std::string& command) {
  return ::lumivora::testing::Shell(command + " 2>&1");
}

std::string Quote(const std::string& text) {
  return "'" + text + "'";
}

// Counts the entries Info-ZIP reports as tested OK.
int CountOk(const std::string& output) {
  int count = 0;
  for (size_t at = output.find("  OK"); at != std::string::npos; at = output.find("  OK", at + 1)) {
    ++count;
  }
  return count;
}

struct Input {
  std::string name;
  std::vector<uint8_t> bytes;
};

std::vector<Input> EncoderInputs() {
  std::vector<Input> inputs;
  inputs.push_back({"dch1.txt", ReadBytes(kLegacyData + "megazeux/dch1.txt")});
  inputs.push_back({"test.exe", ReadBytes(kLegacyData + "sharpcompress/expected/test.exe")});
  // Zeros first: with -z the encoder matches them before the first byte.
  std::vector<uint8_t> zeros = inputs[0].bytes;
  zeros.insert(zeros.begin(), size_t{3000}, uint8_t{0});
  inputs.push_back({"zeros.bin", zeros});
  // Long runs (length code 63 plus the extra byte) and repeats at distances
  // between 4 KiB and 8 KiB, which only the 8 KiB dictionary reaches.
  std::mt19937 random(7);
  std::vector<uint8_t> mixed;
  std::vector<uint8_t> block(6000);
  for (auto& b : block) {
    b = static_cast<uint8_t>(random() % 40 + 'A');
  }
  for (int i = 0; i < 4; ++i) {
    mixed.insert(mixed.end(), block.begin(), block.end());
    mixed.insert(mixed.end(), static_cast<size_t>(1000 + 317 * i), static_cast<uint8_t>('x' + i));
  }
  inputs.push_back({"mixed.bin", mixed});
  inputs.push_back({"empty.txt", {}});
  return inputs;
}

// An entry NAME holding DATA imploded with FLAGS (with PRESTARTZEROS, runs of
// zero bytes at the start match before the first byte).
ZipEntrySpec Imploded(const std::string& name, const std::vector<uint8_t>& data, uint16_t flags,
                      bool prestartZeros = false) {
  return {.name = name,
          .data = data,
          .method = 6,
          .extraFlags = flags,
          .rawData = legacytools::ImplodeEncode(data, {flags, prestartZeros})};
}

class ImplodeEncoderCrossCheck : public ::testing::TestWithParam<uint16_t> {};

TEST_P(ImplodeEncoderCrossCheck, InfoZipAcceptsAndOurDecoderAgrees) {
  const uint16_t flags = GetParam();
  TempDir dir;
  const std::vector<Input> inputs = EncoderInputs();
  ZipLayout layout;
  for (const Input& input : inputs) {
    layout.entries.push_back(Imploded(input.name, input.bytes, flags, true));
  }
  WriteBytes(dir / "out.zip", BuildZip(layout));

  const ShellResult proof = RunShell("unzip -t " + Quote(dir / "out.zip"));
  ASSERT_EQ(proof.exitCode, 0) << proof.output;
  ASSERT_EQ(CountOk(proof.output), static_cast<int>(inputs.size())) << proof.output;

  std::vector<ZipEntrySpec> entries;
  std::string error;
  ASSERT_TRUE(ParseZip(ReadBytes(dir / "out.zip"), entries, error)) << error;
  ASSERT_EQ(entries.size(), inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    SCOPED_TRACE(inputs[i].name);
    EXPECT_EQ(entries[i].method, 6);
    EXPECT_EQ(entries[i].extraFlags, flags);
    const DecodeResult result =
        Decode(6, entries[i].extraFlags, *entries[i].size, entries[i].rawData);
    EXPECT_FALSE(result.sizeGuardTripped);
    EXPECT_TRUE(result.bytes == inputs[i].bytes);
  }
}

INSTANTIATE_TEST_SUITE_P(AllLayouts, ImplodeEncoderCrossCheck, ::testing::Values(0, 2, 4, 6),
                         [](const auto& param) { return "flags" + std::to_string(param.param); });

// WrapEncrypted's archives pass Info-ZIP with the password and fail without it,
// for shrunk and imploded entries (Info-ZIP has no reduce decoder).
TEST(EncryptionWrapper, InfoZipDecryptsWrappedLegacyEntries) {
  TempDir dir;
  WriteBytes(
      dir / "imploded.zip",
      BuildZip(
          {.entries = {
               Imploded("a.txt", ReadBytes(kLegacyData + "megazeux/dch1.txt"), 2),
               Imploded("b.exe", ReadBytes(kLegacyData + "sharpcompress/expected/test.exe"), 4)}}));
  struct Case {
    std::string archive;
    int okEntries;
  };
  const std::vector<Case> cases = {
      {dir / "imploded.zip", 2},
      {kLegacyData + "pkzip-dos/PKZ110ES.ZIP", 15},
      {kLegacyData + "pkzip-dos/PKZ110EI.ZIP", 15},
      {kLegacyData + "defacto2/HWSHRINK.ZIP", 3},
      {kLegacyData + "commons-compress/moby-imploded.zip", 135},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.archive);
    WrapEncrypted(c.archive, dir / "wrapped.zip", "open sesame");
    const ShellResult right = RunShell("unzip -t -P 'open sesame' " + Quote(dir / "wrapped.zip"));
    EXPECT_EQ(right.exitCode, 0) << right.output;
    EXPECT_EQ(CountOk(right.output), c.okEntries) << right.output;
    const ShellResult wrong = RunShell("unzip -t -P 'open sesamE' " + Quote(dir / "wrapped.zip"));
    EXPECT_NE(wrong.exitCode, 0) << wrong.output;
    EXPECT_EQ(CountOk(wrong.output), 0) << wrong.output;

    std::vector<ZipEntrySpec> entries;
    std::string error;
    ASSERT_TRUE(ParseZip(ReadBytes(dir / "wrapped.zip"), entries, error));
    for (const auto& e : entries) {
      EXPECT_EQ(e.extraFlags & 1, 1) << e.name;
    }
  }
}

// The partial clear of a crafted shrunk stream, where reading "every leaf of
// the table" and "every leaf below the next free code" differ: Info-ZIP and
// our decoder agree on the bytes.
TEST(ShrinkPeer, PartialClearAgreesWithInfoZip) {
  TempDir dir;
  const std::vector<uint8_t> expected = ToBytes("ABCDEDEFGHIJKDE");
  const ZipEntrySpec entry{
      .name = "clear.txt", .data = expected, .method = 1, .rawData = PartialClearAboveNextFree()};
  WriteBytes(dir / "clear.zip", BuildZip({.entries = {entry}}));
  const ShellResult peer = RunShell("unzip -p " + Quote(dir / "clear.zip"));
  ASSERT_EQ(peer.exitCode, 0) << peer.output;
  EXPECT_EQ(peer.output, "ABCDEDEFGHIJKDE");
  EXPECT_EQ(Decode(1, 0, static_cast<uint32_t>(expected.size()), entry.rawData).bytes, expected);
}

}  // namespace
}  // namespace lumivora::unzip::testing
