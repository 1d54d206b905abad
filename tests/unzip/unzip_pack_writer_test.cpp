// WritePack: the pack the launcher's check accepts, from a file or from bytes,
// with the entry's Unix mode and the version comment, put in place by one
// rename that keeps the replaced pack's mode and never writes through a link.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/file.h"
#include "tests/support/files.h"
#include "tests/support/zip.h"
#include "unzip/pack_check.h"
#include "unzip/pack_writer.h"
#include "unzip/zip_reader.h"

namespace lumivora::unzip {
namespace {

namespace test = ::lumivora::testing;
namespace fs = std::filesystem;

TEST(PackWriter, RequestsTable) {
  struct Row {
    const char* name;
    const char* from;    // "file", "bytes" or "stream"
    const char* before;  // at the output: "" nothing, "file" a pack of mode 0640, "link" a link
    uint32_t mode;
    std::string version;
  };
  const Row rows[] = {
      {"file, new output", "file", "", 0755, "1.10.2"},
      {"bytes, replaces a pack and keeps its mode", "bytes", "file", 0700, ""},
      {"file, replaces a link, not what it names", "file", "link", 04751, "2"},
      {"stream read in pieces", "stream", "", 0755, "3"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    test::TempDir dir;
    test::Bytes program = test::ToBytes("\177ELF");
    const test::Bytes tail = test::SampleData(100000, 3);
    program.insert(program.end(), tail.begin(), tail.end());
    test::WriteBytes(dir / "main", program);
    const std::string output = dir / "p";
    test::WriteFile(dir / "other", "not a pack");
    if (std::string(row.before) == "file") {
      test::WriteFile(output, "old pack");
      fs::permissions(output, fs::perms(0640));
    } else if (std::string(row.before) == "link") {
      fs::create_symlink(dir / "other", output);
    }
    PackRequest request;
    const std::string from = row.from;
    request.program = from == "file" ? dir / "main" : dir / "none";
    request.bytes = from == "bytes" ? std::optional(std::span(program)) : std::nullopt;
    size_t read = 0;
    if (from == "stream") {
      request.size = program.size();
      request.read = [&program, &read](std::span<uint8_t> into) {
        const size_t count = std::min({into.size(), program.size() - read, size_t{777}});
        std::copy_n(program.begin() + static_cast<std::ptrdiff_t>(read), count, into.begin());
        read += count;
        return count;
      };
    }
    request.entryName = "Lumivoramain";
    request.password = "pw";
    request.version = row.version;
    request.mode = row.mode;
    request.output = output;
    const platform::Result written = WritePack(request);
    ASSERT_TRUE(written.Ok()) << written.Reason();

    EXPECT_TRUE(CheckPack(output, {"pw", "Lumivoramain", ProgramKind::kElf}).Ok());
    const EntryResult tested = ExtractEntry({output, "Lumivoramain"}, {.password = "pw"}, nullptr);
    EXPECT_EQ(tested.computedCrc, test::Crc(program));
    EXPECT_EQ(tested.entry.compressionMethod, 8);
    EXPECT_EQ(tested.entry.flags & 1U, 1U);           // encrypted
    EXPECT_EQ(tested.entry.versionMadeBy >> 8U, 3U);  // Unix
    EXPECT_EQ(tested.entry.externalAttributes >> 16U, 0100000U | row.mode);
    const std::string pack = test::ReadFile(output);
    const std::string comment = row.version.empty() ? "" : "Version=" + row.version;
    const std::string length{static_cast<char>(comment.size()), '\0'};
    EXPECT_EQ(pack.substr(pack.size() - comment.size() - 2), length + comment);
    EXPECT_FALSE(fs::is_symlink(output));
    EXPECT_EQ(test::ReadFile(dir / "other"), "not a pack");
    if (std::string(row.before) == "file") {
      EXPECT_EQ(fs::status(output).permissions(), fs::perms(0640));
    }
    EXPECT_TRUE(platform::ListFolder(dir.Path(), "p.new-").empty());
  }
}

TEST(PackWriter, FailureNamesTheFileAndLeavesNothing) {
  test::TempDir dir;
  test::WriteFile(dir / "main", "\177ELF");
  PackRequest request;
  request.program = dir / "main";
  request.output = dir / "missing/p";
  const platform::Result missingFolder = WritePack(request);
  EXPECT_EQ(missingFolder.Reason().rfind(request.output + ": ", 0), 0U) << missingFolder.Reason();
  request.program = dir / "none";
  request.output = dir / "p";
  const platform::Result missingProgram = WritePack(request);
  EXPECT_EQ(missingProgram.Reason().rfind(request.program + ": ", 0), 0U)
      << missingProgram.Reason();
  request.size = 100000;  // a stream that fails on its way: nothing is written
  request.read = [calls = 0](std::span<uint8_t> into) mutable {
    if (++calls > 3) {
      throw std::runtime_error("the program's maker failed");
    }
    return into.size() / 2;
  };
  const platform::Result failedStream = WritePack(request);
  EXPECT_EQ(failedStream.Reason().rfind(request.output + ": ", 0), 0U) << failedStream.Reason();
  EXPECT_EQ(platform::ListFolder(dir.Path(), ""), std::vector<std::string>{"main"});
}

}  // namespace
}  // namespace lumivora::unzip
