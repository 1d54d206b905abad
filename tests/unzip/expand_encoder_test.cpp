// The test-only implode encoder and encryption wrapper (tests/unzip/
// legacy_tools) cover what no public archive does: implode with an 8 KiB
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

#include "tests/unzip/legacy_test_support.h"

namespace lumivora::unzip::testing {
namespace {

namespace fs = std::filesystem;

const std::string kToolsDir = LUMIVORA_LEGACY_TOOLS_DIR;

struct CommandResult {
  int status = -1;
  std::string output;
};

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) {
    return result;
  }
  std::array<char, 4096> buffer{};
  size_t n = 0;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
    result.output.append(buffer.data(), n);
  }
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string Quote(const std::string& text) {
  return "'" + text + "'";
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "lumivora-legacy-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  [[nodiscard]] std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

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
  inputs.push_back({"dch1.txt", legacytools::ReadWholeFile(kLegacyData + "megazeux/dch1.txt")});
  inputs.push_back(
      {"test.exe", legacytools::ReadWholeFile(kLegacyData + "sharpcompress/expected/test.exe")});
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

class ImplodeEncoderCrossCheck : public ::testing::TestWithParam<uint16_t> {};

TEST_P(ImplodeEncoderCrossCheck, InfoZipAcceptsAndOurDecoderAgrees) {
  const uint16_t flags = GetParam();
  TempDir dir;
  const std::vector<Input> inputs = EncoderInputs();
  std::string command = Quote(kToolsDir + "/implode_zip") + " -z " + Quote(dir.File("out.zip"));
  for (const Input& input : inputs) {
    legacytools::WriteWholeFile(dir.File(input.name), input.bytes);
    command.append(" ").append(std::to_string(flags)).append(" ").append(input.name);
    command.append(" ").append(Quote(dir.File(input.name)));
  }
  const CommandResult encoded = RunCommand(command);
  ASSERT_EQ(encoded.status, 0) << encoded.output;

  const CommandResult proof = RunCommand("unzip -t " + Quote(dir.File("out.zip")));
  ASSERT_EQ(proof.status, 0) << proof.output;
  ASSERT_EQ(CountOk(proof.output), static_cast<int>(inputs.size())) << proof.output;

  std::vector<legacytools::ZipEntry> entries;
  std::string error;
  ASSERT_TRUE(
      legacytools::ParseZip(legacytools::ReadWholeFile(dir.File("out.zip")), entries, error))
      << error;
  ASSERT_EQ(entries.size(), inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    SCOPED_TRACE(inputs[i].name);
    EXPECT_EQ(entries[i].method, 6);
    EXPECT_EQ(entries[i].flags, flags);
    const DecodeResult result =
        Decode(6, entries[i].flags, entries[i].uncompressedSize, entries[i].data);
    EXPECT_FALSE(result.sizeGuardTripped);
    EXPECT_TRUE(result.bytes == inputs[i].bytes);
  }
}

INSTANTIATE_TEST_SUITE_P(AllLayouts, ImplodeEncoderCrossCheck, ::testing::Values(0, 2, 4, 6),
                         [](const auto& param) { return "flags" + std::to_string(param.param); });

// The wrapper's archives pass Info-ZIP with the password and fail without it,
// for shrunk and imploded entries (Info-ZIP has no reduce decoder).
TEST(EncryptionWrapper, InfoZipDecryptsWrappedLegacyEntries) {
  TempDir dir;
  const CommandResult encoded =
      RunCommand(Quote(kToolsDir + "/implode_zip") + " " + Quote(dir.File("imploded.zip")) +
                 " 2 a.txt " + Quote(kLegacyData + "megazeux/dch1.txt") + " 4 b.exe " +
                 Quote(kLegacyData + "sharpcompress/expected/test.exe"));
  ASSERT_EQ(encoded.status, 0) << encoded.output;
  struct Case {
    std::string archive;
    int okEntries;
  };
  const std::vector<Case> cases = {
      {dir.File("imploded.zip"), 2},
      {kLegacyData + "pkzip-dos/PKZ110ES.ZIP", 15},
      {kLegacyData + "pkzip-dos/PKZ110EI.ZIP", 15},
      {kLegacyData + "defacto2/HWSHRINK.ZIP", 3},
      {kLegacyData + "commons-compress/moby-imploded.zip", 135},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.archive);
    const CommandResult wrapped =
        RunCommand(Quote(kToolsDir + "/zipcrypt_wrap") + " " + Quote(c.archive) + " " +
                   Quote(dir.File("wrapped.zip")) + " 'open sesame'");
    ASSERT_EQ(wrapped.status, 0) << wrapped.output;
    const CommandResult right =
        RunCommand("unzip -t -P 'open sesame' " + Quote(dir.File("wrapped.zip")));
    EXPECT_EQ(right.status, 0) << right.output;
    EXPECT_EQ(CountOk(right.output), c.okEntries) << right.output;
    const CommandResult wrong =
        RunCommand("unzip -t -P 'open sesamE' " + Quote(dir.File("wrapped.zip")));
    EXPECT_NE(wrong.status, 0) << wrong.output;
    EXPECT_EQ(CountOk(wrong.output), 0) << wrong.output;

    std::vector<legacytools::ZipEntry> entries;
    std::string error;
    ASSERT_TRUE(
        legacytools::ParseZip(legacytools::ReadWholeFile(dir.File("wrapped.zip")), entries, error));
    for (const auto& e : entries) {
      EXPECT_EQ(e.flags & 1, 1) << e.name;
    }
  }
}

// The partial clear of a crafted shrunk stream, where reading "every leaf of
// the table" and "every leaf below the next free code" differ: Info-ZIP and
// our decoder agree on the bytes.
TEST(ShrinkPeer, PartialClearAgreesWithInfoZip) {
  TempDir dir;
  const std::vector<uint8_t> expected = Bytes("ABCDEDEFGHIJKDE");
  legacytools::ZipEntry entry;
  entry.name = "clear.txt";
  entry.method = 1;
  entry.crc32 = legacytools::Crc32(expected);
  entry.uncompressedSize = static_cast<uint32_t>(expected.size());
  entry.data = PartialClearAboveNextFree();
  legacytools::WriteWholeFile(dir.File("clear.zip"), legacytools::BuildZip({entry}));
  const CommandResult peer = RunCommand("unzip -p " + Quote(dir.File("clear.zip")));
  ASSERT_EQ(peer.status, 0) << peer.output;
  EXPECT_EQ(peer.output, "ABCDEDEFGHIJKDE");
  EXPECT_EQ(Decode(1, 0, entry.uncompressedSize, entry.data).bytes, expected);
}

}  // namespace
}  // namespace lumivora::unzip::testing
